// The shared reader on containers built in memory: checksum facts, every
// verification failure in its order, the inflate loop's corner cases and
// the splitting rules.
#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace {

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    Bytes b(n);
    for (auto &x : b) x = (uint8_t)g();
    return b;
}

std::vector<TestMember> Sample() {
    return {{"Setup.ini", ToBytes("[VQINSTALLER]\nProductName=Demo\n")},
            {"license.rtf", ToBytes("{\\rtf1 hello}")},
            {"app.cab", Random(200000, 1)}};
}

MemoryRun RunOn(const Bytes &file) {
    MemoryRun r;
    r.file = file;
    r.Run();
    return r;
}

TEST(Checksum, KnownValues) {
    EXPECT_EQ(0xF695527Cu, ContainerChecksum(kChecksumSeed, "abc", 3));
    EXPECT_EQ(0x00495156u, ContainerChecksum(kChecksumSeed, "", 0));
    // Piecewise continuation gives the same as one pass.
    uint32_t a = ContainerChecksum(kChecksumSeed, "ab", 2);
    EXPECT_EQ(0xF695527Cu, ContainerChecksum(a, "c", 1));
}

TEST(Format, ExampleEntriesAndLayout) {
    std::vector<DirectoryEntry> dir;
    InflatedStream({{"license.rtf", Bytes(6008)}, {"body.bmp", Bytes(26494)}}, &dir);
    ASSERT_EQ(2u, dir.size());
    EXPECT_EQ(0u, dir[0].name_offset);
    EXPECT_EQ(12u, dir[0].data_offset);
    EXPECT_EQ(6008u, dir[0].data_size);
    EXPECT_EQ(6020u, dir[1].name_offset);
    EXPECT_EQ(6029u, dir[1].data_offset);
    EXPECT_EQ(26494u, dir[1].data_size);

    Bytes f = MakeContainer(Sample());
    // Signature bytes 'V' 'Q' 'I' 0 at 32768, directory right behind the header.
    EXPECT_EQ(0, std::memcmp(f.data() + kImageSize, "VQI\0", 4));
    ContainerHeader h;
    DecodeHeader(f.data() + kImageSize, &h);
    EXPECT_EQ(3u, h.entry_count);
    size_t stream_at = kImageSize + kHeaderSize + 3 * kEntrySize;
    EXPECT_EQ(f.size(), stream_at + h.compressed_size);
    // Level 9 header, sync flush marker at the end, no trailer.
    EXPECT_EQ(0x78, f[stream_at]);
    EXPECT_EQ(0xDA, f[stream_at + 1]);
    EXPECT_EQ(0, std::memcmp(f.data() + f.size() - 4, "\x00\x00\xFF\xFF", 4));
}

TEST(Reader, RoundTripAndProgress) {
    auto ms = Sample();
    MemoryRun r = RunOn(MakeContainer(ms));
    ASSERT_EQ(kExtractOk, r.result) << ExtractResultText(r.result);
    ASSERT_EQ(3u, r.members.size());
    for (const TestMember &m : ms) EXPECT_EQ(m.data, r.members[m.name]) << m.name;
    EXPECT_EQ(1, r.begins);
    EXPECT_EQ(1, r.ends);
    ASSERT_FALSE(r.percents.empty());
    EXPECT_EQ(100u, r.percents.back());
    for (size_t i = 1; i < r.percents.size(); i++) EXPECT_LE(r.percents[i - 1], r.percents[i]);
}

TEST(Reader, AcceptsCompleteStreamAndIgnoresTrailingBytes) {
    auto ms = Sample();
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(ms, &dir);
    Bytes f = Assemble(TestImage(), dir, s, DeflateComplete(s), [](ContainerHeader &) {});
    f.insert(f.end(), 5000, 0xEE);
    MemoryRun r = RunOn(f);
    ASSERT_EQ(kExtractOk, r.result) << ExtractResultText(r.result);
    EXPECT_EQ(ms[2].data, r.members["app.cab"]);
}

