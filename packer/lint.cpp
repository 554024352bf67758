#include "lint.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>

#include "ce/ce_cabinet.h"
#include "ce/codepage.h"
#include "common/cablist.h"
#include "common/container.h"
#include "common/setup_text.h"
#include "host_file.h"
#include "platform.h"

namespace {

std::string Trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool HasFolderPart(const std::string &s) {
    return s.find_first_of("\\/:") != std::string::npos || s == "." || s == "..";
}

// Why a value names no member: a folder part or drive, or no such file.
std::string NoFile(const std::string &what, const std::string &name) {
    if (HasFolderPart(name))
        return what + " '" + name + "' is not a plain file name (folder, drive or ':'): "
               "members have none, so it names no member";
    return what + " '" + name + "' names no file beside the descriptor";
}

// The bytes of `name` outside printable ASCII as "0xE9 0x80", and the name
// with each of them written as \xE9; hex is empty when there are none.
void NonAsciiBytes(const std::string &name, std::string *hex, std::string *shown) {
    static const char kDigits[] = "0123456789ABCDEF";
    hex->clear();
    shown->clear();
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F) {
            *shown += (char)c;
            continue;
        }
        std::string two = {kDigits[c >> 4], kDigits[c & 15]};
        *hex += (hex->empty() ? "0x" : " 0x") + two;
        *shown += "\\x" + two;
    }
}

// A name or text as a warning shows it: bytes outside printable ASCII as \xE9.
std::string Shown(const std::string &name) {
    std::string hex, shown;
    NonAsciiBytes(name, &hex, &shown);
    return shown;
}

bool EndsWithRtf(const std::string &name) {
    return name.size() >= 3 && vq::LowerAscii(name.substr(name.size() - 3)) == "rtf";
}

// Width and height of a Windows bitmap file; false if it is not one that
// the system's loader reads.
bool BitmapSize(const std::string &bytes, long *w, long *h) {
    if (bytes.size() < 26 || bytes[0] != 'B' || bytes[1] != 'M') return false;
    const uint8_t *p = (const uint8_t *)bytes.data();
    uint32_t hdr = LoadLE32(p + 14);
    if (hdr == 12) {  // OS/2 core header: 16-bit sizes
        *w = p[18] | (p[19] << 8);
        *h = p[20] | (p[21] << 8);
    } else if (hdr >= 40 && bytes.size() >= 14 + 40) {
        *w = (int32_t)LoadLE32(p + 18);
        *h = (int32_t)LoadLE32(p + 22);
        if (*h < 0) *h = -*h;  // top-down rows
    } else {
        return false;
    }
    uint32_t bits_at = LoadLE32(p + 10);
    return *w > 0 && *h > 0 && bits_at < bytes.size();
}

// The devices a CE cabinet is for, beyond its processor.
std::string CeRange(const CeInstall &s) {
    std::string r = "CE " + CeVersionText(s.version_min_major, s.version_min_minor) + " to " +
                    CeVersionText(s.version_max_major, s.version_max_minor);
    if (s.build_min || s.build_max)
        r += ", builds " + CeBuildText(s.build_min) + " to " + CeBuildText(s.build_max);
    return r;
}

