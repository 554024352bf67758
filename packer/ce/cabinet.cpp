// Microsoft cabinet files over zlib. Layout (all integers little-endian):
//
//   CFHEADER   36 bytes: "MSCF", reserved, cbCabinet, reserved, coffFiles,
//              reserved, version 1.3, cFolders, cFiles, flags, setID,
//              iCabinet; with flag RESERVE_PRESENT then cbCFHeader (2),
//              cbCFFolder (1), cbCFData (1) and cbCFHeader reserved bytes;
//              with PREV_CABINET / NEXT_CABINET the names of the neighbours
//   CFFOLDER   per folder: coffCabStart (4), cCFData (2), typeCompress (2),
//              cbCFFolder reserved bytes
//   CFFILE     at coffFiles, per file: cbFile (4), uoffFolderStart (4),
//              iFolder (2), date (2), time (2), attribs (2), the name and
//              its NUL
//   CFDATA     per block of a folder, from its coffCabStart: csum (4),
//              cbData (2), cbUncomp (2), cbCFData reserved bytes, cbData
//              bytes of data
//
// A folder's blocks hold one stream, its files' data back to back; a block
// carries at most 32768 bytes of it. MSZIP blocks are "CK" and a raw
// deflate stream that ends in a final block; the stream may refer back into
// the previous 32 KiB of the folder's data, so each block is inflated with
// what came before as its dictionary.
#include "ce/cabinet.h"

#include <zlib.h>

#include <cstring>

namespace {

constexpr uint32_t kHeaderSize = 36;
constexpr uint32_t kFolderSize = 8;
constexpr uint32_t kFileSize = 16;
constexpr uint32_t kDataSize = 8;
constexpr uint32_t kBlockMax = 32768;           // uncompressed bytes per CFDATA block
constexpr uint32_t kMszipMax = kBlockMax + 12;  // MSZIP block: two stored blocks at most
constexpr uint32_t kMaxBlocks = 65535;          // cCFData is 16 bits
constexpr uint32_t kMaxName = 255;              // name bytes without the NUL
// Members read in total: what an installer can hold, and a bound on the
// memory a hostile cabinet can make the reader take.
constexpr uint64_t kMaxTotal = 0x7FFFFFFF;

constexpr uint16_t kFlagPrev = 0x0001;
constexpr uint16_t kFlagNext = 0x0002;
constexpr uint16_t kFlagReserve = 0x0004;
constexpr uint16_t kCompressMask = 0x000F;
constexpr uint16_t kTypeNone = 0;
constexpr uint16_t kTypeMszip = 1;
constexpr uint16_t kTypeQuantum = 2;
constexpr uint16_t kTypeLzx = 3;
constexpr uint16_t kAttribUtf8 = 0x0080;  // the name is UTF-8

uint16_t Get16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}
void Put16(std::vector<uint8_t> *o, uint32_t v) {
    o->push_back((uint8_t)v);
    o->push_back((uint8_t)(v >> 8));
}
void Put32(std::vector<uint8_t> *o, uint32_t v) {
    Put16(o, v & 0xFFFF);
    Put16(o, v >> 16);
}
void Set32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// The cabinet checksum: 32-bit words XORed together, a tail of 1 to 3
// bytes taken as one word with its first byte highest.
uint32_t Checksum(const uint8_t *p, size_t n, uint32_t seed) {
    uint32_t sum = seed;
    size_t words = n / 4;
    for (size_t i = 0; i < words; i++, p += 4) sum ^= Get32(p);
    uint32_t tail = 0;
    for (size_t i = 0; i < n % 4; i++) tail = (tail << 8) | p[i];
    return sum ^ tail;
}

// A CFDATA block's checksum: its data, then cbData, cbUncomp and the
// block's reserved bytes (`head` points at cbData).
uint32_t BlockChecksum(const uint8_t *head, size_t head_len, const uint8_t *data,
                       size_t data_len) {
    return Checksum(head, head_len, Checksum(data, data_len, 0));
}

