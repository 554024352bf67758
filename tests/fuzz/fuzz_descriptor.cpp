// Fuzz target: Setup.ini parsing and the packer's lint of it, on arbitrary
// text. The members it may name lie in a private folder that holds a few
// fixed files (a license, bitmaps, CAB files, a component's INI), so that
// the checks which read them run too.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/container.h"
#include "lint.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail = "") {
    std::fprintf(stderr, "fuzz_descriptor invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

#define CHECK(cond) \
    do {            \
        if (!(cond)) Fail(#cond); \
    } while (0)

std::string Lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

void Put(const std::string &dir, const std::string &name, const std::string &bytes) {
    std::ofstream f(dir + "/" + name, std::ios::binary);
    f << bytes;
}

std::string Bitmap(uint32_t w, uint32_t h) {
    std::string b(54, '\0');
    auto le = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) b[at + i] = (char)(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    le(2, 58);
    le(10, 54);
    le(14, 40);
    le(18, w);
    le(22, h);
    b[26] = 1;
    b[28] = 24;
    return b + std::string(4, '\0');
}

// The member folder, made once per process and removed at exit.
std::string g_dir;

void RemoveDir() {
    if (g_dir.empty()) return;
    const char *names[] = {"license.rtf", "license.txt", "body.bmp", "head.bmp",
                           "wide.bmp", "junk.bmp", "app.cab", "App.CAB", "b.cab", "rt.ini"};
    for (const char *n : names) ::unlink((g_dir + "/" + n).c_str());
    ::rmdir(g_dir.c_str());
}

const std::string &Dir() {
    if (!g_dir.empty()) return g_dir;
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vqfuzz-ini-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) Fail("mkdtemp");
    g_dir = buf.data();
    std::atexit(RemoveDir);
    Put(g_dir, "license.rtf", "{\\rtf1 Terms}");
    Put(g_dir, "license.txt", "{\\rtf1 rich text under a plain name}");
    Put(g_dir, "body.bmp", Bitmap(164, 314));
    Put(g_dir, "head.bmp", Bitmap(500, 55));
    Put(g_dir, "wide.bmp", Bitmap(900, 600));
    Put(g_dir, "junk.bmp", "BM not really");
    Put(g_dir, "app.cab", "MSCF");
    Put(g_dir, "App.CAB", "MSCF");
    Put(g_dir, "b.cab", "MSCF");
    // A component that AlsoInstall may list.
    Put(g_dir, "rt.ini", "[CEAppManager]\nComponent=Rt\n[Rt]\nCabFiles=b.cab,App.CAB\n");
    return g_dir;
}

size_t CountLines(const std::string &text) {
    size_t n = 1;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text((const char *)data, size);
    const std::string &dir = Dir();

    Descriptor d;
    d.Parse(text);
    const char *sections[] = {"VQINSTALLER", "CEAppManager", "vqinstaller", ""};
    const char *keys[] = {"ProductName", "LicenseFile", "Component", "CabFiles", ""};
    for (const char *s : sections) {
        for (const char *k : keys) {
            for (size_t limit : {3, 8, 256, 512}) {
                bool found = true;
                int line = -1;
                std::string v = d.Get(s, k, limit, &found, &line);
                // A value never exceeds its buffer; a missing key reads as NO.
                CHECK(v.size() <= limit - 1);
                if (!found) {
                    CHECK(line == 0);
                    CHECK(v == "NO");
                } else {
                    CHECK(line >= 1 && (size_t)line <= CountLines(text));
                    // Case does not matter for section and key names.
                    CHECK(d.Get(Lower(s), Lower(k), limit) == v);
                }
            }
        }
    }

    std::vector<PackMember> members;
    LintReport report;
    LintDescriptor(text, dir, &members, &report);
    CHECK(!members.empty());
    CHECK(members[0].name == "Setup.ini");
    std::set<std::string> seen;
    for (size_t i = 0; i < members.size(); i++) {
        const PackMember &m = members[i];
        // Only names the setup program writes, each once on a file system
        // that ignores case, each a file of the member folder.
        CHECK(IsSafeMemberName(m.name.c_str()));
        CHECK(m.name.find('\0') == std::string::npos);
        CHECK(seen.insert(Lower(m.name)).second);
        CHECK(m.path == dir + "/" + m.name);
        if (i > 0) {
            struct stat st;
            if (::stat(m.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                Fail("member is not a file of the folder:", m.name);
        }
    }
    for (const LintMessage &m : report.messages) {
        CHECK(!m.text.empty());
        // A listed INI's messages count its own lines.
        CHECK(m.line >= 0 && (!m.file.empty() || (size_t)m.line <= CountLines(text)));
        CHECK(!FormatLintMessage("Setup.ini", m).empty());
    }
    CHECK(report.fatal.empty());
    return 0;
}
