// The binary install script's codec. Two steps each way: the model and the
// script's own layout (a string table and entries that refer to it by id)
// are mapped onto each other by LayOut and Interpret; the layout and the
// bytes by EncodeLayout and DecodeLayout, which walk one description of the
// layout written down once in the tables below (the fixed header's numbers
// and texts by offset, each section's entry as a list of fields), so what
// the writer puts at an offset is what the reader takes from it.
#include "ce/ce_script.h"

#include <cstring>
#include <map>

#include "ce/codepage.h"

namespace {

// ---- the layout -------------------------------------------------------------

struct LString {
    uint16_t id = 0;
    std::string text;  // without its NUL and padding
};
struct LDir {
    uint16_t id = 0;
    std::vector<uint16_t> parts;
};
struct LFile {
    uint16_t number = 0, dir_id = 0;
    uint16_t member = 0;  // the member that holds the bytes (see DecodeCeScript)
    uint32_t flags = 0;
    std::string name;
};
struct LHive {
    uint16_t id = 0, root = 0, unknown = 0;
    std::vector<uint16_t> parts;
};
struct LValue {
    uint16_t id = 0, hive_id = 0, substitute = 0;
    uint32_t type_flags = 0;
    std::string name, data;
};
struct LLink {
    uint16_t id = 0;
    uint16_t dir_id = 0;     // the folder it is made in, when that is a path
    uint16_t ce_folder = 0;  // n when that folder is %CEn% alone
    uint16_t target = 0;     // a file's number, or a dir id (0: the install folder)
    uint16_t type = 0;       // 1: to a file, 0: to a folder
    std::vector<uint16_t> parts;  // the shortcut's name
};
struct Layout {
    std::string app_name, provider;
    uint32_t processor = 0;
    uint32_t version_min_major = 0, version_min_minor = 0;
    uint32_t version_max_major = 0, version_max_minor = 0;
    uint32_t build_min = 0, build_max = 0;
    std::vector<std::string> unsupported;
    std::vector<LString> strings;
    std::vector<LDir> dirs;
    std::vector<LFile> files;
    std::vector<LHive> hives;
    std::vector<LValue> values;
    std::vector<LLink> links;
};

enum : uint32_t {
    kHeaderSize = 100,
    kLengthAt = 8,       // u32: the whole script's length
    kCountsAt = 48,      // u16 per section: entries
    kOffsetsAt = 60,     // u32 per section: where its entries start
    kUnsupportedAt = 92  // u16 offset, u16 length of the platform list
};
constexpr uint16_t kInstallDirString = 1;

// Header words that hold no field of the model: written as the devices'
// installers expect them, not checked when read.
const struct {
    uint32_t at, size, value;
} kFixed[] = {{4, 4, 0}, {12, 4, 0}, {16, 4, 1}, {96, 2, 0}, {98, 2, 0}};

const struct {
    uint32_t at;
    uint32_t Layout::*field;
} kNumbers[] = {
    {20, &Layout::processor},
    {24, &Layout::version_min_major},
    {28, &Layout::version_min_minor},
    {32, &Layout::version_max_major},
    {36, &Layout::version_max_minor},
    {40, &Layout::build_min},
    {44, &Layout::build_max},
};

// Texts placed by the header: u16 offset, u16 length with the NUL.
const struct {
    uint32_t at;
    std::string Layout::*field;
    const char *name;
} kTexts[] = {
    {84, &Layout::app_name, "app name"},
    {88, &Layout::provider, "provider"},
};

// How a field of a section entry is stored.
enum class Kind {
    kU16,
    kU32,
    kText,     // u16 length with the NUL and padding, the text, NULs to a multiple of 4
    kIds,      // u16 length in bytes, 16-bit ids, a 0
    kOpenIds,  // u16 length in bytes, 16-bit ids (a final 0 accepted when read)
    kRegData,  // u16 length, the value name and its NUL, then the data
};

template <class T>
struct Field {
    Kind kind;
    uint16_t T::*u16;
    uint32_t T::*u32;
    std::string T::*text;  // kText; kRegData: the value name
    std::string T::*data;  // kRegData
    std::vector<uint16_t> T::*ids;
};

template <class T>
constexpr Field<T> U16(uint16_t T::*f) { return {Kind::kU16, f, nullptr, nullptr, nullptr, nullptr}; }
template <class T>
constexpr Field<T> U32(uint32_t T::*f) { return {Kind::kU32, nullptr, f, nullptr, nullptr, nullptr}; }
template <class T>
constexpr Field<T> Text(std::string T::*f) { return {Kind::kText, nullptr, nullptr, f, nullptr, nullptr}; }
template <class T>
constexpr Field<T> Ids(std::vector<uint16_t> T::*f, Kind kind = Kind::kIds) {
    return {kind, nullptr, nullptr, nullptr, nullptr, f};
}
template <class T>
constexpr Field<T> RegData(std::string T::*name, std::string T::*data) {
    return {Kind::kRegData, nullptr, nullptr, name, data, nullptr};
}

const Field<LString> kStringFields[] = {U16(&LString::id), Text(&LString::text)};
const Field<LDir> kDirFields[] = {U16(&LDir::id), Ids(&LDir::parts)};
const Field<LFile> kFileFields[] = {U16(&LFile::number), U16(&LFile::dir_id),
                                    U16(&LFile::member), U32(&LFile::flags), Text(&LFile::name)};
const Field<LHive> kHiveFields[] = {U16(&LHive::id), U16(&LHive::root), U16(&LHive::unknown),
                                    Ids(&LHive::parts)};
const Field<LValue> kValueFields[] = {U16(&LValue::id), U16(&LValue::hive_id),
                                      U16(&LValue::substitute), U32(&LValue::type_flags),
                                      RegData(&LValue::name, &LValue::data)};
const Field<LLink> kLinkFields[] = {U16(&LLink::id),     U16(&LLink::dir_id),
                                    U16(&LLink::ce_folder), U16(&LLink::target),
                                    U16(&LLink::type),   Ids(&LLink::parts, Kind::kOpenIds)};

template <class T, size_t N>
struct Section {
    const char *name;
    std::vector<T> Layout::*list;
    const Field<T> (&fields)[N];
};
template <class T, size_t N>
Section<T, N> MakeSection(const char *name, std::vector<T> Layout::*list,
                          const Field<T> (&fields)[N]) {
    return {name, list, fields};
}

// Calls f(index, section) for the six sections in their header order.
template <class F>
bool ForEachSection(F &&f) {
    return f(0, MakeSection("strings", &Layout::strings, kStringFields)) &&
           f(1, MakeSection("dirs", &Layout::dirs, kDirFields)) &&
           f(2, MakeSection("files", &Layout::files, kFileFields)) &&
           f(3, MakeSection("hives", &Layout::hives, kHiveFields)) &&
           f(4, MakeSection("registry values", &Layout::values, kValueFields)) &&
           f(5, MakeSection("links", &Layout::links, kLinkFields));
}

// ---- writing ------------------------------------------------------------------

struct Writer {
    std::vector<uint8_t> *out;
    std::string *error;

