// CE cabinets: the install script's codec, the cabinet layer against
// cabextract and gcab as independent reader and writer, and the CE reading
// of a whole cabinet.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <tuple>

#include "ce/cabinet.h"
#include "ce/ce_cabinet.h"
#include "ce/ce_script.h"
#include "ce/inf.h"
#include "ce/inf_build.h"
#include "host_file.h"
#include "test_support.h"

namespace {

Bytes Encoded(const CeScript &s) {
    Bytes b;
    std::string err;
    EXPECT_TRUE(EncodeCeScript(s, &b, &err)) << err;
    return b;
}

TEST(CeScript, RoundTripGivesBackEveryField) {
    CeScript in = TestCeScript(), out;
    Bytes b = Encoded(in);
    std::string err;
    ASSERT_TRUE(DecodeCeScript(b.data(), b.size(), &out, &err)) << err;
    EXPECT_EQ(in.app_name, out.app_name);
    EXPECT_EQ(in.provider, out.provider);
    EXPECT_EQ(in.processor, out.processor);
    EXPECT_EQ(std::vector<uint32_t>({4, 1, 5, 2, 100, 9999}),
              std::vector<uint32_t>({out.version_min_major, out.version_min_minor,
                                     out.version_max_major, out.version_max_minor,
                                     out.build_min, out.build_max}));
    EXPECT_EQ(in.unsupported, out.unsupported);
    auto str = [](const CeString &x) { return std::make_tuple(x.id, x.text); };
    auto dir = [](const CeDir &x) { return std::make_tuple(x.id, x.parts); };
    auto file = [](const CeFile &x) {
        return std::make_tuple(x.number, x.dir_id, x.unknown, x.flags, x.name);
    };
    auto hive = [](const CeHive &x) { return std::make_tuple(x.id, x.root, x.unknown, x.parts); };
    auto value = [](const CeRegValue &x) {
        return std::make_tuple(x.id, x.hive_id, x.substitute, x.type_flags, x.name, x.data);
    };
    auto link = [](const CeLink &x) {
        return std::make_tuple(x.id, x.unknown, x.base_dir, x.target, x.type, x.parts);
    };
    auto same = [](const auto &a, const auto &b, auto key) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); i++)
            if (key(a[i]) != key(b[i])) return false;
        return true;
    };
    EXPECT_TRUE(same(in.strings, out.strings, str));
    EXPECT_TRUE(same(in.dirs, out.dirs, dir));
    EXPECT_TRUE(same(in.files, out.files, file));
    EXPECT_TRUE(same(in.hives, out.hives, hive));
    EXPECT_TRUE(same(in.values, out.values, value));
    EXPECT_TRUE(same(in.links, out.links, link));
    // The fixed words as the format has them, the length, and the helpers.
    EXPECT_EQ(0, std::memcmp(b.data(), "MSCE", 4));
    EXPECT_EQ(b.size(), LoadLE32(&b[8]));
    EXPECT_EQ(1u, LoadLE32(&b[16]));
    EXPECT_EQ("%CE1%\\VQNotes", CeJoinIds(out, out.dirs[0].parts));
    EXPECT_EQ("<string 9?>", CeStringText(out, 9));
    EXPECT_STREQ("StrongARM", CeProcessorName(2577));
    EXPECT_STREQ("", CeProcessorName(1));
    // A script with nothing in it reads back empty.
    CeScript empty;
    Bytes e = Encoded(empty);
    ASSERT_TRUE(DecodeCeScript(e.data(), e.size(), &out, &err)) << err;
    EXPECT_TRUE(out.unsupported.empty() && out.files.empty() && out.app_name.empty());
}

