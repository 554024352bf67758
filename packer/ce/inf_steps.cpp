// What the steps of building an INF share (inf_steps.h): reporting,
// looking sections and keys up for the tag, texts in the devices' code
// page, folders on the device and their destinations.
#include "ce/inf_steps.h"

#include "host_file.h"

// ---- reporting and looking up -------------------------------------------------

bool InfBuild::Fail(int line, const std::string &msg) {
    *error = line ? inf.Where(line) + msg : inf.file() + ": " + msg;
    return false;
}

bool InfBuild::FailFile(const std::string &msg) { return Fail(0, msg); }

void InfBuild::Warn(int line, const std::string &msg) { out->warnings.push_back({line, msg}); }

std::string InfBuild::Both(const std::string &base) const {
    return "[" + base + "]" + (tag.empty() ? "" : " or [" + Tagged(base) + "]");
}

const InfLine *InfBuild::Key(const std::string &base, const std::string &key) const {
    const InfSection *s;
    if (!tag.empty() && (s = inf.Section(Tagged(base))) != nullptr)
        if (const InfLine *l = s->Find(key)) return l;
    s = inf.Section(base);
    return s ? s->Find(key) : nullptr;
}

std::vector<std::pair<std::string, int>> InfBuild::Lists(const std::string &key) const {
    std::vector<std::pair<std::string, int>> names;
    std::set<std::string> seen;
    for (const std::string &sec : {std::string("DefaultInstall"), tag.empty() ? "" : Tagged("DefaultInstall")}) {
        const InfSection *s = sec.empty() ? nullptr : inf.Section(sec);
        const InfLine *l = s ? s->Find(key) : nullptr;
        if (!l) continue;
        for (const std::string &name : l->fields)
            if (!name.empty() && seen.insert(vq::LowerAscii(name)).second)
                names.push_back({name, l->line});
    }
    return names;
}

const InfSection *InfBuild::Named(const std::string &name, int line, const std::string &what) {
    const InfSection *s = inf.Section(name);
    if (!s) {
        Warn(line, what + " names [" + name + "], which does not exist: passed over, as the CAB "
                          "wizard does");
        return nullptr;
    }
    if (s->name != name)
        Warn(line, what + " names [" + name + "], whose header at line " + std::to_string(s->line) +
                       " is [" + s->name + "]: section names are compared without regard to case");
    return s;
}

bool InfBuild::Text(const std::string &field, int line, const std::string &what, std::string *text) {
    *text = inf.unicode() ? field : CodePageToUtf8(field, opt.codepage);
    std::string bytes, err;
    if (!Utf8ToCodePage(*text, opt.codepage, &bytes, &err))
        return Fail(line, what + ": " + err + " (--codepage names the devices' code page)");
    return true;
}

bool InfBuild::Folder(const std::string &path, int line, const std::string &what, size_t *index) {
    std::string text;
    if (!Text(path, line, what, &text)) return false;
    std::vector<std::string> parts = CeSplitPath(text);
    if (parts.empty()) return Fail(line, what + ": the folder " + InfQuote(path) + " is empty");
    CeFolder f;
    size_t from = 0;
    if (vq::LowerAscii(parts[0]) == "%installdir%") {
        if (out->model.install_dir.empty())
            return Fail(line, what + ": the folder " + InfQuote(path) +
                                  " uses %InstallDir%, but [CEStrings] has no InstallDir");
        f.in_install_dir = true;
        from = 1;
    }
    for (size_t i = from; i < parts.size(); i++) {
        if (parts[i].find("%InstallDir%") != std::string::npos)
            return Fail(line, what + ": %InstallDir% can only start a folder (" + InfQuote(path) + ")");
        f.path += (i > from ? "\\" : "") + parts[i];
    }
    // A folder without a macro is a path from the device's root.
    if (!f.in_install_dir && f.path[0] != '%') f.path = "\\" + f.path;
    *index = CeFolderIndex(&out->model, f);
    return true;
}

bool InfBuild::Destination(const std::string &section, int line, bool *found, size_t *index) {
    *found = false;
    const InfSection *dd = inf.Section("DestinationDirs");
    const InfLine *dest = dd ? dd->Find(section) : nullptr;
    if (dest && dest->key != section)
        Warn(dest->line, "[DestinationDirs] " + dest->key + " is the destination of [" + section +
                             "], whose name differs in case");
    if (!dest && dd) dest = dd->Find("DefaultDestDir");
    if (!dest) return true;
    *found = true;
    // `section = 0,path`; some INFs leave out the 0 (`section = path`).
    std::string path = dest->Field(1);
    if (dest->fields.size() == 1 && !dest->Field(0).empty() && dest->Field(0) != "0") {
        path = dest->Field(0);
        Warn(dest->line, "[DestinationDirs] " + dest->key + " = " + dest->Field(0) +
                             " has no folder id: taken as 0," + dest->Field(0));
    } else if (dest->Field(0) != "0") {
        return Fail(dest->line, "[DestinationDirs] " + dest->key +
                                    ": only folder id 0 (a path follows) is supported, as in "
                                    "'0,%CE1%\\Folder'");
    }
    if (path.empty()) return Fail(dest->line, "[DestinationDirs] " + dest->key + " has no path");
    (void)line;
    return Folder(path, dest->line, "[DestinationDirs] " + dest->key, index);
}

// ---- small parsers ------------------------------------------------------------

bool ParseInfNumber(const std::string &s, uint32_t *v) {
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

std::string InfQuote(const std::string &s) { return "'" + s + "'"; }