// One MSZIP block: "CK" and a raw deflate stream of `len` bytes that may
// refer into `dict`. Where deflate would not gain, one stored block.
bool MszipBlock(z_stream *z, const uint8_t *dict, size_t dict_len, const uint8_t *in,
                size_t len, std::vector<uint8_t> *out) {
    out->assign({'C', 'K'});
    if (deflateReset(z) != Z_OK) return false;
    if (dict_len && deflateSetDictionary(z, dict, (uInt)dict_len) != Z_OK) return false;
    uint8_t buf[kMszipMax];
    z->next_in = (Bytef *)in;
    z->avail_in = (uInt)len;
    z->next_out = buf;
    z->avail_out = sizeof buf;
    int rc = deflate(z, Z_FINISH);
    size_t n = sizeof buf - z->avail_out;
    if (rc == Z_STREAM_END && n < len + 5) {
        out->insert(out->end(), buf, buf + n);
        return true;
    }
    // BFINAL 1, BTYPE 00, then LEN and its complement.
    out->push_back(0x01);
    Put16(out, (uint32_t)len);
    Put16(out, (uint32_t)(~len & 0xFFFF));
    out->insert(out->end(), in, in + len);
    return true;
}

struct Folder {
    uint32_t first_block;  // offset of its first CFDATA
    uint16_t blocks;
    uint16_t type;
    uint64_t size = 0;     // sum of cbUncomp
    bool used = false;     // a file lies in it
};

struct File {
    uint32_t size, offset;
    uint16_t folder, date, time, attribs;
    std::string name;
};

std::string Num(uint64_t v) { return std::to_string(v); }

// Inflates or copies the blocks of `f` into *out, checking each block's
// checksum and sizes.
bool ReadFolder(const uint8_t *cab, const Folder &f, uint32_t data_reserve, size_t index,
                std::vector<uint8_t> *out, std::string *error) {
    std::string where = "folder " + Num(index) + ", block ";
    // No reserve from the declared sizes: they are only claims until the
    // blocks inflate.
    out->clear();
    z_stream z;
    std::memset(&z, 0, sizeof z);
    bool inflating = false;
    if (f.type == kTypeMszip) {
        if (inflateInit2(&z, -15) != Z_OK) {
            *error = "out of memory";
            return false;
        }
        inflating = true;
    }
    bool ok = true;
    uint8_t block[kBlockMax + 1];
    uint32_t at = f.first_block;
    for (uint32_t b = 0; b < f.blocks && ok; b++) {
        // Bounds were checked when the folder was walked.
        const uint8_t *h = cab + at;
        uint32_t csum = Get32(h);
        uint16_t cb_data = Get16(h + 4), cb_uncomp = Get16(h + 6);
        uint32_t head = kDataSize + data_reserve;
        const uint8_t *data = h + head;
        at += head + cb_data;
        if (csum != 0 && BlockChecksum(h + 4, head - 4, data, cb_data) != csum) {
            *error = where + Num(b) + ": checksum does not match its data";
            ok = false;
        } else if (f.type == kTypeNone) {
            out->insert(out->end(), data, data + cb_data);
        } else {
            if (cb_data < 2 || data[0] != 'C' || data[1] != 'K') {
                *error = where + Num(b) + ": no MSZIP signature (\"CK\")";
                ok = false;
                break;
            }
            inflateReset(&z);
            size_t have = out->size();
            size_t dict = have < kBlockMax ? have : kBlockMax;
            if (dict && inflateSetDictionary(&z, out->data() + have - dict, (uInt)dict) != Z_OK) {
                *error = where + Num(b) + ": cannot set the inflate window";
                ok = false;
                break;
            }
            z.next_in = (Bytef *)data + 2;
            z.avail_in = cb_data - 2u;
            z.next_out = block;
            z.avail_out = sizeof block;
            int rc = inflate(&z, Z_FINISH);
            size_t got = sizeof block - z.avail_out;
            if (rc != Z_STREAM_END) {
                *error = where + Num(b) + ": " +
                         (rc == Z_DATA_ERROR ? "damaged deflate data"
                                             : "deflate data ends before its final block");
                ok = false;
            } else if (got != cb_uncomp) {
                *error = where + Num(b) + ": inflates to " + Num(got) +
                         " bytes, its header says " + Num(cb_uncomp);
                ok = false;
            } else {
                out->insert(out->end(), block, block + got);
            }
        }
    }
    if (inflating) inflateEnd(&z);
    return ok;
}

}  // namespace

void CabDosTime(int64_t unix_time, uint16_t *dos_date, uint16_t *dos_time) {
    // 1980-01-01 and 2107-12-31 23:59:58 UTC: what the fields can hold.
    const int64_t kFirst = 315532800, kLast = 4354819198;
    if (unix_time < kFirst) unix_time = kFirst;
    if (unix_time > kLast) unix_time = kLast;
    int64_t days = unix_time / 86400, secs = unix_time % 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian, eras of
    // 400 years starting on March 1st).
    int64_t z = days + 719468;
    int64_t era = z / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2);
    *dos_date = (uint16_t)(((year - 1980) << 9) | (month << 5) | day);
    *dos_time = (uint16_t)(((secs / 3600) << 11) | ((secs / 60 % 60) << 5) | (secs % 60 / 2));
}