    void Put(uint32_t v, uint32_t size) {
        for (uint32_t i = 0; i < size; i++) out->push_back((uint8_t)(v >> (8 * i)));
    }
    void Set(uint32_t at, uint32_t v, uint32_t size) {
        for (uint32_t i = 0; i < size; i++) (*out)[at + i] = (uint8_t)(v >> (8 * i));
    }
    bool Fail(const std::string &what) {
        *error = what;
        return false;
    }
    bool Fits16(size_t v, const std::string &what) {
        return v <= 0xFFFF || Fail(what + " is " + std::to_string(v) + ", more than 65535");
    }
    bool NoNul(const std::string &s, const std::string &what) {
        return s.find('\0') == std::string::npos || Fail(what + " holds a NUL");
    }
    // The text, its NUL and NULs up to a multiple of 4 bytes; the length
    // counts them all.
    static size_t Padded(const std::string &s) { return (s.size() + 1 + 3) & ~(size_t)3; }
    void PutPadded(const std::string &s) {
        out->insert(out->end(), s.begin(), s.end());
        out->insert(out->end(), Padded(s) - s.size(), 0);
    }
    bool PutText(const std::string &s, const std::string &what) {
        if (!NoNul(s, what) || !Fits16(Padded(s), what + "'s length")) return false;
        Put((uint32_t)Padded(s), 2);
        PutPadded(s);
        return true;
    }
    bool PutIds(const std::vector<uint16_t> &ids, bool final_zero, const std::string &what) {
        if (!Fits16(2 * ids.size() + (final_zero ? 2 : 0), what + "'s id list length"))
            return false;
        for (uint16_t id : ids)
            if (id == 0) return Fail(what + " has string id 0, which ends the list");
        Put(2 * (uint32_t)ids.size() + (final_zero ? 2 : 0), 2);
        for (uint16_t id : ids) Put(id, 2);
        if (final_zero) Put(0, 2);
        return true;
    }
    template <class T, size_t N>
    bool PutEntry(const T &e, const Field<T> (&fields)[N], const std::string &what) {
        for (const Field<T> &f : fields) {
            bool ok = true;
            switch (f.kind) {
            case Kind::kU16: Put(e.*f.u16, 2); break;
            case Kind::kU32: Put(e.*f.u32, 4); break;
            case Kind::kText: ok = PutText(e.*f.text, what); break;
            case Kind::kIds: ok = PutIds(e.*f.ids, true, what); break;
            case Kind::kOpenIds: ok = PutIds(e.*f.ids, false, what); break;
            case Kind::kRegData: {
                const std::string &name = e.*f.text, &data = e.*f.data;
                ok = NoNul(name, what + "'s name") &&
                     Fits16(name.size() + 1 + data.size(), what + "'s length");
                if (!ok) break;
                Put((uint32_t)(name.size() + 1 + data.size()), 2);
                out->insert(out->end(), name.begin(), name.end());
                out->push_back(0);
                out->insert(out->end(), data.begin(), data.end());
                break;
            }
            }
            if (!ok) return false;
        }
        return true;
    }
};

bool EncodeLayout(const Layout &script, std::vector<uint8_t> *out, std::string *error) {
    out->assign(kHeaderSize, 0);
    Writer w{out, error};
    std::memcpy(out->data(), "MSCE", 4);
    for (const auto &f : kFixed) w.Set(f.at, f.value, f.size);
    for (const auto &n : kNumbers) w.Set(n.at, script.*n.field, 4);
    // The header's texts first: their offsets are 16-bit.
    for (const auto &t : kTexts) {
        const std::string &s = script.*t.field;
        if (!w.NoNul(s, t.name) || !w.Fits16(Writer::Padded(s), std::string(t.name) + "'s length"))
            return false;
        w.Set(t.at, (uint32_t)out->size(), 2);
        w.Set(t.at + 2, (uint32_t)Writer::Padded(s), 2);
        w.PutPadded(s);
    }
    if (!script.unsupported.empty()) {
        size_t start = out->size();
        for (const std::string &p : script.unsupported) {
            if (p.empty()) return w.Fail("an unsupported platform name is empty");
            if (!w.NoNul(p, "unsupported platform '" + p + "'")) return false;
            out->insert(out->end(), p.begin(), p.end());
            out->push_back(0);
        }
        out->push_back(0);
        if (!w.Fits16(out->size() - start, "the unsupported platform list's length"))
            return false;
        w.Set(kUnsupportedAt, (uint32_t)start, 2);
        w.Set(kUnsupportedAt + 2, (uint32_t)(out->size() - start), 2);
    } else {
        // No list: its offset is where the sections start, its length 0.
        w.Set(kUnsupportedAt, (uint32_t)out->size() & 0xFFFF, 2);
    }
    if (out->size() > 0xFFFF) return w.Fail("the header's texts pass 64 KiB");

    bool ok = ForEachSection([&](uint32_t i, auto section) {
        const auto &list = script.*section.list;
        if (!w.Fits16(list.size(), std::string("the number of ") + section.name)) return false;
        w.Set(kCountsAt + 2 * i, (uint32_t)list.size(), 2);
        w.Set(kOffsetsAt + 4 * i, (uint32_t)out->size(), 4);
        for (size_t k = 0; k < list.size(); k++)
            if (!w.PutEntry(list[k], section.fields,
                            std::string(section.name) + " entry " + std::to_string(k)))
                return false;
        return true;
    });
    if (!ok) return false;
    if (out->size() > 0xFFFFFFFFu) return w.Fail("the script passes 4 GiB");
    w.Set(kLengthAt, (uint32_t)out->size(), 4);
    return true;
}

// ---- reading ------------------------------------------------------------------

struct Reader {
    const uint8_t *data;
    uint32_t size;  // the script's own length
    uint32_t at;
    std::string *error;

