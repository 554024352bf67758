// The writer against the reader through real files, its determinism, the
// parallel mode, and what it refuses.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_reader.h"
#include "test_support.h"

namespace {

Bytes Mixed(size_t n, uint32_t seed) {
    // Half text-like, half random: compressible but not trivially.
    std::mt19937 g(seed);
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (i / 4096) % 2 ? (uint8_t)g() : (uint8_t)("setup "[i % 6]);
    return b;
}

TEST(Writer, RoundTripThroughFiles) {
    TempDir t;
    Bytes a = Mixed(3 << 20, 1), b = ToBytes("[VQINSTALLER]\n");
    std::vector<PackMember> ms = {{"app.cab", t.File("a", a)}, {"Setup.ini", t.File("b", b)},
                                  {"empty.txt", t.File("c", {})}};
    std::string out = t.path() + "/setup.exe", err;
    ASSERT_TRUE(WriteInstaller(out, TestImage(), ms, WriteOptions(), &err)) << err;
    EXPECT_NE(0, access((out + ".partial").c_str(), F_OK));

    std::string dir = t.path() + "/x";
    mkdir(dir.c_str(), 0755);
    ReadOptions opt;
    opt.mode = ReadMode::kExtract;
    opt.out_dir = dir;
    ReadReport rep;
    ASSERT_TRUE(ReadInstaller(out, opt, &rep)) << rep.message;
    EXPECT_EQ(a, Slurp(dir + "/app.cab"));
    EXPECT_EQ(b, Slurp(dir + "/Setup.ini"));
    EXPECT_TRUE(Slurp(dir + "/empty.txt").empty());

    // Listing reports each member's checksum; it matches the data.
    opt.mode = ReadMode::kList;
    ASSERT_TRUE(ReadInstaller(out, opt, &rep));
    ASSERT_EQ(3u, rep.members.size());
    EXPECT_EQ(ContainerChecksum(kChecksumSeed, a.data(), (uint32_t)a.size()), rep.members[0].checksum);
    EXPECT_EQ(kChecksumSeed, rep.members[2].checksum);

    // Same inputs, same bytes.
    std::string again = t.path() + "/again.exe";
    ASSERT_TRUE(WriteInstaller(again, TestImage(), ms, WriteOptions(), &err));
    EXPECT_EQ(Slurp(out), Slurp(again));
}

TEST(Writer, BlocksAreOneStreamIndependentOfJobs) {
    TempDir t;
    Bytes a = Mixed(5 << 20, 2);
    std::vector<PackMember> ms = {{"big.cab", t.File("a", a)}};
    std::string err;
    Bytes first;
    for (unsigned jobs : {1u, 2u, 8u}) {
        WriteOptions opt;
        opt.jobs = jobs;
        opt.block_size = 512 * 1024;
        std::string out = t.path() + "/" + std::to_string(jobs) + ".exe";
        ASSERT_TRUE(WriteInstaller(out, TestImage(), ms, opt, &err)) << err;
        Bytes b = Slurp(out);
        if (first.empty()) first = b;
        EXPECT_EQ(first, b) << "jobs " << jobs;
    }
    EXPECT_EQ(0, std::memcmp(first.data() + first.size() - 4, "\x00\x00\xFF\xFF", 4));
    // The block size is part of the format, with one job too.
    WriteOptions other;
    other.block_size = 256 * 1024;
    ASSERT_TRUE(WriteInstaller(t.path() + "/o.exe", TestImage(), ms, other, &err)) << err;
    EXPECT_NE(first, Slurp(t.path() + "/o.exe"));

    MemoryRun r;
    r.file = first;
    ASSERT_EQ(kExtractOk, r.Run()) << ExtractResultText(r.result);
    EXPECT_EQ(a, r.members["big.cab"]);

    // An empty payload in parallel mode is still a valid container.
    WriteOptions two;
    two.jobs = 2;
    EXPECT_EQ(DeflateSync({}), DeflateSync({}, two));
}

// Members that do not compress are stored (their compressed span is at
// least their size), those that do are deflated; --level9-all deflates
// both. Both ways the stream is one zlib stream that the reader splits.
TEST(Writer, IncompressibleMembersAreStored) {
    TempDir t;
    // Like a CAB file: random bytes over 250 values, about 0.3 % to gain.
    std::mt19937 g(4);
    Bytes cab(3 << 20);
    for (uint8_t &b : cab) b = (uint8_t)(g() % 250);
    Bytes text = Mixed(2 << 20, 5);
    std::vector<PackMember> ms = {{"text.txt", t.File("t", text)}, {"app.cab", t.File("c", cab)}};
    for (bool all : {false, true}) {
        WriteOptions opt;
        opt.level9_all = all;
        opt.jobs = 2;
        std::string out = t.path() + "/setup.exe", err;
        ASSERT_TRUE(WriteInstaller(out, TestImage(), ms, opt, &err)) << err;
        MemoryRun r;
        r.file = Slurp(out);
        ASSERT_EQ(kExtractOk, r.Run()) << ExtractResultText(r.result);
        EXPECT_EQ(text, r.members["text.txt"]);
        EXPECT_EQ(cab, r.members["app.cab"]);
        EXPECT_EQ(0x78, r.file[kImageSize + kHeaderSize + 2 * kEntrySize]);
        EXPECT_EQ(0xDA, r.file[kImageSize + kHeaderSize + 2 * kEntrySize + 1]);
        EXPECT_EQ(0, std::memcmp(r.file.data() + r.file.size() - 4, "\x00\x00\xFF\xFF", 4));
        // Each member on its own, coded as the writer codes it.
        Bytes cab_z = DeflateSync(cab, opt), text_z = DeflateSync(text, opt);
        EXPECT_LT(text_z.size(), text.size() * 3 / 4) << "level9_all " << all;
        if (all)
            EXPECT_LT(cab_z.size(), cab.size()) << "level 9 gains a little";
        else
            EXPECT_GE(cab_z.size(), cab.size()) << "stored";
    }
}

// A write that fails half-way (here the file size limit, which a full
// disk would give as well) fails the build in either mode, names the file
// and leaves nothing behind; the parallel writer stops its workers
// instead of waiting on blocks nobody will write.
TEST(Writer, FailedWriteLeavesNoInstaller) {
    TempDir t;
    std::vector<PackMember> ms = {{"big.cab", t.File("a", Mixed(6 << 20, 3))}};
    struct rlimit old_limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old_limit));
    void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    for (unsigned jobs : {1u, 2u, 8u}) {
        WriteOptions opt;
        opt.jobs = jobs;
        opt.block_size = 256 * 1024;
        std::string out = t.path() + "/setup.exe", err;
        EXPECT_FALSE(WriteInstaller(out, TestImage(), ms, opt, &err)) << "jobs " << jobs;
        EXPECT_NE(std::string::npos, err.find("setup.exe")) << "jobs " << jobs << ": " << err;
        EXPECT_NE(0, access(out.c_str(), F_OK)) << "jobs " << jobs;
        EXPECT_NE(0, access((out + ".partial").c_str(), F_OK)) << "jobs " << jobs;
    }
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
}

