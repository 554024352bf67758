// Building installers: the setup program's image followed by the container.
#ifndef VQ_WRITER_H
#define VQ_WRITER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PackMember {
    std::string name;  // member name inside the installer
    std::string path;  // host file that supplies the data
};

struct WriteOptions {
    // The payload is coded in blocks of block_size bytes, each ended by a
    // sync flush (a deflated block is primed with the 32 KiB before it).
    // `jobs` threads deflate blocks in parallel; the bytes depend on
    // block_size and level9_all, never on the number of jobs.
    unsigned jobs = 1;
    size_t block_size = 1u << 20;
    // false: members that do not compress (judged on a sample of each)
    // are stored, the others deflated at level 9. true: every member is
    // deflated at level 9.
    bool level9_all = false;
    // Called now and then with bytes of inflated stream done and the total.
    std::function<void(uint64_t done, uint64_t total)> progress;
};

// Checks the member list for what the setup program would refuse: no
// members at all, more than 10922 members, a name it would not write or
// longer than 200 characters, names that collide on a case-insensitive
// file system. (WriteInstaller checks the image size and the payload's
// 2 GiB limit itself.) Returns an empty string when all is well, else one
// line saying what to change.
std::string CheckMembers(const std::vector<PackMember> &members);

// The temporary file beside `out_path` that WriteInstaller writes first:
// out_path + ".partial".
std::string PartialPath(const std::string &out_path);

// Writes `image` (exactly 32768 bytes) and the container of `members` to
// `out_path`. The file is written under a temporary name beside it
// (PartialPath) and renamed at the end, so a failed build leaves no partial installer.
// Output is deterministic: the same inputs give the same bytes. Returns
// false with a one-line reason in *err (it names the file concerned).
bool WriteInstaller(const std::string &out_path,
                    const std::vector<uint8_t> &image,
                    const std::vector<PackMember> &members,
                    const WriteOptions &opt, std::string *err);

// The image_checksum WriteInstaller stores for `image` (kImageSize bytes):
// the container checksum with the PE fields that signing rewrites read as
// zero (MaskSignedFields).
uint32_t ImageChecksum(const std::vector<uint8_t> &image);

// Compresses `data` the way WriteInstaller codes one member (zlib header
// 78 DA, blocks deflated at level 9 or stored, a sync flush at the end, no
// final block), in memory. For tests and tools.
std::vector<uint8_t> DeflateSync(const std::vector<uint8_t> &data,
                                 const WriteOptions &opt = WriteOptions());

#endif