    bool Fail(const std::string &what) {
        *error = what;
        return false;
    }
    static uint32_t Load(const uint8_t *p, uint32_t size) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < size; i++) v |= (uint32_t)p[i] << (8 * i);
        return v;
    }
    bool Take(uint32_t n, const std::string &what) {
        if (at > size || size - at < n)
            return Fail(what + " passes the end of the script (" + std::to_string(size) +
                        " bytes)");
        return true;
    }
    bool Get(uint32_t *v, uint32_t n, const std::string &what) {
        if (!Take(n, what)) return false;
        *v = Load(data + at, n);
        at += n;
        return true;
    }
    bool Get16(uint16_t *v, const std::string &what) {
        uint32_t w;
        if (!Get(&w, 2, what)) return false;
        *v = (uint16_t)w;
        return true;
    }
    // `len` bytes that end in a NUL; the text is what comes before the
    // first (padding NULs follow it). Length 0 (no NUL either) reads as an
    // empty text.
    bool GetText(uint32_t len, std::string *s, const std::string &what) {
        s->clear();
        if (len == 0) return true;
        if (!Take(len, what)) return false;
        if (data[at + len - 1] != 0) return Fail(what + " does not end in a NUL");
        s->assign((const char *)data + at);
        at += len;
        return true;
    }
    // Ids up to the list's end or its first 0; `final_zero`: the list must
    // end in one.
    bool GetIds(std::vector<uint16_t> *ids, bool final_zero, const std::string &what) {
        uint16_t len;
        if (!Get16(&len, what + "'s id list length")) return false;
        if (len % 2 || (final_zero && len < 2))
            return Fail(what + "'s id list has " + std::to_string(len) + " bytes; it must be " +
                        (final_zero ? "whole 16-bit ids ending in 0" : "whole 16-bit ids"));
        if (!Take(len, what + "'s id list")) return false;
        if (final_zero && Load(data + at + len - 2, 2) != 0)
            return Fail(what + "'s id list does not end in 0");
        ids->clear();
        for (uint32_t i = 0; i < len; i += 2) {
            uint16_t id = (uint16_t)Load(data + at + i, 2);
            if (id == 0) break;
            ids->push_back(id);
        }
        at += len;
        return true;
    }
    template <class T, size_t N>
    bool GetEntry(T *e, const Field<T> (&fields)[N], const std::string &what) {
        for (const Field<T> &f : fields) {
            bool ok = true;
            uint32_t v = 0;
            uint16_t len = 0;
            switch (f.kind) {
            case Kind::kU16: ok = Get16(&(e->*f.u16), what); break;
            case Kind::kU32:
                ok = Get(&v, 4, what);
                e->*f.u32 = v;
                break;
            case Kind::kText:
                ok = Get16(&len, what + "'s text length") && GetText(len, &(e->*f.text), what + "'s text");
                break;
            case Kind::kIds: ok = GetIds(&(e->*f.ids), true, what); break;
            case Kind::kOpenIds: ok = GetIds(&(e->*f.ids), false, what); break;
            case Kind::kRegData: {
                ok = Get16(&len, what + "'s length") && Take(len, what + "'s name and data");
                if (!ok) break;
                const uint8_t *p = data + at;
                const void *nul = std::memchr(p, 0, len);
                if (!nul) return Fail(what + ": no NUL ends the value name");
                size_t name_len = (const uint8_t *)nul - p;
                (e->*f.text).assign((const char *)p, name_len);
                (e->*f.data).assign((const char *)p + name_len + 1, len - name_len - 1);
                at += len;
                break;
            }
            }
            if (!ok) return false;
        }
        return true;
    }
};

