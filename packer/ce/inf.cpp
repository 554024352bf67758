#include "ce/inf.h"

#include <map>
#include <set>

#include "ce/codepage.h"
#include "host_file.h"

namespace {

const size_t kMaxValue = 64 * 1024;  // longest text substitution may make

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) b++;
    while (e > b && IsBlank(s[e - 1])) e--;
    return s.substr(b, e - b);
}

bool IsStringSection(const std::string &name) {
    std::string n = vq::LowerAscii(name);
    return n == "strings" || n == "cestrings";
}

// An entry line split into its key and fields, not yet substituted.
// Blanks around a field go; blanks inside quotes stay. `whole_value`: the
// value is one field (the string sections).
void SplitEntry(const std::string &s, bool whole_value, InfLine *out) {
    std::string cur;
    size_t keep = 0;  // cur is cut to this length: its end without unquoted blanks
    bool quoted = false;
    auto take = [&]() {
        cur.resize(keep);
        std::string f = cur;
        cur.clear();
        keep = 0;
        return f;
    };
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (quoted) {
            if (c != '"') {
                cur += c;
            } else if (i + 1 < s.size() && s[i + 1] == '"') {
                cur += '"';
                i++;
            } else {
                quoted = false;
            }
            keep = cur.size();
        } else if (c == '"') {
            quoted = true;
            keep = cur.size();
        } else if (c == ',' && !whole_value) {
            out->fields.push_back(take());
        } else if (c == '=' && !out->has_key && out->fields.empty()) {
            out->has_key = true;
            out->key = take();
        } else if (IsBlank(c)) {
            if (!cur.empty()) cur += c;
        } else {
            cur += c;
            keep = cur.size();
        }
    }
    out->fields.push_back(take());
}

// %name% substitution over the string sections' raw values.
class Substituter {
public:
    Substituter(const Inf &inf, const std::vector<InfSection> &sections) : inf_(inf) {
        // [CEStrings] before [Strings]; in each, the first definition wins.
        for (const char *which : {"cestrings", "strings"})
            for (const InfSection &s : sections)
                if (vq::LowerAscii(s.name) == which)
                    for (const InfLine &l : s.lines)
                        if (l.has_key) raw_.insert({vq::LowerAscii(l.key), &l});
    }

    // `in` is a copy: *out may be the string it came from.
    bool Apply(std::string in, int line, std::string *out, std::string *error) {
        out->clear();
        for (size_t i = 0; i < in.size(); i++) {
            if (in[i] != '%') {
                *out += in[i];
                continue;
            }
            size_t end = in.find('%', i + 1);
            if (end == std::string::npos) {
                *error = inf_.Where(line) + "a lone '%' in '" + in +
                         "' (write %% for a percent sign)";
                return false;
            }
            std::string name = in.substr(i + 1, end - i - 1);
            i = end;
            std::string macro = Macro(name), value;
            if (name.empty()) {
                *out += '%';
            } else if (!macro.empty()) {
                *out += macro;
            } else if (!Resolve(name, line, &value, error)) {
                return false;
            } else {
                *out += value;
            }
            if (out->size() > kMaxValue) {
                *error = inf_.Where(line) + "substituting %strings% makes a value longer than "
                         "64 KiB";
                return false;
            }
        }
        return true;
    }

private:
    // The device's folder macros in their script spelling, or "".
    static std::string Macro(const std::string &name) {
        std::string n = vq::LowerAscii(name);
        if (n == "installdir") return "%InstallDir%";
        if (n.size() < 3 || n.size() > 4 || n.compare(0, 2, "ce") != 0) return "";
        if (n.find_first_not_of("0123456789", 2) != std::string::npos) return "";
        int k = std::stoi(n.substr(2));
        return k >= 1 && k <= 17 ? "%CE" + std::to_string(k) + "%" : "";
    }

    bool Resolve(const std::string &name, int line, std::string *value, std::string *error) {
        std::string key = vq::LowerAscii(name);
        auto d = done_.find(key);
        if (d != done_.end()) {
            *value = d->second;
            return true;
        }
        auto r = raw_.find(key);
        if (r == raw_.end()) {
            *error = inf_.Where(line) + "%" + name + "% is not defined in [Strings] or [CEStrings]";
            return false;
        }
        if (!active_.insert(key).second) {
            *error = inf_.Where(r->second->line) + "%" + name + "% is defined through itself";
            return false;
        }
        bool ok = Apply(r->second->Field(0), r->second->line, value, error);
        active_.erase(key);
        if (ok) done_[key] = *value;
        return ok;
    }

    const Inf &inf_;
    std::map<std::string, const InfLine *> raw_;
    std::map<std::string, std::string> done_;
    std::set<std::string> active_;
};

}  // namespace

const std::string &InfLine::Field(size_t i) const {
    static const std::string kEmpty;
    return i < fields.size() ? fields[i] : kEmpty;
}