TEST(CeScript, RefusesWhatDoesNotFitAndDamage) {
    std::string err;
    Bytes b;
    CeScript s = TestCeScript();
    s.dirs[0].parts.push_back(0);
    EXPECT_FALSE(EncodeCeScript(s, &b, &err));
    EXPECT_NE(std::string::npos, err.find("id 0")) << err;
    s = TestCeScript();
    s.strings.resize(70000, {5, "x"});
    EXPECT_FALSE(EncodeCeScript(s, &b, &err));
    EXPECT_NE(std::string::npos, err.find("number of strings")) << err;
    s = TestCeScript();
    s.values[0].data.assign(70000, 'x');
    EXPECT_FALSE(EncodeCeScript(s, &b, &err));

    // Every cut of a good script fails cleanly (the length field says more).
    Bytes good = Encoded(TestCeScript());
    CeScript out;
    for (size_t n = 0; n < good.size(); n++)
        EXPECT_FALSE(DecodeCeScript(good.data(), n, &out, &err)) << n;
    // Offsets, counts and lengths that point past the end.
    struct Case {
        size_t at;
        uint32_t value, size;
        const char *says;
    } cases[] = {
        {0, 0x4543534E, 4, "MSCE"},
        {8, 0xFFFF, 4, "length"},
        {84, 0xFFF0, 2, "app name passes the end"},
        {94, 0x7FFF, 2, "unsupported platform list passes"},
        {52, 0xFFFF, 2, "files section"},
        {64, 0x00FFFFFF, 4, "dirs section"},
    };
    for (const Case &c : cases) {
        Bytes bad = good;
        for (uint32_t i = 0; i < c.size; i++) bad[c.at + i] = (uint8_t)(c.value >> (8 * i));
        EXPECT_FALSE(DecodeCeScript(bad.data(), bad.size(), &out, &err)) << c.says;
        EXPECT_NE(std::string::npos, err.find(c.says)) << err;
    }
}

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    Bytes b(n);
    for (uint8_t &x : b) x = (uint8_t)g();
    return b;
}

// What a command prints on its standard output.
std::string Output(const std::string &cmd, int *status) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = p ? pclose(p) : -1;
    return out;
}

bool Have(const char *tool) {
    int st;
    Output(std::string("command -v ") + tool + " >/dev/null", &st);
    return st == 0;
}

// Members of each shape: the first small, one over 32 KiB of text (several
// MSZIP blocks, each with the one before as its window), random bytes that
// deflate cannot shrink, an empty one, and sizes that make members start and
// end inside blocks.
std::vector<CabMember> Shapes() {
    std::vector<CabMember> m(5);
    const char *names[] = {"0VQNOTES.000", "VQNotes.004", "random.003", "empty.002", "tail.001"};
    for (size_t i = 0; i < m.size(); i++) m[i].name = names[i];
    m[0].data = Encoded(TestCeScript());
    for (size_t i = 0; i < 100000; i++) m[1].data.push_back((uint8_t)("notes "[i % 6] + (i / 4000) % 3));
    m[2].data = Random(70001, 7);
    m[4].data = Random(33000, 9);
    CabDosTime(1704067200 + 3661, &m[0].dos_date, &m[0].dos_time);  // 2024-01-01 01:01:01
    return m;
}

