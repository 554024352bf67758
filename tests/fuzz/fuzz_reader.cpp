// Fuzz target: the whole container reader (verification, inflation into an
// in-memory spool, splitting into in-memory member files) on arbitrary bytes
// placed behind the fixed test image.
//
// Input: one mode byte, then everything that follows the image region
// (header, directory, stream, trailing bytes).
//   bit 0  set: the image, directory and data checksums in the header are
//          made right before the run, so that inputs get past verification
//          into inflation and splitting. The data checksum needs the true
//          inflated bytes, so a first inflation pass computes them.
//   bit 1  set: member data is not copied (the verify and list binding).
//
// Every run is checked against a model of the reader written from the
// container format: the result, the inflated stream in the spool, and each
// member handed out. Any difference aborts.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/container.h"
#include "test_support.h"

namespace {

const Bytes &Image() {
    static const Bytes image = TestImage();
    return image;
}

[[noreturn]] void Fail(const char *what, int a = 0, int b = 0) {
    std::fprintf(stderr, "fuzz_reader invariant broken: %s (%d, %d)\n", what, a, b);
    std::abort();
}

#define CHECK(cond) \
    do {            \
        if (!(cond)) Fail(#cond); \
    } while (0)
#define CHECK_EQ_INT(a, b) \
    do {                   \
        if ((a) != (b)) Fail(#a " == " #b, (int)(a), (int)(b)); \
    } while (0)

// Inflates `in` in one go, as much as the stream yields, stopping at its end.
// False when zlib reports an error the reader must treat as a failure.
bool InflateAll(const uint8_t *in, size_t n, Bytes *out) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) Fail("inflateInit");
    z.next_in = const_cast<Bytef *>(in);
    z.avail_in = (uInt)n;
    uint8_t buf[1 << 16];
    bool ok = true;
    for (;;) {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        int rc = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), buf, buf + (sizeof buf - z.avail_out));
        if (rc == Z_STREAM_ERROR || rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
            ok = false;
            break;
        }
        if (rc == Z_STREAM_END) break;
        if (rc == Z_BUF_ERROR) break;  // no progress possible: input used up
        if (rc == Z_MEM_ERROR) Fail("zlib out of memory");
    }
    inflateEnd(&z);
    return ok;
}

struct Expected {
    ExtractResult result = kExtractOk;
    bool reached_inflate = false;  // the spool was created
    bool inflated = false;         // inflation ended without a failure
    Bytes stream;                  // inflated bytes, when `inflated`
    std::map<std::string, Bytes> members;
    std::vector<std::string> order;
};

const size_t kStreamAt = kImageSize + kHeaderSize;

// What the reader must do with `file`, derived from the format rules alone.
Expected Model(const Bytes &file, bool copy_data) {
    Expected x;
    if (file.size() <= (size_t)kMinFileSize) {
        x.result = kErrFileSize;
        return x;
    }
    ContainerHeader h;
    DecodeHeader(file.data() + kImageSize, &h);
    if (h.signature != (uint32_t)kSignature) {
        x.result = kErrSignature;
        return x;
    }
    // Either the image as it is or with the fields signing changes masked.
    Bytes masked(file.begin(), file.begin() + kImageSize);
    MaskSignedFields(masked.data());
    if (ContainerChecksum(kChecksumSeed, file.data(), kImageSize) != h.image_checksum &&
        ContainerChecksum(kChecksumSeed, masked.data(), kImageSize) != h.image_checksum) {
        x.result = kErrImageChecksum;
        return x;
    }
    if (h.entry_count > (uint32_t)kMaxEntries) {
        x.result = kErrEntryCount;
        return x;
    }
    size_t dir_bytes = (size_t)h.entry_count * kEntrySize;
    if (kStreamAt + dir_bytes > file.size()) {
        x.result = kErrReadSelf;
        return x;
    }
    const uint8_t *dir = file.data() + kStreamAt;
    if (ContainerChecksum(kChecksumSeed, dir, (uint32_t)dir_bytes) != h.directory_checksum) {
        x.result = kErrDirectoryChecksum;
        return x;
    }
    x.reached_inflate = true;
    size_t at = kStreamAt + dir_bytes;
    size_t have = file.size() - at;
    size_t use = h.compressed_size < have ? h.compressed_size : have;
    Bytes out;
    // Zero compressed bytes: the inflater is never called.
    if (use && !InflateAll(file.data() + at, use, &out)) {
        x.result = kErrInflate;
        return x;
    }
    if (h.compressed_size > have) {
        x.result = kErrTruncated;
        return x;
    }
    x.inflated = true;
    x.stream = out;
    if (ContainerChecksum(kChecksumSeed, out.data(), (uint32_t)out.size()) != h.data_checksum) {
        x.result = kErrDataChecksum;
        return x;
    }
    for (uint32_t i = 0; i < h.entry_count; i++) {
        DirectoryEntry e;
        DecodeEntry(dir + i * kEntrySize, &e);
        uint64_t data_end = (uint64_t)e.data_offset + e.data_size;
        if (e.name_offset >= e.data_offset ||
            e.data_offset - e.name_offset > (uint32_t)kMaxNameRange ||
            data_end > out.size() || data_end > (uint64_t)kMaxStreamOffset) {
            x.result = kErrEntryRange;
            return x;
        }
        const uint8_t *nb = out.data() + e.name_offset;
        const void *nul = std::memchr(nb, 0, e.data_offset - e.name_offset);
        if (!nul) {
            x.result = kErrEntryRange;
            return x;
        }
        std::string name((const char *)nb, (const uint8_t *)nul - nb);
        if (!IsSafeMemberName(name.c_str())) {
            x.result = kErrMemberName;
            return x;
        }
        x.order.push_back(name);
        // A later entry of the same name replaces the earlier file.
        if (copy_data)
            x.members[name] = Bytes(out.begin() + e.data_offset, out.begin() + data_end);
        else
            x.members[name].clear();
    }
    x.result = kExtractOk;
    return x;
}

