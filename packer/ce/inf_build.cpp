#include "ce/inf_build.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <dirent.h>
#include <sys/stat.h>

#include "host_file.h"
#include "platform.h"

namespace {

const int kMaxFiles = 998;  // 000 is the script, 999 the setup DLL
const uint16_t kSetupDllNumber = 999;
// CopyFiles flags the device knows: warn if skipped, never skip, do not
// overwrite, copy only if it exists, self-register, do not overwrite a
// newer file, ignore dates, shared.
const uint32_t kCopyFlags = 0x1 | 0x2 | 0x10 | 0x400 | 0x10000000 | 0x20000000 | 0x40000000 |
                            0x80000000u;

// A decimal or 0x-hexadecimal number of up to 32 bits.
bool ParseNumber(const std::string &s, uint32_t *v) {
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char *digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    std::string d = hex ? s.substr(2) : s;
    if (d.empty() || d.find_first_not_of(digits) != std::string::npos) return false;
    uint64_t n = 0;
    for (char c : d) {
        int k = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        n = n * (hex ? 16 : 10) + (uint64_t)k;
        if (n > 0xFFFFFFFFu) return false;
    }
    *v = (uint32_t)n;
    return true;
}

// Two hexadecimal digits at most, without 0x: one byte of a BINARY value.
bool ParseHexByte(const std::string &s, uint8_t *b) {
    uint32_t v;
    if (s.empty() || s.size() > 2 || !ParseNumber("0x" + s, &v)) return false;
    *b = (uint8_t)v;
    return true;
}

bool IsDigits(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// "major[.minor]", decimal.
bool ParseVersion(const std::string &s, uint32_t *major, uint32_t *minor) {
    size_t dot = s.find('.');
    std::string a = s.substr(0, dot), b = dot == std::string::npos ? "0" : s.substr(dot + 1);
    return IsDigits(a) && IsDigits(b) && ParseNumber(a, major) && ParseNumber(b, minor);
}

// The parts of a `\`-separated path; empty parts are dropped.
std::vector<std::string> SplitPath(const std::string &path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('\\', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// The 8.3 name part of a member: up to 8 characters of the name without
// its folder and extension, of those that are safe in any 8.3 name.
std::string ShortName(const std::string &name) {
    std::string base = name.substr(name.find_last_of("/\\") + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    std::string out;
    for (char c : base) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '~';
        if (ok && out.size() < 8) out += c;
    }
    return out.empty() ? "FILE" : out;
}

std::string MemberName(const std::string &source, unsigned number) {
    char num[8];
    std::snprintf(num, sizeof num, ".%03u", number);
    return ShortName(source) + num;
}

// True when registry data holds a folder macro that the device substitutes.
bool HasMacro(const std::string &data) {
    if (data.find("%InstallDir%") != std::string::npos) return true;
    for (size_t at = data.find("%CE"); at != std::string::npos; at = data.find("%CE", at + 1)) {
        size_t end = data.find('%', at + 3);
        if (end != std::string::npos && end > at + 3 && end <= at + 5 &&
            data.find_first_not_of("0123456789", at + 3) == end)
            return true;
    }
    return false;
}

std::string Quote(const std::string &s) { return "'" + s + "'"; }

class Builder {
public:
    Builder(const Inf &inf, const std::string &inf_path, const std::string &cpu,
            const CeBuildOptions &opt, CeBuild *out, std::string *error, bool *system_error)
        : inf_(inf), inf_path_(inf_path), cpu_(cpu), opt_(opt), out_(out), error_(error),
          system_(system_error) {}

    bool Run() {
        *system_ = false;
        out_->script = CeScript();
        out_->members.clear();
        out_->sources.clear();
        return CheckTag() && Header() && Files() && SetupDll() && Registry() && Shortcuts() &&
               Members();
    }

private:
    struct Pending {  // a member's source, before the script is encoded
        unsigned number;
        std::string name, path;
        std::vector<uint8_t> data;
        int64_t mtime;
    };

    bool Fail(int line, const std::string &msg) {
        *error_ = inf_.Where(line) + msg;
        return false;
    }
    bool FailFile(const std::string &msg) {
        *error_ = inf_.file() + ": " + msg;
        return false;
    }

    std::string Tagged(const std::string &base) const { return base + "." + cpu_; }
    // "[Base]" or "[Base] or [Base.TAG]", for messages.
    std::string Both(const std::string &base) const {
        return "[" + base + "]" + (cpu_.empty() ? "" : " or [" + Tagged(base) + "]");
    }
    // The line of `key` in [base.TAG], else in [base].
    const InfLine *Key(const std::string &base, const std::string &key) const {
        const InfSection *s;
        if (!cpu_.empty() && (s = inf_.Section(Tagged(base))) != nullptr)
            if (const InfLine *l = s->Find(key)) return l;
        s = inf_.Section(base);
        return s ? s->Find(key) : nullptr;
    }
    // The value of `key` (its first field), "" when missing.
    std::string Value(const std::string &base, const std::string &key) const {
        const InfLine *l = Key(base, key);
        return l ? l->Field(0) : "";
    }

    bool CheckTag() {
        if (cpu_.empty()) return true;
        for (const char *s : {"CEDevice", "DefaultInstall", "SourceDisksNames", "SourceDisksFiles"})
            if (inf_.Section(Tagged(s))) return true;
        return FailFile("no section is tagged ." + cpu_ + " ([CEDevice." + cpu_ +
                        "], [DefaultInstall." + cpu_ + "], [SourceDisksNames." + cpu_ +
                        "] or [SourceDisksFiles." + cpu_ + "])");
    }

    // [Version], [CEStrings] AppName and [CEDevice(.TAG)].
    bool Header() {
        CeScript &s = out_->script;
        const InfSection *version = inf_.Section("Version");
        if (!version) return FailFile("no [Version] section");
        const InfLine *ce = version->Find("CESignature");
        if (!ce || vq::LowerAscii(ce->Field(0)) != "$windows ce$")
            return Fail(ce ? ce->line : version->line,
                        "[Version] CESignature must be \"$Windows CE$\": this INF is not one for "
                        "CE devices");
        const InfLine *sig = version->Find("Signature");
        std::string sv = sig ? vq::LowerAscii(sig->Field(0)) : "";
        if (sv != "$windows nt$" && sv != "$windows 95$" && sv != "$chicago$")
            return Fail(sig ? sig->line : version->line,
                        "[Version] Signature must be \"$Windows NT$\", \"$Windows 95$\" or "
                        "\"$Chicago$\"");
        const InfLine *prov = version->Find("Provider");
        if (!prov || prov->Field(0).empty())
            return Fail(prov ? prov->line : version->line, "[Version] has no Provider");
        s.provider = prov->Field(0);
        const InfSection *ces = inf_.Section("CEStrings");
        const InfLine *app = ces ? ces->Find("AppName") : nullptr;
        if (!app || app->Field(0).empty()) return FailFile("[CEStrings] has no AppName");
        s.app_name = app->Field(0);
        const InfLine *dir = ces->Find("InstallDir");
        if (dir) {
            install_dir_ = dir->Field(0);
            install_dir_line_ = dir->line;
        }

        struct {
            const char *key;
            uint32_t *value;
        } numbers[] = {{"ProcessorType", &s.processor},
                       {"BuildMin", &s.build_min},
                       {"BuildMax", &s.build_max}};
        for (auto &n : numbers) {
            const InfLine *l = Key("CEDevice", n.key);
            if (l && !l->Field(0).empty() && !ParseNumber(l->Field(0), n.value))
                return Fail(l->line, std::string("[CEDevice] ") + n.key + " " +
                                         Quote(l->Field(0)) + " is not a number" +
                                         (n.value == &s.processor
                                              ? " (2577: StrongARM, 4000: MIPS R4000, 10003: SH3, "
                                                "10005: SH4, 586: Pentium)"
                                              : ""));
        }
        struct {
            const char *key;
            uint32_t *major, *minor;
        } versions[] = {{"VersionMin", &s.version_min_major, &s.version_min_minor},
                        {"VersionMax", &s.version_max_major, &s.version_max_minor}};
        for (auto &v : versions) {
            const InfLine *l = Key("CEDevice", v.key);
            if (l && !l->Field(0).empty() && !ParseVersion(l->Field(0), v.major, v.minor))
                return Fail(l->line, std::string("[CEDevice] ") + v.key + " " +
                                         Quote(l->Field(0)) +
                                         " is not a version (major.minor, e.g. 3.0)");
        }
        // Unsupported platforms: the plain list, then the tagged one's new names.
        std::set<std::string> seen;
        std::vector<const InfSection *> devices = {inf_.Section("CEDevice")};
        if (!cpu_.empty()) devices.push_back(inf_.Section(Tagged("CEDevice")));
        for (const InfSection *d : devices) {
            const InfLine *l = d ? d->Find("UnsupportedPlatforms") : nullptr;
            if (!l) continue;
            for (const std::string &p : l->fields)
                if (!p.empty() && seen.insert(vq::LowerAscii(p)).second) s.unsupported.push_back(p);
        }
        return true;
    }

    uint16_t StringId(const std::string &text) {
        auto it = string_ids_.find(text);
        if (it != string_ids_.end()) return it->second;
        CeString s;
        s.id = (uint16_t)(out_->script.strings.size() + 1);
        s.text = text;
        out_->script.strings.push_back(s);
        string_ids_[text] = s.id;
        return s.id;
    }

    std::vector<uint16_t> Ids(const std::vector<std::string> &parts) {
        std::vector<uint16_t> ids;
        for (const std::string &p : parts) ids.push_back(StringId(p));
        return ids;
    }

    // A destination path with %InstallDir% replaced by [CEStrings]
    // InstallDir, as the device reads folders; its dir id.
    bool DirId(const std::string &path, int line, uint16_t *id) {
        std::string p;
        for (size_t at = 0; at < path.size();) {
            size_t m = path.find("%InstallDir%", at);
            p += path.substr(at, m == std::string::npos ? std::string::npos : m - at);
            if (m == std::string::npos) break;
            if (install_dir_.empty())
                return Fail(line, "the path " + Quote(path) +
                                      " uses %InstallDir%, but [CEStrings] has no InstallDir");
            if (install_dir_.find("%InstallDir%") != std::string::npos)
                return Fail(install_dir_line_, "[CEStrings] InstallDir uses %InstallDir%");
            p += install_dir_;
            at = m + 12;
        }
        std::vector<std::string> parts = SplitPath(p);
        if (parts.empty()) return Fail(line, "the destination path " + Quote(path) + " is empty");
        std::vector<uint16_t> ids = Ids(parts);
        for (const CeDir &d : out_->script.dirs)
            if (d.parts == ids) {
                *id = d.id;
                return true;
            }
        CeDir d;
        d.id = (uint16_t)(out_->script.dirs.size() + 1);
        d.parts = ids;
        out_->script.dirs.push_back(d);
        *id = d.id;
        return true;
    }

    // The [DestinationDirs] line for `section` (else DefaultDestDir), or
    // null; false when that line is not `0,path`.
    bool Destination(const std::string &section, const InfLine **dest) {
        const InfSection *dd = inf_.Section("DestinationDirs");
        *dest = dd ? dd->Find(section) : nullptr;
        if (!*dest && dd) *dest = dd->Find("DefaultDestDir");
        if (!*dest) return true;
        if ((*dest)->Field(0) != "0")
            return Fail((*dest)->line, "[DestinationDirs] " + (*dest)->key +
                                           ": only folder id 0 (a path follows) is supported, "
                                           "as in '0,%CE1%\\Folder'");
        if ((*dest)->Field(1).empty())
            return Fail((*dest)->line, "[DestinationDirs] " + (*dest)->key + " has no path");
        return true;
    }

    // The path of source file `name`, through [SourceDisksFiles(.TAG)] and
    // [SourceDisksNames(.TAG)]; its bytes and time.
    bool LoadSource(const std::string &name, int line, Pending *p) {
        const InfLine *f = Key("SourceDisksFiles", name);
        if (!f) return Fail(line, "source file " + Quote(name) + " is not in " + Both("SourceDisksFiles"));
        const InfLine *disk = Key("SourceDisksNames", f->Field(0));
        if (!disk)
            return Fail(f->line, "disk " + Quote(f->Field(0)) + " of " + Quote(name) +
                                     " is not in " + Both("SourceDisksNames"));
        std::string path;
        for (const std::string &part : {disk->Field(3), f->Field(1), name}) {
            std::string q = part;
            for (char &c : q)
                if (c == '\\') c = '/';
            if (q.empty()) continue;
#ifndef _WIN32
            if (q.size() >= 2 && q[1] == ':')
                return Fail(part == name ? f->line : disk->line,
                            Quote(part) + " is a Windows drive path: give the folder relative "
                                          "to the INF");
#endif
            bool absolute = q[0] == '/' || (q.size() >= 2 && q[1] == ':');
            if (absolute) path = q;
            else path = (path.empty() ? (opt_.folder.empty() ? "." : opt_.folder) : path) + "/" + q;
        }
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) FindAnyCase(&path);
        std::string bytes, err;
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                *system_ = true;
                return Fail(line, "source file " + path + ": " + std::strerror(errno));
            }
            return Fail(line, "source file " + Quote(name) + " is not there: " + path);
        }
        if (!S_ISREG(st.st_mode))
            return Fail(line, "source file " + Quote(name) + " is not a file: " + path);
        if (!vq::LoadFile(path, &bytes, &err)) {
            *system_ = true;
            return Fail(line, "source file " + path + ": " + err);
        }
        p->path = path;
        p->data.assign(bytes.begin(), bytes.end());
        p->mtime = (int64_t)st.st_mtime;
        return true;
    }

    // INFs written on Windows may spell a file or folder name in another
    // case than it has: take, part by part, the one of that name in any
    // case where the exact one is missing.
    static void FindAnyCase(std::string *path) {
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

    // A list of sections from a [DefaultInstall] key; each must exist.
    bool Sections(const char *key, std::vector<const InfSection *> *out) {
        const InfLine *l = Key("DefaultInstall", key);
        if (!l) return true;
        for (const std::string &name : l->fields) {
            if (name.empty()) continue;
            const InfSection *s = inf_.Section(name);
            if (!s)
                return Fail(l->line, "[DefaultInstall] " + std::string(key) + " names [" + name +
                                         "], which does not exist");
            out->push_back(s);
        }
        return true;
    }

    bool Files() {
        if (!inf_.Section("DefaultInstall") && !(cpu_.size() && inf_.Section(Tagged("DefaultInstall"))))
            return FailFile("no " + Both("DefaultInstall") + " section");
        std::vector<const InfSection *> lists;
        if (!Sections("CopyFiles", &lists)) return false;
        std::map<std::pair<uint16_t, std::string>, int> placed;  // dir, name -> line
        for (const InfSection *sec : lists) {
            const InfLine *dest;
            if (!Destination(sec->name, &dest)) return false;
            if (!dest)
                return Fail(sec->line, "[" + sec->name + "] has no destination: [DestinationDirs] "
                                       "names neither it nor DefaultDestDir");
            uint16_t dir;
            if (!DirId(dest->Field(1), dest->line, &dir)) return false;
            for (const InfLine &l : sec->lines) {
                std::string name = l.has_key ? "" : l.Field(0);
                if (name.empty())
                    return Fail(l.line, "[" + sec->name + "]: a line without an installed file "
                                        "name (quote a name that holds '=')");
                if (name.find_first_of("\\/:") != std::string::npos)
                    return Fail(l.line, "[" + sec->name + "] " + Quote(name) +
                                            " is not a plain file name");
                uint32_t flags = 0;
                if (!l.Field(3).empty() && !ParseNumber(l.Field(3), &flags))
                    return Fail(l.line, "[" + sec->name + "] flags " + Quote(l.Field(3)) +
                                            " of " + Quote(name) + " are not a number");
                if (flags & ~kCopyFlags)
                    return Fail(l.line, "[" + sec->name + "] flags " + l.Field(3) + " of " +
                                            Quote(name) + " hold bits the device does not know "
                                            "(it knows 0x1, 0x2, 0x10, 0x400, 0x10000000, "
                                            "0x20000000, 0x40000000, 0x80000000)");
                auto key = std::make_pair(dir, vq::LowerAscii(name));
                auto prev = placed.find(key);
                if (prev != placed.end())
                    return Fail(l.line, Quote(name) + " goes to " + DirPath(dir) +
                                            ", as does the file of line " +
                                            std::to_string(prev->second));
                placed[key] = l.line;
                if ((int)pending_.size() >= kMaxFiles)
                    return Fail(l.line, "more than 998 files: a cabinet numbers them with three "
                                        "digits (001-998; 000 is the script, 999 the setup DLL)");
                Pending p;
                p.number = (unsigned)pending_.size() + 1;
                std::string source = l.Field(1).empty() ? name : l.Field(1);
                p.name = MemberName(source, p.number);
                if (!LoadSource(source, l.line, &p)) return false;
                CeFile f;
                f.number = (uint16_t)p.number;
                f.dir_id = dir;
                f.unknown = f.number;
                f.flags = flags;
                f.name = name;
                out_->script.files.push_back(f);
                pending_.push_back(std::move(p));
            }
        }
        return true;
    }

    std::string DirPath(uint16_t id) const {
        for (const CeDir &d : out_->script.dirs)
            if (d.id == id) return CeJoinIds(out_->script, d.parts);
        return "";
    }

    bool SetupDll() {
        const InfLine *l = Key("DefaultInstall", "CESetupDLL");
        if (!l || l->Field(0).empty()) return true;
        Pending p;
        p.number = kSetupDllNumber;
        p.name = MemberName(l->Field(0), p.number);
        if (!LoadSource(l->Field(0), l->line, &p)) return false;
        setup_dll_.push_back(std::move(p));
        return true;
    }

    bool Registry() {
        std::vector<const InfSection *> lists;
        if (!Sections("AddReg", &lists)) return false;
        CeScript &s = out_->script;
        for (const InfSection *sec : lists)
            for (const InfLine &l : sec->lines) {
                std::string where = "[" + sec->name + "] ";
                if (l.has_key)
                    return Fail(l.line, where + "a registry line has '=' before its first comma");
                static const struct {
                    const char *name, *longname;
                    uint16_t root;
                } roots[] = {{"hkcr", "hkey_classes_root", kCeHKCR},
                             {"hkcu", "hkey_current_user", kCeHKCU},
                             {"hklm", "hkey_local_machine", kCeHKLM},
                             {"hku", "hkey_users", kCeHKU}};
                uint16_t root = 0;
                for (auto &r : roots)
                    if (vq::LowerAscii(l.Field(0)) == r.name ||
                        vq::LowerAscii(l.Field(0)) == r.longname)
                        root = r.root;
                if (!root)
                    return Fail(l.line, where + "registry root " + Quote(l.Field(0)) +
                                            " is not HKCR, HKCU, HKLM or HKU");
                std::vector<std::string> key = SplitPath(l.Field(1));
                if (key.empty()) return Fail(l.line, where + "a registry value without a key");
                uint32_t flags = 0;
                if (!l.Field(3).empty() && !ParseNumber(l.Field(3), &flags))
                    return Fail(l.line, where + "registry flags " + Quote(l.Field(3)) +
                                            " are not a number");
                if (flags & ~(kCeRegTypeMask | kCeRegNoClobber))
                    return Fail(l.line, where + "registry flags " + l.Field(3) +
                                            " are not a type the device knows (0: REG_SZ, "
                                            "0x10000: REG_MULTI_SZ, 0x10001: REG_DWORD, 0x1: "
                                            "REG_BINARY, each with 0x2 for no-clobber)");
                CeRegValue v;
                v.type_flags = flags;
                v.name = l.Field(2);
                std::vector<std::string> data(l.fields.begin() + std::min<size_t>(4, l.fields.size()),
                                              l.fields.end());
                if (!Data(l, where, &data, &v)) return false;
                std::vector<uint16_t> ids = Ids(key);
                v.hive_id = 0;
                for (const CeHive &h : s.hives)
                    if (h.root == root && h.parts == ids) v.hive_id = h.id;
                if (!v.hive_id) {
                    CeHive h;
                    h.id = (uint16_t)(s.hives.size() + 1);
                    h.root = root;
                    h.unknown = 0;
                    h.parts = ids;
                    s.hives.push_back(h);
                    v.hive_id = h.id;
                }
                v.id = (uint16_t)(s.values.size() + 1);
                s.values.push_back(v);
            }
        return true;
    }

    // A registry value's data as stored, from the fields after the flags.
    bool Data(const InfLine &l, const std::string &where, std::vector<std::string> *fields,
              CeRegValue *v) {
        std::vector<std::string> &f = *fields;
        switch (v->type_flags & kCeRegTypeMask) {
        case kCeRegSz:
            if (f.size() > 1)
                return Fail(l.line, where + "a REG_SZ value takes one string: quote a string "
                                            "that holds commas");
            v->data = (f.empty() ? "" : f[0]) + '\0';
            v->substitute = HasMacro(v->data);
            return true;
        case kCeRegMultiSz:
            if (f.size() == 1 && f[0].empty()) f.clear();
            v->data.clear();
            for (const std::string &s : f) {
                if (s.empty())
                    return Fail(l.line, where + "an empty string inside a REG_MULTI_SZ value "
                                                "would end it there");
                v->data += s + '\0';
            }
            v->data += '\0';
            v->substitute = HasMacro(v->data);
            return true;
        case kCeRegDword: {
            uint32_t n = 0;
            uint8_t b[4];
            if (f.size() == 1 && ParseNumber(f[0], &n)) {
            } else if (f.size() == 4 && ParseHexByte(f[0], &b[0]) && ParseHexByte(f[1], &b[1]) &&
                       ParseHexByte(f[2], &b[2]) && ParseHexByte(f[3], &b[3])) {
                n = b[0] | (b[1] << 8) | (b[2] << 16) | ((uint32_t)b[3] << 24);
            } else {
                return Fail(l.line, where + "a REG_DWORD value takes one number (decimal or "
                                            "0x hexadecimal)");
            }
            v->data.assign({(char)(n & 255), (char)((n >> 8) & 255), (char)((n >> 16) & 255),
                            (char)(n >> 24)});
            v->substitute = 0;
            return true;
        }
        default:  // kCeRegBinary
            v->data.clear();
            for (const std::string &s : f) {
                uint8_t b;
                if (s.empty() && f.size() == 1) break;
                if (!ParseHexByte(s, &b))
                    return Fail(l.line, where + "REG_BINARY byte " + Quote(s) +
                                            " is not one: give two hexadecimal digits per byte, "
                                            "without 0x");
                v->data += (char)b;
            }
            v->substitute = 0;
            return true;
        }
    }

    // A shortcut's folder: a %CEn% macro or %InstallDir% (base 0) and the
    // parts that follow it.
    bool LinkFolder(const std::string &path, int line, uint16_t *base,
                    std::vector<std::string> *parts) {
        *parts = SplitPath(path);
        std::string first = parts->empty() ? "" : (*parts)[0];
        if (first == "%InstallDir%") {
            *base = 0;
        } else if (first.size() >= 5 && first.size() <= 6 && first.compare(0, 3, "%CE") == 0 &&
                   first.back() == '%' && IsDigits(first.substr(3, first.size() - 4))) {
            *base = (uint16_t)std::stoi(first.substr(3, first.size() - 4));
        } else {
            return Fail(line, "shortcut folder " + Quote(path) +
                                  " must start with a %CEn% folder or %InstallDir%");
        }
        parts->erase(parts->begin());
        return true;
    }

    bool Shortcuts() {
        std::vector<const InfSection *> lists;
        if (!Sections("CEShortcuts", &lists)) return false;
        CeScript &s = out_->script;
        for (const InfSection *sec : lists)
            for (const InfLine &l : sec->lines) {
                std::string where = "[" + sec->name + "] ";
                std::string name = l.has_key ? "" : l.Field(0);
                if (SplitPath(name).empty())
                    return Fail(l.line, where + "a shortcut without a name");
                uint32_t type = 0;
                if (!l.Field(1).empty() && !ParseNumber(l.Field(1), &type))
                    return Fail(l.line, where + "shortcut type " + Quote(l.Field(1)) +
                                            " is not a number (0: to a file, 1: to a folder)");
                CeLink link;
                link.id = (uint16_t)(s.links.size() + 1);
                link.unknown = 0;
                link.type = type == 0 ? 1 : 0;
                const std::string &target = l.Field(2);
                if (type == 0) {
                    int found = 0;
                    for (const CeFile &f : s.files)
                        if (vq::LowerAscii(f.name) == vq::LowerAscii(target)) {
                            link.target = f.number;
                            found++;
                        }
                    if (found != 1)
                        return Fail(l.line, where + "shortcut " + Quote(name) + " points to " +
                                                Quote(target) +
                                                (found ? ", which is installed more than once"
                                                       : ", which no CopyFiles section installs"));
                } else if (target == "%InstallDir%") {
                    link.target = 0;
                } else {
                    const InfSection *dd = inf_.Section("DestinationDirs");
                    const InfLine *dest = dd && !target.empty() ? dd->Find(target) : nullptr;
                    if (!dest)
                        return Fail(l.line, where + "folder shortcut " + Quote(name) +
                                                " points to " + Quote(target) +
                                                ": give %InstallDir% or a key of "
                                                "[DestinationDirs]");
                    const InfLine *checked;
                    if (!Destination(dest->key, &checked) || !DirId(dest->Field(1), dest->line,
                                                                    &link.target))
                        return false;
                }
                std::string folder = l.Field(3);
                int folder_line = l.line;
                if (folder.empty()) {
                    const InfLine *dest;
                    if (!Destination(sec->name, &dest)) return false;
                    if (!dest)
                        return Fail(l.line, where + "shortcut " + Quote(name) +
                                                " has no folder: give one on the line or in "
                                                "[DestinationDirs]");
                    folder = dest->Field(1);
                    folder_line = dest->line;
                }
                std::vector<std::string> parts;
                if (!LinkFolder(folder, folder_line, &link.base_dir, &parts)) return false;
                for (const std::string &p : SplitPath(name)) parts.push_back(p);
                link.parts = Ids(parts);
                s.links.push_back(link);
            }
        return true;
    }

    bool Members() {
        std::vector<uint8_t> script;
        std::string err;
        if (!EncodeCeScript(out_->script, &script, &err)) return FailFile(err);
        auto add = [&](const std::string &name, std::vector<uint8_t> data, int64_t mtime,
                       const std::string &source) {
            CabMember m;
            m.name = name;
            m.data = std::move(data);
            CabDosTime(opt_.fixed_time ? opt_.time : mtime, &m.dos_date, &m.dos_time);
            out_->members.push_back(std::move(m));
            out_->sources.push_back(source);
        };
        std::string base = inf_path_.substr(inf_path_.find_last_of(VQ_PATH_SEPARATORS) + 1);
        add(MemberName(base, 0), std::move(script), opt_.script_time, inf_path_);
        for (Pending &p : setup_dll_) add(p.name, std::move(p.data), p.mtime, p.path);
        for (size_t i = pending_.size(); i-- > 0;)
            add(pending_[i].name, std::move(pending_[i].data), pending_[i].mtime, pending_[i].path);
        return true;
    }

    const Inf &inf_;
    const std::string &inf_path_, &cpu_;
    const CeBuildOptions &opt_;
    CeBuild *out_;
    std::string *error_;
    bool *system_;
    std::string install_dir_;
    int install_dir_line_ = 0;
    std::map<std::string, uint16_t> string_ids_;
    std::vector<Pending> pending_, setup_dll_;
};

}  // namespace

bool BuildCeCabinet(const Inf &inf, const std::string &inf_path, const std::string &cpu,
                    const CeBuildOptions &options, CeBuild *out, std::string *error,
                    bool *system_error) {
    return Builder(inf, inf_path, cpu, options, out, error, system_error).Run();
}
