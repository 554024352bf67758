// CE cabinets: the install script's codec over the CE model, the cabinet
// layer against cabextract and gcab as independent reader and writer, and
// the CE reading of a whole cabinet.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "ce/cabinet.h"
#include "ce/ce_cabinet.h"
#include "ce/ce_script.h"
#include "ce/ce_xml.h"
#include "ce/codepage.h"
#include "ce/inf.h"
#include "ce/inf_build.h"
#include "host_file.h"
#include "test_support.h"

namespace {

uint16_t LoadLE16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

Bytes Encoded(const CeInstall &m, unsigned codepage = 1252) {
    Bytes b;
    std::string err;
    EXPECT_TRUE(EncodeCeScript(m, codepage, &b, &err)) << err;
    return b;
}

std::set<std::string> Folders(const CeInstall &m) {
    std::set<std::string> s;
    for (size_t i = 0; i < m.folders.size(); i++)
        s.insert(CeFolderPath(m, i) + (m.folders[i].in_install_dir ? " (install)" : ""));
    return s;
}

TEST(CeScript, RoundTripGivesBackEveryField) {
    CeInstall in = TestCeModel(), out;
    Bytes b = Encoded(in);
    std::string err;
    ASSERT_TRUE(DecodeCeScript(b.data(), b.size(), 1252, &out, &err)) << err;
    EXPECT_EQ(std::vector<std::string>(), CeCompare(in, out));
    EXPECT_EQ(in.app_name, out.app_name);
    EXPECT_EQ(in.provider, out.provider);
    EXPECT_EQ(in.install_dir, out.install_dir);
    EXPECT_EQ(in.unsupported, out.unsupported);
    EXPECT_EQ(Folders(in), Folders(out));
    ASSERT_EQ(in.files.size(), out.files.size());
    for (size_t i = 0; i < in.files.size(); i++)
        EXPECT_EQ(std::make_tuple(in.files[i].number, in.files[i].member ? in.files[i].member : in.files[i].number),
                  std::make_tuple(out.files[i].number, out.files[i].member));
    ASSERT_EQ(3u, out.shortcuts.size());
    EXPECT_EQ("%CE11%\\VQNotes.lnk", CeShortcutPath(out, out.shortcuts[0]));
    EXPECT_EQ("\\BASIC Samples\\Docs.lnk", CeShortcutPath(out, out.shortcuts[1]));
    EXPECT_EQ("%CE1%\\VQNotes\\Docs", CeShortcutTarget(out, out.shortcuts[1]));
    EXPECT_EQ("%CE1%\\VQNotes\\Read me.lnk", CeShortcutPath(out, out.shortcuts[2]));

    // The layout as the CAB wizard writes it: the fixed words, the length,
    // string 1 the install folder whole, texts NUL-padded to 4 bytes (the
    // length counts the padding), shortcut names without a final 0.
    EXPECT_EQ(0, std::memcmp(b.data(), "MSCE", 4));
    EXPECT_EQ(b.size(), LoadLE32(&b[8]));
    EXPECT_EQ(1u, LoadLE32(&b[16]));
    EXPECT_EQ(100u, LoadLE16(&b[84]));
    EXPECT_EQ(8u, LoadLE16(&b[86]));  // "VQNotes" and a NUL
    size_t strings = LoadLE32(&b[60]);
    EXPECT_EQ(1u, LoadLE16(&b[strings]));
    EXPECT_EQ(16u, LoadLE16(&b[strings + 2]));  // "%CE1%\VQNotes", 13 + 1 + 2
    EXPECT_EQ(0, std::memcmp(&b[strings + 4], "%CE1%\\VQNotes\0\0\0", 16));
    size_t links = LoadLE32(&b[80]);
    EXPECT_EQ((std::vector<uint16_t>{1, 0, 11, 1, 1, 2}),
              (std::vector<uint16_t>{LoadLE16(&b[links]), LoadLE16(&b[links + 2]),
                                     LoadLE16(&b[links + 4]), LoadLE16(&b[links + 6]),
                                     LoadLE16(&b[links + 8]), LoadLE16(&b[links + 10])}));
    EXPECT_STREQ("StrongARM", CeProcessorName(2577));
    EXPECT_STREQ("", CeProcessorName(1));

    // Texts in the devices' code page: one byte each in 1252, and back.
    in.app_name = "Caf\xc3\xa9 Notes";  // UTF-8
    b = Encoded(in);
    EXPECT_EQ(0, std::memcmp(&b[100], "Caf\xe9 Notes", 11));
    ASSERT_TRUE(DecodeCeScript(b.data(), b.size(), 1252, &out, &err)) << err;
    EXPECT_EQ(in.app_name, out.app_name);
    in.app_name = "\xd0\x96urnal";  // a Cyrillic letter: not in 1252, in 1251
    EXPECT_FALSE(EncodeCeScript(in, 1252, &b, &err));
    EXPECT_NE(std::string::npos, err.find("the app name: '\xd0\x96' (U+0416) is not in code page 1252")) << err;
    b = Encoded(in, 1251);
    EXPECT_EQ(0xC6, b[100]);
    // A script with nothing in it reads back empty.
    Bytes e = Encoded(CeInstall());
    ASSERT_TRUE(DecodeCeScript(e.data(), e.size(), 1252, &out, &err)) << err;
    EXPECT_TRUE(out.unsupported.empty() && out.files.empty() && out.app_name.empty());
}

TEST(CeScript, RefusesWhatDoesNotFitAndDamage) {
    std::string err;
    Bytes b;
    CeInstall s = TestCeModel();
    s.files[0].folder = 99;
    EXPECT_FALSE(EncodeCeScript(s, 1252, &b, &err));
    EXPECT_NE(std::string::npos, err.find("folder 99")) << err;
    s = TestCeModel();
    s.install_dir.clear();
    EXPECT_FALSE(EncodeCeScript(s, 1252, &b, &err));
    EXPECT_NE(std::string::npos, err.find("install folder that is not named")) << err;
    s = TestCeModel();
    s.values[0].data.assign(70000, 'x');
    EXPECT_FALSE(EncodeCeScript(s, 1252, &b, &err));
    EXPECT_NE(std::string::npos, err.find("more than 65535")) << err;

    // Every cut of a good script fails cleanly (the length field says more).
    Bytes good = Encoded(TestCeModel());
    CeInstall out;
    for (size_t n = 0; n < good.size(); n++)
        EXPECT_FALSE(DecodeCeScript(good.data(), n, 1252, &out, &err)) << n;
    // Offsets, counts and lengths that point past the end; ids that name nothing.
    size_t dirs = LoadLE32(&good[64]), links = LoadLE32(&good[80]);
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
        {dirs + 4, 77, 2, "dir 1 names string 77, which the script does not have"},
        {links + 2, 40, 2, "is in dir 40, which the script does not have"},
    };
    for (const Case &c : cases) {
        Bytes bad = good;
        for (uint32_t i = 0; i < c.size; i++) bad[c.at + i] = (uint8_t)(c.value >> (8 * i));
        EXPECT_FALSE(DecodeCeScript(bad.data(), bad.size(), 1252, &out, &err)) << c.says;
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
    m[0].data = Encoded(TestCeModel());
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
        ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &err)) << err;
        ASSERT_EQ(4u, ce.model.files.size());
        std::string target = CeFilePath(ce.model, ce.model.files[0]);
        EXPECT_EQ("%CE1%\\VQNotes\\VQNotes.exe", target);
        EXPECT_EQ((std::vector<uint32_t>{33000, 0, 70001, 100000}), ce.sizes);  // tail.001 ...
        EXPECT_EQ(std::vector<bool>(4, true), ce.present);
        EXPECT_EQ("\\Program Files\\VQNotes\\VQNotes.exe", CePocketPcPath(target));
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
    EXPECT_EQ(CeCabinetStatus::kNotCabinet, ReadCeCabinet(text.data(), text.size(), 1252, &ce, &why));
    std::vector<CabMember> m(2);
    m[0].name = "readme.txt";
    m[0].data = text;
    m[1].name = "APP.999";
    m[1].data = text;
    Bytes cab;
    ASSERT_TRUE(WriteCabinet(m, CabCompression::kNone, &cab, &why));
    EXPECT_EQ(CeCabinetStatus::kNoScript, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &why));
    EXPECT_NE(std::string::npos, why.find(".000")) << why;
    m[0].name = "APP.000";
    ASSERT_TRUE(WriteCabinet(m, CabCompression::kNone, &cab, &why));
    EXPECT_EQ(CeCabinetStatus::kBadScript, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &why));
    EXPECT_NE(std::string::npos, why.find("install script 'APP.000' cannot be read")) << why;
    m[0].data = Encoded(TestCeModel());
    ASSERT_TRUE(WriteCabinet(m, CabCompression::kMszip, &cab, &why));
    ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &why)) << why;
    EXPECT_TRUE(ce.setup_dll);
    EXPECT_EQ(text.size(), ce.setup_dll_size);
    EXPECT_FALSE(ce.present[0]);  // no member numbered 1
    EXPECT_EQ(".000 only", CeFormsText(ce));
    EXPECT_FALSE(ce.info.signed_);
}