TEST(Reader, EmptyPayloadAndEmptyMember) {
    // No members at all: the directory checksum of nothing is the seed and
    // a zero uncompressed size is never divided by.
    std::vector<DirectoryEntry> none;
    Bytes s;
    Bytes f = Assemble(TestImage(), none, s, DeflateSync(s), [](ContainerHeader &h) {
        EXPECT_EQ(0x00495156u, h.directory_checksum);
    });
    f.resize(std::max<size_t>(f.size(), kMinFileSize + 1), 0);
    MemoryRun r = RunOn(f);
    EXPECT_EQ(kExtractOk, r.result) << ExtractResultText(r.result);
    EXPECT_TRUE(r.members.empty());

    MemoryRun e = RunOn(MakeContainer({{"empty.txt", {}}, {"b", ToBytes("x")}}));
    ASSERT_EQ(kExtractOk, e.result);
    EXPECT_TRUE(e.members.count("empty.txt"));
    EXPECT_TRUE(e.members["empty.txt"].empty());
}

TEST(Reader, FileSizeBoundary) {
    Bytes f = MakeContainer(Sample());
    Bytes small(f.begin(), f.begin() + kMinFileSize);
    EXPECT_EQ(kErrFileSize, RunOn(small).result);
    // One byte more passes the size check and fails later.
    Bytes one(f.begin(), f.begin() + kMinFileSize + 1);
    EXPECT_NE(kErrFileSize, RunOn(one).result);
}

TEST(Reader, VerificationFailuresInOrder) {
    auto ms = Sample();
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(ms, &dir);
    Bytes z = DeflateSync(s);
    Bytes good = Assemble(TestImage(), dir, s, z, [](ContainerHeader &) {});

    Bytes sig = good;
    sig[kImageSize + 3] = 1;
    EXPECT_EQ(kErrSignature, RunOn(sig).result);

    // Any byte of the image region counts, padding too.
    for (size_t at : {size_t(0), size_t(20000), size_t(kImageSize - 1)}) {
        Bytes img = good;
        img[at] ^= 0x40;
        EXPECT_EQ(kErrImageChecksum, RunOn(img).result) << "byte " << at;
    }
    // A bad signature is reported before a bad image checksum.
    Bytes both = sig;
    both[5] ^= 1;
    EXPECT_EQ(kErrSignature, RunOn(both).result);

    Bytes d = good;
    d[kImageSize + kHeaderSize + 4] ^= 1;
    EXPECT_EQ(kErrDirectoryChecksum, RunOn(d).result);

    Bytes data = good;
    data[data.size() - 10] ^= 0x01;
    ExtractResult r = RunOn(data).result;
    EXPECT_TRUE(r == kErrDataChecksum || r == kErrInflate) << ExtractResultText(r);

    Bytes garbage = Assemble(TestImage(), dir, s, Random(5000, 9), [](ContainerHeader &) {});
    EXPECT_EQ(kErrInflate, RunOn(garbage).result);

    Bytes too_many = Assemble(TestImage(), dir, s, z, [](ContainerHeader &h) { h.entry_count = kMaxEntries + 1; });
    EXPECT_EQ(kErrEntryCount, RunOn(too_many).result);

    // The directory cannot be read in full.
    Bytes short_dir(good.begin(), good.begin() + kImageSize + kHeaderSize + 20);
    EXPECT_EQ(kErrReadSelf, RunOn(short_dir).result);

    // Cut inside the stream: the read of compressed data comes back empty.
    Bytes cut(good.begin(), good.end() - 3000);
    EXPECT_EQ(kErrTruncated, RunOn(cut).result);

    // Nothing was written under a member's name on any of these paths.
    for (const Bytes *f : {&sig, &d, &data, &garbage, &cut}) EXPECT_TRUE(RunOn(*f).members.empty());
}

// A test image with a PE header as a linker writes it: PE32 (0x10B) or
// PE32+ (0x20B) at 0x80, 16 data directories, CheckSum and Certificate
// Table entry zero.
Bytes PeImage(uint16_t magic, size_t *cert_entry) {
    Bytes img = TestImage();
    const size_t pe = 0x80;
    img[0] = 'M';
    img[1] = 'Z';
    StoreLE32(&img[0x3C], pe);
    std::memcpy(&img[pe], "PE\0\0", 4);
    img[pe + 24] = (uint8_t)magic;
    img[pe + 25] = (uint8_t)(magic >> 8);
    StoreLE32(&img[pe + (magic == 0x20B ? 132 : 116)], 16);
    *cert_entry = pe + (magic == 0x20B ? 168 : 152);
    std::memset(&img[pe + 88], 0, 4);
    std::memset(&img[*cert_entry], 0, 8);
    return img;
}