bool DecodeLayout(const uint8_t *data, size_t size, Layout *script, std::string *error) {
    *script = Layout();
    if (size < kHeaderSize) {
        *error = "the script has " + std::to_string(size) + " bytes, less than its " +
                 std::to_string(kHeaderSize) + "-byte header";
        return false;
    }
    if (std::memcmp(data, "MSCE", 4) != 0) {
        *error = "no \"MSCE\" signature: not a CE install script";
        return false;
    }
    uint32_t length = Reader::Load(data + kLengthAt, 4);
    if (length < kHeaderSize || length > size) {
        *error = "the header gives a length of " + std::to_string(length) + " bytes; the script has " +
                 std::to_string(size);
        return false;
    }
    Reader r{data, length, 0, error};
    for (const auto &n : kNumbers) script->*n.field = Reader::Load(data + n.at, 4);
    for (const auto &t : kTexts) {
        r.at = Reader::Load(data + t.at, 2);
        if (!r.GetText(Reader::Load(data + t.at + 2, 2), &(script->*t.field), t.name))
            return false;
    }
    uint32_t list_len = Reader::Load(data + kUnsupportedAt + 2, 2);
    if (list_len) {
        r.at = Reader::Load(data + kUnsupportedAt, 2);
        if (!r.Take(list_len, "the unsupported platform list")) return false;
        const char *p = (const char *)data + r.at, *end = p + list_len;
        if (end[-1] != 0) return r.Fail("the unsupported platform list does not end in a NUL");
        // Names up to the empty one (or the list's end).
        while (p < end && *p) {
            script->unsupported.push_back(p);
            p += script->unsupported.back().size() + 1;
        }
    }
    return ForEachSection([&](uint32_t i, auto section) {
        auto &list = script->*section.list;
        uint32_t count = Reader::Load(data + kCountsAt + 2 * i, 2);
        r.at = Reader::Load(data + kOffsetsAt + 4 * i, 4);
        // Every entry takes at least 4 bytes: a bound before the list grows.
        if (count && (r.at > length || (length - r.at) / 4 < count))
            return r.Fail(std::string("the ") + section.name + " section (" + std::to_string(count) +
                          " entries at offset " + std::to_string(r.at) +
                          ") passes the end of the script");
        list.resize(count);
        for (uint32_t k = 0; k < count; k++)
            if (!r.GetEntry(&list[k], section.fields,
                            std::string(section.name) + " entry " + std::to_string(k)))
                return false;
        return true;
    });
}