// Which member holds a file's bytes: the one numbered as the entry where
// the cabinet has it (whatever the entry's third field says), else the one
// its third field names (one source stored once for two entries).
TEST(CeCabinet, FindsEachFilesMember) {
    CeInstall m = TestCeModel();
    m.files[3].member = 1;  // vq.dll: a third field of 1, but member 4 is there
    std::vector<CabMember> members(4);
    members[0].name = "VQNOTES.000";
    members[0].data = Encoded(m);
    const char *names[] = {"FILE.004", "FILE.002", "FILE.001"};
    for (int i = 1; i < 4; i++) {
        members[i].name = names[i - 1];
        members[i].data.assign(10 * i, 'x');
    }
    Bytes cab;
    std::string why;
    ASSERT_TRUE(WriteCabinet(members, CabCompression::kNone, &cab, &why));
    CeCabinet ce;
    ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &why)) << why;
    std::vector<std::string> got;
    for (const CeInstallFile &f : ce.model.files) got.push_back(f.member_name);
    EXPECT_EQ((std::vector<std::string>{"FILE.001", "FILE.002", "FILE.002", "FILE.004"}), got);
    EXPECT_EQ((std::vector<uint32_t>{30, 20, 20, 10}), ce.sizes);
    EXPECT_EQ(std::vector<bool>(4, true), ce.present);
    // A file whose member is nowhere is missing, not another's.
    members.pop_back();
    ASSERT_TRUE(WriteCabinet(members, CabCompression::kNone, &cab, &why));
    ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &why)) << why;
    EXPECT_EQ((std::vector<bool>{false, true, true, true}), ce.present);
}

