// Fuzz target: the INF reader on arbitrary text, and what `vqpack cab`
// builds from what it reads. An input whose first byte is odd is given as
// UTF-16 text (little- or big-endian by the next bit, with its byte-order
// mark), the way Visual Studio saves INFs; the rest of its bytes are the
// text's code units' low bytes. The source files an INF may name lie in a
// private folder laid out as the sample product's (app/readme.txt,
// app/notes.txt, app/arm/VQNotes.exe, app/mips/VQNotes.exe), so that the
// seed INFs build whole cabinets and mutations of them reach every part of
// the builder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "ce/cabinet.h"
#include "ce/ce_cabinet.h"
#include "ce/ce_script.h"
#include "ce/inf.h"
#include "ce/inf_build.h"
#include "host_file.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail = "") {
    std::fprintf(stderr, "fuzz_inf invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

#define CHECK(cond) \
    do {            \
        if (!(cond)) Fail(#cond); \
    } while (0)

const char *const kFiles[] = {"app/readme.txt", "app/notes.txt", "app/arm/VQNotes.exe",
                              "app/mips/VQNotes.exe"};
const char *const kFolders[] = {"app/mips", "app/arm", "app"};

// The source folder, made once per process and removed at exit.
std::string g_dir;

void RemoveDir() {
    if (g_dir.empty()) return;
    for (const char *f : kFiles) ::unlink((g_dir + "/" + f).c_str());
    for (const char *d : kFolders) ::rmdir((g_dir + "/" + d).c_str());
    ::rmdir(g_dir.c_str());
}

const std::string &Dir() {
    if (!g_dir.empty()) return g_dir;
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vqfuzz-inf-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) Fail("mkdtemp");
    g_dir = buf.data();
    std::atexit(RemoveDir);
    for (int i = 2; i >= 0; i--) ::mkdir((g_dir + "/" + kFolders[i]).c_str(), 0755);
    for (const char *f : kFiles) std::ofstream(g_dir + "/" + f, std::ios::binary) << f;
    return g_dir;
}

int CountLines(const std::string &text) {
    int n = 1;
    for (char c : text) n += c == '\n';
    return n;
}

bool StartsWith(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, size);
    if (size > 0 && (data[0] & 1)) {
        bool big = data[0] & 2;
        text = big ? "\xfe\xff" : "\xff\xfe";
        for (size_t i = 1; i < size; i++)
            text += big ? std::string{'\0', (char)data[i]} : std::string{(char)data[i], '\0'};
    }
    const std::string path = Dir() + "/fuzz.inf";

    Inf inf;
    std::string error;
    if (!inf.Parse(text, path, &error)) {
        // Every message names the INF.
        CHECK(StartsWith(error, path + ":"));
        return 0;
    }
    int lines = CountLines(text);
    for (const InfSection &s : inf.sections()) {
        // One section per name, found in any case.
        CHECK(inf.Section(vq::LowerAscii(s.name)) == &s);
        CHECK(s.line >= 1 && s.line <= lines);
        for (const InfLine &l : s.lines) {
            CHECK(l.line >= s.line && l.line <= lines);
            CHECK(!l.fields.empty());
            if (l.has_key) CHECK(s.Find(l.key) != nullptr);
        }
    }

    for (const char *cpu : {"", "ARM", "MIPS"}) {
        CeBuildOptions opt;
        opt.folder = Dir();
        opt.fixed_time = true;
        opt.time = 1704067200;
        CeBuild build;
        bool system = true;
        if (!BuildCeModel(inf, path, cpu, opt, &build, &error, &system)) {
            CHECK(StartsWith(error, path + ":"));
            CHECK(!system);  // every file in the folder can be read
            continue;
        }
        const CeInstall &s = build.model;
        CHECK(build.members.size() == build.sources.size());
        for (const InfWarning &w : build.warnings) CHECK(w.line >= 0 && w.line <= lines && !w.text.empty());
        // The members in descending order of their numbers, each an 8.3
        // name whose number is a file's (or 999, the setup DLL); each file
        // in a folder of the model, its member among them.
        int last = 1000;
        std::set<int> numbers, members;
        for (const CeInstallFile &f : s.files) {
            CHECK(f.number >= 1 && f.number <= 998);
            CHECK(numbers.insert(f.number).second);
            CHECK(f.folder < s.folders.size());
        }
        for (const CabMember &m : build.members) {
            const std::string &n = m.name;
            CHECK(n.size() == 12 && n[8] == '.');
            int number = std::atoi(n.c_str() + 9);
            CHECK(number < last);
            last = number;
            CHECK(number == 999 || numbers.count(number));
            members.insert(number);
        }
        for (const CeInstallFile &f : s.files) CHECK(members.count(f.member));
        for (const CeValue &v : s.values) CHECK(v.key < s.keys.size());
        for (const CeShortcut &l : s.shortcuts)
            CHECK(l.folder < s.folders.size() && (l.to_file || l.target_folder < s.folders.size()));
        // Both script forms are written and read back as the model, and
        // the cabinet is made and read as a CE cabinet whose forms agree.
        std::vector<CabMember> all;
        if (!CeCabinetMembers(s, build.script_stem, build.members, CeScriptForms::kBoth, 1252, 0, 0,
                              &all, &error))
            Fail("scripts:", error);
        CeInstall back;
        if (!DecodeCeScript(all[0].data.data(), all[0].data.size(), 1252, &back, &error))
            Fail("decode:", error);
        std::vector<std::string> d = CeCompare(s, back);
        if (!d.empty()) Fail("the .000 reads back otherwise:", d[0]);
        std::vector<uint8_t> cab;
        if (!WriteCabinet(all, CabCompression::kNone, &cab, &error)) Fail("cabinet:", error);
        CeCabinet ce;
        if (ReadCeCabinet(cab.data(), cab.size(), 1252, &ce, &error) != CeCabinetStatus::kOk)
            Fail("CE cabinet:", error);
        if (!ce.disagreements.empty()) Fail("the forms disagree:", ce.disagreements[0]);
    }
    return 0;
}