// ---- model to layout ----------------------------------------------------------

class LayOut {
public:
    LayOut(unsigned codepage, std::string *error) : cp_(codepage), error_(error) {}

    bool Run(const CeInstall &m, Layout *l) {
        l_ = l;
        *l = Layout();
        if (!Text(m.app_name, "the app name", &l->app_name) ||
            !Text(m.provider, "the provider", &l->provider))
            return false;
        l->processor = m.processor;
        l->version_min_major = m.version_min_major;
        l->version_min_minor = m.version_min_minor;
        l->version_max_major = m.version_max_major;
        l->version_max_minor = m.version_max_minor;
        l->build_min = m.build_min;
        l->build_max = m.build_max;
        for (const std::string &p : m.unsupported) {
            l->unsupported.emplace_back();
            if (!Text(p, "unsupported platform '" + p + "'", &l->unsupported.back())) return false;
        }
        // String 1 is the install folder, whole, and only that: a fixed
        // folder of the same text gets a string of its own, or the device
        // would move it with the install folder.
        if (!m.install_dir.empty()) {
            if (!StringId(m.install_dir, "the install folder", nullptr)) return false;
            ids_.clear();
        }
        return Folders(m) && Files(m) && Keys(m) && Shortcuts(m);
    }

private:
    bool Fail(const std::string &msg) {
        *error_ = msg;
        return false;
    }
    bool Text(const std::string &utf8, const std::string &what, std::string *out) {
        std::string err;
        if (!Utf8ToCodePage(utf8, cp_, out, &err)) return Fail(what + ": " + err);
        return true;
    }
    // The id of a string in the table, added when new; *id may be null.
    bool StringId(const std::string &utf8, const std::string &what, uint16_t *id) {
        auto it = ids_.find(utf8);
        if (it == ids_.end()) {
            if (l_->strings.size() >= 0xFFFF) return Fail("more than 65535 strings");
            LString s;
            s.id = (uint16_t)(l_->strings.size() + 1);
            if (!Text(utf8, what, &s.text)) return false;
            l_->strings.push_back(s);
            it = ids_.insert({utf8, s.id}).first;
        }
        if (id) *id = it->second;
        return true;
    }
    bool PathIds(const std::string &path, const std::string &what, std::vector<uint16_t> *ids) {
        for (const std::string &p : CeSplitPath(path)) {
            ids->push_back(0);
            if (!StringId(p, what, &ids->back())) return false;
        }
        return true;
    }
    bool Folders(const CeInstall &m) {
        if (m.folders.size() > 0xFFFE) return Fail("more than 65534 folders");
        for (size_t i = 0; i < m.folders.size(); i++) {
            const CeFolder &f = m.folders[i];
            LDir d;
            d.id = (uint16_t)(i + 1);
            std::string what = "folder " + CeFolderPath(m, i);
            if (f.in_install_dir) {
                if (m.install_dir.empty())
                    return Fail(what + " lies below an install folder that is not named");
                d.parts.push_back(kInstallDirString);
            }
            if (!PathIds(f.path, what, &d.parts)) return false;
            if (d.parts.empty()) return Fail("folder " + std::to_string(i) + " has no path");
            l_->dirs.push_back(d);
        }
        return true;
    }
    bool Files(const CeInstall &m) {
        for (const CeInstallFile &f : m.files) {
            if (f.folder >= m.folders.size())
                return Fail("file '" + f.name + "' is in folder " + std::to_string(f.folder) +
                            ", which the model does not hold");
            LFile e;
            e.number = f.number;
            e.dir_id = (uint16_t)(f.folder + 1);
            e.member = f.member ? f.member : f.number;
            e.flags = f.flags;
            if (!Text(f.name, "file '" + f.name + "'", &e.name)) return false;
            l_->files.push_back(e);
        }
        return true;
    }
    bool Keys(const CeInstall &m) {
        for (size_t i = 0; i < m.keys.size(); i++) {
            LHive h;
            h.id = (uint16_t)(i + 1);
            h.root = m.keys[i].root;
            if (!PathIds(m.keys[i].path, "registry key " + CeKeyText(m, i), &h.parts)) return false;
            l_->hives.push_back(h);
        }
        for (size_t i = 0; i < m.values.size(); i++) {
            const CeValue &v = m.values[i];
            if (v.key >= m.keys.size())
                return Fail("registry value " + std::to_string(i) + " is in key " +
                            std::to_string(v.key) + ", which the model does not hold");
            LValue e;
            e.id = (uint16_t)(i + 1);
            e.hive_id = (uint16_t)(v.key + 1);
            e.substitute = v.substitute ? 1 : 0;
            e.type_flags = v.type_flags;
            std::string what = "registry value " + CeKeyText(m, v.key) + " \"" + v.name + "\"";
            if (!Text(v.name, what, &e.name)) return false;
            // Only texts are converted; DWORD and BINARY data are bytes.
            uint32_t type = v.type_flags & kCeRegTypeMask;
            if (type == kCeRegSz || type == kCeRegMultiSz) {
                if (!Text(v.data, what, &e.data)) return false;
            } else {
                e.data = v.data;
            }
            l_->values.push_back(e);
        }
        return true;
    }
    bool Shortcuts(const CeInstall &m) {
        for (size_t i = 0; i < m.shortcuts.size(); i++) {
            const CeShortcut &s = m.shortcuts[i];
            std::string what = "shortcut '" + s.name + "'";
            if (s.folder >= m.folders.size() || (!s.to_file && s.target_folder >= m.folders.size()))
                return Fail(what + " refers to a folder the model does not hold");
            LLink k;
            k.id = (uint16_t)(i + 1);
            // Made in: the install folder (0, 0), a CE folder alone (0, n),
            // or any other folder by its dir id.
            const CeFolder &f = m.folders[s.folder];
            unsigned n = f.in_install_dir ? 0 : CeMacroNumber(f.path);
            if (f.in_install_dir && f.path.empty()) {
            } else if (n) {
                k.ce_folder = (uint16_t)n;
            } else {
                k.dir_id = (uint16_t)(s.folder + 1);
            }
            if (s.to_file) {
                k.type = 1;
                k.target = s.file;
            } else {
                const CeFolder &t = m.folders[s.target_folder];
                k.type = 0;
                k.target = t.in_install_dir && t.path.empty() ? 0 : (uint16_t)(s.target_folder + 1);
            }
            if (!PathIds(s.name, what, &k.parts)) return false;
            if (k.parts.empty()) return Fail(what + " has no name");
            l_->links.push_back(k);
        }
        return true;
    }