// The CE checks of a component's cabinets (each a CabFiles item that
// exists): every one a CE cabinet, no two that one device could take, one
// application and provider among them.
void LintCeCabinets(const std::vector<std::pair<std::string, std::string>> &cabs, int line,
                    std::vector<LintMessage> *out) {
    auto warn = [&](const std::string &t) { out->push_back({false, line, t}); };
    std::vector<std::pair<std::string, CeInstall>> ce;
    for (const auto &c : cabs) {
        CeCabinet cab;
        std::string why;
        if (ReadCeCabinet((const uint8_t *)c.second.data(), c.second.size(), kCeDefaultCodePage,
                          &cab, &why) != CeCabinetStatus::kOk) {
            warn("CabFiles item '" + Shown(c.first) + "' is not a CE cabinet (" + why +
                 "): the device cannot install it");
            continue;
        }
        // Devices read the .000 (CE 3.0 to Pocket PC 2003) or _setup.xml
        // (Windows Mobile 5 on): both must say the same.
        for (const CeScriptForm *f : {&cab.binary, &cab.xml})
            if (f->present && !f->read)
                warn("CabFiles item '" + Shown(c.first) + "': its install script '" +
                     Shown(f->member) + "' cannot be read (" + f->error +
                     "): devices that read that form cannot install it");
        if (!cab.disagreements.empty())
            warn("CabFiles item '" + Shown(c.first) + "': its .000 and _setup.xml differ (" +
                 Shown(cab.disagreements[0]) +
                 (cab.disagreements.size() > 1
                      ? " and " + std::to_string(cab.disagreements.size() - 1) + " more"
                      : std::string()) +
                 "): older and newer devices would install different things");
        ce.push_back({Shown(c.first), cab.model});
    }
    for (size_t i = 0; i < ce.size(); i++) {
        for (size_t j = i + 1; j < ce.size(); j++) {
            const CeInstall &a = ce[i].second, &b = ce[j].second;
            if (!CeSameDevices(a, b)) continue;
            const std::string &na = ce[i].first, &nb = ce[j].first;
            std::string which;
            if (a.processor == b.processor)
                which = "both target processor " + CeProcessorText(a.processor);
            else if (a.processor == 0)
                which = "overlap: '" + na + "' targets any processor (0), '" + nb + "' " +
                        CeProcessorText(b.processor);
            else
                which = "overlap: '" + nb + "' targets any processor (0), '" + na + "' " +
                        CeProcessorText(a.processor);
            warn("CabFiles items '" + na + "' and '" + nb + "' " + which +
                 ", with ranges that overlap (" + CeRange(a) + "; " + CeRange(b) +
                 "): a device may be offered either");
        }
    }
    for (size_t j = 1; j < ce.size(); j++) {
        const CeInstall &a = ce[0].second, &b = ce[j].second;
        if (a.app_name != b.app_name)
            warn("CabFiles items '" + ce[0].first + "' and '" + ce[j].first +
                 "' install different applications ('" + Shown(a.app_name) + "' and '" + Shown(b.app_name) +
                 "'): one component's cabinets should install one");
        if (a.provider != b.provider)
            warn("CabFiles items '" + ce[0].first + "' and '" + ce[j].first +
                 "' name different providers ('" + Shown(a.provider) + "' and '" + Shown(b.provider) + "')");
    }
}

bool HasByteOrderMark(const std::string &text) {
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 || text.compare(0, 2, "\xFF\xFE") == 0 ||
           text.compare(0, 2, "\xFE\xFF") == 0;
}

const char kByteOrderMark[] =
    "the file begins with a byte-order mark (UTF-8 or UTF-16): save it as plain ANSI text, "
    "or the first section may not be found";

// What the checks of one descriptor share: the report, the folder of the
// members, the members found so far (each once, by their names without
// regard to case) and the names already warned about. `file` is the INI
// whose lines the messages name: empty for the descriptor, else the path
// of a listed INI.
class LintRun {
public:
    LintRun(const std::string &dir, std::vector<PackMember> *members, LintReport *report)
        : dir_(dir), members_(members), report_(report) {}

    std::string file;

    const std::string &dir() const { return dir_; }
    void Warn(int line, const std::string &t) { report_->messages.push_back({false, line, t, file}); }
    void Error(int line, const std::string &t) { report_->messages.push_back({true, line, t, file}); }
    // Messages made elsewhere (the CE checks), as the current file's.
    void Add(std::vector<LintMessage> messages) {
        for (LintMessage &m : messages) {
            m.file = file;
            report_->messages.push_back(m);
        }
    }

