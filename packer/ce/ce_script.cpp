// The CE install script's codec. The layout is written down once, in the
// tables below: the fixed header's numbers and texts by offset, and each
// section's entry as a list of fields. EncodeCeScript walks the tables to
// put bytes, DecodeCeScript walks the same tables to take them, checking
// every offset, count and length against the script's size.
#include "ce/ce_script.h"

#include <cstring>

namespace {

// ---- the layout -------------------------------------------------------------

enum : uint32_t {
    kHeaderSize = 100,
    kLengthAt = 8,       // u32: the whole script's length
    kCountsAt = 48,      // u16 per section: entries
    kOffsetsAt = 60,     // u32 per section: where its entries start
    kUnsupportedAt = 92  // u16 offset, u16 length of the platform list
};

// Header words that hold no field of the model: written as the devices'
// installers expect them, not checked when read.
const struct {
    uint32_t at, size, value;
} kFixed[] = {{4, 4, 0}, {12, 4, 0}, {16, 4, 1}, {96, 2, 0}, {98, 2, 0}};

const struct {
    uint32_t at;
    uint32_t CeScript::*field;
} kNumbers[] = {
    {20, &CeScript::processor},
    {24, &CeScript::version_min_major},
    {28, &CeScript::version_min_minor},
    {32, &CeScript::version_max_major},
    {36, &CeScript::version_max_minor},
    {40, &CeScript::build_min},
    {44, &CeScript::build_max},
};

// Texts placed by the header: u16 offset, u16 length with the NUL.
const struct {
    uint32_t at;
    std::string CeScript::*field;
    const char *name;
} kTexts[] = {
    {84, &CeScript::app_name, "app name"},
    {88, &CeScript::provider, "provider"},
};

// How a field of a section entry is stored.
enum class Kind {
    kU16,
    kU32,
    kText,     // u16 length with the NUL, the text, a NUL
    kIds,      // u16 length in bytes, 16-bit ids, a 0
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
constexpr Field<T> Ids(std::vector<uint16_t> T::*f) {
    return {Kind::kIds, nullptr, nullptr, nullptr, nullptr, f};
}
template <class T>
constexpr Field<T> RegData(std::string T::*name, std::string T::*data) {
    return {Kind::kRegData, nullptr, nullptr, name, data, nullptr};
}

const Field<CeString> kStringFields[] = {U16(&CeString::id), Text(&CeString::text)};
const Field<CeDir> kDirFields[] = {U16(&CeDir::id), Ids(&CeDir::parts)};
const Field<CeFile> kFileFields[] = {U16(&CeFile::number), U16(&CeFile::dir_id),
                                     U16(&CeFile::unknown), U32(&CeFile::flags),
                                     Text(&CeFile::name)};
const Field<CeHive> kHiveFields[] = {U16(&CeHive::id), U16(&CeHive::root),
                                     U16(&CeHive::unknown), Ids(&CeHive::parts)};
const Field<CeRegValue> kValueFields[] = {
    U16(&CeRegValue::id), U16(&CeRegValue::hive_id), U16(&CeRegValue::substitute),
    U32(&CeRegValue::type_flags), RegData(&CeRegValue::name, &CeRegValue::data)};
const Field<CeLink> kLinkFields[] = {U16(&CeLink::id), U16(&CeLink::unknown),
                                     U16(&CeLink::base_dir), U16(&CeLink::target),
                                     U16(&CeLink::type), Ids(&CeLink::parts)};

template <class T, size_t N>
struct Section {
    const char *name;
    std::vector<T> CeScript::*list;
    const Field<T> (&fields)[N];
};
template <class T, size_t N>
Section<T, N> MakeSection(const char *name, std::vector<T> CeScript::*list,
                          const Field<T> (&fields)[N]) {
    return {name, list, fields};
}

// Calls f(index, section) for the six sections in their header order.
template <class F>
bool ForEachSection(F &&f) {
    return f(0, MakeSection("strings", &CeScript::strings, kStringFields)) &&
           f(1, MakeSection("dirs", &CeScript::dirs, kDirFields)) &&
           f(2, MakeSection("files", &CeScript::files, kFileFields)) &&
           f(3, MakeSection("hives", &CeScript::hives, kHiveFields)) &&
           f(4, MakeSection("registry values", &CeScript::values, kValueFields)) &&
           f(5, MakeSection("links", &CeScript::links, kLinkFields));
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
    // A NUL-terminated text behind a u16 length.
    bool PutText(const std::string &s, const std::string &what) {
        if (!NoNul(s, what) || !Fits16(s.size() + 1, what + "'s length")) return false;
        Put((uint32_t)s.size() + 1, 2);
        out->insert(out->end(), s.begin(), s.end());
        out->push_back(0);
        return true;
    }
    bool PutIds(const std::vector<uint16_t> &ids, const std::string &what) {
        if (!Fits16(2 * ids.size() + 2, what + "'s id list length")) return false;
        for (uint16_t id : ids)
            if (id == 0) return Fail(what + " has string id 0, which ends the list");
        Put(2 * (uint32_t)ids.size() + 2, 2);
        for (uint16_t id : ids) Put(id, 2);
        Put(0, 2);
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
            case Kind::kIds: ok = PutIds(e.*f.ids, what); break;
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
    // first. Length 0 (no NUL either) reads as an empty text.
    bool GetText(uint32_t len, std::string *s, const std::string &what) {
        s->clear();
        if (len == 0) return true;
        if (!Take(len, what)) return false;
        if (data[at + len - 1] != 0) return Fail(what + " does not end in a NUL");
        s->assign((const char *)data + at);
        at += len;
        return true;
    }
    bool GetIds(std::vector<uint16_t> *ids, const std::string &what) {
        uint16_t len;
        if (!Get16(&len, what + "'s id list length")) return false;
        if (len < 2 || len % 2) return Fail(what + "'s id list has " + std::to_string(len) +
                                            " bytes; it must be whole 16-bit ids ending in 0");
        if (!Take(len, what + "'s id list")) return false;
        if (Load(data + at + len - 2, 2) != 0) return Fail(what + "'s id list does not end in 0");
        ids->clear();
        for (uint32_t i = 0; i + 2 < len; i += 2) {
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
            case Kind::kIds: ok = GetIds(&(e->*f.ids), what); break;
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

}  // namespace

bool EncodeCeScript(const CeScript &script, std::vector<uint8_t> *out, std::string *error) {
    out->assign(kHeaderSize, 0);
    Writer w{out, error};
    std::memcpy(out->data(), "MSCE", 4);
    for (const auto &f : kFixed) w.Set(f.at, f.value, f.size);
    for (const auto &n : kNumbers) w.Set(n.at, script.*n.field, 4);
    // The header's texts first: their offsets are 16-bit.
    for (const auto &t : kTexts) {
        const std::string &s = script.*t.field;
        if (!w.NoNul(s, t.name) || !w.Fits16(s.size() + 1, std::string(t.name) + "'s length"))
            return false;
        w.Set(t.at, (uint32_t)out->size(), 2);
        w.Set(t.at + 2, (uint32_t)s.size() + 1, 2);
        out->insert(out->end(), s.begin(), s.end());
        out->push_back(0);
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

bool DecodeCeScript(const uint8_t *data, size_t size, CeScript *script, std::string *error) {
    *script = CeScript();
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

std::string CeStringText(const CeScript &script, uint16_t id) {
    for (const CeString &s : script.strings)
        if (s.id == id) return s.text;
    return "<string " + std::to_string(id) + "?>";
}

std::string CeJoinIds(const CeScript &script, const std::vector<uint16_t> &ids) {
    std::string path;
    for (size_t i = 0; i < ids.size(); i++) {
        if (i) path += '\\';
        path += CeStringText(script, ids[i]);
    }
    return path;
}
