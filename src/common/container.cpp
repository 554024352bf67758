// The container reader shared by the setup program and the packer.
// Plain code: no operating-system calls, no C runtime beyond what the
// compiler may emit for copies; all I/O goes through ExtractOps.
#include "common/container.h"

const char kCorruptedText[] = "The file may be corrupted.";

uint32_t LoadLE32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

void StoreLE32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

void DecodeHeader(const uint8_t *p, ContainerHeader *h) {
    h->signature = LoadLE32(p);
    h->compressed_size = LoadLE32(p + 4);
    h->uncompressed_size = LoadLE32(p + 8);
    h->entry_count = LoadLE32(p + 12);
    h->image_checksum = LoadLE32(p + 16);
    h->directory_checksum = LoadLE32(p + 20);
    h->data_checksum = LoadLE32(p + 24);
}

void EncodeHeader(const ContainerHeader *h, uint8_t *p) {
    StoreLE32(p, h->signature);
    StoreLE32(p + 4, h->compressed_size);
    StoreLE32(p + 8, h->uncompressed_size);
    StoreLE32(p + 12, h->entry_count);
    StoreLE32(p + 16, h->image_checksum);
    StoreLE32(p + 20, h->directory_checksum);
    StoreLE32(p + 24, h->data_checksum);
}

void DecodeEntry(const uint8_t *p, DirectoryEntry *e) {
    e->name_offset = LoadLE32(p);
    e->data_offset = LoadLE32(p + 4);
    e->data_size = LoadLE32(p + 8);
}

void EncodeEntry(const DirectoryEntry *e, uint8_t *p) {
    StoreLE32(p, e->name_offset);
    StoreLE32(p + 4, e->data_offset);
    StoreLE32(p + 8, e->data_size);
}

uint32_t ContainerChecksum(uint32_t running, const void *data, uint32_t len) {
    // zlib's adler32 answers 1 for a NULL buffer, whatever the start value.
    if (len == 0) return running;
    return (uint32_t)adler32(running, (const Bytef *)data, len);
}

bool FindSignedFields(const uint8_t *image, uint32_t *checksum_at,
                      uint32_t *cert_entry_at) {
    if (image[0] != 'M' || image[1] != 'Z') return false;
    uint32_t pe = LoadLE32(image + 0x3C);
    // The PE32+ header reaches e_lfanew + 176 (the end of the entry).
    if (pe > (uint32_t)kImageSize - 176 || LoadLE32(image + pe) != 0x00004550)
        return false;
    uint32_t magic = image[pe + 24] | ((uint32_t)image[pe + 25] << 8);
    uint32_t dirs, entry;
    if (magic == 0x10B) {
        dirs = pe + 116;
        entry = pe + 152;
    } else if (magic == 0x20B) {
        dirs = pe + 132;
        entry = pe + 168;
    } else {
        return false;
    }
    // The Certificate Table is data directory 4.
    if (LoadLE32(image + dirs) < 5) return false;
    *checksum_at = pe + 88;
    *cert_entry_at = entry;
    return true;
}

void MaskSignedFields(uint8_t *image) {
    uint32_t ck, cert;
    if (!FindSignedFields(image, &ck, &cert)) return;
    for (uint32_t i = 0; i < 4; i++) image[ck + i] = 0;
    for (uint32_t i = 0; i < 8; i++) image[cert + i] = 0;
}

static char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// Device names Windows maps whatever folder they stand in, also with an
// extension ("nul.txt") or trailing blanks before it.
static bool IsReservedDeviceName(const char *name) {
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    int stem = 0;
    while (name[stem] && name[stem] != '.') stem++;
    while (stem > 0 && name[stem - 1] == ' ') stem--;
    for (int i = 0; i < 4; i++) {
        const char *d = kDevices[i];
        if (stem == 3 && UpperAscii(name[0]) == d[0] &&
            UpperAscii(name[1]) == d[1] && UpperAscii(name[2]) == d[2])
            return true;
    }
    if (stem == 4 && name[3] >= '1' && name[3] <= '9') {
        char a = UpperAscii(name[0]), b = UpperAscii(name[1]),
             c = UpperAscii(name[2]);
        if ((a == 'C' && b == 'O' && c == 'M') ||
            (a == 'L' && b == 'P' && c == 'T'))
            return true;
    }
    return false;
}