    unsigned cp_;
    std::string *error_;
    Layout *l_ = nullptr;
    std::map<std::string, uint16_t> ids_;  // UTF-8 text -> string id
};

// ---- layout to model ----------------------------------------------------------

class Interpret {
public:
    Interpret(unsigned codepage, std::string *error) : cp_(codepage), error_(error) {}

    bool Run(const Layout &l, CeInstall *m) {
        *m = CeInstall();
        m_ = m;
        m->app_name = Utf8(l.app_name);
        m->provider = Utf8(l.provider);
        m->processor = l.processor;
        m->version_min_major = l.version_min_major;
        m->version_min_minor = l.version_min_minor;
        m->version_max_major = l.version_max_major;
        m->version_max_minor = l.version_max_minor;
        m->build_min = l.build_min;
        m->build_max = l.build_max;
        for (const std::string &p : l.unsupported) m->unsupported.push_back(Utf8(p));
        for (const LString &s : l.strings) strings_[s.id] = Utf8(s.text);
        InstallDir(l);
        return Folders(l) && Files(l) && Keys(l) && Shortcuts(l);
    }

private:
    bool Fail(const std::string &msg) {
        *error_ = msg;
        return false;
    }
    std::string Utf8(const std::string &s) const { return CodePageToUtf8(s, cp_); }

