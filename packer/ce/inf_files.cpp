// Building an INF's files: the CopyFiles lists with their destinations,
// where each source file lies ([SourceDisksFiles], [SourceDisksNames],
// --source-dir), CESelfRegister and the setup DLL.
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

#include "ce/inf_steps.h"
#include "host_file.h"
#include "platform.h"

namespace {

const int kMaxFiles = 998;  // 000 is the script, 999 the setup DLL
const uint32_t kKnownCopyFlags = kCeCopyWarnIfSkip | kCeCopyNoSkip | kCeCopyNoOverwrite |
                                 kCeCopyReplaceOnly | kCeCopySelfRegister | kCeCopyNoDateDialog |
                                 kCeCopyNoDateCheck | kCeCopyShared;

// INFs written on Windows may spell a file or folder name in another case
// than it has: take, part by part, the one of that name in any case where
// the exact one is missing.
void FindAnyCase(std::string *path) {
    std::string out;
    size_t at = 0;
    if (!path->empty() && (*path)[0] == '/') {
        out = "/";
        at = 1;
    }
    while (at <= path->size()) {
        size_t end = path->find('/', at);
        if (end == std::string::npos) end = path->size();
        std::string part = path->substr(at, end - at), dir = out.empty() ? "." : out;
        struct stat st;
        if (!part.empty() && ::stat((out + part).c_str(), &st) != 0) {
            if (DIR *d = opendir(dir.c_str())) {
                while (struct dirent *e = readdir(d))
                    if (vq::LowerAscii(e->d_name) == vq::LowerAscii(part)) {
                        part = e->d_name;
                        break;
                    }
                closedir(d);
            }
        }
        out += part + (end < path->size() ? "/" : "");
        at = end + 1;
    }
    *path = out;
}

// A folder an INF names as a Windows path that this machine cannot follow:
// one with a drive ("C:\..."), a server ("\\host\...") or a path from a
// drive's root ("\Projects\...").
bool IsWindowsOnlyPath(const std::string &p) {
#ifdef _WIN32
    (void)p;
    return false;
#else
    return (p.size() >= 2 && p[1] == ':') || (!p.empty() && p[0] == '\\');
#endif
}

std::string Slashes(std::string s) {
    for (char &c : s)
        if (c == '\\') c = '/';
    return s;
}

std::string Join(const std::string &a, const std::string &b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a.back() == '/' ? a + b : a + "/" + b;
}

// Where the bytes of source file `name` lie, read into *p. The INF's own
// place for it first ([SourceDisksFiles(.TAG)] gives the disk and a sub
// folder, [SourceDisksNames(.TAG)] the disk's folder, relative to the INF's
// folder), then each --source-dir by the file's name; every place tried is
// named when none has it.
bool LoadSource(InfBuild &b, const std::string &name, int line, InfBuild::Pending *p) {
    const InfLine *f = b.Key("SourceDisksFiles", name);
    if (!f)
        return b.Fail(line, "source file " + InfQuote(name) + " is not in " + b.Both("SourceDisksFiles"));
    b.out->source_lines[f->line] = true;
    const InfLine *disk = b.Key("SourceDisksNames", f->Field(0));
    if (!disk)
        return b.Fail(f->line, "disk " + InfQuote(f->Field(0)) + " of " + InfQuote(name) +
                                   " is not in " + b.Both("SourceDisksNames"));
    std::string folder = disk->Field(3), sub = f->Field(1);
    std::vector<std::string> places;
    std::string inf_folder = b.opt.folder.empty() ? "." : b.opt.folder;
    if (IsWindowsOnlyPath(folder) || IsWindowsOnlyPath(sub)) {
        // Only --source-dir can say where such a folder's files are here.
    } else {
        std::string base = Slashes(folder);
        bool absolute = !base.empty() && (base[0] == '/' || (base.size() >= 2 && base[1] == ':'));
        places.push_back(Join(Join(absolute ? base : Join(inf_folder, base), Slashes(sub)), Slashes(name)));
    }
    for (const std::string &dir : b.opt.source_dirs) places.push_back(Join(dir, Slashes(name)));
    std::string tried;
    for (std::string path : places) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) FindAnyCase(&path);
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                *b.system = true;
                return b.Fail(line, "source file " + path + ": " + std::strerror(errno));
            }
            tried += (tried.empty() ? "" : ", ") + path;
            continue;
        }
        if (!S_ISREG(st.st_mode))
            return b.Fail(line, "source file " + InfQuote(name) + " is not a file: " + path);
        std::string bytes, err;
        if (!vq::LoadFile(path, &bytes, &err)) {
            *b.system = true;
            return b.Fail(line, "source file " + path + ": " + err);
        }
        p->name = f->key;  // as [SourceDisksFiles] spells it: the member's stem comes from it
        p->path = path;
        p->data.assign(bytes.begin(), bytes.end());
        p->mtime = (int64_t)st.st_mtime;
        return true;
    }
    std::string folder_note =
        places.size() == b.opt.source_dirs.size()
            ? "; disk " + f->Field(0) + "'s folder " + InfQuote(folder + (sub.empty() ? "" : "\\" + sub)) +
                  " is a Windows path: give --source-dir with the folder that holds the file here"
            : "";
    return b.Fail(line, "source file " + InfQuote(name) + " is not there" +
                            (tried.empty() ? "" : ": looked at " + tried) + folder_note);
}