    // Windows reads member and CabFiles names in the ANSI code page of the
    // PC that runs the installer: the same bytes above 127 (a Latin-1 'e'
    // with an accent, or the two bytes a UTF-8 one takes) are another
    // name, or none, under another code page, and the Application Manager
    // and the device get that name. Said once per name.
    void CheckBytes(const std::string &name, int line) {
        std::string hex, shown;
        NonAsciiBytes(name, &hex, &shown);
        if (hex.empty() || !code_page_names_.insert(name).second) return;
        Warn(line, "'" + shown + "' has bytes outside printable ASCII (" + hex +
                       "): the name depends on the Windows code page; Windows reads it in "
                       "the ANSI code page of the PC that installs it, where it may become "
                       "another name or an invalid one (use printable ASCII)");
    }

    // Adds the file `name` of the folder as a member, once; a second name
    // that differs only in case is warned about, a name the setup program
    // cannot write is an error.
    void AddMember(const std::string &name, int line) {
        CheckBytes(name, line);
        auto it = by_lower_.find(vq::LowerAscii(name));
        if (it != by_lower_.end()) {
            if (it->second != name)
                Warn(line, "'" + name + "' and '" + it->second +
                               "' differ only in case: on Windows they are one file");
            return;
        }
        // A NUL inside the value would cut the name short for the setup
        // program and for the file system, and the writer refuses it.
        if (!IsSafeMemberName(name.c_str()) || name.find('\0') != std::string::npos) {
            Error(line, "'" + name + "' cannot be a file name in the setup folder");
            return;
        }
        by_lower_[vq::LowerAscii(name)] = name;
        if (members_) members_->push_back({name, dir_ + "/" + name});
    }

    bool ReadMember(const std::string &name, std::string *bytes) const {
        std::string err;
        return vq::LoadFile(dir_ + "/" + name, bytes, &err);
    }

private:
    std::string dir_;
    std::vector<PackMember> *members_;
    LintReport *report_;
    std::map<std::string, std::string> by_lower_;  // member names added so far
    std::set<std::string> code_page_names_;
};

// A file a component needs, as the checks across components compare them.
struct Need {
    std::string name, bytes, file;  // file: where it is named ("" the descriptor)
    int line;
};

// One component as lint saw it: its INI, the section its Component names
// and the files it needs (its CAB files that exist, then the INI).
struct Component {
    std::string ini, file, name;
    int line = 0;  // of Component, 0 when missing
    std::vector<Need> needs;
};