    // String 1 is the install folder where a folder starts with it, or
    // where nothing else uses it; otherwise (a script that does not follow
    // that rule) no install folder is known and every folder is fixed.
    void InstallDir(const Layout &l) {
        auto first = strings_.find(kInstallDirString);
        if (first == strings_.end()) return;
        bool leads = false, used = false;
        for (const LDir &d : l.dirs) {
            if (!d.parts.empty() && d.parts[0] == kInstallDirString) leads = true;
            for (size_t i = 1; i < d.parts.size(); i++) used |= d.parts[i] == kInstallDirString;
        }
        for (const LHive &h : l.hives)
            for (uint16_t id : h.parts) used |= id == kInstallDirString;
        for (const LLink &k : l.links)
            for (uint16_t id : k.parts) used |= id == kInstallDirString;
        if (leads || !used) {
            m_->install_dir = first->second;
            install_string_ = true;
        }
    }
    bool Join(const std::vector<uint16_t> &ids, size_t from, const std::string &what,
              std::string *path) {
        path->clear();
        for (size_t i = from; i < ids.size(); i++) {
            auto s = strings_.find(ids[i]);
            if (s == strings_.end())
                return Fail(what + " names string " + std::to_string(ids[i]) +
                            ", which the script does not have");
            *path += (i > from ? "\\" : "") + s->second;
        }
        return true;
    }
    bool Folders(const Layout &l) {
        for (const LDir &d : l.dirs) {
            std::string what = "dir " + std::to_string(d.id);
            if (d.parts.empty()) return Fail(what + " has an empty path");
            CeFolder f;
            f.in_install_dir = install_string_ && d.parts[0] == kInstallDirString;
            if (!Join(d.parts, f.in_install_dir ? 1 : 0, what, &f.path)) return false;
            // A path that does not start with a macro is one from the
            // device's root.
            if (!f.in_install_dir && f.path[0] != '%' && f.path[0] != '\\') f.path = "\\" + f.path;
            // Each dir a folder of its own, as the script has them (two
            // entries of one path count as two folders, as on the device).
            m_->folders.push_back(f);
            dirs_[d.id] = m_->folders.size() - 1;
        }
        return true;
    }
    bool Folder(uint16_t dir_id, const std::string &what, size_t *index) {
        if (dir_id == 0) {
            *index = CeFolderIndex(m_, CeFolder{true, ""});
            return true;
        }
        auto d = dirs_.find(dir_id);
        if (d == dirs_.end())
            return Fail(what + " is in dir " + std::to_string(dir_id) +
                        ", which the script does not have");
        *index = d->second;
        return true;
    }
    bool Files(const Layout &l) {
        for (const LFile &e : l.files) {
            CeInstallFile f;
            f.number = e.number;
            f.member = e.member;
            f.flags = e.flags;
            f.name = Utf8(e.name);
            if (!Folder(e.dir_id, "file '" + f.name + "'", &f.folder)) return false;
            m_->files.push_back(f);
        }
        return true;
    }
    bool Keys(const Layout &l) {
        std::map<uint16_t, size_t> hives;
        for (const LHive &h : l.hives) {
            CeKey k;
            k.root = h.root;
            if (!Join(h.parts, 0, "hive " + std::to_string(h.id), &k.path)) return false;
            hives[h.id] = CeKeyIndex(m_, k);
        }
        for (const LValue &e : l.values) {
            CeValue v;
            v.name = Utf8(e.name);
            auto h = hives.find(e.hive_id);
            if (h == hives.end())
                return Fail("registry value '" + v.name + "' is in hive " +
                            std::to_string(e.hive_id) + ", which the script does not have");
            v.key = h->second;
            v.type_flags = e.type_flags;
            uint32_t type = e.type_flags & kCeRegTypeMask;
            v.data = type == kCeRegSz || type == kCeRegMultiSz ? Utf8(e.data) : e.data;
            v.substitute = e.substitute != 0;
            m_->values.push_back(v);
        }
        return true;
    }
    bool Shortcuts(const Layout &l) {
        for (const LLink &k : l.links) {
            CeShortcut s;
            std::string what = "link " + std::to_string(k.id);
            if (!Join(k.parts, 0, what, &s.name)) return false;
            if (s.name.empty()) return Fail(what + " has no name");
            what = "shortcut '" + s.name + "'";
            if (k.dir_id) {
                if (!Folder(k.dir_id, what, &s.folder)) return false;
            } else if (k.ce_folder) {
                s.folder = CeFolderIndex(m_, CeFolder{false, "%CE" + std::to_string(k.ce_folder) + "%"});
            } else {
                s.folder = CeFolderIndex(m_, CeFolder{true, ""});
            }
            s.to_file = k.type != 0;
            if (s.to_file) s.file = k.target;
            else if (!Folder(k.target, what + "'s target", &s.target_folder)) return false;
            m_->shortcuts.push_back(s);
        }
        return true;
    }

