#include "signature.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common/container.h"
#include "platform.h"

namespace {

// Reads exactly n bytes at offset; false on an error or a short file.
bool ReadAt(int fd, uint64_t offset, uint8_t *buf, size_t n) {
    if (::lseek(fd, (off_t)offset, SEEK_SET) != (off_t)offset) return false;
    size_t have = 0;
    while (have < n) {
        ssize_t r = ::read(fd, buf + have, n - have);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        have += (size_t)r;
    }
    return true;
}

std::string Num(uint64_t v) { return std::to_string(v); }

SignatureInfo Refuse(SignatureInfo s, const std::string &why) {
    s.status = SignatureInfo::kRefused;
    s.reason = why;
    return s;
}

// The table: WIN_CERTIFICATE records back to back, each starting on an
// 8-byte boundary: dwLength (the record's bytes, these 8 included),
// wRevision, wCertificateType, then the certificate data.
SignatureInfo WalkTable(int fd, SignatureInfo s) {
    const uint64_t end = s.offset + s.size;
    uint64_t pos = s.offset;
    while (pos < end) {
        uint8_t rec[8];
        if (end - pos < 8)
            return Refuse(s, "the certificate table ends inside a record header at offset " +
                                 Num(pos) + ": the PE header's entry disagrees with the table");
        if (!ReadAt(fd, pos, rec, sizeof rec)) {
            s.status = SignatureInfo::kUnreadable;
            s.reason = "cannot read the certificate table (" + std::string(std::strerror(errno)) + ")";
            return s;
        }
        uint32_t len = LoadLE32(rec);
        if (len < 8 || len > end - pos)
            return Refuse(s, "the certificate record at offset " + Num(pos) + " claims " +
                                 Num(len) + " bytes, but the PE header's entry leaves " +
                                 Num(end - pos) + ": the entry disagrees with the table");
        s.records++;
        pos += len;
        if (pos < end) pos = (pos + 7) & ~(uint64_t)7;
    }
    if (pos != end)
        return Refuse(s, "the certificate table's records reach past the " + Num(s.size) +
                             " bytes the PE header's entry gives");
    s.status = SignatureInfo::kOk;
    return s;
}

}  // namespace

SignatureInfo CheckSignature(const std::string &path, const ReadReport &rep) {
    SignatureInfo s;
    int fd = ::open(path.c_str(), O_RDONLY | O_BINARY);
    uint8_t image[kImageSize];
    if (fd < 0 || !ReadAt(fd, 0, image, sizeof image)) {
        s.status = SignatureInfo::kUnreadable;
        s.reason = "cannot read the PE header (" + std::string(std::strerror(errno)) + ")";
        if (fd >= 0) ::close(fd);
        return s;
    }
    uint32_t checksum_at, entry_at;
    if (!FindSignedFields(image, &checksum_at, &entry_at)) {
        ::close(fd);
        return s;
    }
    s.offset = LoadLE32(image + entry_at);
    s.size = LoadLE32(image + entry_at + 4);
    const ContainerHeader &h = rep.header;
    const uint64_t container_end = (uint64_t)kImageSize + kHeaderSize +
                                   (uint64_t)h.entry_count * kEntrySize + h.compressed_size;
    const std::string where = "the certificate table (" + Num(s.size) + " bytes at offset " +
                              Num(s.offset) + ")";
    if (s.offset == 0 && s.size == 0) {
        // Not signed.
    } else if (s.offset == 0 || s.size == 0) {
        s = Refuse(s, "the PE header's certificate table entry is incomplete (" +
                          Num(s.size) + " bytes at offset " + Num(s.offset) + ")");
    } else if (s.offset < container_end) {
        s = Refuse(s, where + " starts inside the installer, whose container ends at offset " +
                          Num(container_end));
    } else if (s.offset + s.size > rep.file_size) {
        s = Refuse(s, where + " reaches past the end of the file (" + Num(rep.file_size) +
                          " bytes)");
    } else if (s.offset + s.size < rep.file_size) {
        s = Refuse(s, where + " does not end at the end of the file: " +
                          Num(rep.file_size - s.offset - s.size) + " bytes follow it");
    } else {
        s = WalkTable(fd, s);
    }
    ::close(fd);
    return s;
}

std::string DescribeSignature(const SignatureInfo &s) {
    if (s.status != SignatureInfo::kOk) return "none (no certificate table)";
    return "certificate table of " + Num(s.size) + " bytes at offset " + Num(s.offset) + " (" +
           Num(s.records) + (s.records == 1 ? " record)" : " records)");
}
