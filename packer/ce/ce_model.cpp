// The CE model's lookups, texts for people, and the comparison of two
// readings of one cabinet.
#include "ce/ce_model.h"

#include <cstdio>
#include <map>

size_t CeFolderIndex(CeInstall *m, const CeFolder &folder) {
    for (size_t i = 0; i < m->folders.size(); i++)
        if (m->folders[i] == folder) return i;
    m->folders.push_back(folder);
    return m->folders.size() - 1;
}

size_t CeKeyIndex(CeInstall *m, const CeKey &key) {
    for (size_t i = 0; i < m->keys.size(); i++)
        if (m->keys[i] == key) return i;
    m->keys.push_back(key);
    return m->keys.size() - 1;
}

std::string CeFolderPath(const CeInstall &m, size_t folder) {
    if (folder >= m.folders.size()) return "<folder " + std::to_string(folder) + "?>";
    const CeFolder &f = m.folders[folder];
    if (!f.in_install_dir) return f.path;
    std::string base = m.install_dir.empty() ? "%InstallDir%" : m.install_dir;
    return f.path.empty() ? base : base + "\\" + f.path;
}

std::string CeFilePath(const CeInstall &m, const CeInstallFile &f) {
    return CeFolderPath(m, f.folder) + "\\" + f.name;
}

const CeInstallFile *CeFindFile(const CeInstall &m, uint16_t number) {
    for (const CeInstallFile &f : m.files)
        if (f.number == number) return &f;
    return nullptr;
}

std::string CeShortcutPath(const CeInstall &m, const CeShortcut &s) {
    return CeFolderPath(m, s.folder) + "\\" + s.name;
}

std::string CeShortcutTarget(const CeInstall &m, const CeShortcut &s) {
    if (!s.to_file) return CeFolderPath(m, s.target_folder);
    const CeInstallFile *f = CeFindFile(m, s.file);
    return f ? CeFilePath(m, *f) : "<file " + std::to_string(s.file) + "?>";
}

std::string CeKeyText(const CeInstall &m, size_t key) {
    if (key >= m.keys.size()) return "<key " + std::to_string(key) + "?>";
    const CeKey &k = m.keys[key];
    static const char *const kRoots[] = {"", "HKCR", "HKCU", "HKLM", "HKU"};
    std::string root = k.root >= 1 && k.root <= 4 ? kRoots[k.root] : "root " + std::to_string(k.root);
    return k.path.empty() ? root : root + "\\" + k.path;
}

std::string CeDisplayName(const CeInstall &m) {
    return m.provider.empty() ? m.app_name : m.provider + " " + m.app_name;
}

std::vector<std::string> CeSplitPath(const std::string &path) {
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

unsigned CeMacroNumber(const std::string &text) {
    if (text.size() < 5 || text.size() > 6 || text.compare(0, 3, "%CE") != 0 || text.back() != '%')
        return 0;
    unsigned n = 0;
    for (size_t i = 3; i + 1 < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9') return 0;
        n = n * 10 + (unsigned)(text[i] - '0');
    }
    return n;
}

bool CeHasMacro(const std::string &data) {
    if (data.find("%InstallDir%") != std::string::npos) return true;
    for (size_t at = data.find("%CE"); at != std::string::npos; at = data.find("%CE", at + 1)) {
        size_t end = data.find('%', at + 3);
        if (end != std::string::npos && end > at + 3 && end <= at + 5 &&
            data.find_first_not_of("0123456789", at + 3) == end)
            return true;
    }
    return false;
}

namespace {

std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

std::string Version(uint32_t major, uint32_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// Adds "what: a / b" when the two differ.
void Differ(std::vector<std::string> *out, const std::string &what, const std::string &a,
            const std::string &b) {
    if (a != b) out->push_back(what + ": " + a + " / " + b);
}

// Entries keyed by what identifies them on the device, each side's text of
// what the device does with it; differences as "what key: a / b", and
// entries that only one side has as "key: (none)".
void CompareMaps(std::vector<std::string> *out, const std::string &what,
                 const std::map<std::string, std::string> &a,
                 const std::map<std::string, std::string> &b) {
    for (const auto &e : a) {
        auto o = b.find(e.first);
        Differ(out, what + " " + e.first, e.second, o == b.end() ? "(none)" : o->second);
    }
    for (const auto &e : b)
        if (!a.count(e.first)) Differ(out, what + " " + e.first, "(none)", e.second);
}

std::map<std::string, std::string> Files(const CeInstall &m) {
    std::map<std::string, std::string> r;
    for (const CeInstallFile &f : m.files) {
        std::string where = m.folders.size() > f.folder && m.folders[f.folder].in_install_dir
                                ? " (install folder)"
                                : "";
        r[CeFilePath(m, f)] = "flags " + Hex(f.flags) + where +
                              (f.member_name.empty() ? "" : ", from " + f.member_name);
    }
    return r;
}

std::map<std::string, std::string> Values(const CeInstall &m) {
    std::map<std::string, std::string> r;
    for (const CeValue &v : m.values) {
        std::string data;
        for (unsigned char c : v.data) {
            char b[4];
            std::snprintf(b, sizeof b, "%02x", c);
            data += b;
        }
        r[CeKeyText(m, v.key) + " \"" + v.name + "\""] =
            Hex(v.type_flags & ~(uint32_t)kCeRegNoClobber) + " " + data +
            (v.substitute ? " substituted" : "");
    }
    return r;
}

std::map<std::string, std::string> Shortcuts(const CeInstall &m) {
    std::map<std::string, std::string> r;
    for (const CeShortcut &s : m.shortcuts)
        r[CeShortcutPath(m, s)] = (s.to_file ? "file " : "folder ") + CeShortcutTarget(m, s);
    return r;
}

}  // namespace

std::vector<std::string> CeCompare(const CeInstall &a, const CeInstall &b) {
    std::vector<std::string> out;
    Differ(&out, "name", CeDisplayName(a), CeDisplayName(b));
    Differ(&out, "install folder", a.install_dir, b.install_dir);
    Differ(&out, "processor", std::to_string(a.processor), std::to_string(b.processor));
    Differ(&out, "lowest CE version", Version(a.version_min_major, a.version_min_minor),
           Version(b.version_min_major, b.version_min_minor));
    Differ(&out, "highest CE version", Version(a.version_max_major, a.version_max_minor),
           Version(b.version_max_major, b.version_max_minor));
    Differ(&out, "lowest build", std::to_string(a.build_min), std::to_string(b.build_min));
    Differ(&out, "highest build", std::to_string(a.build_max), std::to_string(b.build_max));
    CompareMaps(&out, "file", Files(a), Files(b));
    CompareMaps(&out, "registry value", Values(a), Values(b));
    CompareMaps(&out, "shortcut", Shortcuts(a), Shortcuts(b));
    return out;
}
