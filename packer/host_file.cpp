#include "host_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform.h"

namespace vq {

bool ReadFull(int fd, void *buf, size_t n, size_t *got) {
    uint8_t *b = (uint8_t *)buf;
    size_t have = 0;
    while (have < n) {
        ssize_t r = ::read(fd, b + have, n - have);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            *got = have;
            return false;
        }
        if (r == 0) break;
        have += (size_t)r;
    }
    *got = have;
    return true;
}

bool WriteFull(int fd, const void *buf, size_t n) {
    const uint8_t *b = (const uint8_t *)buf;
    while (n) {
        ssize_t w = ::write(fd, b, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        b += w;
        n -= (size_t)w;
    }
    return true;
}

bool LoadFile(const std::string &path, std::string *out, std::string *err) {
    // Regular files only: reading a folder makes the stream library throw
    // or read nothing, and a pipe could block.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *err = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = std::strerror(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        return false;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *err = std::strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

std::string LowerAscii(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

}  // namespace vq
