// Small helpers for host files that every part of the packer uses.
#ifndef VQ_HOST_FILE_H
#define VQ_HOST_FILE_H

#include <cstddef>
#include <string>

namespace vq {

// Reads n bytes, retrying short reads; *got is less than n only at the end
// of the file. False when a read fails (errno set; *got holds what was read).
bool ReadFull(int fd, void *buf, size_t n, size_t *got);

// Writes all n bytes, retrying short writes. False with errno set when a
// write fails (ENOSPC when the system takes no more bytes without saying why).
bool WriteFull(int fd, const void *buf, size_t n);

// The whole of a regular file. Folders and other special files are refused
// (a pipe could block). False with the system's error text in *err.
bool LoadFile(const std::string &path, std::string *out, std::string *err);

// ASCII letters lower-cased, other bytes unchanged: the comparison Windows
// makes for file, section and key names in the ASCII range.
std::string LowerAscii(std::string s);

}  // namespace vq

#endif