    unsigned cp_;
    std::string *error_;
    CeInstall *m_ = nullptr;
    std::map<uint16_t, std::string> strings_;
    std::map<uint16_t, size_t> dirs_;
    bool install_string_ = false;
};

}  // namespace

bool EncodeCeScript(const CeInstall &model, unsigned codepage, std::vector<uint8_t> *out,
                    std::string *error) {
    Layout l;
    return LayOut(codepage, error).Run(model, &l) && EncodeLayout(l, out, error);
}

bool DecodeCeScript(const uint8_t *data, size_t size, unsigned codepage, CeInstall *model,
                    std::string *error) {
    Layout l;
    return DecodeLayout(data, size, &l, error) && Interpret(codepage, error).Run(l, model);
}

const char *CeProcessorName(uint32_t processor) {
    // The numbers Windows CE reports as its processor type.
    static const struct {
        uint32_t number;
        const char *name;
    } kNames[] = {
        {0, "any"},           {103, "SHx SH3"},      {104, "SHx SH4"},
        {386, "Intel 386"},   {486, "Intel 486"},    {586, "Pentium"},
        {601, "PowerPC 601"}, {603, "PowerPC 603"},  {604, "PowerPC 604"},
        {620, "PowerPC 620"}, {821, "Motorola 821"}, {1824, "ARM720"},
        {2080, "ARM820"},     {2336, "ARM920"},      {2577, "StrongARM"},
        {4000, "MIPS R4000"}, {10003, "SH3"},        {10004, "SH3E"},
        {10005, "SH4"},       {21064, "Alpha 21064"}, {70001, "ARM 7TDMI"},
    };
    for (const auto &n : kNames)
        if (n.number == processor) return n.name;
    return "";
}