TEST(CeCabinet, TextsForPeopleAndDevices) {
    CeInstall s = TestCeModel();
    EXPECT_EQ("HKLM\\Software\\VQNotes", CeKeyText(s, 0));
    EXPECT_EQ("<key 7?>", CeKeyText(s, 7));
    EXPECT_EQ("\"%InstallDir%\"", CeRegDataText(s.values[0]));
    EXPECT_EQ("0x0000002A (42)", CeRegDataText(s.values[1]));
    EXPECT_EQ("00 ff", CeRegDataText(s.values[2]));
    EXPECT_EQ("\"a\", \"b\"", CeRegDataText(s.values[3]));
    EXPECT_EQ("NOCLOBBER", CeRegFlagNames(s.values[1].type_flags));
    EXPECT_EQ("COPYFLG_WARN_IF_SKIP|COPYFLG_NOSKIP|CE_COPYFLG_SHARED|0x00000100",
              CeFileFlagNames(0x80000103));
    EXPECT_EQ("%CE1%\\VQNotes\\Docs", CeFolderPath(s, 1));
    EXPECT_EQ("%CE1%\\VQNotes\\Docs\\notes.txt", CeFilePath(s, s.files[1]));
    EXPECT_EQ("%CE11%\\VQNotes.lnk", CeShortcutPath(s, s.shortcuts[0]));
    EXPECT_EQ("%CE1%\\VQNotes\\VQNotes.exe", CeShortcutTarget(s, s.shortcuts[0]));
    EXPECT_EQ("VQ Soft VQNotes", CeDisplayName(s));
    s.install_dir.clear();
    EXPECT_EQ("%InstallDir%\\Docs", CeFolderPath(s, 1));
    EXPECT_EQ("", CePocketPcPath("%CE3%\\x"));
    EXPECT_EQ("\\Windows\\Start Menu\\Programs\\x.lnk", CePocketPcPath("%CE11%\\x.lnk"));
    EXPECT_EQ(3, CeMemberNumber("x.003"));
    EXPECT_EQ(-1, CeMemberNumber("x.03"));
    EXPECT_EQ(11u, CeMacroNumber("%CE11%"));
    EXPECT_EQ(0u, CeMacroNumber("%CE11%\\x"));
    // Two readings compared: what differs, by what the device does.
    CeInstall a = TestCeModel(), b = a;
    b.files[1].flags ^= kCeCopyNoOverwrite;
    b.values.pop_back();
    b.shortcuts[0].file = 4;
    std::vector<std::string> d = CeCompare(a, b);
    ASSERT_EQ(3u, d.size());
    EXPECT_NE(std::string::npos, d[0].find("file %CE1%\\VQNotes\\Docs\\notes.txt: flags 0x80000003")) << d[0];
    EXPECT_NE(std::string::npos, d[1].find("\"List\"")) << d[1];
    EXPECT_NE(std::string::npos, d[2].find("%CE2%\\vq.dll")) << d[2];
    // Overlap: processor (0 is any), versions and builds (0 is no limit).
    a = b = CeInstall();
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

// The XML form: every field of the model through it and back, names and
// data that need escaping; damage refused with a reason.
TEST(CeXml, RoundTripAndRefusals) {
    CeInstall in = TestCeModel(0), out;
    in.provider.clear();  // the XML holds the display name, not the two
    in.app_name = "VQ \"Notes\" & <more> caf\xc3\xa9";
    in.unsupported.clear();
    in.values[1].type_flags &= ~kCeRegNoClobber;
    for (CeInstallFile &f : in.files) f.member_name = "FILE.00" + std::to_string(f.member);
    in.values.push_back({1, "Quote", kCeRegSz, std::string("a \"b\"\nc\0", 8), false});
    std::string xml, err;
    ASSERT_TRUE(EncodeCeXml(in, &xml, &err)) << err;
    ASSERT_TRUE(DecodeCeXml((const uint8_t *)xml.data(), xml.size(), &out, &err)) << err;
    EXPECT_EQ(std::vector<std::string>(), CeCompare(in, out));
    EXPECT_EQ(in.app_name, out.app_name);
    EXPECT_EQ(Folders(in), Folders(out));
    // Entries come in the XML's order (by folder, by key): compared by place.
    auto files = [](const CeInstall &m) {
        std::map<std::string, std::tuple<uint16_t, uint32_t, std::string>> r;
        for (const CeInstallFile &f : m.files) r[CeFilePath(m, f)] = {f.number, f.flags, f.member_name};
        return r;
    };
    auto values = [](const CeInstall &m) {
        std::map<std::string, std::tuple<uint32_t, std::string, bool>> r;
        for (const CeValue &v : m.values) r[CeKeyText(m, v.key) + "/" + v.name] = {v.type_flags, v.data, v.substitute};
        return r;
    };
    EXPECT_EQ(files(in), files(out));
    EXPECT_EQ(values(in), values(out));
    // The CAB wizard's layout: no declaration, CR LF, a blank before "/>".
    EXPECT_EQ(0u, xml.find("<wap-provisioningdoc>\r\n<characteristic type=\"Install\">\r\n"));
    EXPECT_NE(std::string::npos, xml.find("<characteristic type=\"MakeDir\" />\r\n"));
    // Every line ends in CR LF: a line end inside a value is escaped.
    for (size_t at = xml.find('\n'); at != std::string::npos; at = xml.find('\n', at + 1))
        EXPECT_EQ('\r', xml[at - 1]) << at;
    EXPECT_NE(std::string::npos, xml.find("value=\"a &quot;b&quot;&#10;c\""));

    struct Case {
        const char *what, *xml, *says;
    } cases[] = {
        {"not XML", "<wap-provisioningdoc>", "not XML"},
        {"another root", "<html/>", "its root is <html>"},
        {"no Source", "<wap-provisioningdoc><characteristic type=\"FileOperation\"><characteristic type=\"%CE2%\"><characteristic type=\"a.dll\"><characteristic type=\"Extract\"/></characteristic></characteristic></characteristic></wap-provisioningdoc>",
         "'a.dll': its Extract has no Source"},
        {"a shortcut to nowhere", "<wap-provisioningdoc><characteristic type=\"FileOperation\"><characteristic type=\"%CE11%\"><characteristic type=\"x.lnk\"><characteristic type=\"Shortcut\"><parm name=\"Target\" value=\"%CE1%\"/></characteristic></characteristic></characteristic></characteristic></wap-provisioningdoc>",
         "shortcut 'x.lnk' has no Source"},
        {"a root", "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKXX\\a\"/></characteristic></wap-provisioningdoc>",
         "no root the device knows"},
        {"a number", "<wap-provisioningdoc><characteristic type=\"Install\"><parm name=\"BuildNumberMax\" value=\"99999999999\"/></characteristic></wap-provisioningdoc>",
         "is not a number"},
        {"a datatype", "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKLM\\a\"><parm name=\"v\" value=\"1\" datatype=\"float\"/></characteristic></characteristic></wap-provisioningdoc>",
         "datatype 'float'"},
        {"base64", "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKLM\\a\"><parm name=\"v\" value=\"!!\" datatype=\"binary\"/></characteristic></characteristic></wap-provisioningdoc>",
         "not base64"},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(DecodeCeXml((const uint8_t *)c.xml, std::strlen(c.xml), &out, &err)) << c.what;
        EXPECT_NE(std::string::npos, err.find(c.says)) << c.what << ": " << err;
    }
    in.files[0].member_name.clear();
    EXPECT_FALSE(EncodeCeXml(in, &xml, &err));
    EXPECT_NE(std::string::npos, err.find("no member name")) << err;
}

// The CAB wizard's own _setup.xml files (read where they lie, never
// copied): read and written again they give the same bytes, and so does the
// XML written from the .000 beside them.
TEST(CeXml, WritesWhatTheCabWizardWrote) {
    const std::string dir = std::string(VQ_REALWORLD_DIR) + "/cab";
    const char *const names[] = {"davychiu__bustime__BusTime.CAB",
                                 "nsbasic-archive__NS-Basic-for-WinCE__App.WM.CAB",
                                 "ushahidi__Ushahidi_WinMobile__NETCFv35.Messages.EN.wm.cab"};
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) GTEST_SKIP() << "skipped: no ../shared/realworld";
    for (const char *name : names) {
        SCOPED_TRACE(name);
        Bytes cab = Slurp(dir + "/" + name);
        std::vector<CabMember> members;
        std::string err, xml;
        ASSERT_TRUE(ReadCabinet(cab.data(), cab.size(), &members, &err)) << err;
        ASSERT_EQ("_setup.xml", members.back().name);
        const std::string real(members.back().data.begin(), members.back().data.end());
        CeInstall m;
        ASSERT_TRUE(DecodeCeXml((const uint8_t *)real.data(), real.size(), &m, &err)) << err;
        ASSERT_TRUE(EncodeCeXml(m, &xml, &err)) << err;
        // The XML names only the folders that hold something; its NumDirs
        // counts the .000's, which read from XML alone are not known.
        auto dirs = [](std::string x) {
            const std::string key = "\"NumDirs\" value=\"";
            size_t at = x.find(key);
            if (at == std::string::npos) return x;
            at += key.size();
            return x.erase(at, x.find('"', at) - at);
        };
        EXPECT_EQ(dirs(real), dirs(xml));
        CeCabinet ce;
        ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &err)) << err;
        ASSERT_TRUE(EncodeCeXml(ce.model, &xml, &err)) << err;
        EXPECT_EQ(real, xml);
    }
}