TEST(Cabinet, StoredAndMszipReadBackAndByCabextract) {
    uint16_t d, t;
    CabDosTime(1704067200 + 3661, &d, &t);
    EXPECT_EQ(((2024 - 1980) << 9) | (1 << 5) | 1, d);
    EXPECT_EQ((1 << 11) | (1 << 5) | 0, t);
    CabDosTime(0, &d, &t);
    EXPECT_EQ((0 << 9) | (1 << 5) | 1, d);

    std::vector<CabMember> in = Shapes();
    Bytes all;
    for (const CabMember &m : in) all.insert(all.end(), m.data.begin(), m.data.end());
    TempDir dir;
    bool cabextract = Have("cabextract");
    for (CabCompression c : {CabCompression::kNone, CabCompression::kMszip}) {
        SCOPED_TRACE(c == CabCompression::kNone ? "stored" : "MSZIP");
        Bytes cab, again;
        std::string err;
        ASSERT_TRUE(WriteCabinet(in, c, &cab, &err)) << err;
        ASSERT_TRUE(WriteCabinet(in, c, &again, &err));
        EXPECT_EQ(cab, again);
        EXPECT_TRUE(LooksLikeCabinet(cab.data(), cab.size()));
        if (c == CabCompression::kMszip) EXPECT_LT(cab.size(), all.size() - 90000);

        std::vector<CabMember> out;
        ASSERT_TRUE(ReadCabinet(cab.data(), cab.size(), &out, &err)) << err;
        ASSERT_EQ(in.size(), out.size());
        for (size_t i = 0; i < in.size(); i++) {
            EXPECT_EQ(in[i].name, out[i].name);
            EXPECT_TRUE(in[i].data == out[i].data) << in[i].name;
            EXPECT_EQ(in[i].dos_date, out[i].dos_date);
            EXPECT_EQ(in[i].dos_time, out[i].dos_time);
        }
        if (!cabextract) continue;
        // cabextract: checksums and data, the names in order, the bytes.
        std::string path = dir.File("t.cab", cab);
        int st;
        std::string test = Output("cabextract -t " + path, &st);
        EXPECT_EQ(0, st) << test;
        EXPECT_NE(std::string::npos, test.find("All done, no errors")) << test;
        std::string list = Output("cabextract -l " + path, &st);
        EXPECT_EQ(0, st) << list;
        size_t at = 0;
        for (const CabMember &m : in) {
            size_t found = list.find(" | " + m.name + "\n", at);
            EXPECT_NE(std::string::npos, found) << m.name << " out of order in\n" << list;
            at = found;
        }
        EXPECT_NE(std::string::npos, list.find("01.01.2024 01:01:00 | 0VQNOTES.000")) << list;
        std::string piped = Output("cabextract -q -p " + path, &st);
        EXPECT_TRUE(Bytes(piped.begin(), piped.end()) == all);
    }
    if (!cabextract) GTEST_SKIP() << "cabextract not installed: checked by this reader only";
}

TEST(Cabinet, ReadsWhatGcabWrites) {
    if (!Have("gcab")) GTEST_SKIP() << "gcab not installed";
    TempDir dir;
    std::vector<CabMember> in = Shapes();
    std::string names;
    for (const CabMember &m : in) {
        dir.File(m.name, m.data);
        names += " " + m.name;
    }
    for (const char *opt : {"-c", "-cz"}) {
        SCOPED_TRACE(opt);
        int st;
        Output("cd " + dir.path() + " && gcab " + opt + " g.cab" + names, &st);
        ASSERT_EQ(0, st);
        Bytes cab = Slurp(dir.path() + "/g.cab");
        std::vector<CabMember> out;
        std::string err;
        ASSERT_TRUE(ReadCabinet(cab.data(), cab.size(), &out, &err)) << err;
        ASSERT_EQ(in.size(), out.size());
        for (size_t i = 0; i < in.size(); i++) {
            EXPECT_EQ(in[i].name, out[i].name);
            EXPECT_TRUE(in[i].data == out[i].data) << in[i].name;
        }
        // And it is a CE cabinet: a .000 script, members found by number.
        CeCabinet ce;
        ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), &ce, &err)) << err;
        ASSERT_EQ(2u, ce.files.size());
        EXPECT_EQ("%CE1%\\VQNotes\\VQNotes.exe", ce.files[0].target);
        EXPECT_TRUE(ce.files[0].present);
        EXPECT_EQ(33000u, ce.files[0].size);  // tail.001
        EXPECT_TRUE(ce.files[1].present);     // random.003
        EXPECT_EQ(70001u, ce.files[1].size);
        EXPECT_EQ("\\Program Files\\VQNotes\\VQNotes.exe", CePocketPcPath(ce.files[0].target));
    }
}