bool LooksLikeCabinet(const uint8_t *data, size_t size) {
    return size >= 4 && std::memcmp(data, "MSCF", 4) == 0;
}

bool WriteCabinet(const std::vector<CabMember> &members, CabCompression compression,
                  std::vector<uint8_t> *out, std::string *error) {
    if (members.size() > 0xFFFF) {
        *error = Num(members.size()) + " members: a cabinet holds at most 65535";
        return false;
    }
    uint64_t total = 0;
    uint32_t files_size = 0;
    for (const CabMember &m : members) {
        if (m.name.empty() || m.name.size() > kMaxName ||
            m.name.find('\0') != std::string::npos) {
            *error = "member name '" + m.name + "': it must have 1 to 255 bytes and no NUL";
            return false;
        }
        total += m.data.size();
        files_size += kFileSize + (uint32_t)m.name.size() + 1;
    }
    uint64_t blocks = (total + kBlockMax - 1) / kBlockMax;
    if (blocks > kMaxBlocks) {
        *error = "the members hold " + Num(total) + " bytes: one cabinet folder holds at most " +
                 Num((uint64_t)kMaxBlocks * kBlockMax);
        return false;
    }

    // The folder's stream, the members back to back.
    std::vector<uint8_t> stream;
    stream.reserve((size_t)total);
    for (const CabMember &m : members) stream.insert(stream.end(), m.data.begin(), m.data.end());

    const uint32_t files_at = kHeaderSize + kFolderSize;
    const uint32_t data_at = files_at + files_size;
    std::vector<uint8_t> &o = *out;
    o.clear();
    o.insert(o.end(), {'M', 'S', 'C', 'F'});
    Put32(&o, 0);
    Put32(&o, 0);  // cbCabinet, set at the end
    Put32(&o, 0);
    Put32(&o, files_at);
    Put32(&o, 0);
    o.push_back(3);  // version 1.3
    o.push_back(1);
    Put16(&o, 1);  // one folder
    Put16(&o, (uint32_t)members.size());
    Put16(&o, 0);  // flags: no reserve, no neighbours
    Put16(&o, 0);  // setID
    Put16(&o, 0);  // iCabinet
    Put32(&o, data_at);
    Put16(&o, (uint32_t)blocks);
    Put16(&o, compression == CabCompression::kMszip ? kTypeMszip : kTypeNone);
    uint32_t offset = 0;
    for (const CabMember &m : members) {
        bool utf8 = false;
        for (char c : m.name) utf8 |= (unsigned char)c >= 0x80;
        Put32(&o, (uint32_t)m.data.size());
        Put32(&o, offset);
        Put16(&o, 0);
        Put16(&o, m.dos_date);
        Put16(&o, m.dos_time);
        Put16(&o, (uint16_t)(utf8 ? m.attribs | kAttribUtf8 : m.attribs & ~kAttribUtf8));
        o.insert(o.end(), m.name.begin(), m.name.end());
        o.push_back(0);
        offset += (uint32_t)m.data.size();
    }

    z_stream z;
    std::memset(&z, 0, sizeof z);
    bool mszip = compression == CabCompression::kMszip;
    // memLevel 9: a whole 32 KiB block fits one deflate block's symbols.
    if (mszip && deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        *error = "out of memory";
        return false;
    }
    std::vector<uint8_t> packed;
    bool ok = true;
    for (uint64_t pos = 0; pos < total && ok; pos += kBlockMax) {
        size_t len = (size_t)(total - pos < kBlockMax ? total - pos : kBlockMax);
        const uint8_t *in = stream.data() + pos;
        if (mszip) {
            size_t dict = pos ? kBlockMax : 0;  // every block before the last is full
            ok = MszipBlock(&z, in - dict, dict, in, len, &packed);
        } else {
            packed.assign(in, in + len);
        }
        size_t head_at = o.size();
        Put32(&o, 0);
        Put16(&o, (uint32_t)packed.size());
        Put16(&o, (uint32_t)len);
        Set32(&o[head_at], BlockChecksum(&o[head_at + 4], 4, packed.data(), packed.size()));
        o.insert(o.end(), packed.begin(), packed.end());
        if (o.size() > 0xFFFFFFFFu) {
            *error = "the cabinet would pass 4 GiB";
            ok = false;
        }
    }
    if (mszip) deflateEnd(&z);
    if (!ok) {
        if (error->empty()) *error = "deflate failed";
        o.clear();
        return false;
    }
    Set32(&o[8], (uint32_t)o.size());
    return true;
}