// The checks of one component, the same for Setup.ini and for each INI
// that AlsoInstall lists: [CEAppManager] Component, the component's
// CabFiles and each of its items (a plain name, no blank around it, a
// file beside the descriptor, a CE cabinet), and its cabinets together
// (LintCeCabinets). Each CAB file found becomes a member. `listed`: an
// AlsoInstall INI, whose Component and CabFiles the setup program takes
// in full or not at all, so that a value too long for its buffer is an
// error (Setup.ini's are cut: a warning, made with its other keys). The
// descriptor's missing Component is reported with its other keys too.
void LintComponent(LintRun &run, const Descriptor &d, bool listed, Component *c) {
    bool has_component;
    c->name = d.Get("CEAppManager", "Component", SETUP_VALUE_SIZE, &has_component, &c->line);
    if (listed && !has_component)
        run.Warn(0, "[CEAppManager] Component is missing: it reads as NO, so no CAB file is found");
    if (!has_component) return;
    std::string full = d.Get("CEAppManager", "Component", 1 << 20);
    if (listed && full.size() > SETUP_LONGEST_LISTED(SETUP_VALUE_SIZE))
        run.Error(c->line, "Component is " + std::to_string(full.size()) +
                               " characters long: the setup program takes at most " +
                               std::to_string(SETUP_LONGEST_LISTED(SETUP_VALUE_SIZE)) +
                               " in a listed INI and hands over nothing of a longer one");
    const std::string &comp = c->name;
    bool found;
    int line;
    std::string cabs = d.Get(comp, "CabFiles", SETUP_CABFILES_SIZE, &found, &line);
    if (!found) {
        run.Warn(c->line, "[" + comp + "] CabFiles is missing: it reads as NO and no CAB file is installed");
        return;
    }
    full = d.Get(comp, "CabFiles", 1 << 20);
    if (!listed && full.size() > SETUP_CABFILES_SIZE - 1)
        run.Warn(line, "CabFiles is " + std::to_string(full.size()) +
                           " characters long and will be cut to " +
                           std::to_string(SETUP_CABFILES_SIZE - 1));
    if (listed && full.size() > SETUP_LONGEST_LISTED(SETUP_CABFILES_SIZE)) {
        run.Error(line, "CabFiles is " + std::to_string(full.size()) +
                            " characters long: the setup program takes at most " +
                            std::to_string(SETUP_LONGEST_LISTED(SETUP_CABFILES_SIZE)) +
                            " in a listed INI and hands over nothing of a longer list");
        cabs = full;
    }
    if (!cabs.empty() && cabs.back() == ',')
        run.Warn(line, "CabFiles ends in a comma: the last item is handled twice");
    std::vector<std::string> items = SplitCabFiles(cabs);
    if (!cabs.empty() && cabs.back() == ',') items.pop_back();
    std::vector<std::pair<std::string, std::string>> present;  // name, bytes
    std::set<std::string> seen;
    for (const std::string &item : items) {
        if (item.empty()) {
            run.Warn(line, "CabFiles has an empty item (two commas in a row, or an empty value)");
            continue;
        }
        run.CheckBytes(item, line);
        if (item[0] == ' ' || item.back() == ' ') {
            run.Warn(line, "CabFiles item '" + item +
                               "' has a blank around it: items are not trimmed, so it names no file");
            continue;
        }
        std::string bytes;
        if (!IsPlainMemberName(item.c_str()) || !run.ReadMember(item, &bytes)) {
            run.Warn(line, NoFile("CabFiles item", item));
            continue;
        }
        run.AddMember(item, line);
        if (seen.insert(vq::LowerAscii(item)).second) {
            present.push_back({item, bytes});
            c->needs.push_back({item, bytes, run.file, line});
        }
    }
    std::vector<LintMessage> ce;
    LintCeCabinets(present, line, &ce);
    run.Add(ce);
}

// Setup.ini's AlsoInstall: each item walked by the CabFiles rule names an
// INI beside the descriptor, which becomes a member and is checked as a
// component of its own (LintComponent, its messages under its own path).
// The list itself: no longer than the setup program takes, no empty item,
// no blank around an item, no trailing comma, no item twice, not Setup.ini,
// each a file.
void LintAlsoInstall(LintRun &run, const Descriptor &d, std::vector<Component> *components) {
    bool found;
    int line;
    std::string list = d.Get(SETUP_SECTION, "AlsoInstall", 1 << 20, &found, &line);
    if (!found) return;
    if (list.size() > SETUP_LONGEST_LISTED(SETUP_ALSOINSTALL_SIZE))
        run.Error(line, "AlsoInstall is " + std::to_string(list.size()) +
                            " characters long: the setup program takes at most " +
                            std::to_string(SETUP_LONGEST_LISTED(SETUP_ALSOINSTALL_SIZE)) +
                            " and hands over no component of a longer list");
    if (!list.empty() && list.back() == ',')
        run.Warn(line, "AlsoInstall ends in a comma: the last INI is listed twice");
    std::vector<std::string> items = SplitCabFiles(list);
    if (!list.empty() && list.back() == ',') items.pop_back();
    std::set<std::string> listed = {vq::LowerAscii(SETUP_FILE)};
    for (const std::string &ini : items) {
        if (ini.empty()) {
            run.Warn(line, "AlsoInstall has an empty item (two commas in a row, or an empty value)");
            continue;
        }
        run.CheckBytes(ini, line);
        if (ini[0] == ' ' || ini.back() == ' ') {
            run.Warn(line, "AlsoInstall item '" + ini +
                               "' has a blank around it: items are not trimmed, so it names no file");
            continue;
        }
        if (!listed.insert(vq::LowerAscii(ini)).second) {
            run.Warn(line, vq::LowerAscii(ini) == vq::LowerAscii(SETUP_FILE)
                               ? "AlsoInstall lists '" + ini + "': Setup.ini is the first component already"
                               : "AlsoInstall lists '" + ini + "' twice: its component is handed over once");
            continue;
        }
        std::string text;
        if (!IsPlainMemberName(ini.c_str()) || !run.ReadMember(ini, &text)) {
            run.Warn(line, NoFile("AlsoInstall item", ini) +
                               ": the setup program skips it and the Application Manager never "
                               "gets that component");
            continue;
        }
        run.AddMember(ini, line);
        Component c;
        c.ini = ini;
        c.file = run.dir() == "." ? ini : run.dir() + "/" + ini;
        run.file = c.file;
        if (HasByteOrderMark(text)) run.Warn(1, kByteOrderMark);
        Descriptor listed_ini;
        listed_ini.Parse(text);
        LintComponent(run, listed_ini, true, &c);
        c.needs.push_back({ini, text, "", line});
        components->push_back(c);
        run.file.clear();
    }
}

