// Building an INF's registry values (AddReg lists) and shortcuts
// (CEShortcuts lists).
#include <algorithm>

#include "ce/inf_steps.h"
#include "host_file.h"

namespace {

// Two hexadecimal digits at most, without 0x: one byte of a BINARY value.
bool ParseHexByte(const std::string &s, uint8_t *b) {
    uint32_t v;
    if (s.empty() || s.size() > 2 || !ParseInfNumber("0x" + s, &v)) return false;
    *b = (uint8_t)v;
    return true;
}

// A registry value's data as stored, from the fields after the flags
// (texts already in UTF-8).
bool Data(InfBuild &b, int line, const std::string &where, std::vector<std::string> f, CeValue *v) {
    switch (v->type_flags & kCeRegTypeMask) {
    case kCeRegSz:
        if (f.size() > 1)
            return b.Fail(line, where + "a REG_SZ value takes one string: quote a string that "
                                        "holds commas");
        v->data = (f.empty() ? "" : f[0]) + '\0';
        v->substitute = CeHasMacro(v->data);
        return true;
    case kCeRegMultiSz:
        if (f.size() == 1 && f[0].empty()) f.clear();
        v->data.clear();
        for (const std::string &s : f) {
            if (s.empty())
                return b.Fail(line, where + "an empty string inside a REG_MULTI_SZ value would "
                                            "end it there");
            v->data += s + '\0';
        }
        v->data += '\0';
        v->substitute = CeHasMacro(v->data);
        return true;
    case kCeRegDword: {
        uint32_t n = 0;
        uint8_t x[4];
        if (f.size() == 1 && ParseInfNumber(f[0], &n)) {
        } else if (f.size() == 4 && ParseHexByte(f[0], &x[0]) && ParseHexByte(f[1], &x[1]) &&
                   ParseHexByte(f[2], &x[2]) && ParseHexByte(f[3], &x[3])) {
            n = x[0] | (x[1] << 8) | (x[2] << 16) | ((uint32_t)x[3] << 24);
        } else {
            return b.Fail(line, where + "a REG_DWORD value takes one number (decimal or 0x "
                                        "hexadecimal)");
        }
        v->data.assign({(char)(n & 255), (char)((n >> 8) & 255), (char)((n >> 16) & 255),
                        (char)(n >> 24)});
        return true;
    }
    default:  // kCeRegBinary
        v->data.clear();
        for (const std::string &s : f) {
            uint8_t x;
            if (s.empty() && f.size() == 1) break;
            if (!ParseHexByte(s, &x))
                return b.Fail(line, where + "REG_BINARY byte " + InfQuote(s) +
                                        " is not one: give two hexadecimal digits per byte, "
                                        "without 0x");
            v->data += (char)x;
        }
        return true;
    }
}

bool AddValue(InfBuild &b, const InfSection &sec, const InfLine &l) {
    std::string where = "[" + sec.name + "] ";
    if (l.has_key) return b.Fail(l.line, where + "a registry line has '=' before its first comma");
    static const struct {
        const char *name, *longname;
        uint16_t root;
    } roots[] = {{"hkcr", "hkey_classes_root", kCeHKCR},
                 {"hkcu", "hkey_current_user", kCeHKCU},
                 {"hklm", "hkey_local_machine", kCeHKLM},
                 {"hku", "hkey_users", kCeHKU}};
    CeKey key;
    key.root = 0;
    for (auto &r : roots)
        if (vq::LowerAscii(l.Field(0)) == r.name || vq::LowerAscii(l.Field(0)) == r.longname)
            key.root = r.root;
    if (!key.root)
        return b.Fail(l.line, where + "registry root " + InfQuote(l.Field(0)) +
                                  " is not HKCR, HKCU, HKLM or HKU");
    std::string path;
    if (!b.Text(l.Field(1), l.line, where + "registry key", &path)) return false;
    for (const std::string &p : CeSplitPath(path)) key.path += (key.path.empty() ? "" : "\\") + p;
    if (key.path.empty()) return b.Fail(l.line, where + "a registry value without a key");
    CeValue v;
    if (!ParseInfNumber(l.Field(3).empty() ? "0" : l.Field(3), &v.type_flags))
        return b.Fail(l.line, where + "registry flags " + InfQuote(l.Field(3)) + " are not a number");
    if (v.type_flags & ~(kCeRegTypeMask | kCeRegNoClobber))
        return b.Fail(l.line, where + "registry flags " + l.Field(3) +
                                  " are not a type the device knows (0: REG_SZ, 0x10000: "
                                  "REG_MULTI_SZ, 0x10001: REG_DWORD, 0x1: REG_BINARY, each with "
                                  "0x2 for no-clobber)");
    if (!b.Text(l.Field(2), l.line, where + "registry value name", &v.name)) return false;
    std::vector<std::string> data;
    for (size_t i = 4; i < l.fields.size(); i++) {
        data.emplace_back();
        if (!b.Text(l.fields[i], l.line, where + "registry data", &data.back())) return false;
    }
    if (!Data(b, l.line, where, data, &v)) return false;
    v.key = CeKeyIndex(&b.out->model, key);
    b.out->model.values.push_back(v);
    return true;
}

// What a shortcut to a folder points at: %InstallDir% or a key of
// [DestinationDirs].
bool FolderTarget(InfBuild &b, const InfLine &l, const std::string &where, CeShortcut *s) {
    const std::string &target = l.Field(2);
    if (vq::LowerAscii(target) == "%installdir%") {
        s->target_folder = CeFolderIndex(&b.out->model, CeFolder{true, ""});
        return true;
    }
    const InfSection *dd = b.inf.Section("DestinationDirs");
    const InfLine *dest = dd && !target.empty() ? dd->Find(target) : nullptr;
    if (!dest)
        return b.Fail(l.line, where + "folder shortcut " + InfQuote(l.Field(0)) + " points to " +
                                  InfQuote(target) + ": give %InstallDir% or a key of "
                                                     "[DestinationDirs]");
    bool found;
    return b.Destination(dest->key, l.line, &found, &s->target_folder);
}

bool AddShortcut(InfBuild &b, const InfSection &sec, const InfLine &l) {
    CeInstall &m = b.out->model;
    std::string where = "[" + sec.name + "] ";
    std::string name;
    if (!b.Text(l.has_key ? "" : l.Field(0), l.line, where + "shortcut name", &name)) return false;
    if (CeSplitPath(name).empty()) return b.Fail(l.line, where + "a shortcut without a name");
    // The device makes NAME.lnk; the CAB wizard adds the extension.
    if (vq::LowerAscii(name).size() < 4 ||
        vq::LowerAscii(name).compare(name.size() - 4, 4, ".lnk") != 0)
        name += ".lnk";
    uint32_t type = 0;
    if (!l.Field(1).empty() && !ParseInfNumber(l.Field(1), &type))
        return b.Fail(l.line, where + "shortcut type " + InfQuote(l.Field(1)) +
                                  " is not a number (0: to a file, 1: to a folder)");
    CeShortcut s;
    s.name = name;
    s.to_file = type == 0;
    if (s.to_file) {
        std::string target;
        if (!b.Text(l.Field(2), l.line, where + "shortcut target", &target)) return false;
        std::vector<const CeInstallFile *> hits;
        for (const CeInstallFile &f : m.files)
            if (vq::LowerAscii(f.name) == vq::LowerAscii(target)) hits.push_back(&f);
        if (hits.empty())
            return b.Fail(l.line, where + "shortcut " + InfQuote(l.Field(0)) + " points to " +
                                      InfQuote(target) + ", which no CopyFiles section installs");
        if (hits.size() > 1)
            b.Warn(l.line, where + "shortcut " + InfQuote(l.Field(0)) + " points to " +
                               InfQuote(target) + ", which is installed " +
                               std::to_string(hits.size()) + " times: it points to the first, " +
                               CeFilePath(m, *hits[0]));
        s.file = hits[0]->number;
    } else if (!FolderTarget(b, l, where, &s)) {
        return false;
    }
    // The line's fourth field is the shortcut's folder; else the section's
    // destination.
    if (!l.Field(3).empty()) {
        if (!b.Folder(l.Field(3), l.line, where + "shortcut folder", &s.folder)) return false;
    } else {
        bool found;
        if (!b.Destination(sec.name, l.line, &found, &s.folder)) return false;
        if (!found)
            return b.Fail(l.line, where + "shortcut " + InfQuote(l.Field(0)) +
                                      " has no folder: give one on the line or in [DestinationDirs]");
    }
    m.shortcuts.push_back(s);
    return true;
}

}  // namespace

bool BuildRegistry(InfBuild &b) {
    for (const auto &n : b.Lists("AddReg")) {
        const InfSection *sec = b.Named(n.first, n.second, "AddReg");
        if (!sec) continue;
        for (const InfLine &l : sec->lines)
            if (!AddValue(b, *sec, l)) return false;
    }
    return true;
}

bool BuildShortcuts(InfBuild &b) {
    for (const auto &n : b.Lists("CEShortcuts")) {
        const InfSection *sec = b.Named(n.first, n.second, "CEShortcuts");
        if (!sec) continue;
        for (const InfLine &l : sec->lines)
            if (!AddShortcut(b, *sec, l)) return false;
    }
    return true;
}
