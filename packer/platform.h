// The few system calls the packer makes that differ between POSIX and
// Windows (mingw-w64's C runtime). Everything else the packer uses works
// the same on both.
#ifndef VQ_PLATFORM_H
#define VQ_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Files are bytes: no newline translation (Windows opens in text mode
// unless told otherwise).
#ifndef O_BINARY
#define O_BINARY 0
#endif
// Windows has no symbolic links that open() would follow.
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

// The characters that end the folder part of a path.
#ifdef _WIN32
#define VQ_PATH_SEPARATORS "/\\"
#else
#define VQ_PATH_SEPARATORS "/"
#endif

namespace vq {

// Which file a path names, links followed: two paths name the same file
// exactly when their identities are equal, whatever links (hard or
// symbolic), "./" or ".." spell them. The device and inode numbers; on
// Windows, where st_ino is always 0, the volume serial number and the file
// index. GetFileIdentity is false, with errno set, when the path names
// nothing or cannot be examined; folders have identities too.
struct FileIdentity {
    uint64_t device = 0, index = 0;
    bool operator==(const FileIdentity &o) const {
        return device == o.device && index == o.index;
    }
};

#ifdef _WIN32
// Defined in platform_win.cpp.
bool GetFileIdentity(const std::string &path, FileIdentity *id);
ssize_t WriteAt(int fd, const void *buf, size_t n, uint64_t offset);
int SyncFile(int fd);
int OpenTempFile(char *templ);
int RenameOver(const char *from, const char *to);
std::string DefaultTempFolder();
#else
inline bool GetFileIdentity(const std::string &path, FileIdentity *id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id->device = (uint64_t)st.st_dev;
    id->index = (uint64_t)st.st_ino;
    return true;
}
// Writes n bytes at offset without moving the file position.
inline ssize_t WriteAt(int fd, const void *buf, size_t n, uint64_t offset) {
    return ::pwrite(fd, buf, n, (off_t)offset);
}
inline int SyncFile(int fd) { return ::fsync(fd); }
// Creates and opens a new file from a template ending in XXXXXX, which is
// replaced by the name's unique part. On Windows the file goes away when
// its descriptor is closed, since an open file cannot be unlinked there.
inline int OpenTempFile(char *templ) { return ::mkstemp(templ); }
// Moves `from` over `to`, replacing a file that is there.
inline int RenameOver(const char *from, const char *to) { return ::rename(from, to); }
// TMPDIR, else /tmp (Windows: the system's temporary folder, from TMP or
// TEMP).
inline std::string DefaultTempFolder() {
    const char *t = std::getenv("TMPDIR");
    return (t && *t) ? t : "/tmp";
}
#endif

// Creates one folder (its parent must exist); 0 on success, else errno set.
inline int MakeFolder(const char *path) {
#ifdef _WIN32
    return ::mkdir(path);
#else
    return ::mkdir(path, 0755);
#endif
}

}  // namespace vq

#endif