// Makes the image and directory checksums right, then the data checksum
// over what the stream really inflates to.
void FixChecksums(Bytes *file) {
    if (file->size() < kStreamAt) return;
    uint8_t *hp = file->data() + kImageSize;
    ContainerHeader h;
    DecodeHeader(hp, &h);
    h.image_checksum = ContainerChecksum(kChecksumSeed, file->data(), kImageSize);
    size_t dir_bytes = (size_t)h.entry_count * kEntrySize;
    if (h.entry_count <= (uint32_t)kMaxEntries && kStreamAt + dir_bytes <= file->size()) {
        h.directory_checksum =
            ContainerChecksum(kChecksumSeed, file->data() + kStreamAt, (uint32_t)dir_bytes);
        size_t at = kStreamAt + dir_bytes;
        size_t have = file->size() - at;
        size_t use = h.compressed_size < have ? h.compressed_size : have;
        Bytes out;
        if (use) InflateAll(file->data() + at, use, &out);
        h.data_checksum = ContainerChecksum(kChecksumSeed, out.data(), (uint32_t)out.size());
    }
    EncodeHeader(&h, hp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const bool fix = mode & 1, copy_data = !(mode & 2);

    MemoryRun run;
    run.file = Image();
    run.file.insert(run.file.end(), data + 1, data + size);
    if (fix) FixChecksums(&run.file);
    run.copy_data = copy_data;
    ExtractResult r = run.Run();
    Expected x = Model(run.file, copy_data);

    CHECK_EQ_INT(x.result, r);
    // Progress brackets inflation exactly when inflation ran and ended.
    CHECK_EQ_INT(x.reached_inflate ? 1 : 0, run.begins);
    CHECK_EQ_INT(x.inflated ? 1 : 0, run.ends);
    for (size_t i = 1; i < run.percents.size(); i++) CHECK(run.percents[i - 1] <= run.percents[i]);
    if (x.inflated) {
        // Nothing of the inflated stream lost or invented on the way to the
        // spool, and the last percentage is that of the whole.
        CHECK(run.spool == x.stream);
        if (!run.percents.empty()) {
            ContainerHeader h;
            DecodeHeader(run.file.data() + kImageSize, &h);
            uint32_t whole = h.uncompressed_size;
            uint32_t last = whole ? (uint32_t)((uint64_t)run.spool.size() * 100 / whole) : 100;
            CHECK_EQ_INT(last, run.percents.back());
        } else {
            CHECK(run.spool.empty());
        }
    }
    if (x.result != kExtractOk && x.result != kErrEntryRange && x.result != kErrMemberName) {
        // Nothing under a member name before the data checksum passed (the
        // in-memory binding cannot fail while splitting).
        CHECK(run.members.empty());
        CHECK(run.order.empty());
    }
    CHECK(run.order == x.order);
    CHECK(run.members == x.members);
    for (const std::string &name : run.order) {
        CHECK(IsSafeMemberName(name.c_str()));
        CHECK(name.find_first_of("\\/:") == std::string::npos);
    }
    return 0;
}