TEST(Reader, ImageChecksumLeavesOutWhatSigningChanges) {
    auto ms = Sample();
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(ms, &dir);
    Bytes z = DeflateSync(s);
    for (uint16_t magic : {0x10B, 0x20B}) {
        size_t cert;
        Bytes img = PeImage(magic, &cert);
        // Both fields zero: the masked checksum is the plain one.
        EXPECT_EQ(ContainerChecksum(kChecksumSeed, img.data(), kImageSize), ImageChecksum(img));
        Bytes good = Assemble(img, dir, s, z, [](ContainerHeader &) {});
        // A signer sets the CheckSum and the entry; the installer stays valid.
        Bytes signed_ = good;
        StoreLE32(&signed_[0x80 + 88], 0x0004D2C1);
        StoreLE32(&signed_[cert], (uint32_t)good.size());
        StoreLE32(&signed_[cert + 4], 9000);
        EXPECT_EQ(kExtractOk, RunOn(signed_).result) << std::hex << magic;
        // A byte beside them still counts.
        for (size_t at : {size_t(0x80 + 87), size_t(0x80 + 92), cert - 1, cert + 8}) {
            Bytes bad = signed_;
            bad[at] ^= 0x01;
            EXPECT_EQ(kErrImageChecksum, RunOn(bad).result) << std::hex << magic << " byte " << at;
        }
    }
    // An image whose CheckSum is set: the plain value (another writer) and
    // the masked one are both accepted, and differ.
    size_t cert;
    Bytes img = PeImage(0x10B, &cert);
    img[0x80 + 88] = 0x33;
    EXPECT_EQ(kExtractOk, RunOn(Assemble(img, dir, s, z, [](ContainerHeader &) {})).result);
    Bytes masked = Assemble(img, dir, s, z, [&](ContainerHeader &h) {
        EXPECT_NE(h.image_checksum, ImageChecksum(img));
        h.image_checksum = ImageChecksum(img);
    });
    EXPECT_EQ(kExtractOk, RunOn(masked).result);
    // Without a valid PE header (an unknown optional header) nothing is
    // left out.
    Bytes rom = PeImage(0x107, &cert);
    Bytes stored = Assemble(rom, dir, s, z, [](ContainerHeader &) {});
    stored[0x80 + 88] = 0x01;
    EXPECT_EQ(kErrImageChecksum, RunOn(stored).result);
}

TEST(Reader, CompressedSizeMismatch) {
    auto ms = Sample();
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(ms, &dir);
    Bytes z = DeflateComplete(s);
    // Too small: the inflated stream is short and the data checksum catches it.
    Bytes small = Assemble(TestImage(), dir, s, z, [&](ContainerHeader &h) { h.compressed_size -= 2000; });
    small.resize(small.size() - 0);
    EXPECT_EQ(kErrDataChecksum, RunOn(small).result);
    // Larger than the stream: bytes behind its end are read and ignored.
    Bytes padded = z;
    padded.insert(padded.end(), 70000, 0x55);
    Bytes big = Assemble(TestImage(), dir, s, padded, [](ContainerHeader &) {});
    EXPECT_EQ(kExtractOk, RunOn(big).result);
    // A wrong uncompressed size only changes the percentages.
    Bytes half = Assemble(TestImage(), dir, s, z, [](ContainerHeader &h) { h.uncompressed_size /= 2; });
    MemoryRun r = RunOn(half);
    EXPECT_EQ(kExtractOk, r.result);
    EXPECT_GT(r.percents.back(), 100u);
}

// The reading loop exactly as first designed, without draining: returns
// the bytes it would have inflated.
size_t UndrainedLength(const Bytes &z) {
    z_stream s = {};
    inflateInit(&s);
    Bytes window(kWindowSize);
    size_t total = 0;
    for (size_t pos = 0; pos < z.size();) {
        size_t n = std::min<size_t>(kChunkSize, z.size() - pos);
        s.next_in = const_cast<uint8_t *>(z.data() + pos);
        s.avail_in = (uInt)n;
        for (;;) {
            s.next_out = window.data();
            s.avail_out = kWindowSize;
            int rc = inflate(&s, Z_NO_FLUSH);
            size_t produced = kWindowSize - s.avail_out;
            if (produced == 0) break;
            total += produced;
            if (rc == Z_BUF_ERROR || s.avail_in == 0) break;
        }
        pos += n;
    }
    inflateEnd(&s);
    return total;
}