bool IsSafeMemberName(const char *name) {
    if (!name || !name[0]) return false;
    uint32_t len = 0;
    for (const char *p = name; *p; p++, len++) {
        unsigned char c = (unsigned char)*p;
        if (c < 32 || c == '\\' || c == '/' || c == ':' || c == '<' ||
            c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
            return false;
    }
    char last = name[len - 1];
    // "." and ".." are caught here too: they end in a dot.
    if (last == '.' || last == ' ') return false;
    return !IsReservedDeviceName(name);
}

// Everything said about each result, in ExtractResult order.
static const struct {
    const char *text;
    uint8_t has_code;        // ExtractResultHasCode
    uint8_t takes_path;      // ExtractResultTakesPath
    uint8_t system_failure;  // ExtractResultIsSystemFailure
} kResults[kExtractResultCount] = {
    // text                                          code path system
    {"",                                                0, 0, 0},  // kExtractOk
    {"Installer failed to open itself.",                1, 0, 1},  // kErrOpenSelf
    {"Invalid file size in installer. %s",              0, 0, 0},  // kErrFileSize
    {"Error allocating memory.",                        1, 0, 1},  // kErrAlloc
    {"Error reading data from installer.",              1, 0, 0},  // kErrReadSelf
    {"Invalid signature in installer. %s",              0, 0, 0},  // kErrSignature
    {"Invalid CRC in installer. %s",                    0, 0, 0},  // kErrImageChecksum
    {"Invalid number of entries in installer. %s",      0, 0, 0},  // kErrEntryCount
    {"Invalid CRC in data block. %s",                   0, 0, 0},  // kErrDirectoryChecksum
    {"Error creating file in %s.",                      1, 1, 1},  // kErrCreateSpool
    {"Unexpected end of installer data. %s",            0, 0, 0},  // kErrTruncated
    {"Installer failed to extract data block.",         0, 0, 0},  // kErrInflate
    {"Error writing data to %s.",                       1, 1, 1},  // kErrWriteSpool
    {"Invalid CRC in compressed data. %s",              0, 0, 0},  // kErrDataChecksum
    {"Invalid directory entry in installer. %s",        0, 0, 0},  // kErrEntryRange
    {"Invalid file name in installer. %s",              0, 0, 0},  // kErrMemberName
    {"Error reading data from temporary file.",         1, 0, 1},  // kErrReadSpool
    {"Unexpected end of data in temporary file. %s",    0, 0, 0},  // kErrSpoolShort
    {"Error creating file in %s.",                      1, 1, 1},  // kErrCreateMember
    {"Error writing data to %s.",                       1, 1, 1},  // kErrWriteMember
};

static bool KnownResult(ExtractResult r) { return (int)r >= 0 && r < kExtractResultCount; }

const char *ExtractResultText(ExtractResult r) {
    return KnownResult(r) ? kResults[r].text : "";
}

bool ExtractResultHasCode(ExtractResult r) { return KnownResult(r) && kResults[r].has_code; }

bool ExtractResultTakesPath(ExtractResult r) {
    return KnownResult(r) && kResults[r].takes_path;
}

bool ExtractResultIsSystemFailure(ExtractResult r) {
    return KnownResult(r) && kResults[r].system_failure;
}

static voidpf ZAlloc(voidpf opaque, uInt items, uInt size) {
    const ExtractOps *ops = (const ExtractOps *)opaque;
    uint64_t n = (uint64_t)items * size;
    if (n > 0xFFFFFFFFu) return Z_NULL;
    return ops->alloc(ops->ctx, (uint32_t)n);
}

static void ZFree(voidpf opaque, voidpf p) {
    const ExtractOps *ops = (const ExtractOps *)opaque;
    ops->release(ops->ctx, p);
}

static ExtractResult Fail(const ExtractOps *ops, ReaderState *st,
                          ExtractResult r) {
    if (ExtractResultHasCode(r)) st->code = ops->last_error(ops->ctx);
    return r;
}

// Reads exactly n bytes of the own file; a short read is a failure.
static bool ReadSelfExact(const ExtractOps *ops, void *buf, uint32_t n) {
    uint32_t got = 0;
    return ops->read_self(ops->ctx, buf, n, &got) && got == n;
}

static ExtractResult VerifyHead(const ExtractOps *ops, ReaderState *st) {
    if (ops->file_size <= (uint32_t)kMinFileSize) return kErrFileSize;
    st->work = (uint8_t *)ops->alloc(ops->ctx, kWorkSize);
    if (!st->work) return Fail(ops, st, kErrAlloc);
    if (!ReadSelfExact(ops, st->work, kImageSize))
        return Fail(ops, st, kErrReadSelf);
    uint8_t raw[kHeaderSize];
    if (!ReadSelfExact(ops, raw, kHeaderSize))
        return Fail(ops, st, kErrReadSelf);
    DecodeHeader(raw, &st->header);
    const ContainerHeader &h = st->header;
    if (h.signature != (uint32_t)kSignature) return kErrSignature;
    // The plain value is what writers that do not mask store; the masked
    // one survives signing. The buffer is a copy: masking it in place is
    // harmless.
    if (ContainerChecksum(kChecksumSeed, st->work, kImageSize) != h.image_checksum) {
        MaskSignedFields(st->work);
        if (ContainerChecksum(kChecksumSeed, st->work, kImageSize) != h.image_checksum)
            return kErrImageChecksum;
    }
    // The directory is checksummed inside the working buffer.
    if (h.entry_count > (uint32_t)kMaxEntries) return kErrEntryCount;
    uint32_t dir_bytes = h.entry_count * kEntrySize;
    // A zero-byte allocation may legitimately return NULL; keep one byte.
    st->directory = (uint8_t *)ops->alloc(ops->ctx, dir_bytes ? dir_bytes : 1);
    if (!st->directory) return Fail(ops, st, kErrAlloc);
    if (dir_bytes && !ReadSelfExact(ops, st->directory, dir_bytes))
        return Fail(ops, st, kErrReadSelf);
    for (uint32_t i = 0; i < dir_bytes; i++) st->work[i] = st->directory[i];
    if (ContainerChecksum(kChecksumSeed, st->work, dir_bytes) !=
        h.directory_checksum)
        return kErrDirectoryChecksum;
    return kExtractOk;
}

static void ReportProgress(const ExtractOps *ops, const ReaderState *st) {
    if (!ops->progress) return;
    uint32_t whole = st->header.uncompressed_size;
    // An empty stream, or a header claiming one, is complete at once.
    uint32_t pct = whole ? (uint32_t)((uint64_t)st->total * 100 / whole) : 100;
    ops->progress(ops->ctx, pct);
}

static ExtractResult Inflate(const ExtractOps *ops, ReaderState *st,
                             uint32_t *running) {
    uint8_t *in = st->work;
    uint8_t *window = st->work + kChunkSize;
    z_stream &z = st->strm;
    uint32_t remaining = st->header.compressed_size;
    while (remaining != 0) {
        uint32_t chunk = remaining < (uint32_t)kChunkSize ? remaining
                                                          : (uint32_t)kChunkSize;
        uint32_t n = 0;
        if (!ops->read_self(ops->ctx, in, chunk, &n))
            return Fail(ops, st, kErrReadSelf);
        // The file is shorter than the header says: reading again would
        // only spin.
        if (n == 0) return kErrTruncated;
        if (n > chunk) n = chunk;
        z.next_in = in;
        z.avail_in = n;
        for (;;) {
            z.next_out = window;
            z.avail_out = kWindowSize;
            int rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR || rc == Z_DATA_ERROR || rc == Z_NEED_DICT)
                return kErrInflate;
            uint32_t produced = kWindowSize - z.avail_out;
            if (produced == 0) break;
            *running = ContainerChecksum(*running, window, produced);
            uint32_t put = 0;
            if (!ops->write_spool(ops->ctx, window, produced, &put) ||
                put != produced)
                return Fail(ops, st, kErrWriteSpool);
            st->total += produced;
            ReportProgress(ops, st);
            if (rc == Z_BUF_ERROR) break;
            // With input used up, a call that filled the whole window may
            // have left output inside the inflater; fetch it now, or the
            // end of the last chunk would be lost.
            if (z.avail_in == 0 && produced < (uint32_t)kWindowSize) break;
        }
        remaining -= n;
    }
    return kExtractOk;
}