namespace {

// A cabinet read in the steps its layout has: the header (with its
// reserves and a signature's place), the folder records with their blocks,
// the file records, then each folder's data. Every offset and length is
// checked against the cabinet's own size before it is used.
class CabReader {
public:
    CabReader(const uint8_t *data, size_t size, std::string *error)
        : data_(data), size_(size), error_(error) {}

    bool Run(std::vector<CabMember> *members, CabInfo *info) {
        return Header(info) && Folders(info) && Files() && Data(members);
    }

private:
    bool Fail(const std::string &msg) {
        *error_ = msg;
        return false;
    }

    bool Header(CabInfo *info) {
        if (size_ < kHeaderSize || !LooksLikeCabinet(data_, size_))
            return Fail(size_ < kHeaderSize && LooksLikeCabinet(data_, size_)
                            ? "cut short inside the cabinet header"
                            : "not a cabinet (no \"MSCF\" signature)");
        uint32_t cab_size = Get32(data_ + 8);
        files_at_ = Get32(data_ + 16);
        uint8_t minor = data_[24], major = data_[25];
        n_folders_ = Get16(data_ + 26);
        n_files_ = Get16(data_ + 28);
        uint16_t flags = Get16(data_ + 30);
        if (cab_size > size_)
            return Fail("the header gives " + Num(cab_size) + " bytes, the file has " + Num(size_) +
                        ": it is cut short");
        if (cab_size < kHeaderSize)
            return Fail("the header gives a size of " + Num(cab_size) + " bytes, less than a header");
        if (major != 1)
            return Fail("cabinet version " + Num(major) + "." + Num(minor) + " (this reader knows 1.x)");
        if (flags & (kFlagPrev | kFlagNext))
            return Fail("the cabinet is part of a set that spans several cabinets; only single "
                        "cabinets are read");
        // Everything below lies inside the cabinet's own size.
        end_ = cab_size;
        at_ = kHeaderSize;
        info->size = cab_size;
        if (!(flags & kFlagReserve)) return true;
        if (end_ - at_ < 4) return Fail("cut short inside the reserve sizes");
        uint32_t header_reserve = Get16(data_ + at_);
        folder_reserve_ = data_[at_ + 2];
        data_reserve_ = data_[at_ + 3];
        at_ += 4;
        if (end_ - at_ < header_reserve)
            return Fail("the header's reserved area (" + Num(header_reserve) +
                        " bytes) passes the end of the cabinet");
        info->header_reserve = (uint16_t)header_reserve;
        info->folder_reserve = (uint8_t)folder_reserve_;
        info->data_reserve = (uint8_t)data_reserve_;
        // An Authenticode signature: a 20-byte reserve that starts with
        // 0x00100000 and gives the signature's offset and size behind the
        // cabinet.
        if (header_reserve >= 20 && Get32(data_ + at_) == 0x00100000) {
            uint32_t sig_at = Get32(data_ + at_ + 4), sig_size = Get32(data_ + at_ + 8);
            info->signature_offset = sig_at;
            info->signature_size = sig_size;
            info->signed_ = sig_at >= cab_size && sig_at <= size_ && size_ - sig_at >= sig_size &&
                            sig_size > 0;
        }
        at_ += header_reserve;
        return true;
    }

    bool Folders(CabInfo *info) {
        folders_.resize(n_folders_);
        const uint32_t rec = kFolderSize + folder_reserve_;
        for (uint32_t i = 0; i < n_folders_; i++, at_ += rec) {
            if (end_ - at_ < rec) return Fail("folder " + Num(i) + ": its record passes the end of the cabinet");
            Folder &f = folders_[i];
            f.first_block = Get32(data_ + at_);
            f.blocks = Get16(data_ + at_ + 4);
            uint16_t type = Get16(data_ + at_ + 6) & kCompressMask;
            info->compression.push_back(type);
            if (type == kTypeQuantum || type == kTypeLzx)
                return Fail("folder " + Num(i) + " is compressed with " +
                            (type == kTypeLzx ? "LZX" : "Quantum") +
                            ", which this reader does not decompress (only none and MSZIP)");
            if (type != kTypeNone && type != kTypeMszip)
                return Fail("folder " + Num(i) + ": unknown compression type " + Num(type));
            f.type = type;
            if (!Blocks(i, &f)) return false;
        }
        return true;
    }