TEST(Reader, DrainsInflaterAfterLastChunk) {
    // The inflater can hold back output when the input ends right behind
    // the last match and that match straddles a window boundary. Cut
    // streams of runs just past a multiple of the window, and check that
    // wherever the loop without draining would lose the end, the reader
    // still inflates everything.
    int losing = 0;
    for (size_t r = 1; r < 258 && losing < 4; r += 7) {
        Bytes data(5 * kWindowSize + r, 'A');
        std::vector<TestMember> ms = {{"runs.bin", data}};
        std::vector<DirectoryEntry> dir;
        Bytes s = InflatedStream(ms, &dir);
        Bytes z = DeflateSync(s);
        for (size_t strip = 4; strip <= 8; strip++) {
            Bytes cut(z.begin(), z.end() - strip);
            if (UndrainedLength(cut) == s.size()) continue;
            MemoryRun run = RunOn(Assemble(TestImage(), dir, s, cut, [](ContainerHeader &) {}));
            if (run.result == kErrDataChecksum && run.spool.size() < s.size() &&
                run.spool == Bytes(s.begin(), s.begin() + run.spool.size()) &&
                strip > 4)
                continue;  // cut into the data itself: nothing to drain
            losing++;
            ASSERT_EQ(kExtractOk, run.result) << "r " << r << " strip " << strip;
            EXPECT_EQ(data, run.members["runs.bin"]);
        }
    }
    EXPECT_GT(losing, 0) << "no stream found that needs draining: the case is not exercised";
}

