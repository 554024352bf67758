// Fuzz target: the INF reader on arbitrary text, and what `vqpack cab`
// builds from what it reads. The source files an INF may name lie in a
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
    const std::string text((const char *)data, size);
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
        if (!BuildCeCabinet(inf, path, cpu, opt, &build, &error, &system)) {
            CHECK(StartsWith(error, path + ":"));
            CHECK(!system);  // every file in the folder can be read
            continue;
        }
        const CeScript &s = build.script;
        CHECK(build.members.size() == build.sources.size());
        CHECK(!build.members.empty() && build.members[0].name == "fuzz.000");
        // The files in descending order of their numbers, each an 8.3 name
        // whose number is a file's of the script (or 999, the setup DLL).
        CHECK(build.members.size() == s.files.size() + 1 ||
              build.members.size() == s.files.size() + 2);
        int last = 1000;
        std::set<int> numbers;
        for (const CeFile &f : s.files) {
            CHECK(f.number >= 1 && f.number <= 998);
            CHECK(numbers.insert(f.number).second);
            CHECK(f.dir_id >= 1 && f.dir_id <= s.dirs.size());
        }
        for (size_t i = 1; i < build.members.size(); i++) {
            const std::string &n = build.members[i].name;
            size_t dot = n.find('.');
            CHECK(dot >= 1 && dot <= 8 && n.size() == dot + 4);
            int number = std::atoi(n.c_str() + dot + 1);
            CHECK(number < last);
            last = number;
            CHECK(number == 999 || numbers.count(number));
        }
        for (const CeRegValue &v : s.values) CHECK(v.hive_id >= 1 && v.hive_id <= s.hives.size());
        // The script reads back as written, and the cabinet is made.
        CeScript back;
        const std::vector<uint8_t> &script = build.members[0].data;
        if (!DecodeCeScript(script.data(), script.size(), &back, &error)) Fail("decode:", error);
        CHECK(back.app_name == s.app_name && back.files.size() == s.files.size() &&
              back.values.size() == s.values.size() && back.links.size() == s.links.size());
        std::vector<uint8_t> cab;
        if (!WriteCabinet(build.members, CabCompression::kNone, &cab, &error))
            Fail("cabinet:", error);
    }
    return 0;
}