const InfLine *InfSection::Find(const std::string &key) const {
    std::string k = vq::LowerAscii(key);
    for (const InfLine &l : lines)
        if (l.has_key && vq::LowerAscii(l.key) == k) return &l;
    return nullptr;
}

const InfSection *Inf::Section(const std::string &name) const {
    std::string n = vq::LowerAscii(name);
    for (const InfSection &s : sections_)
        if (vq::LowerAscii(s.name) == n) return &s;
    return nullptr;
}

std::string Inf::Where(int line) const { return file_ + ":" + std::to_string(line) + ": "; }

bool Inf::Decode(const std::string &bytes, std::string *text, std::string *error) {
    const uint8_t *b = (const uint8_t *)bytes.data();
    size_t n = bytes.size();
    unicode_ = true;
    if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        *text = Utf16ToUtf8(b + 2, n - 2, b[0] == 0xFE);
    } else if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        *text = bytes.substr(3);
        if (!IsUtf8(*text)) {
            *error = file_ + ": starts with a UTF-8 byte-order mark, but the text is not UTF-8";
            return false;
        }
    } else {
        unicode_ = false;
        *text = bytes;
    }
    // Some editors end the file with a NUL.
    while (!text->empty() && text->back() == '\0') text->pop_back();
    size_t nul = text->find('\0');
    if (nul != std::string::npos) {
        int line = 1;
        for (size_t i = 0; i < nul; i++) line += (*text)[i] == '\n';
        *error = Where(line) + "holds a NUL byte" +
                 (unicode_ ? std::string() : ": UTF-16 text without a byte-order mark? Save it "
                                             "with one, or as UTF-8 or ANSI");
        return false;
    }
    if (!unicode_ && HasNonAscii(*text) && IsUtf8(*text))
        warnings_.push_back({0, "the text looks like UTF-8 but has no byte-order mark: it is read as "
                                "ANSI text in the devices' code page, byte for byte (save it with "
                                "a UTF-8 byte-order mark to have it converted)"});
    return true;
}

bool Inf::Parse(const std::string &input, const std::string &file, std::string *error) {
    file_ = file;
    sections_.clear();
    warnings_.clear();
    std::string text;
    if (!Decode(input, &text, error)) return false;

    InfSection *cur = nullptr;
    std::string logical;  // a line and its continuations
    int first = 0, number = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string phys = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        number++;
        if (logical.empty()) first = number;

        // Cut the comment: a ';' outside quotes.
        bool quoted = false;
        size_t end = 0;
        for (; end < phys.size(); end++) {
            if (phys[end] == '"') quoted = !quoted;
            else if (phys[end] == ';' && !quoted) break;
        }
        if (quoted) {
            *error = Where(number) + "a quoted field is not closed on its line";
            return false;
        }
        std::string part = phys.substr(0, end);
        while (!part.empty() && IsBlank(part.back())) part.pop_back();
        if (!logical.empty()) part = Trim(part);  // a continuation: its indent goes
        if (!part.empty() && part.back() == '\\' && at < text.size()) {
            part.pop_back();
            logical += part;
            continue;
        }
        logical += part;
        std::string line = Trim(logical);
        logical.clear();
        if (line.empty()) continue;

        if (line[0] == '[') {
            // The name may be quoted (and then hold ']' or ',').
            size_t close = 1;
            for (bool q = false; close < line.size() && (q || line[close] != ']'); close++)
                if (line[close] == '"') q = !q;
            if (close == line.size()) close = std::string::npos;
            std::string name;
            if (close != std::string::npos) {
                InfLine header;
                SplitEntry(line.substr(1, close - 1), true, &header);
                name = header.has_key ? header.key + "=" + header.Field(0) : header.Field(0);
            }
            if (close == std::string::npos || name.empty()) {
                *error = Where(first) + (close == std::string::npos
                                             ? "a section header without ']'"
                                             : "a section header without a name");
                return false;
            }
            // Sections of one name are one section, as Windows reads them.
            cur = nullptr;
            for (InfSection &s : sections_)
                if (vq::LowerAscii(s.name) == vq::LowerAscii(name)) cur = &s;
            if (!cur) {
                sections_.push_back(InfSection());
                cur = &sections_.back();
                cur->name = name;
                cur->line = first;
            }
            continue;
        }
        if (!cur) {
            *error = Where(first) + "a line before the first [section]";
            return false;
        }
        InfLine entry;
        entry.line = first;
        SplitEntry(line, IsStringSection(cur->name), &entry);
        cur->lines.push_back(entry);
    }

    // Substitute once every string is known: [Strings] usually comes last.
    // Keys of the string sections stay as written: they are the names.
    Substituter subst(*this, sections_);
    std::vector<InfSection> done = sections_;
    for (InfSection &s : done) {
        bool strings = IsStringSection(s.name);
        for (InfLine &l : s.lines) {
            if (l.has_key && !strings && !subst.Apply(l.key, l.line, &l.key, error))
                return false;
            for (std::string &f : l.fields)
                if (!subst.Apply(f, l.line, &f, error)) return false;
        }
    }
    sections_.swap(done);
    return true;
}