TEST(Reader, ChunkBoundaries) {
    // One chunk inflating to far more than a window.
    Bytes big(3 << 20, 0);
    MemoryRun r = RunOn(MakeContainer({{"big.bin", big}}));
    ASSERT_EQ(kExtractOk, r.result);
    EXPECT_EQ(big, r.members["big.bin"]);
    EXPECT_GE(r.percents.size(), (size_t)48);

    // A first chunk of block headers only (empty stored blocks) gives no
    // output; the next chunk carries the data.
    Bytes payload = Random(100000, 3);
    std::vector<TestMember> ms = {{"r.bin", payload}};
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(ms, &dir);
    Bytes z = {0x78, 0xDA};
    while (z.size() < kChunkSize + 100) {
        const uint8_t empty[5] = {0x00, 0x00, 0x00, 0xFF, 0xFF};
        z.insert(z.end(), empty, empty + 5);
    }
    z_stream d = {};
    deflateInit2(&d, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes raw(deflateBound(&d, s.size()) + 16);
    d.next_in = s.data();
    d.avail_in = (uInt)s.size();
    d.next_out = raw.data();
    d.avail_out = (uInt)raw.size();
    deflate(&d, Z_SYNC_FLUSH);
    raw.resize(raw.size() - d.avail_out);
    deflateEnd(&d);
    z.insert(z.end(), raw.begin(), raw.end());
    MemoryRun h = RunOn(Assemble(TestImage(), dir, s, z, [](ContainerHeader &) {}));
    ASSERT_EQ(kExtractOk, h.result) << ExtractResultText(h.result);
    EXPECT_EQ(payload, h.members["r.bin"]);
}

// A container whose directory is rewritten after the stream is made.
Bytes WithDirectory(const std::vector<TestMember> &ms, std::vector<DirectoryEntry> dir) {
    std::vector<DirectoryEntry> real;
    Bytes s = InflatedStream(ms, &real);
    return Assemble(TestImage(), dir, s, DeflateSync(s), [](ContainerHeader &) {});
}

TEST(Splitting, DirectoryRefusals) {
    std::vector<TestMember> ms = {{"a.txt", ToBytes("alpha")}, {"b.txt", ToBytes("beta")}};
    std::vector<DirectoryEntry> real;
    Bytes s = InflatedStream(ms, &real);
    const uint32_t total = (uint32_t)s.size();

    struct Case {
        const char *what;
        DirectoryEntry e;
        ExtractResult want;
    } cases[] = {
        {"empty name range", {0, 0, 1}, kErrEntryRange},
        {"name after data", {6, 2, 1}, kErrEntryRange},
        {"data past the end", {0, 6, total}, kErrEntryRange},
        {"name past the end", {total, total + 4, 0}, kErrEntryRange},
        {"name without NUL", {0, 3, 1}, kErrEntryRange},
        {"name range too long", {0, (uint32_t)kMaxNameRange + 1, 0}, kErrEntryRange},
        {"huge size wraps", {0, 6, 0xFFFFFFF0u}, kErrEntryRange},
    };
    for (const Case &c : cases) {
        std::vector<DirectoryEntry> dir = {real[0], c.e};
        MemoryRun r = RunOn(WithDirectory(ms, dir));
        EXPECT_EQ(c.want, r.result) << c.what;
        // The valid first member was written before the bad one.
        EXPECT_EQ(ToBytes("alpha"), r.members["a.txt"]) << c.what;
        EXPECT_EQ(1u, r.members.size()) << c.what;
    }
}

TEST(Splitting, UnsafeNamesNeverWritten) {
    for (const char *bad : {"..", "sub\\x.cab", "sub/x.cab", "C:x.cab", "CON", "nul.txt",
                            "com1.cab", "LPT9", "a<b", "what?", "tab\there", "dot.", "blank "}) {
        MemoryRun r = RunOn(MakeContainer({{"ok.txt", ToBytes("1")}, {bad, ToBytes("2")}}));
        EXPECT_EQ(kErrMemberName, r.result) << bad;
        EXPECT_FALSE(r.members.count(bad)) << bad;
        EXPECT_TRUE(r.members.count("ok.txt")) << bad;
    }
    for (const char *good : {"Setup.ini", "a..b.cab", "CONSOLE.cab", "com10.txt", "lpt0", "x y.cab"})
        EXPECT_TRUE(IsSafeMemberName(good)) << good;
}

TEST(Splitting, DuplicatesAndFailures) {
    MemoryRun d = RunOn(MakeContainer({{"x.cab", ToBytes("first")}, {"x.cab", ToBytes("second")}}));
    ASSERT_EQ(kExtractOk, d.result);
    EXPECT_EQ(ToBytes("second"), d.members["x.cab"]);
    EXPECT_EQ(2u, d.order.size());

    // A write failure in the second member leaves the first complete and
    // the second partial, and is reported with the system's code.
    Bytes big = Random(300000, 5);
    MemoryRun w;
    w.file = MakeContainer({{"one.bin", ToBytes("complete")}, {"two.bin", big}});
    w.member_limit = 8 + 150000;
    EXPECT_EQ(kErrWriteMember, w.Run());
    EXPECT_EQ(112u, w.st.code);
    EXPECT_EQ(ToBytes("complete"), w.members["one.bin"]);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 150000), w.members["two.bin"]);

    // A spool that fills up ends the run before any member exists.
    MemoryRun s;
    s.file = w.file;
    s.spool_limit = 100000;
    EXPECT_EQ(kErrWriteSpool, s.Run());
    EXPECT_TRUE(s.members.empty());
}

TEST(Splitting, VerifyOnlyCopiesNothing) {
    MemoryRun r;
    r.file = MakeContainer(Sample());
    r.copy_data = false;
    ASSERT_EQ(kExtractOk, r.Run());
    EXPECT_EQ(3u, r.order.size());
    for (auto &m : r.members) EXPECT_TRUE(m.second.empty());
}

TEST(Texts, CompositionPieces) {
    EXPECT_STREQ("Invalid CRC in installer. %s", ExtractResultText(kErrImageChecksum));
    EXPECT_STREQ("Error writing data to %s.", ExtractResultText(kErrWriteSpool));
    EXPECT_TRUE(ExtractResultHasCode(kErrReadSelf));
    EXPECT_FALSE(ExtractResultHasCode(kErrSignature));
    EXPECT_TRUE(ExtractResultTakesPath(kErrCreateMember));
    EXPECT_FALSE(ExtractResultTakesPath(kErrDataChecksum));
    for (int r = 1; r < kExtractResultCount; r++)
        EXPECT_GT(std::strlen(ExtractResultText((ExtractResult)r)), 10u) << r;
}

}  // namespace
