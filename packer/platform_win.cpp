// Windows versions of the calls in platform.h.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <io.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vq {

namespace {

int ErrnoFromWin32(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_ALREADY_EXISTS: case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE: case ERROR_INVALID_NAME:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

}  // namespace

bool GetFileIdentity(const std::string &path, FileIdentity *id) {
    // No access rights are needed to read a file's index; backup semantics
    // let the call open a folder as well.
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromWin32(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    DWORD e = GetLastError();
    CloseHandle(h);
    if (!ok) {
        errno = ErrnoFromWin32(e);
        return false;
    }
    id->device = info.dwVolumeSerialNumber;
    id->index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

ssize_t WriteAt(int fd, const void *buf, size_t n, uint64_t offset) {
    __int64 here = _lseeki64(fd, 0, SEEK_CUR);
    if (here < 0 || _lseeki64(fd, (__int64)offset, SEEK_SET) < 0) return -1;
    int w = _write(fd, buf, (unsigned)n);
    int e = errno;
    _lseeki64(fd, here, SEEK_SET);
    errno = e;
    return w;
}

int SyncFile(int fd) { return _commit(fd); }

int OpenTempFile(char *templ) {
    size_t len = std::strlen(templ);
    if (len < 6 || std::strcmp(templ + len - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    uint64_t seed = (uint64_t)t.QuadPart ^ ((uint64_t)GetCurrentProcessId() << 32);
    for (int attempt = 0; attempt < 100; attempt++) {
        uint64_t v = seed + (uint64_t)attempt * 0x9E3779B97F4A7C15ull;
        for (size_t i = len - 6; i < len; i++) {
            templ[i] = kChars[v % 36];
            v /= 36;
        }
        // _O_TEMPORARY: deleted when the last descriptor is closed.
        int fd = _open(templ, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY |
                                  _O_SHORT_LIVED,
                       _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

int RenameOver(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    errno = ErrnoFromWin32(GetLastError());
    return -1;
}

std::string DefaultTempFolder() {
    char buf[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n > sizeof buf - 1) return ".";
    std::string dir(buf, n);
    // "C:\Temp\" -> "C:\Temp"; the caller appends "/name". Keep "C:\".
    if (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    return dir;
}

}  // namespace vq