// A second line of one [SourceDisksFiles] section for a name it already
// has: the CAB wizard takes the first.
void DuplicateSources(InfBuild &b) {
    for (const std::string &sec : {std::string("SourceDisksFiles"), b.tag.empty() ? "" : b.Tagged("SourceDisksFiles")}) {
        const InfSection *s = sec.empty() ? nullptr : b.inf.Section(sec);
        if (!s) continue;
        std::map<std::string, int> first;
        for (const InfLine &l : s->lines) {
            if (!l.has_key) continue;
            auto it = first.insert({vq::LowerAscii(l.key), l.line});
            if (it.second) b.out->source_lines.insert({l.line, false});
            else
                b.Warn(l.line, "[" + s->name + "] lists " + InfQuote(l.key) + " again; line " +
                                   std::to_string(it.first->second) + " is the one used");
        }
    }
}

// One line of a file list.
bool AddFile(InfBuild &b, const InfSection &sec, const InfLine &l, size_t folder,
             std::map<std::pair<std::string, std::string>, std::pair<int, std::string>> *placed) {
    CeInstall &m = b.out->model;
    std::string name = l.has_key ? "" : l.Field(0);
    if (name.empty())
        return b.Fail(l.line, "[" + sec.name + "]: a line without an installed file name (quote a "
                                               "name that holds '=')");
    if (name.find_first_of("\\/:") != std::string::npos)
        return b.Fail(l.line, "[" + sec.name + "] " + InfQuote(name) + " is not a plain file name");
    uint32_t flags = 0;
    if (!l.Field(3).empty() && !ParseInfNumber(l.Field(3), &flags))
        return b.Fail(l.line, "[" + sec.name + "] flags " + InfQuote(l.Field(3)) + " of " +
                                  InfQuote(name) + " are not a number");
    if (flags & ~kKnownCopyFlags)
        b.Warn(l.line, "[" + sec.name + "] flags " + l.Field(3) + " of " + InfQuote(name) +
                           " hold bits the device does not know (it knows 0x1, 0x2, 0x10, 0x400, "
                           "0x10000000, 0x20000000, 0x40000000, 0x80000000): passed on as they are");
    std::string source = l.Field(1).empty() ? name : l.Field(1);
    InfBuild::Pending p;
    if (!LoadSource(b, source, l.line, &p)) return false;
    // Two folders may be one on the device (%InstallDir% and the default
    // install folder spelt out): places are compared by their default path.
    auto key = std::make_pair(vq::LowerAscii(CeFolderPath(m, folder)), vq::LowerAscii(name));
    auto prev = placed->find(key);
    if (prev != placed->end()) {
        if (prev->second.second != p.path)
            return b.Fail(l.line, InfQuote(name) + " goes to " + CeFolderPath(m, folder) +
                                      " from " + p.path + ", as does " + prev->second.second +
                                      " on line " + std::to_string(prev->second.first));
        b.Warn(l.line, InfQuote(name) + " is listed again for " + CeFolderPath(m, folder) +
                           " (line " + std::to_string(prev->second.first) + "): installed once");
        return true;
    }
    (*placed)[key] = {l.line, p.path};
    if ((int)m.files.size() >= kMaxFiles)
        return b.Fail(l.line, "more than 998 files: a cabinet numbers them with three digits "
                              "(001-998; 000 is the script, 999 the setup DLL)");
    CeInstallFile f;
    f.number = (uint16_t)(m.files.size() + 1);
    f.folder = folder;
    f.flags = flags;
    if (!b.Text(name, l.line, "[" + sec.name + "] " + InfQuote(name), &f.name)) return false;
    // One source installed in several places is stored once.
    auto stored = b.stored.find(p.path);
    if (stored != b.stored.end()) {
        f.member = stored->second;
    } else {
        f.member = f.number;
        b.stored[p.path] = f.number;
        p.number = f.number;
        b.pending.push_back(std::move(p));
    }
    m.files.push_back(f);
    return true;
}

bool SelfRegister(InfBuild &b) {
    for (const auto &n : b.Lists("CESelfRegister")) {
        int found = 0;
        for (CeInstallFile &f : b.out->model.files)
            if (vq::LowerAscii(f.name) == vq::LowerAscii(n.first)) {
                f.flags |= kCeCopySelfRegister;
                found++;
            }
        if (!found)
            b.Warn(n.second, "CESelfRegister names " + InfQuote(n.first) +
                                 ", which no CopyFiles section installs: passed over");
    }
    return true;
}

bool SetupDll(InfBuild &b) {
    const InfLine *l = b.Key("DefaultInstall", "CESetupDLL");
    if (!l) return true;
    if (l->Field(0).empty()) {
        b.Warn(l->line, "CESetupDLL is empty: the cabinet has no setup DLL");
        return true;
    }
    InfBuild::Pending p;
    p.number = 999;
    if (!LoadSource(b, l->Field(0), l->line, &p)) return false;
    b.setup_dll.push_back(std::move(p));
    return true;
}

}  // namespace

bool BuildFiles(InfBuild &b) {
    if (!b.inf.Section("DefaultInstall") && !(b.tag.size() && b.inf.Section(b.Tagged("DefaultInstall"))))
        return b.FailFile("no " + b.Both("DefaultInstall") + " section");
    DuplicateSources(b);
    std::map<std::pair<std::string, std::string>, std::pair<int, std::string>> placed;
    for (const auto &n : b.Lists("CopyFiles")) {
        const InfSection *sec = b.Named(n.first, n.second, "CopyFiles");
        if (!sec) continue;
        bool found;
        size_t folder;
        if (!b.Destination(sec->name, sec->line, &found, &folder)) return false;
        if (!found)
            return b.Fail(sec->line, "[" + sec->name + "] has no destination: [DestinationDirs] "
                                                       "names neither it nor DefaultDestDir");
        for (const InfLine &l : sec->lines)
            if (!AddFile(b, *sec, l, folder, &placed)) return false;
    }
    return SelfRegister(b) && SetupDll(b);
}
