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

bool ReadCabinet(const uint8_t *data, size_t size, std::vector<CabMember> *members,
                 std::string *error) {
    members->clear();
    if (size < kHeaderSize || !LooksLikeCabinet(data, size)) {
        *error = size < kHeaderSize && LooksLikeCabinet(data, size)
                     ? "cut short inside the cabinet header"
                     : "not a cabinet (no \"MSCF\" signature)";
        return false;
    }
    uint32_t cab_size = Get32(data + 8);
    uint32_t files_at = Get32(data + 16);
    uint8_t minor = data[24], major = data[25];
    uint16_t n_folders = Get16(data + 26), n_files = Get16(data + 28);
    uint16_t flags = Get16(data + 30);
    if (cab_size > size) {
        *error = "the header gives " + Num(cab_size) + " bytes, the file has " + Num(size) +
                 ": it is cut short";
        return false;
    }
    if (cab_size < kHeaderSize) {
        *error = "the header gives a size of " + Num(cab_size) + " bytes, less than a header";
        return false;
    }
    if (major != 1) {
        *error = "cabinet version " + Num(major) + "." + Num(minor) + " (this reader knows 1.x)";
        return false;
    }
    if (flags & (kFlagPrev | kFlagNext)) {
        *error = "the cabinet is part of a set that spans several cabinets; only single "
                 "cabinets are read";
        return false;
    }
    // Everything below lies inside the cabinet's own size.
    const uint32_t end = cab_size;
    uint32_t at = kHeaderSize;
    uint32_t folder_reserve = 0, data_reserve = 0;
    if (flags & kFlagReserve) {
        if (end - at < 4) {
            *error = "cut short inside the reserve sizes";
            return false;
        }
        uint32_t header_reserve = Get16(data + at);
        folder_reserve = data[at + 2];
        data_reserve = data[at + 3];
        at += 4;
        if (end - at < header_reserve) {
            *error = "the header's reserved area (" + Num(header_reserve) +
                     " bytes) passes the end of the cabinet";
            return false;
        }
        at += header_reserve;
    }
    std::vector<Folder> folders(n_folders);
    const uint32_t folder_rec = kFolderSize + folder_reserve;
    for (uint32_t i = 0; i < n_folders; i++, at += folder_rec) {
        if (end - at < folder_rec) {
            *error = "folder " + Num(i) + ": its record passes the end of the cabinet";
            return false;
        }
        Folder &f = folders[i];
        f.first_block = Get32(data + at);
        f.blocks = Get16(data + at + 4);
        uint16_t type = Get16(data + at + 6) & kCompressMask;
        if (type == kTypeQuantum || type == kTypeLzx) {
            *error = "folder " + Num(i) + " is compressed with " +
                     (type == kTypeLzx ? "LZX" : "Quantum") +
                     ", which this reader does not decompress (only none and MSZIP)";
            return false;
        }
        if (type != kTypeNone && type != kTypeMszip) {
            *error = "folder " + Num(i) + ": unknown compression type " + Num(type);
            return false;
        }
        f.type = type;
        // Walk the blocks: each header and its data inside the cabinet.
        uint32_t b_at = f.first_block;
        const uint32_t head = kDataSize + data_reserve;
        for (uint32_t b = 0; b < f.blocks; b++) {
            if (b_at > end || end - b_at < head) {
                *error = "folder " + Num(i) + ", block " + Num(b) +
                         ": its header passes the end of the cabinet";
                return false;
            }
            uint16_t cb_data = Get16(data + b_at + 4), cb_uncomp = Get16(data + b_at + 6);
            if (end - b_at - head < cb_data) {
                *error = "folder " + Num(i) + ", block " + Num(b) + ": its " + Num(cb_data) +
                         " bytes pass the end of the cabinet";
                return false;
            }
            if (cb_uncomp > kBlockMax || (type == kTypeNone && cb_data != cb_uncomp) ||
                (type == kTypeMszip && cb_data > kMszipMax)) {
                *error = "folder " + Num(i) + ", block " + Num(b) + ": sizes " + Num(cb_data) +
                         " / " + Num(cb_uncomp) + " are not possible for its compression";
                return false;
            }
            f.size += cb_uncomp;
            b_at += head + cb_data;
        }
    }

    std::vector<File> files(n_files);
    at = files_at;
    uint64_t total = 0;
    for (uint32_t i = 0; i < n_files; i++) {
        if (at > end || end - at < kFileSize) {
            *error = "file " + Num(i) + ": its record passes the end of the cabinet";
            return false;
        }
        File &f = files[i];
        f.size = Get32(data + at);
        f.offset = Get32(data + at + 4);
        f.folder = Get16(data + at + 8);
        f.date = Get16(data + at + 10);
        f.time = Get16(data + at + 12);
        f.attribs = Get16(data + at + 14);
        at += kFileSize;
        const uint8_t *name = data + at;
        const void *nul = std::memchr(name, 0, end - at);
        if (!nul) {
            *error = "file " + Num(i) + ": its name has no end inside the cabinet";
            return false;
        }
        f.name.assign((const char *)name, (const uint8_t *)nul - name);
        at += (uint32_t)f.name.size() + 1;
        if (f.name.empty()) {
            *error = "file " + Num(i) + " has an empty name";
            return false;
        }
        if (f.folder >= n_folders) {
            *error = "file '" + f.name + "': " +
                     (f.folder >= 0xFFFD ? std::string("continued from or into another cabinet")
                                         : "folder " + Num(f.folder) + " does not exist");
            return false;
        }
        Folder &fo = folders[f.folder];
        if ((uint64_t)f.offset + f.size > fo.size) {
            *error = "file '" + f.name + "': bytes " + Num(f.offset) + " to " +
                     Num((uint64_t)f.offset + f.size) + " lie outside its folder's " +
                     Num(fo.size) + " bytes";
            return false;
        }
        fo.used = true;
        total += f.size;
        if (total > kMaxTotal) {
            *error = "the members hold more than 2 GiB";
            return false;
        }
    }

    // Each folder that holds a file, decompressed once; its files cut out
    // into their places in record order.
    members->resize(n_files);
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < folders.size(); i++) {
        if (!folders[i].used) continue;
        if (!ReadFolder(data, folders[i], data_reserve, i, &stream, error)) {
            members->clear();
            return false;
        }
        for (size_t j = 0; j < files.size(); j++) {
            const File &f = files[j];
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