// Two cabinets of one folder each made into one of two folders, the first
// stored and the second MSZIP, by moving their records and blocks.
Bytes TwoFolders(const Bytes &a, const Bytes &b) {
    auto files = [](const Bytes &c) {
        return Bytes(c.begin() + 44, c.begin() + LoadLE32(&c[36]));
    };
    auto blocks = [](const Bytes &c) { return Bytes(c.begin() + LoadLE32(&c[36]), c.end()); };
    Bytes fa = files(a), fb = files(b), da = blocks(a), db = blocks(b);
    for (size_t at = 0; at < fb.size(); at += 16 + std::strlen((const char *)&fb[at + 16]) + 1)
        fb[at + 8] = 1;  // iFolder
    Bytes c(a.begin(), a.begin() + 36);
    c[26] = 2;                                  // cFolders
    c[28] = (uint8_t)(a[28] + b[28]);           // cFiles
    uint32_t files_at = 36 + 16, data_at = files_at + (uint32_t)(fa.size() + fb.size());
    StoreLE32(&c[16], files_at);
    c.insert(c.end(), a.begin() + 36, a.begin() + 44);
    c.insert(c.end(), b.begin() + 36, b.begin() + 44);
    StoreLE32(&c[36], data_at);
    StoreLE32(&c[44], data_at + (uint32_t)da.size());
    for (const Bytes *p : {&fa, &fb, &da, &db}) c.insert(c.end(), p->begin(), p->end());
    StoreLE32(&c[8], (uint32_t)c.size());
    return c;
}

TEST(Cabinet, ReadsEveryFolder) {
    std::vector<CabMember> in = Shapes(), first(in.begin(), in.begin() + 2),
                           second(in.begin() + 2, in.end());
    Bytes a, b;
    std::string err;
    ASSERT_TRUE(WriteCabinet(first, CabCompression::kNone, &a, &err));
    ASSERT_TRUE(WriteCabinet(second, CabCompression::kMszip, &b, &err));
    Bytes two = TwoFolders(a, b);
    std::vector<CabMember> out;
    ASSERT_TRUE(ReadCabinet(two.data(), two.size(), &out, &err)) << err;
    ASSERT_EQ(in.size(), out.size());
    for (size_t i = 0; i < in.size(); i++) {
        EXPECT_EQ(in[i].name, out[i].name);
        EXPECT_TRUE(in[i].data == out[i].data) << in[i].name;
    }
    if (!Have("cabextract")) GTEST_SKIP() << "cabextract not installed: the assembly is unchecked";
    TempDir dir;
    int st;
    std::string path = dir.File("two.cab", two);
    std::string test = Output("cabextract -t " + path, &st);
    EXPECT_EQ(0, st) << test;
    std::string piped = Output("cabextract -q -p " + path, &st);
    Bytes all;
    for (const CabMember &m : in) all.insert(all.end(), m.data.begin(), m.data.end());
    EXPECT_TRUE(Bytes(piped.begin(), piped.end()) == all);
}

// Sets a little-endian field of `size` bytes.
void Poke(Bytes *b, size_t at, uint32_t v, int size) {
    for (int i = 0; i < size; i++) (*b)[at + i] = (uint8_t)(v >> (8 * i));
}