    // Walks a folder's blocks: each header and its data inside the cabinet,
    // sizes possible for its compression.
    bool Blocks(uint32_t i, Folder *f) {
        uint32_t b_at = f->first_block;
        const uint32_t head = kDataSize + data_reserve_;
        for (uint32_t b = 0; b < f->blocks; b++) {
            std::string where = "folder " + Num(i) + ", block " + Num(b) + ": ";
            if (b_at > end_ || end_ - b_at < head) return Fail(where + "its header passes the end of the cabinet");
            uint16_t cb_data = Get16(data_ + b_at + 4), cb_uncomp = Get16(data_ + b_at + 6);
            if (end_ - b_at - head < cb_data)
                return Fail(where + "its " + Num(cb_data) + " bytes pass the end of the cabinet");
            if (cb_uncomp > kBlockMax || (f->type == kTypeNone && cb_data != cb_uncomp) ||
                (f->type == kTypeMszip && cb_data > kMszipMax))
                return Fail(where + "sizes " + Num(cb_data) + " / " + Num(cb_uncomp) +
                            " are not possible for its compression");
            f->size += cb_uncomp;
            b_at += head + cb_data;
        }
        return true;
    }

    bool Files() {
        files_.resize(n_files_);
        uint32_t at = files_at_;
        uint64_t total = 0;
        for (uint32_t i = 0; i < n_files_; i++) {
            if (at > end_ || end_ - at < kFileSize)
                return Fail("file " + Num(i) + ": its record passes the end of the cabinet");
            File &f = files_[i];
            f.size = Get32(data_ + at);
            f.offset = Get32(data_ + at + 4);
            f.folder = Get16(data_ + at + 8);
            f.date = Get16(data_ + at + 10);
            f.time = Get16(data_ + at + 12);
            f.attribs = Get16(data_ + at + 14);
            at += kFileSize;
            const uint8_t *name = data_ + at;
            const void *nul = std::memchr(name, 0, end_ - at);
            if (!nul) return Fail("file " + Num(i) + ": its name has no end inside the cabinet");
            f.name.assign((const char *)name, (const uint8_t *)nul - name);
            at += (uint32_t)f.name.size() + 1;
            if (f.name.empty()) return Fail("file " + Num(i) + " has an empty name");
            if (f.folder >= n_folders_)
                return Fail("file '" + f.name + "': " +
                            (f.folder >= 0xFFFD ? std::string("continued from or into another cabinet")
                                                : "folder " + Num(f.folder) + " does not exist"));
            Folder &fo = folders_[f.folder];
            if ((uint64_t)f.offset + f.size > fo.size)
                return Fail("file '" + f.name + "': bytes " + Num(f.offset) + " to " +
                            Num((uint64_t)f.offset + f.size) + " lie outside its folder's " +
                            Num(fo.size) + " bytes");
            fo.used = true;
            total += f.size;
            if (total > kMaxTotal) return Fail("the members hold more than 2 GiB");
        }
        return true;
    }

    // Each folder that holds a file, decompressed once; its files cut out
    // into their places in record order.
    bool Data(std::vector<CabMember> *members) {
        members->resize(n_files_);
        std::vector<uint8_t> stream;
        for (size_t i = 0; i < folders_.size(); i++) {
            if (!folders_[i].used) continue;
            if (!ReadFolder(data_, folders_[i], data_reserve_, i, &stream, error_)) return false;
            for (size_t j = 0; j < files_.size(); j++) {
                const File &f = files_[j];
                if (f.folder != i) continue;
                CabMember &m = (*members)[j];
                m.name = f.name;
                m.data.assign(stream.begin() + f.offset, stream.begin() + f.offset + f.size);
                m.dos_date = f.date;
                m.dos_time = f.time;
                m.attribs = f.attribs;
            }
        }
        return true;
    }

    const uint8_t *data_;
    size_t size_;
    std::string *error_;
    uint32_t end_ = 0, at_ = 0, files_at_ = 0;
    uint32_t n_folders_ = 0, n_files_ = 0, folder_reserve_ = 0, data_reserve_ = 0;
    std::vector<Folder> folders_;
    std::vector<File> files_;
};

}  // namespace

bool ReadCabinet(const uint8_t *data, size_t size, std::vector<CabMember> *members,
                 std::string *error, CabInfo *info) {
    members->clear();
    CabInfo local;
    CabInfo *out = info ? info : &local;
    *out = CabInfo();
    if (!CabReader(data, size, error).Run(members, out)) {
        members->clear();
        return false;
    }
    return true;
}
