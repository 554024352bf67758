// Building an INF for one tag: the first step (strings, tags and the
// devices: [Version], [CEStrings], [CEDevice(.TAG)]), the folders, the
// members' 8.3 names, and the order of the steps.
#include "ce/inf_build.h"

#include <cstdio>

#include "ce/inf_steps.h"
#include "host_file.h"
#include "platform.h"

namespace {

bool IsDigits(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// "major[.minor]", decimal.
bool ParseVersion(const std::string &s, uint32_t *major, uint32_t *minor) {
    size_t dot = s.find('.');
    std::string a = s.substr(0, dot), b = dot == std::string::npos ? "0" : s.substr(dot + 1);
    return IsDigits(a) && IsDigits(b) && ParseInfNumber(a, major) && ParseInfNumber(b, minor);
}

const char *const kTaggedBases[] = {"CEDevice", "DefaultInstall", "SourceDisksNames",
                                    "SourceDisksFiles"};

bool CheckTag(InfBuild &b) {
    if (b.tag.empty()) return true;
    for (const char *s : kTaggedBases)
        if (b.inf.Section(b.Tagged(s))) return true;
    std::string tags;
    for (const std::string &t : InfTags(b.inf)) tags += (tags.empty() ? "" : ", ") + t;
    return b.FailFile("no section is tagged ." + b.tag + " ([CEDevice." + b.tag +
                      "], [DefaultInstall." + b.tag + "], [SourceDisksNames." + b.tag +
                      "] or [SourceDisksFiles." + b.tag + "])" +
                      (tags.empty() ? "" : "; its tags are " + tags));
}

bool Versions(InfBuild &b) {
    CeInstall &m = b.out->model;
    struct {
        const char *key;
        uint32_t *value;
    } numbers[] = {{"ProcessorType", &m.processor}, {"BuildMin", &m.build_min}, {"BuildMax", &m.build_max}};
    for (auto &n : numbers) {
        const InfLine *l = b.Key("CEDevice", n.key);
        if (l && !l->Field(0).empty() && !ParseInfNumber(l->Field(0), n.value))
            return b.Fail(l->line, std::string("[CEDevice] ") + n.key + " " + InfQuote(l->Field(0)) +
                                       " is not a number" +
                                       (n.value == &m.processor
                                            ? " (2577: StrongARM, 4000: MIPS R4000, 10003: SH3, "
                                              "10005: SH4, 586: Pentium)"
                                            : ""));
    }
    struct {
        const char *key;
        uint32_t *major, *minor;
    } versions[] = {{"VersionMin", &m.version_min_major, &m.version_min_minor},
                    {"VersionMax", &m.version_max_major, &m.version_max_minor}};
    for (auto &v : versions) {
        const InfLine *l = b.Key("CEDevice", v.key);
        if (l && !l->Field(0).empty() && !ParseVersion(l->Field(0), v.major, v.minor))
            return b.Fail(l->line, std::string("[CEDevice] ") + v.key + " " + InfQuote(l->Field(0)) +
                                       " is not a version (major.minor, e.g. 3.0)");
    }
    // Unsupported platforms: the plain list, then the tagged one's new names.
    std::set<std::string> seen;
    for (const std::string &sec : {std::string("CEDevice"), b.tag.empty() ? "" : b.Tagged("CEDevice")}) {
        const InfSection *d = sec.empty() ? nullptr : b.inf.Section(sec);
        const InfLine *l = d ? d->Find("UnsupportedPlatforms") : nullptr;
        if (!l) continue;
        for (const std::string &p : l->fields) {
            std::string text;
            if (!b.Text(p, l->line, "UnsupportedPlatforms", &text)) return false;
            if (!text.empty() && seen.insert(vq::LowerAscii(text)).second) m.unsupported.push_back(text);
        }
    }
    return true;
}

// [Platform.*] sections say which platform versions a cabinet is for; no
// field of the install script holds that, so the device never sees them.
void Platforms(InfBuild &b) {
    for (const InfSection &s : b.inf.sections())
        if (vq::LowerAscii(s.name).compare(0, 9, "platform.") == 0)
            b.Warn(s.line, "[" + s.name + "] is not carried into the cabinet: the install script "
                                          "has no field for it (use [CEDevice] VersionMin, "
                                          "VersionMax and UnsupportedPlatforms)");
}

}  // namespace

bool BuildDevices(InfBuild &b) {
    CeInstall &m = b.out->model;
    const InfSection *version = b.inf.Section("Version");
    if (!version) return b.FailFile("no [Version] section");
    const InfLine *ce = version->Find("CESignature");
    if (!ce || vq::LowerAscii(ce->Field(0)) != "$windows ce$")
        return b.Fail(ce ? ce->line : version->line,
                      "[Version] CESignature must be \"$Windows CE$\": this INF is not one for CE "
                      "devices");
    const InfLine *sig = version->Find("Signature");
    std::string sv = sig ? vq::LowerAscii(sig->Field(0)) : "";
    if (sv != "$windows nt$" && sv != "$windows 95$" && sv != "$chicago$")
        return b.Fail(sig ? sig->line : version->line,
                      "[Version] Signature must be \"$Windows NT$\", \"$Windows 95$\" or \"$Chicago$\"");
    const InfLine *prov = version->Find("Provider");
    if (!prov || prov->Field(0).empty())
        return b.Fail(prov ? prov->line : version->line, "[Version] has no Provider");
    if (!b.Text(prov->Field(0), prov->line, "[Version] Provider", &m.provider)) return false;
    const InfSection *ces = b.inf.Section("CEStrings");
    const InfLine *app = ces ? ces->Find("AppName") : nullptr;
    if (!app || app->Field(0).empty()) return b.FailFile("[CEStrings] has no AppName");
    if (!b.Text(app->Field(0), app->line, "[CEStrings] AppName", &m.app_name)) return false;
    if (const InfLine *dir = ces->Find("InstallDir")) {
        if (!b.Text(dir->Field(0), dir->line, "[CEStrings] InstallDir", &m.install_dir)) return false;
        if (m.install_dir.find("%InstallDir%") != std::string::npos)
            return b.Fail(dir->line, "[CEStrings] InstallDir uses %InstallDir%");
        // Written as one string: "%CE1%\VQNotes", without a final '\'.
        while (m.install_dir.size() > 1 && m.install_dir.back() == '\\') m.install_dir.pop_back();
    }
    Platforms(b);
    return CheckTag(b) && Versions(b);
}

bool BuildFolders(InfBuild &b) {
    // The destinations of the sections this tag uses, in [DestinationDirs]
    // order, DefaultDestDir among them, as the CAB wizard makes its folder
    // entries; the folders of the shortcuts' own lines follow later.
    const InfSection *dd = b.inf.Section("DestinationDirs");
    if (!dd) return true;
    std::set<std::string> used = {"defaultdestdir"};
    for (const char *key : {"CopyFiles", "CEShortcuts"})
        for (const auto &n : b.Lists(key)) used.insert(vq::LowerAscii(n.first));
    for (const InfLine &l : dd->lines) {
        if (!l.has_key || !used.count(vq::LowerAscii(l.key))) continue;
        bool found;
        size_t index;
        if (!b.Destination(l.key, l.line, &found, &index)) return false;
    }
    return true;
}

// ---- members ------------------------------------------------------------------

namespace {

bool ShortNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string("_-~!#$&'(){}^@`").find(c) != std::string::npos;
}

// The 8.3 stem of a source name as Windows makes it and the CAB wizard
// writes it: the name without its extension when that is a valid 8.3 stem
// (case kept; two sources may share one, as members differ by number),
// else up to six of its characters upper-cased with "~N" (the first N that
// no other such name has), left-padded with '0' to 8 characters.
std::string Stem(const std::string &source, std::set<std::string> *taken) {
    std::string base = source.substr(source.find_last_of("/\\") + 1);
    size_t dot = base.rfind('.');
    std::string stem = dot != std::string::npos && dot > 0 ? base.substr(0, dot) : base;
    std::string ext = dot != std::string::npos && dot > 0 ? base.substr(dot + 1) : "";
    bool valid = !stem.empty() && stem.size() <= 8 && ext.size() <= 3;
    for (char c : stem) valid &= ShortNameChar(c);
    std::string out;
    if (valid) return std::string(8 - stem.size(), '0') + stem;
    {
        std::string letters;
        for (char c : stem)
            if (ShortNameChar(c) && c != '~') letters += (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (letters.empty()) letters = "FILE";
        for (unsigned n = 1;; n++) {
            std::string tail = "~" + std::to_string(n);
            out = letters.substr(0, 8 - tail.size()) + tail;
            if (!taken->count(vq::LowerAscii(out))) break;
        }
    }
    taken->insert(vq::LowerAscii(out));
    return std::string(8 - std::min<size_t>(8, out.size()), '0') + out;
}

std::string Number3(unsigned n) {
    char b[8];
    std::snprintf(b, sizeof b, ".%03u", n);
    return b;
}

}  // namespace

bool BuildMembers(InfBuild &b) {
    // Stems in member order: one per source (a source stored for two
    // entries, or also the setup DLL, keeps its stem), the script's last.
    std::set<std::string> taken;
    std::map<std::string, std::string> stems;  // source path -> stem
    auto stem_of = [&](const InfBuild::Pending &p) {
        auto it = stems.find(p.path);
        if (it == stems.end()) it = stems.insert({p.path, Stem(p.name, &taken)}).first;
        return it->second;
    };
    std::vector<std::string> names(b.pending.size());
    for (size_t i = 0; i < b.pending.size(); i++) names[i] = stem_of(b.pending[i]) + Number3(b.pending[i].number);
    std::string dll = b.setup_dll.empty() ? "" : stem_of(b.setup_dll[0]) + ".999";
    std::string base = b.inf_path.substr(b.inf_path.find_last_of(VQ_PATH_SEPARATORS) + 1);
    b.out->script_stem = Stem(base, &taken);

    auto add = [&](const std::string &name, InfBuild::Pending &p) {
        CabMember m;
        m.name = name;
        m.data = std::move(p.data);
        CabDosTime(b.opt.fixed_time ? b.opt.time : p.mtime, &m.dos_date, &m.dos_time);
        b.out->members.push_back(std::move(m));
        b.out->sources.push_back(p.path);
    };
    if (!b.setup_dll.empty()) add(dll, b.setup_dll[0]);
    for (size_t i = b.pending.size(); i-- > 0;) add(names[i], b.pending[i]);
    for (CeInstallFile &f : b.out->model.files)
        for (size_t i = 0; i < b.pending.size(); i++)
            if (b.pending[i].number == f.member) f.member_name = names[i];
    return true;
}

// ---- the whole ----------------------------------------------------------------

bool BuildCeModel(const Inf &inf, const std::string &inf_path, const std::string &tag,
                  const CeBuildOptions &options, CeBuild *out, std::string *error,
                  bool *system_error) {
    *system_error = false;
    *out = CeBuild();
    for (const InfWarning &w : inf.warnings()) out->warnings.push_back(w);
    InfBuild b(inf, inf_path, tag, options, out, error, system_error);
    bool ok = BuildDevices(b) && BuildFolders(b) && BuildFiles(b) && BuildRegistry(b) &&
              BuildShortcuts(b) && BuildMembers(b);
    // A step may meet the same line twice (a destination shared by two
    // sections): each warning once.
    std::vector<InfWarning> once;
    std::set<std::pair<int, std::string>> seen;
    for (const InfWarning &w : out->warnings)
        if (seen.insert({w.line, w.text}).second) once.push_back(w);
    out->warnings.swap(once);
    return ok;
}

std::vector<std::string> InfTags(const Inf &inf) {
    std::vector<std::string> tags;
    std::set<std::string> seen;
    for (const InfSection &s : inf.sections())
        for (const char *base : kTaggedBases) {
            std::string prefix = vq::LowerAscii(base) + ".";
            if (vq::LowerAscii(s.name).compare(0, prefix.size(), prefix) != 0 ||
                s.name.size() == prefix.size())
                continue;
            std::string t = s.name.substr(prefix.size());
            if (seen.insert(vq::LowerAscii(t)).second) tags.push_back(t);
        }
    return tags;
}