TEST(Cabinet, RefusesDamageAndWhatItDoesNotRead) {
    std::vector<CabMember> in = Shapes();
    Bytes stored, mszip;
    std::string err;
    // A small one, so that a 16-bit size can pass its end.
    ASSERT_TRUE(WriteCabinet({in[0]}, CabCompression::kNone, &stored, &err));
    ASSERT_TRUE(WriteCabinet(in, CabCompression::kMszip, &mszip, &err));
    const size_t files_at = 44, data_at = LoadLE32(&stored[36]);
    struct Case {
        const char *what;
        std::function<void(Bytes *)> damage;
        const char *says;
    } cases[] = {
        {"cut", [](Bytes *b) { b->resize(b->size() - 1); }, "cut short"},
        {"no signature", [](Bytes *b) { (*b)[0] = 'X'; }, "not a cabinet"},
        {"version 2", [](Bytes *b) { (*b)[25] = 2; }, "version 2.3"},
        {"a set", [](Bytes *b) { Poke(b, 30, 2, 2); }, "spans several cabinets"},
        {"LZX", [](Bytes *b) { Poke(b, 42, 0x1503, 2); }, "LZX"},
        {"Quantum", [](Bytes *b) { Poke(b, 42, 0x0002, 2); }, "Quantum"},
        {"reserve past the end", [](Bytes *b) { Poke(b, 30, 4, 2); Poke(b, 36, 0xFFFF, 2); },
         "reserved area"},
        {"files past the end", [](Bytes *b) { Poke(b, 16, (uint32_t)b->size() - 4, 4); },
         "passes the end"},
        {"more blocks than there are",
         [](Bytes *b) { Poke(b, 40, LoadLE32(&(*b)[40]) + 1, 2); }, "header passes the end"},
        {"no folder", [=](Bytes *b) { Poke(b, files_at + 8, 1, 2); }, "folder 1 does not exist"},
        {"continued", [=](Bytes *b) { Poke(b, files_at + 8, 0xFFFD, 2); }, "another cabinet"},
        {"outside the folder", [=](Bytes *b) { Poke(b, files_at + 4, 0x7FFFFFF0, 4); },
         "outside its folder"},
        {"block sizes", [=](Bytes *b) { Poke(b, data_at + 6, 40000, 2); }, "not possible"},
        {"checksum", [=](Bytes *b) { (*b)[data_at + 20] ^= 1; }, "checksum"},
    };
    for (const Case &c : cases) {
        Bytes bad = stored;
        c.damage(&bad);
        std::vector<CabMember> out;
        EXPECT_FALSE(ReadCabinet(bad.data(), bad.size(), &out, &err)) << c.what;
        EXPECT_NE(std::string::npos, err.find(c.says)) << c.what << ": " << err;
        EXPECT_TRUE(out.empty()) << c.what;
    }
    // MSZIP blocks: the signature, and deflate data that is damaged.
    const size_t mdata = LoadLE32(&mszip[36]);
    Bytes bad = mszip;
    bad[mdata + 8] = 'X';
    Poke(&bad, mdata, 0, 4);  // no checksum, so the block itself is judged
    std::vector<CabMember> out;
    EXPECT_FALSE(ReadCabinet(bad.data(), bad.size(), &out, &err));
    EXPECT_NE(std::string::npos, err.find("\"CK\"")) << err;
    bad = mszip;
    for (size_t i = 0; i < 40; i++) bad[mdata + 10 + i] = 0xFF;
    Poke(&bad, mdata, 0, 4);
    EXPECT_FALSE(ReadCabinet(bad.data(), bad.size(), &out, &err));
    EXPECT_NE(std::string::npos, err.find("block 0")) << err;
}

TEST(CeCabinet, SaysWhyACabinetIsNotOne) {
    std::string why;
    CeCabinet ce;
    Bytes text = ToBytes("[Version]\n");
    EXPECT_EQ(CeCabinetStatus::kNotCabinet, ReadCeCabinet(text.data(), text.size(), &ce, &why));
    std::vector<CabMember> m(2);
    m[0].name = "readme.txt";
    m[0].data = text;
    m[1].name = "APP.999";
    m[1].data = text;
    Bytes cab;
    ASSERT_TRUE(WriteCabinet(m, CabCompression::kNone, &cab, &why));
    EXPECT_EQ(CeCabinetStatus::kNoScript, ReadCeCabinet(cab.data(), cab.size(), &ce, &why));
    EXPECT_NE(std::string::npos, why.find(".000")) << why;
    m[0].name = "APP.000";
    ASSERT_TRUE(WriteCabinet(m, CabCompression::kNone, &cab, &why));
    EXPECT_EQ(CeCabinetStatus::kBadScript, ReadCeCabinet(cab.data(), cab.size(), &ce, &why));
    EXPECT_NE(std::string::npos, why.find("install script 'APP.000' cannot be read")) << why;
    m[0].data = Encoded(TestCeScript());
    ASSERT_TRUE(WriteCabinet(m, CabCompression::kMszip, &cab, &why));
    ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), &ce, &why)) << why;
    EXPECT_TRUE(ce.setup_dll);
    EXPECT_EQ(text.size(), ce.setup_dll_size);
    EXPECT_FALSE(ce.files[0].present);  // no member numbered 1
}

