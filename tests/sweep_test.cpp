// Corruption sweep: a valid installer written by the packer, damaged one
// byte at a time across every region and cut short at many lengths. The
// reader must answer with the result that belongs to the damaged region,
// and must never hand out a member whose bytes are not the original ones
// (nothing at all before the inflated stream has passed its checksum).
// A sample of the damaged files also goes through the host binding, which
// `vqpack verify` and `vqpack extract` use, to check its texts.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host_reader.h"
#include "test_support.h"
#include "writer.h"

namespace {

void Save(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary);
    f.write((const char *)b.data(), (std::streamsize)b.size());
}

Bytes Load(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes Noise(size_t n, uint32_t x) {
    Bytes b(n);
    for (auto &c : b) {
        x = x * 1664525u + 1013904223u;
        c = (uint8_t)(x >> 24);
    }
    return b;
}

// The payload: a descriptor, a license, an empty file and a CAB file of
// 160 KiB whose random half keeps the compressed stream above one 64 KiB
// input chunk and whose text half inflates to several output windows.
std::vector<TestMember> Members() {
    Bytes cab = Noise(96 * 1024, 11);
    std::string text;
    while (text.size() < 64 * 1024) text += "CAB file text that compresses well. ";
    cab.insert(cab.end(), text.begin(), text.begin() + 64 * 1024);
    return {{"Setup.ini", ToBytes("[VQINSTALLER]\r\nProductName=Sweep\r\nProductVersion=1.0\r\n"
                                  "LicenseFile=license.rtf\r\n[CEAppManager]\r\nComponent=S\r\n"
                                  "[S]\r\nCabFiles=app.cab\r\n")},
            {"license.rtf", ToBytes("{\\rtf1\\ansi Terms.}")},
            {"empty.txt", Bytes()},
            {"app.cab", cab}};
}

const char kTrailing[] = "bytes behind the stream";

struct Installer {
    Bytes file;
    std::map<std::string, Bytes> members;
    size_t dir_at, stream_at, stream_end;  // file offsets
};

// Written by WriteInstaller, with bytes appended behind the stream.
const Installer &Original() {
    static const Installer inst = [] {
        Installer x;
        TempDir d;
        std::vector<PackMember> pm;
        for (const TestMember &m : Members()) {
            Save(d.path() + "/" + m.name, m.data);
            pm.push_back({m.name, d.path() + "/" + m.name});
            x.members[m.name] = m.data;
        }
        std::string err;
        if (!WriteInstaller(d.path() + "/setup.exe", TestImage(), pm, WriteOptions(), &err))
            ADD_FAILURE() << err;
        x.file = Load(d.path() + "/setup.exe");
        ContainerHeader h;
        DecodeHeader(x.file.data() + kImageSize, &h);
        x.dir_at = kImageSize + kHeaderSize;
        x.stream_at = x.dir_at + h.entry_count * kEntrySize;
        x.stream_end = x.stream_at + h.compressed_size;
        x.file.insert(x.file.end(), kTrailing, kTrailing + sizeof kTrailing - 1);
        return x;
    }();
    return inst;
}

MemoryRun RunOn(const Bytes &file) {
    MemoryRun r;
    r.file = file;
    r.Run();
    return r;
}

bool BeforeSplitting(ExtractResult r) {
    return r != kExtractOk && r != kErrEntryRange && r != kErrMemberName;
}

// Whatever the result: nothing written before the data checksum passed,
// only original bytes written, and on success every member complete.
void ExpectOnlyOriginalMembers(const MemoryRun &r, const std::string &what) {
    const Installer &o = Original();
    if (BeforeSplitting(r.result)) {
        EXPECT_TRUE(r.members.empty()) << what;
        return;
    }
    for (const auto &m : r.members) {
        auto it = o.members.find(m.first);
        ASSERT_NE(o.members.end(), it) << what << ": invented member " << m.first;
        EXPECT_EQ(it->second, m.second) << what << ": member " << m.first << " changed";
    }
    if (r.result == kExtractOk) EXPECT_EQ(o.members.size(), r.members.size()) << what;
}

std::string Name(ExtractResult r) { return std::to_string((int)r) + " " + ExtractResultText(r); }

// Runs the reader on the original with byte `at` changed by `delta`, and
// expects one of `allowed`.
void ExpectOneByte(size_t at, uint8_t delta, const std::set<ExtractResult> &allowed,
                   const char *region) {
    Bytes f = Original().file;
    f[at] ^= delta;
    MemoryRun r = RunOn(f);
    std::string what = std::string(region) + " byte " + std::to_string(at) + " ^ " +
                       std::to_string(delta);
    EXPECT_TRUE(allowed.count(r.result)) << what << " gave " << Name(r.result);
    ExpectOnlyOriginalMembers(r, what);
}

const uint8_t kDeltas[] = {0x01, 0x80, 0xFF};

TEST(CorruptionSweep, OriginalIsReadBack) {
    const Installer &o = Original();
    ASSERT_GT(o.stream_end - o.stream_at, (size_t)kChunkSize) << "stream spans one chunk only";
    MemoryRun r = RunOn(o.file);
    ASSERT_EQ(kExtractOk, r.result) << Name(r.result);
    EXPECT_EQ(o.members, r.members);
}

TEST(CorruptionSweep, ImageRegion) {
    for (size_t at = 0; at < (size_t)kImageSize; at += 61)
        ExpectOneByte(at, 0x01, {kErrImageChecksum}, "image");
    for (uint8_t d : kDeltas) ExpectOneByte(kImageSize - 1, d, {kErrImageChecksum}, "image");
}

TEST(CorruptionSweep, HeaderFields) {
    // compressed_size: fewer bytes leave the stream short or cut in a
    // block, more run into the trailing bytes or past the end of the file.
    const std::set<ExtractResult> compressed = {kExtractOk, kErrDataChecksum, kErrInflate,
                                                kErrTruncated};
    // entry_count: another number of directory bytes, too many entries or
    // a directory longer than the file.
    const std::set<ExtractResult> count = {kErrDirectoryChecksum, kErrEntryCount, kErrReadSelf};
    for (size_t field = 0; field < (size_t)kHeaderSize; field++) {
        std::set<ExtractResult> allowed;
        switch (field / 4) {
        case 0: allowed = {kErrSignature}; break;
        case 1: allowed = compressed; break;
        case 2: allowed = {kExtractOk}; break;  // uncompressed_size only scales progress
        case 3: allowed = count; break;
        case 4: allowed = {kErrImageChecksum}; break;
        case 5: allowed = {kErrDirectoryChecksum}; break;
        case 6: allowed = {kErrDataChecksum}; break;
        }
        for (uint8_t d : kDeltas) ExpectOneByte(kImageSize + field, d, allowed, "header");
    }
}

TEST(CorruptionSweep, Directory) {
    const Installer &o = Original();
    for (size_t at = o.dir_at; at < o.stream_at; at++)
        for (uint8_t d : kDeltas) ExpectOneByte(at, d, {kErrDirectoryChecksum}, "directory");
}

TEST(CorruptionSweep, CompressedStream) {
    const Installer &o = Original();
    // Some changes decode to the same bytes (unused bits of the last byte
    // of a block, for one); then, and only then, the result is success.
    const std::set<ExtractResult> allowed = {kErrInflate, kErrDataChecksum, kExtractOk};
    std::vector<size_t> at;
    for (size_t i = 0; i < 16; i++) at.push_back(o.stream_at + i);
    for (size_t i = o.stream_at + 16; i < o.stream_end - 16; i += 89) at.push_back(i);
    for (size_t i = o.stream_end - 16; i < o.stream_end; i++) at.push_back(i);
    for (size_t i : at) ExpectOneByte(i, 0x01, allowed, "stream");
    for (uint8_t d : kDeltas) ExpectOneByte(o.stream_at + kChunkSize, d, allowed, "stream");
}

TEST(CorruptionSweep, TrailingBytesAreIgnored) {
    const Installer &o = Original();
    for (size_t at = o.stream_end; at < o.file.size(); at++)
        for (uint8_t d : kDeltas) ExpectOneByte(at, d, {kExtractOk}, "trailing");
}

TEST(CorruptionSweep, Truncation) {
    const Installer &o = Original();
    auto expected = [&](size_t len) {
        if (len <= (size_t)kMinFileSize) return kErrFileSize;
        if (len < o.stream_at) return kErrReadSelf;  // directory cut
        if (len < o.stream_end) return kErrTruncated;
        return kExtractOk;
    };
    std::vector<size_t> lens = {0, 1, 100, (size_t)kImageSize - 1, (size_t)kImageSize};
    for (size_t n = kImageSize + 1; n <= o.stream_at + 8; n++) lens.push_back(n);
    for (size_t n = o.stream_at + 8; n < o.stream_end; n += 331) lens.push_back(n);
    for (size_t n = o.stream_end - 8; n <= o.file.size(); n++) lens.push_back(n);
    lens.push_back(o.stream_at + kChunkSize);
    lens.push_back(o.stream_at + kChunkSize + 1);
    for (size_t n : lens) {
        Bytes f(o.file.begin(), o.file.begin() + n);
        MemoryRun r = RunOn(f);
        std::string what = "cut to " + std::to_string(n);
        EXPECT_EQ(expected(n), r.result) << what << " gave " << Name(r.result);
        ExpectOnlyOriginalMembers(r, what);
    }
}

// With the directory checksum made right again, damaged entries reach the
// splitter: it refuses ranges and names it cannot use, and what it writes
// is exactly the slice of the inflated stream the entry names.
TEST(CorruptionSweep, DirectoryWithChecksumMadeRight) {
    const Installer &o = Original();
    MemoryRun good = RunOn(o.file);
    const Bytes &stream = good.spool;
    ContainerHeader h;
    DecodeHeader(o.file.data() + kImageSize, &h);
    for (size_t at = o.dir_at; at < o.stream_at; at++) {
        for (uint8_t d : kDeltas) {
            Bytes f = o.file;
            f[at] ^= d;
            ContainerHeader fixed = h;
            fixed.directory_checksum = ContainerChecksum(kChecksumSeed, f.data() + o.dir_at,
                                                         (uint32_t)(o.stream_at - o.dir_at));
            EncodeHeader(&fixed, f.data() + kImageSize);
            MemoryRun r = RunOn(f);
            std::string what = "entry byte " + std::to_string(at) + " ^ " + std::to_string(d);
            EXPECT_TRUE(r.result == kExtractOk || r.result == kErrEntryRange ||
                        r.result == kErrMemberName)
                << what << " gave " << Name(r.result);
            EXPECT_EQ(stream, r.spool) << what;
            // Members in creation order against the entries that made them
            // (a repeated name keeps the later data).
            std::map<std::string, Bytes> want;
            for (size_t i = 0; i < r.order.size(); i++) {
                DirectoryEntry e;
                DecodeEntry(f.data() + o.dir_at + i * kEntrySize, &e);
                EXPECT_TRUE(IsSafeMemberName(r.order[i].c_str())) << what;
                ASSERT_LE((uint64_t)e.data_offset + e.data_size, stream.size()) << what;
                want[r.order[i]] = Bytes(stream.begin() + e.data_offset,
                                         stream.begin() + e.data_offset + e.data_size);
            }
            EXPECT_EQ(want, r.members) << what;
        }
    }
}

// The host binding reports the same results with the setup program's
// texts, and `extract` leaves nothing in the folder when verification
// fails.
TEST(CorruptionSweep, HostReaderTexts) {
    const Installer &o = Original();
    struct Case {
        const char *what;
        Bytes file;
        ExtractResult result;
        const char *message;
    };
    auto flip = [&](size_t at) {
        Bytes f = o.file;
        f[at] ^= 0x01;
        return f;
    };
    Bytes dir_short(o.file.begin(), o.file.begin() + o.stream_at - 1);
    Bytes cut(o.file.begin(), o.file.begin() + o.stream_end - 100);
    Bytes tiny(o.file.begin(), o.file.begin() + kMinFileSize);
    Bytes count = o.file;
    StoreLE32(count.data() + kImageSize + 12, kMaxEntries + 1);
    const std::string corrupted = kCorruptedText;
    std::vector<Case> cases = {
        {"image", flip(1000), kErrImageChecksum, "Invalid CRC in installer. "},
        {"signature", flip(kImageSize + 1), kErrSignature, "Invalid signature in installer. "},
        {"directory", flip(o.dir_at + 5), kErrDirectoryChecksum, "Invalid CRC in data block. "},
        {"data checksum", flip(kImageSize + 24), kErrDataChecksum,
         "Invalid CRC in compressed data. "},
        {"size", tiny, kErrFileSize, "Invalid file size in installer. "},
        {"entry count", count, kErrEntryCount, "Invalid number of entries in installer. "},
        {"stream cut", cut, kErrTruncated, "Unexpected end of installer data. "},
        {"directory cut", dir_short, kErrReadSelf,
         "Error reading data from installer. (the file ends too soon)"},
        {"trailing", flip(o.file.size() - 1), kExtractOk, ""},
    };
    // A stream byte changed: the inflater or the data checksum stops it.
    Bytes bad = flip(o.stream_at + 4000);
    ExtractResult stopped = RunOn(bad).result;
    ASSERT_TRUE(stopped == kErrInflate || stopped == kErrDataChecksum) << Name(stopped);
    cases.push_back({"stream", bad, stopped,
                     stopped == kErrInflate ? "Installer failed to extract data block."
                                            : "Invalid CRC in compressed data. "});
    TempDir d;
    for (const Case &c : cases) {
        std::string path = d.path() + "/setup.exe";
        Save(path, c.file);
        MemoryRun mem = RunOn(c.file);
        EXPECT_EQ(c.result, mem.result) << c.what;

        ReadOptions opt;
        ReadReport rep;
        opt.mode = ReadMode::kVerify;
        EXPECT_EQ(c.result == kExtractOk, ReadInstaller(path, opt, &rep)) << c.what;
        EXPECT_EQ(c.result, rep.result) << c.what;
        std::string want = c.message;
        if (want.size() && want.back() == ' ') want += corrupted;
        EXPECT_EQ(want, rep.message) << c.what;

        std::string out = d.path() + "/out";
        ASSERT_EQ(0, ::mkdir(out.c_str(), 0755));
        opt.mode = ReadMode::kExtract;
        opt.out_dir = out;
        ReadInstaller(path, opt, &rep);
        EXPECT_EQ(c.result, rep.result) << c.what;
        std::set<std::string> names;
        if (DIR *dp = ::opendir(out.c_str())) {
            while (dirent *e = ::readdir(dp))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.insert(e->d_name);
            ::closedir(dp);
        }
        if (c.result == kExtractOk) {
            EXPECT_EQ(o.members.size(), names.size()) << c.what;
            for (const auto &m : o.members) EXPECT_EQ(m.second, Load(out + "/" + m.first)) << c.what;
        } else {
            // Not even the spool remains.
            EXPECT_TRUE(names.empty()) << c.what;
        }
        std::system(("rm -rf '" + out + "'").c_str());
    }
}

}  // namespace
