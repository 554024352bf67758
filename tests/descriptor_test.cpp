// The packer's reading of Setup.ini and the warnings of `vqpack lint`.
#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>

#include "lint.h"
#include "test_support.h"

namespace {

TEST(Descriptor, ReadsLikeThePrivateProfileReader) {
    Descriptor d;
    d.Parse("; comment\r\nstray=1\n[vqInstaller]\n  productname =  My App  \r\n"
            "ProductName=Second\n[Other]\nk=v\n[VQINSTALLER]\nLicenseFile=\"lic.rtf\"\n");
    bool found;
    int line;
    EXPECT_EQ("My App", d.Get("VQINSTALLER", "ProductName", 256, &found, &line));
    EXPECT_TRUE(found);
    EXPECT_EQ(4, line);
    EXPECT_EQ("lic.rtf", d.Get("vqinstaller", "LICENSEFILE", 256));
    EXPECT_EQ("NO", d.Get("VQINSTALLER", "stray", 256, &found));
    EXPECT_FALSE(found);
    EXPECT_EQ("NO", d.Get("Missing", "k", 256));
    EXPECT_EQ("My ", d.Get("VQINSTALLER", "ProductName", 4));
}

TEST(Descriptor, CabFilesWalkingRule) {
    using V = std::vector<std::string>;
    EXPECT_EQ(V({"a.cab"}), SplitCabFiles("a.cab"));
    EXPECT_EQ(V({"a.cab", "b.cab"}), SplitCabFiles("a.cab,b.cab"));
    EXPECT_EQ(V({"a.cab", "a.cab"}), SplitCabFiles("a.cab,"));
    EXPECT_EQ(V({"a.cab", "", "b.cab"}), SplitCabFiles("a.cab,,b.cab"));
    EXPECT_EQ(V({""}), SplitCabFiles(""));
    EXPECT_EQ(V({"a.cab", " b.cab"}), SplitCabFiles("a.cab, b.cab"));
}

class LintTest : public ::testing::Test {
protected:
    void SetUp() override {
        char t[] = "/tmp/vqlint-XXXXXX";
        dir_ = mkdtemp(t);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    void Put(const std::string &name, const std::string &data) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << data;
    }
    static std::string Bmp(int w, int h) {
        std::string b(54, '\0');
        b[0] = 'B';
        b[1] = 'M';
        auto le = [&](int at, uint32_t v) {
            for (int i = 0; i < 4; i++) b[at + i] = (char)(v >> (8 * i));
        };
        le(10, 54);
        le(14, 40);
        le(18, (uint32_t)w);
        le(22, (uint32_t)h);
        b[26] = 1;
        b[28] = 24;
        b += std::string((size_t)((w * 3 + 3) / 4 * 4) * h, '\xff');
        return b;
    }
    LintReport Lint(const std::string &ini, std::vector<PackMember> *members = nullptr) {
        LintReport r;
        std::vector<PackMember> m;
        LintDescriptor(ini, dir_, members ? members : &m, &r);
        return r;
    }
    static bool Says(const LintReport &r, const std::string &part) {
        for (auto &m : r.messages)
            if (m.text.find(part) != std::string::npos) return true;
        return false;
    }
    static std::string All(const LintReport &r) {
        std::string s;
        for (auto &m : r.messages) s += FormatLintMessage("Setup.ini", m) + "\n";
        return s;
    }
    std::string dir_;
};

const char kClean[] =
    "[VQINSTALLER]\nProductName=Demo\nProductVersion=1.0\nLicenseFile=license.rtf\n"
    "BodyBitmap=body.bmp\nHeadBitmap=head.bmp\nInstallDirectory=Demo\nAlsoInstall=rt.ini\n"
    "[CEAppManager]\nVersion=1.0\nComponent=Demo App\n"
    "[Demo App]\nDescription=Demo\nCabFiles=a.cab,b.cab\n";

TEST_F(LintTest, CleanDescriptorCollectsEveryMember) {
    Put("license.rtf", "{\\rtf1 ok}");
    Put("body.bmp", Bmp(200, 100));
    Put("head.bmp", Bmp(100, 55));
    // CE cabinets, one per processor.
    Bytes arm = TestCeCabinet(TestCeModel(2577), CabCompression::kNone, CeScriptForms::kBinary),
          mips = TestCeCabinet(TestCeModel(4000), CabCompression::kNone, CeScriptForms::kBinary);
    Put("a.cab", std::string(arm.begin(), arm.end()));
    Put("b.cab", std::string(mips.begin(), mips.end()));
    // A second component, listed by AlsoInstall, whose cabinet shares b.cab.
    Put("rt.ini", "[CEAppManager]\nVersion=1.0\nComponent=Runtime\n"
                  "[Runtime]\nDescription=Runtime\nCabFiles=rt.cab,b.cab\n");
    Put("rt.cab", std::string(arm.begin(), arm.end()));
    std::vector<PackMember> m;
    LintReport r = Lint(kClean, &m);
    EXPECT_TRUE(r.messages.empty()) << All(r);
    std::vector<std::string> names;
    for (auto &p : m) names.push_back(p.name);
    EXPECT_EQ(std::vector<std::string>({"Setup.ini", "license.rtf", "body.bmp", "head.bmp", "a.cab",
                                        "b.cab", "rt.ini", "rt.cab"}),
              names);
}

TEST_F(LintTest, WarnsAboutWhatTheAuthorProbablyDidNotMean) {
    Put("license.txt", "{\\rtf1 rich}");
    Put("body.bmp", Bmp(640, 480));
    Put("head.bmp", "not a bitmap");
    Put("a.cab", "MSCF");
    Put("A.CAB", "MSCF");
    LintReport r = Lint(
        "[VQINSTALLER]\nProductVersion=1\nLicenseFile=license.txt\nBodyBitmap=body.bmp\n"
        "HeadBitmap=head.bmp\nInstallDirectory=Sub\\Dir\n[CEAppManager]\nComponent=C\n"
        "[C]\nCabFiles=a.cab, b.cab,,A.CAB,missing.cab,\n");
    std::string all = All(r);
    EXPECT_TRUE(Says(r, "ProductName is missing")) << all;
    EXPECT_TRUE(Says(r, "holds rich text")) << all;
    EXPECT_TRUE(Says(r, "cropped to 500 x 314")) << all;
    EXPECT_TRUE(Says(r, "not a bitmap")) << all;
    EXPECT_TRUE(Says(r, "folder part")) << all;
    EXPECT_TRUE(Says(r, "ends in a comma")) << all;
    EXPECT_TRUE(Says(r, "blank around it")) << all;
    EXPECT_TRUE(Says(r, "empty item")) << all;
    EXPECT_TRUE(Says(r, "differ only in case")) << all;
    EXPECT_TRUE(Says(r, "'missing.cab' names no file")) << all;
    EXPECT_EQ(0, r.errors()) << all;
    // Line numbers point at the key.
    for (auto &m : r.messages)
        if (m.text.find("blank around") != std::string::npos) EXPECT_EQ(10, m.line);
}

TEST_F(LintTest, LongValuesAndTitles) {
    std::string name(200, 'n'), version(100, 'v');
    LintReport r = Lint("[VQINSTALLER]\nProductName=" + name + "\nProductVersion=" + version +
                        "\n[CEAppManager]\nComponent=C\n[C]\nCabFiles=" + std::string(600, 'x') + "\n");
    EXPECT_TRUE(Says(r, "longer than 255 characters")) << All(r);
    EXPECT_TRUE(Says(r, "cut to 511")) << All(r);
    EXPECT_FALSE(Says(r, "welcome text")) << All(r);
    LintReport w = Lint("[VQINSTALLER]\nProductName=" + std::string(255, 'n') + "\nProductVersion=" +
                        std::string(255, 'v') + "\n");
    EXPECT_TRUE(Says(w, "welcome text")) << All(w);
}

TEST_F(LintTest, ByteOrderMarkAndDriveInANameAreExplained) {
    Put("A:B.CAB", "MSCF");
    LintReport r = Lint("\xEF\xBB\xBF[VQINSTALLER]\nProductName=X\n[CEAppManager]\nComponent=C\n"
                        "[C]\nCabFiles=A:B.CAB\n");
    EXPECT_TRUE(Says(r, "byte-order mark")) << All(r);
    EXPECT_TRUE(Says(r, "'A:B.CAB' is not a plain file name")) << All(r);
    EXPECT_FALSE(Says(r, "'A:B.CAB' names no file")) << All(r);
}

TEST_F(LintTest, UnpackableNameIsAnError) {
    Put("CON", "x");
    LintReport r = Lint("[VQINSTALLER]\nLicenseFile=CON\n");
    EXPECT_EQ(1, r.errors()) << All(r);
}

}  // namespace