TEST(CeText, CodePagesAndUnicodeForms) {
    std::string out, err;
    EXPECT_TRUE(Utf8ToCodePage("plain", 1252, &out, &err));
    EXPECT_EQ("plain", out);
    EXPECT_TRUE(Utf8ToCodePage("\xe2\x82\xac\xc3\xa9", 1252, &out, &err)) << err;
    EXPECT_EQ("\x80\xe9", out);
    EXPECT_EQ("\xe2\x82\xac\xc3\xa9", CodePageToUtf8(out, 1252));
    EXPECT_TRUE(Utf8ToCodePage("\xe4\xb8\xad\xe6\x96\x87", 936, &out, &err)) << err;  // two Chinese letters
    EXPECT_EQ("\xd6\xd0\xce\xc4", out);
    EXPECT_FALSE(Utf8ToCodePage("a\xe4\xb8\xad", 1252, &out, &err));
    EXPECT_NE(std::string::npos, err.find("(U+4E2D) is not in code page 1252")) << err;
    EXPECT_FALSE(Utf8ToCodePage("\xff", 1252, &out, &err));
    EXPECT_FALSE(CodePageKnown(4242, &err));
    EXPECT_TRUE(CodePageKnown(1251, &err));
    EXPECT_EQ("\xef\xbf\xbd", CodePageToUtf8("\x81", 1252));  // undefined in 1252
    const uint8_t le[] = {'A', 0, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8, 'x'};  // A, U+1F600, a lone half, an odd byte
    EXPECT_EQ("A\xf0\x9f\x98\x80\xef\xbf\xbd\xef\xbf\xbd", Utf16ToUtf8(le, sizeof le, false));
    const uint8_t be[] = {0, 'H', 0x4E, 0x2D};
    EXPECT_EQ("H\xe4\xb8\xad", Utf16ToUtf8(be, sizeof be, true));
    EXPECT_FALSE(IsUtf8("\xc0\xaf"));  // overlong
    EXPECT_FALSE(IsUtf8("\xed\xa0\x80"));  // a surrogate
}

}  // namespace