TEST(CeCabinet, TextsForPeopleAndDevices) {
    CeScript s = TestCeScript();
    EXPECT_EQ("HKLM\\Software\\VQNotes", CeHivePath(s, 1));
    EXPECT_EQ("\"%InstallDir%\"", CeRegDataText(s.values[0]));
    EXPECT_EQ("0x0000002A (42)", CeRegDataText(s.values[1]));
    EXPECT_EQ("00 ff", CeRegDataText(s.values[2]));
    EXPECT_EQ("NOCLOBBER", CeRegFlagNames(s.values[1].type_flags));
    CeRegValue multi{4, 1, 0, kCeRegMultiSz, "", std::string("a\0b\0\0", 5)};
    EXPECT_EQ("\"a\", \"b\"", CeRegDataText(multi));
    EXPECT_EQ("COPYFLG_WARN_IF_SKIP|COPYFLG_NOSKIP|CE_COPYFLG_SHARED|0x00000100",
              CeFileFlagNames(0x80000103));
    EXPECT_EQ("%CE11%\\VQNotes", CeLinkPath(s, s.links[0]));
    EXPECT_EQ("%CE1%\\VQNotes\\VQNotes.exe", CeLinkTarget(s, s.links[0]));
    EXPECT_EQ("%InstallDir%\\%CE11%\\VQNotes", CeLinkPath(s, s.links[1]));
    EXPECT_EQ("%CE1%\\VQNotes", CeLinkTarget(s, s.links[1]));  // a folder
    EXPECT_EQ("", CePocketPcPath("%CE3%\\x"));
    EXPECT_EQ(3, CeMemberNumber("x.003"));
    EXPECT_EQ(-1, CeMemberNumber("x.03"));
    // Overlap: processor (0 is any), versions and builds (0 is no limit).
    CeScript a, b;
    a.processor = 2577;
    b.processor = 4000;
    EXPECT_FALSE(CeSameDevices(a, b));
    b.processor = 0;
    EXPECT_TRUE(CeSameDevices(a, b));
    b.processor = 2577;
    a.version_max_major = 4;  // up to 4.0
    b.version_min_major = 4;
    b.version_min_minor = 1;  // from 4.1
    EXPECT_FALSE(CeSameDevices(a, b));
    b.version_min_minor = 0;
    EXPECT_TRUE(CeSameDevices(a, b));
    a.build_max = 100;
    b.build_min = 101;
    EXPECT_FALSE(CeSameDevices(a, b));
}

}  // namespace