static ExtractResult SplitEntry(const ExtractOps *ops, ReaderState *st,
                                const DirectoryEntry &e) {
    uint64_t name_end = e.data_offset;
    uint64_t data_end = (uint64_t)e.data_offset + e.data_size;
    if (e.name_offset >= e.data_offset ||
        e.data_offset - e.name_offset > (uint32_t)kMaxNameRange ||
        data_end > st->total || data_end > (uint64_t)kMaxStreamOffset ||
        name_end > st->total)
        return kErrEntryRange;
    uint32_t name_len = e.data_offset - e.name_offset;
    char *name = (char *)st->work;
    ops->seek_spool(ops->ctx, e.name_offset);
    uint32_t got = 0;
    if (!ops->read_spool(ops->ctx, name, name_len, &got))
        return Fail(ops, st, kErrReadSpool);
    if (got != name_len) return kErrSpoolShort;
    uint32_t nul = 0;
    while (nul < name_len && name[nul]) nul++;
    if (nul == name_len) return kErrEntryRange;
    if (!IsSafeMemberName(name)) return kErrMemberName;
    if (!ops->create_member(ops->ctx, name, &e))
        return Fail(ops, st, kErrCreateMember);
    if (!ops->write_member) return kExtractOk;
    ops->seek_spool(ops->ctx, e.data_offset);
    uint32_t left = e.data_size;
    while (left) {
        uint32_t piece = left < (uint32_t)kWorkSize ? left : (uint32_t)kWorkSize;
        got = 0;
        if (!ops->read_spool(ops->ctx, st->work, piece, &got))
            return Fail(ops, st, kErrReadSpool);
        if (got == 0) return kErrSpoolShort;
        if (got > piece) got = piece;
        left -= got;
        if (!ops->write_member(ops->ctx, st->work, got))
            return Fail(ops, st, kErrWriteMember);
    }
    ops->close_member(ops->ctx);
    return kExtractOk;
}