// The sample INF through the builder, the cabinet's members and the CE
// reader: every field the INF sets comes back as the device will read it,
// and the INF saved in every form an editor saves it in gives the same.
TEST(CeCabinet, InfToCabinetAndBack) {
    const std::string dir = VQ_EXAMPLES_DIR, path = dir + "/VQNotes.inf";
    std::string text, err;
    ASSERT_TRUE(vq::LoadFile(path, &text, &err)) << err;
    CeBuildOptions opt;
    opt.folder = dir;
    opt.fixed_time = true;
    opt.time = 1704067200;
    auto build = [&](const std::string &bytes, CeBuild *out) {
        Inf inf;
        if (!inf.Parse(bytes, path, &err)) return false;
        bool system = false;
        return BuildCeModel(inf, path, "MIPS", opt, out, &err, &system);
    };
    CeBuild b;
    ASSERT_TRUE(build(text, &b)) << err;
    std::vector<CabMember> members;
    ASSERT_TRUE(CeCabinetMembers(b.model, b.script_stem, b.members, CeScriptForms::kBinary, 1252,
                                 0, 0, &members, &err)) << err;
    Bytes cab;
    ASSERT_TRUE(WriteCabinet(members, CabCompression::kMszip, &cab, &err)) << err;
    std::vector<std::string> names;
    for (const CabMember &m : members) names.push_back(m.name);
    EXPECT_EQ(std::vector<std::string>({"0VQNotes.000", "000notes.003", "00readme.002", "0VQNotes.001"}),
              names);
    EXPECT_TRUE(b.warnings.empty());

    // The same INF as UTF-16 (either byte order), as UTF-8 with a
    // byte-order mark, and ending in a NUL: the same model.
    auto utf16 = [&](bool big) {
        std::string u = big ? "\xfe\xff" : "\xff\xfe";
        for (unsigned char c : text) {
            uint32_t cp = c < 0x80 ? c : 0xFFFD;
            u += big ? std::string{(char)(cp >> 8), (char)cp} : std::string{(char)cp, (char)(cp >> 8)};
        }
        return u;
    };
    for (const std::string &form : {utf16(false), utf16(true), "\xef\xbb\xbf" + text, text + '\0'}) {
        CeBuild again;
        ASSERT_TRUE(build(form, &again)) << err;
        EXPECT_EQ(std::vector<std::string>(), CeCompare(b.model, again.model));
    }

    CeCabinet got;
    ASSERT_EQ(CeCabinetStatus::kOk, ReadCeCabinet(cab.data(), cab.size(), 1252, &got, &err)) << err;
    const CeInstall &s = got.model;
    EXPECT_EQ("VQ Notes", s.app_name);
    EXPECT_EQ("VQ Software", s.provider);
    EXPECT_EQ("%CE1%\\VQ Notes", s.install_dir);
    EXPECT_EQ(std::vector<uint32_t>({4000, 3, 0, 5, 2, 0, 0xE0000000}),
              std::vector<uint32_t>({s.processor, s.version_min_major, s.version_min_minor,
                                     s.version_max_major, s.version_max_minor, s.build_min,
                                     s.build_max}));
    EXPECT_EQ(std::vector<std::string>({"HPC", "Jupiter"}), s.unsupported);

    // Files: target, flags, size (the source file's), all present.
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> files;
    for (size_t i = 0; i < s.files.size(); i++) {
        EXPECT_TRUE(got.present[i]) << i;
        EXPECT_EQ(s.files[i].number, s.files[i].member) << i;
        files.emplace_back(CeFilePath(s, s.files[i]), s.files[i].flags, got.sizes[i]);
    }
    EXPECT_EQ((std::vector<std::tuple<std::string, uint32_t, uint32_t>>{
                  {"%CE1%\\VQ Notes\\VQNotes.exe", 0x40000000, 116},
                  {"%CE1%\\VQ Notes\\Read Me.txt", 0x1, 28},
                  {"%CE5%\\VQ Notes.txt", 0x10, 142}}),
              files);
    EXPECT_EQ(4u, got.members);
    EXPECT_FALSE(got.setup_dll);

    // Registry values: key, name, type and flags, substitution, data bytes.
    using Value = std::tuple<std::string, std::string, uint32_t, bool, std::string>;
    std::vector<Value> values;
    for (const CeValue &v : s.values)
        values.emplace_back(CeKeyText(s, v.key), v.name, v.type_flags, v.substitute, v.data);
    const std::string key = "HKCU\\Software\\VQ Software\\VQ Notes";
    EXPECT_EQ((std::vector<Value>{
                  {key, "InstallDir", kCeRegSz, true, std::string("%InstallDir%\0", 13)},
                  {key, "Notes", kCeRegSz, true, std::string("%CE5%\\VQ Notes.txt\0", 19)},
                  {key, "Version", kCeRegDword, false, std::string("\x02\x01\0\0", 4)},
                  {key, "Recent", kCeRegMultiSz, false,
                   std::string("VQ Notes.txt\0Read Me.txt\0\0", 26)},
                  {key, "Window", kCeRegBinary | kCeRegNoClobber, false,
                   std::string("\x00\x00\xf0\x00\x40\x01\xc8\x00", 8)},
                  {"HKLM\\Software\\Classes\\.vqn", "", kCeRegSz, false,
                   std::string("VQNotes.Document\0", 17)}}),
              values);

    // Shortcuts: where each is made (its name with .lnk) and what it points at.
    std::vector<std::pair<std::string, std::string>> links;
    for (const CeShortcut &l : s.shortcuts) links.emplace_back(CeShortcutPath(s, l), CeShortcutTarget(s, l));
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                  {"%CE11%\\VQ Notes.lnk", "%CE1%\\VQ Notes\\VQNotes.exe"},
                  {"%CE17%\\VQ Notes documents.lnk", "%CE5%"}}),
              links);
}