// The sample INF through the builder, the cabinet writer and the CE reader:
// every field the INF sets comes back as the device will read it.
TEST(CeCabinet, InfToCabinetAndBack) {
    const std::string dir = VQ_EXAMPLES_DIR, path = dir + "/VQNotes.inf";
    std::string text, err;
    ASSERT_TRUE(vq::LoadFile(path, &text, &err)) << err;
    Inf inf;
    ASSERT_TRUE(inf.Parse(text, path, &err)) << err;
    CeBuildOptions opt;
    opt.folder = dir;
    opt.fixed_time = true;
    opt.time = 1704067200;
    CeBuild build;
    bool system = false;
    ASSERT_TRUE(BuildCeCabinet(inf, path, "MIPS", opt, &build, &err, &system)) << err;
    Bytes cab;
    ASSERT_TRUE(WriteCabinet(build.members, CabCompression::kMszip, &cab, &err)) << err;

    std::vector<std::string> names;
    for (const CabMember &m : build.members) names.push_back(m.name);
    EXPECT_EQ(std::vector<std::string>({"VQNotes.000", "notes.003", "readme.002", "VQNotes.001"}),
              names);
    CeCabinet got;
    ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), &got, &err)) << err;
    const CeScript &s = got.script;
    EXPECT_EQ("VQ Notes", s.app_name);
    EXPECT_EQ("VQ Software", s.provider);
    EXPECT_EQ(std::vector<uint32_t>({4000, 3, 0, 5, 2, 0, 0xE0000000}),
              std::vector<uint32_t>({s.processor, s.version_min_major, s.version_min_minor,
                                     s.version_max_major, s.version_max_minor, s.build_min,
                                     s.build_max}));
    EXPECT_EQ(std::vector<std::string>({"HPC", "Jupiter"}), s.unsupported);

    // Files: target, flags, size (the source file's), all present.
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> files;
    for (const CeCabinetFile &f : got.files) {
        EXPECT_TRUE(f.present) << f.target;
        EXPECT_EQ(f.file.number, f.file.unknown) << f.target;
        files.emplace_back(f.target, f.file.flags, f.size);
    }
    EXPECT_EQ((std::vector<std::tuple<std::string, uint32_t, uint32_t>>{
                  {"%CE1%\\VQ Notes\\VQNotes.exe", 0x40000000, 116},
                  {"%CE1%\\VQ Notes\\Read Me.txt", 0x1, 28},
                  {"%CE5%\\VQ Notes.txt", 0x10, 142}}),
              files);
    EXPECT_EQ(4u, got.members);
    EXPECT_FALSE(got.setup_dll);

    // Registry values: key, name, type and flags, substitution, data bytes.
    using Value = std::tuple<std::string, std::string, uint32_t, uint16_t, std::string>;
    std::vector<Value> values;
    for (const CeRegValue &v : s.values)
        values.emplace_back(CeHivePath(s, v.hive_id), v.name, v.type_flags, v.substitute, v.data);
    const std::string key = "HKCU\\Software\\VQ Software\\VQ Notes";
    EXPECT_EQ((std::vector<Value>{
                  {key, "InstallDir", kCeRegSz, 1, std::string("%InstallDir%\0", 13)},
                  {key, "Notes", kCeRegSz, 1, std::string("%CE5%\\VQ Notes.txt\0", 19)},
                  {key, "Version", kCeRegDword, 0, std::string("\x02\x01\0\0", 4)},
                  {key, "Recent", kCeRegMultiSz, 0,
                   std::string("VQ Notes.txt\0Read Me.txt\0\0", 26)},
                  {key, "Window", kCeRegBinary | kCeRegNoClobber, 0,
                   std::string("\x00\x00\xf0\x00\x40\x01\xc8\x00", 8)},
                  {"HKLM\\Software\\Classes\\.vqn", "", kCeRegSz, 0,
                   std::string("VQNotes.Document\0", 17)}}),
              values);

    // Shortcuts: where each is made and what it points at.
    std::vector<std::pair<std::string, std::string>> links;
    for (const CeLink &l : s.links) links.emplace_back(CeLinkPath(s, l), CeLinkTarget(s, l));
    ASSERT_EQ(2u, links.size());
    EXPECT_EQ("%CE11%\\VQ Notes", links[0].first);
    EXPECT_NE(std::string::npos, links[0].second.find("%CE1%\\VQ Notes\\VQNotes.exe"))
        << links[0].second;
    EXPECT_EQ("%CE17%\\VQ Notes documents", links[1].first);
    EXPECT_NE(std::string::npos, links[1].second.find("%CE5%")) << links[1].second;
}