// The checks across components: two INIs that name one component section
// (the Application Manager tells components apart by it), a member name
// that two components need with different content (the installer holds one
// file of that name, so one of them gets the other's), and a file a
// component needs that the wizard deletes once it has shown it.
void LintAcrossComponents(LintRun &run, const std::vector<Component> &components,
                          const std::map<std::string, std::string> &shown) {
    std::map<std::string, const Component *> names;
    std::map<std::string, std::pair<const Need *, const Component *>> needed;
    for (const Component &c : components) {
        if (c.line) {
            auto n = names.emplace(vq::LowerAscii(c.name), &c);
            if (!n.second) {
                run.file = c.file;
                run.Warn(c.line, "Component '" + Shown(c.name) + "' is also the component of " +
                                     n.first->second->ini +
                                     ": the Application Manager takes them for one component");
            }
        }
        for (const Need &need : c.needs) {
            run.file = need.file;
            std::string lower = vq::LowerAscii(need.name);
            auto s = shown.find(lower);
            if (s != shown.end())
                run.Warn(need.line, "'" + Shown(need.name) + "' is also the " + s->second +
                                        ", which the setup program deletes once it is shown: "
                                        "component '" + Shown(c.name) + "' of " + c.ini +
                                        " never gets it");
            auto n = needed.emplace(lower, std::make_pair(&need, &c));
            if (!n.second && n.first->second.second != &c &&
                n.first->second.first->bytes != need.bytes)
                run.Warn(need.line, "'" + Shown(need.name) + "' is needed by component '" +
                                        Shown(n.first->second.second->name) + "' of " +
                                        n.first->second.second->ini + " and by component '" +
                                        Shown(c.name) + "' of " + c.ini +
                                        " with different content: the installer holds one file "
                                        "of that name, so one of them gets the other's");
        }
    }
    run.file.clear();
}

}  // namespace

void Descriptor::Parse(const std::string &text) {
    entries_.clear();
    std::string section;
    bool in_section = false;
    int line_no = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = Trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        line_no++;
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            section = vq::LowerAscii(Trim(line.substr(1, close == std::string::npos
                                                    ? std::string::npos
                                                    : close - 1)));
            in_section = true;
            continue;
        }
        if (!in_section) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        Entry e;
        e.section = section;
        e.key = vq::LowerAscii(Trim(line.substr(0, eq)));
        e.value = Trim(line.substr(eq + 1));
        // A value in matching double quotes loses them.
        if (e.value.size() >= 2 && e.value.front() == '"' && e.value.back() == '"')
            e.value = e.value.substr(1, e.value.size() - 2);
        e.line = line_no;
        entries_.push_back(e);
    }
}

std::string Descriptor::Get(const std::string &section, const std::string &key, size_t size,
                            bool *found, int *line) const {
    std::string s = vq::LowerAscii(section), k = vq::LowerAscii(key);
    for (const Entry &e : entries_) {
        if (e.section == s && e.key == k) {
            if (found) *found = true;
            if (line) *line = e.line;
            return e.value.substr(0, size - 1);
        }
    }
    if (found) *found = false;
    if (line) *line = 0;
    return "NO";
}