ExtractResult ExtractContainer(const ExtractOps *ops, ReaderState *st) {
    ExtractResult r = VerifyHead(ops, st);
    if (r != kExtractOk) return r;

    if (!ops->create_spool(ops->ctx)) return Fail(ops, st, kErrCreateSpool);
    uint32_t running = kChecksumSeed;
    z_stream &z = st->strm;
    z.zalloc = ZAlloc;
    z.zfree = ZFree;
    z.opaque = (voidpf)ops;
    z.next_in = Z_NULL;
    z.avail_in = 0;
    // A failed initialisation shows up as Z_STREAM_ERROR from inflate, and
    // inflateEnd on it is harmless.
    inflateInit(&z);
    st->inflating = 1;
    if (ops->progress_begin) ops->progress_begin(ops->ctx);
    r = Inflate(ops, st, &running);
    // After a failure the window stays for the caller's clean-up.
    if (r != kExtractOk) return r;
    if (ops->progress_end) ops->progress_end(ops->ctx);
    inflateEnd(&z);
    st->inflating = 0;
    if (running != st->header.data_checksum) return kErrDataChecksum;

    for (uint32_t i = 0; i < st->header.entry_count; i++) {
        DirectoryEntry e;
        DecodeEntry(st->directory + i * kEntrySize, &e);
        st->entry = i;
        r = SplitEntry(ops, st, e);
        if (r != kExtractOk) return r;
    }
    return kExtractOk;
}

void ReleaseReader(const ExtractOps *ops, ReaderState *st) {
    if (st->inflating) {
        inflateEnd(&st->strm);
        st->inflating = 0;
    }
    if (st->work) ops->release(ops->ctx, st->work);
    if (st->directory) ops->release(ops->ctx, st->directory);
    st->work = 0;
    st->directory = 0;
}
