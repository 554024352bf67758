// Setup.ini values that once broke `vqpack lint` and `vqpack build --from`:
// a value naming a folder instead of a file, and a NUL inside a name.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "common/container.h"
#include "lint.h"

namespace {

class LintFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char t[] = "/tmp/vqlintdir-XXXXXX";
        dir_ = mkdtemp(t);
        std::ofstream(dir_ + "/license.rtf", std::ios::binary) << "{\\rtf1 Terms}";
        std::ofstream(dir_ + "/app.cab", std::ios::binary) << "MSCF";
        ::mkdir((dir_ + "/sub").c_str(), 0755);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    LintReport Lint(const std::string &text, std::vector<PackMember> *members) {
        LintReport r;
        LintDescriptor(text, dir_, members, &r);
        return r;
    }
    bool Says(const LintReport &r, const std::string &part) {
        for (const LintMessage &m : r.messages)
            if (m.text.find(part) != std::string::npos) return true;
        return false;
    }
    std::string dir_;
};

// An empty value names the descriptor's own folder; reading a folder as a
// file used to abort the packer with an uncaught stream exception.
TEST_F(LintFolder, EmptyOrFolderValuesNameNoFile) {
    std::vector<PackMember> members;
    LintReport r = Lint("[VQINSTALLER]\nLicenseFile=\nBodyBitmap=sub\nHeadBitmap=\n"
                        "[CEAppManager]\nComponent=C\n[C]\nCabFiles=sub,app.cab\n",
                        &members);
    EXPECT_TRUE(Says(r, "LicenseFile '' names no file")) << r.messages.size();
    EXPECT_TRUE(Says(r, "BodyBitmap 'sub' names no file"));
    EXPECT_TRUE(Says(r, "HeadBitmap '' names no file"));
    EXPECT_TRUE(Says(r, "CabFiles item 'sub' names no file"));
    ASSERT_EQ(2u, members.size());
    EXPECT_EQ("Setup.ini", members[0].name);
    EXPECT_EQ("app.cab", members[1].name);
}

TEST_F(LintFolder, DescriptorThatIsAFolderIsReportedNotThrown) {
    LintReport r;
    EXPECT_FALSE(LintDescriptorFile(dir_ + "/sub", &r));
    EXPECT_FALSE(r.fatal.empty());
}

// A NUL inside a value: the file system sees the name only up to it, so
// the file was found and the name passed, yet the writer refuses it.
TEST_F(LintFolder, NulInsideANameIsAnError) {
    std::vector<PackMember> members;
    std::string text = "[VQINSTALLER]\nLicenseFile=license.rtf";
    text += std::string(3, '\0');
    text += "\n";
    LintReport r = Lint(text, &members);
    EXPECT_EQ(1, r.errors());
    ASSERT_EQ(1u, members.size());
    for (const PackMember &m : members) EXPECT_TRUE(IsSafeMemberName(m.name.c_str()));
}

}  // namespace