std::vector<std::string> SplitCabFiles(const std::string &value) {
    std::vector<std::string> items;
    // The walker cuts its list at the commas; a NUL inside the value ends
    // it, as it ends the setup program's buffer.
    std::vector<char> list(value.begin(), value.end());
    list.push_back('\0');
    WalkCabItems(list.data(),
                 [](const char *item, void *context) {
                     ((std::vector<std::string> *)context)->push_back(item);
                 },
                 &items);
    return items;
}

std::string FormatLintMessage(const std::string &path, const LintMessage &m) {
    std::string where = m.file.empty() ? path : m.file;
    if (m.line) where += ":" + std::to_string(m.line);
    return where + (m.error ? ": error: " : ": warning: ") + m.text;
}

void LintDescriptor(const std::string &text, const std::string &dir,
                    std::vector<PackMember> *members, LintReport *report) {
    Descriptor d;
    d.Parse(text);
    LintRun run(dir, members, report);
    if (HasByteOrderMark(text)) run.Warn(1, kByteOrderMark);
    auto warn = [&](int line, const std::string &t) { run.Warn(line, t); };
    auto add_member = [&](const std::string &name, int line) { run.AddMember(name, line); };
    auto read_member = [&](const std::string &name, std::string *bytes) {
        return run.ReadMember(name, bytes);
    };

    add_member("Setup.ini", 0);

    struct Key {
        const char *section, *key;
        size_t size;
        const char *effect;
    };
    const Key keys[] = {
        {SETUP_SECTION, "ProductName", SETUP_VALUE_SIZE, "the title and welcome texts show NO"},
        {SETUP_SECTION, "ProductVersion", SETUP_VALUE_SIZE, "the title and welcome texts show NO"},
        {SETUP_SECTION, "LicenseFile", SETUP_VALUE_SIZE, "no license is shown"},
        {SETUP_SECTION, "BodyBitmap", SETUP_BODY_BITMAP_SIZE, "the welcome page has no picture"},
        {SETUP_SECTION, "HeadBitmap", SETUP_VALUE_SIZE, "the license page has no picture"},
        {SETUP_SECTION, "InstallDirectory", SETUP_VALUE_SIZE, "the files go to a folder named NO"},
        {"CEAppManager", "Component", SETUP_VALUE_SIZE, "no CAB file is found"},
    };
    std::map<std::string, std::string> v;
    std::map<std::string, int> at;
    for (const Key &k : keys) {
        bool found;
        int line;
        v[k.key] = d.Get(k.section, k.key, k.size, &found, &line);
        at[k.key] = line;
        if (!found) {
            warn(0, std::string("[") + k.section + "] " + k.key + " is missing: it reads as NO, so " +
                        k.effect);
            continue;
        }
        std::string full = d.Get(k.section, k.key, 1 << 20);
        if (full.size() > k.size - 1)
            warn(line, std::string(k.key) + " is " + std::to_string(full.size()) +
                           " characters long and will be cut to " + std::to_string(k.size - 1));
    }

    const std::string &name = v["ProductName"], &version = v["ProductVersion"];
    // The title and the welcome body each take name and version through
    // two "%s"; what else the format holds is fixed text.
    const size_t title_fixed = sizeof WIZARD_TITLE_FORMAT - 1 - 4;
    const size_t body_fixed = sizeof WELCOME_BODY_FORMAT - 1 - 4;
    const size_t title_max = WIZARD_TITLE_SIZE - 1;
    const size_t body_max = WELCOME_TEXT_SIZE - 1;
    if (name.size() + version.size() + title_fixed > title_max)
        warn(at["ProductName"], "the title \"" + name + " " + version +
                                    " for Windows CE Setup\" is longer than " +
                                    std::to_string(title_max) + " characters and will be cut");
    if (name.size() + version.size() + body_fixed > body_max)
        warn(at["ProductName"], "the welcome text will be cut: name and version together "
                                "must stay within " +
                                    std::to_string(body_max - body_fixed) + " characters");

    // Display members (the wizard deletes each once it has shown it), by
    // their names without case: what each one is.
    std::map<std::string, std::string> shown;
    bool has_license;
    d.Get(SETUP_SECTION, "LicenseFile", SETUP_VALUE_SIZE, &has_license);
    if (has_license) {
        const std::string &lic = v["LicenseFile"];
        std::string bytes;
        if (!IsPlainMemberName(lic.c_str()) || !read_member(lic, &bytes)) {
            warn(at["LicenseFile"], NoFile("LicenseFile", lic));
        } else {
            if (!EndsWithRtf(lic) && bytes.compare(0, 5, "{\\rtf") == 0)
                warn(at["LicenseFile"], "'" + lic + "' holds rich text but its name does not end in "
                                        "\"rtf\": it will show as plain text with its control words");
            add_member(lic, at["LicenseFile"]);
            shown.emplace(vq::LowerAscii(lic), "LicenseFile");
        }
    }

    struct Pic {
        const char *key;
        long max_w, max_h;
        bool exact_h;
    };
    const Pic pics[] = {
        {"BodyBitmap", BODY_BITMAP_MAX_WIDTH, BODY_BITMAP_MAX_HEIGHT, false},
        {"HeadBitmap", HEAD_BITMAP_MAX_WIDTH, HEAD_BITMAP_HEIGHT, true}};
    for (const Pic &p : pics) {
        bool found;
        d.Get(SETUP_SECTION, p.key, SETUP_VALUE_SIZE, &found);
        if (!found) continue;
        const std::string &file = v[p.key];
        std::string bytes;
        long w = 0, h = 0;
        if (!IsPlainMemberName(file.c_str()) || !read_member(file, &bytes)) {
            warn(at[p.key], NoFile(p.key, file));
            continue;
        }
        if (!BitmapSize(bytes, &w, &h)) {
            warn(at[p.key], "'" + file + "' is not a bitmap that Windows can load: no picture will show");
        } else if (w > p.max_w || h > p.max_h) {
            warn(at[p.key], "'" + file + "' is " + std::to_string(w) + " x " + std::to_string(h) +
                                " pixels and will be cropped to " + std::to_string(std::min(w, p.max_w)) +
                                " x " + std::to_string(p.exact_h ? p.max_h : std::min(h, p.max_h)));
        }
        add_member(file, at[p.key]);
        shown.emplace(vq::LowerAscii(file), p.key);
    }

    const std::string &inst = v["InstallDirectory"];
    if (at["InstallDirectory"] && HasFolderPart(inst))
        warn(at["InstallDirectory"], "InstallDirectory '" + inst +
                                         "' has a folder part: every folder but the last must already "
                                         "exist beside the Application Manager");

    // The components: Setup.ini's, then each one AlsoInstall lists, each
    // checked alone and then all of them together.
    std::vector<Component> components(1);
    components[0].ini = SETUP_FILE;
    LintComponent(run, d, false, &components[0]);
    components[0].needs.push_back({SETUP_FILE, text, "", 0});
    LintAlsoInstall(run, d, &components);
    LintAcrossComponents(run, components, shown);
}

bool LintDescriptorFile(const std::string &path, LintReport *report) {
    return CollectFromDescriptor(path, nullptr, report);
}

bool CollectFromDescriptor(const std::string &path, std::vector<PackMember> *members,
                           LintReport *report) {
    std::string text, err;
    if (!vq::LoadFile(path, &text, &err)) {
        report->fatal = err;
        return false;
    }
    size_t slash = path.find_last_of(VQ_PATH_SEPARATORS);
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::vector<PackMember> found;
    LintDescriptor(text, dir, &found, report);
    if (members) {
        // The descriptor goes in under its own path, named Setup.ini.
        found[0].path = path;
        members->insert(members->end(), found.begin(), found.end());
    }
    return true;
}
