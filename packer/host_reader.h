// The container reader bound to host files: the same checks, inflation and
// splitting as the setup program, for `vqpack list`, `verify` and
// `extract`.
#ifndef VQ_HOST_READER_H
#define VQ_HOST_READER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/container.h"

struct MemberInfo {
    std::string name;
    DirectoryEntry entry;
    uint32_t checksum;  // container checksum of the member's data
};

enum class ReadMode {
    kVerify,   // every check; member data is not copied
    kList,     // every check, and each member's data checksummed
    kExtract,  // members written into the output folder
};

struct ReadReport {
    ExtractResult result = kExtractOk;
    ContainerHeader header = {};
    uint64_t file_size = 0;
    std::vector<MemberInfo> members;  // those handled before any failure
    // The failure in one line, composed like the setup program's message
    // with the system's error text where it shows a Windows code.
    std::string message;
};

struct ReadOptions {
    ReadMode mode = ReadMode::kVerify;
    std::string out_dir;  // kExtract: existing folder that receives members
    // Folder for the spool file; empty: out_dir for kExtract, else TMPDIR
    // or /tmp. The spool is unlinked as soon as it is created.
    std::string spool_dir;
    std::function<void(uint32_t percent)> progress;
    // kList and kExtract: each piece of a member's data as it is split off,
    // with the member's index in report->members.
    std::function<void(size_t member, const uint8_t *data, uint32_t size)> member_data;
};

// Runs the reader over `path`. Returns true when every check passed (and,
// for kExtract, every member was written).
bool ReadInstaller(const std::string &path, const ReadOptions &opt,
                   ReadReport *report);

#endif