TEST(Writer, Refusals) {
    TempDir t;
    std::string f = t.File("f", ToBytes("x")), err;
    std::string out = t.path() + "/o.exe";
    EXPECT_FALSE(WriteInstaller(out, Bytes(32769), {{"f", f}}, WriteOptions(), &err));
    EXPECT_NE(std::string::npos, err.find("32768")) << err;
    EXPECT_FALSE(WriteInstaller(out, TestImage(), {{"a/b", f}}, WriteOptions(), &err));
    EXPECT_NE(std::string::npos, err.find("a/b")) << err;
    EXPECT_FALSE(WriteInstaller(out, TestImage(), {{"A.cab", f}, {"a.CAB", f}}, WriteOptions(), &err));
    EXPECT_NE(std::string::npos, err.find("same file")) << err;
    EXPECT_FALSE(WriteInstaller(out, TestImage(), {{"gone", t.path() + "/missing"}}, WriteOptions(), &err));
    std::vector<PackMember> many(kMaxEntries + 1, {"x", f});
    for (size_t i = 0; i < many.size(); i++) many[i].name = "m" + std::to_string(i);
    EXPECT_NE("", CheckMembers(many));
    many.pop_back();
    EXPECT_EQ("", CheckMembers(many));
    EXPECT_FALSE(WriteInstaller(out, TestImage(), {}, WriteOptions(), &err));
    EXPECT_NE(std::string::npos, err.find("nothing to pack")) << err;
    // Nothing was left behind by the failed builds.
    EXPECT_NE(0, access(out.c_str(), F_OK));
    EXPECT_NE(0, access((out + ".partial").c_str(), F_OK));
}

TEST(HostReader, MessagesNameTheProblem) {
    TempDir t;
    ReadReport rep;
    ReadOptions opt;
    EXPECT_FALSE(ReadInstaller(t.path() + "/none.exe", opt, &rep));
    EXPECT_EQ("Installer failed to open itself. (No such file or directory)", rep.message);

    Bytes f = MakeContainer({{"a.txt", ToBytes("alpha")}});
    f[100] ^= 1;
    EXPECT_FALSE(ReadInstaller(t.File("bad.exe", f), opt, &rep));
    EXPECT_EQ("Invalid CRC in installer. The file may be corrupted.", rep.message);

    // Extracting into a folder that cannot take the member.
    Bytes ok = MakeContainer({{"a.txt", ToBytes("alpha")}});
    opt.mode = ReadMode::kExtract;
    opt.out_dir = t.path() + "/nowhere";
    opt.spool_dir = t.path();
    EXPECT_FALSE(ReadInstaller(t.File("ok.exe", ok), opt, &rep));
    EXPECT_EQ("Error creating file in " + t.path() + "/nowhere/a.txt. (No such file or directory)",
              rep.message);
}

}  // namespace
