#include "ce/ce_cabinet.h"

#include <cstdio>

#include "ce/cabinet.h"
#include "ce/ce_script.h"
#include "ce/ce_xml.h"
#include "host_file.h"

namespace {

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

struct BitName {
    uint32_t bit;
    const char *name;
};

// Names of the bits set in `v`, then the unknown rest in hex.
template <size_t N>
std::string BitNames(uint32_t v, const BitName (&names)[N]) {
    std::string s;
    for (const BitName &n : names) {
        if (!(v & n.bit)) continue;
        s += (s.empty() ? "" : "|") + std::string(n.name);
        v &= ~n.bit;
    }
    if (v) s += (s.empty() ? "" : "|") + Hex32(v);
    return s;
}

}  // namespace

int CeMemberNumber(const std::string &name) {
    size_t n = name.size();
    if (n < 4 || name[n - 4] != '.') return -1;
    int v = 0;
    for (size_t i = n - 3; i < n; i++) {
        if (name[i] < '0' || name[i] > '9') return -1;
        v = v * 10 + (name[i] - '0');
    }
    return v;
}

namespace {

// Reads the forms the cabinet carries into cab->binary and cab->xml.
void ReadForms(const std::vector<CabMember> &members, unsigned codepage, CeCabinet *cab) {
    for (const CabMember &m : members) {
        CeScriptForm *form = nullptr;
        bool binary = CeMemberNumber(m.name) == 0;
        if (binary) form = &cab->binary;
        else if (vq::LowerAscii(m.name) == "_setup.xml") form = &cab->xml;
        if (!form || form->present) continue;
        form->present = true;
        form->member = m.name;
        form->read = binary ? DecodeCeScript(m.data.data(), m.data.size(), codepage, &form->model,
                                             &form->error)
                            : DecodeCeXml(m.data.data(), m.data.size(), &form->model, &form->error);
    }
}

// Finds each file's member: the one numbered as the entry, else the one
// the entry's third field (or the XML's Source) names.
void FindMembers(const std::vector<CabMember> &members, CeCabinet *cab) {
    cab->present.clear();
    cab->sizes.clear();
    for (CeInstallFile &f : cab->model.files) {
        const CabMember *own = nullptr, *named = nullptr;
        for (const CabMember &m : members) {
            int n = CeMemberNumber(m.name);
            if (n == f.number && !own) own = &m;
            if (!named && (!f.member_name.empty() ? m.name == f.member_name : n == f.member))
                named = &m;
        }
        // A name the XML gives wins over numbers; the binary script's own
        // number over its third field.
        const CabMember *m = !f.member_name.empty() ? named : own ? own : named;
        cab->present.push_back(m != nullptr);
        cab->sizes.push_back(m ? (uint32_t)m->data.size() : 0);
        if (m) {
            f.member = (uint16_t)CeMemberNumber(m->name);
            f.member_name = m->name;
        }
    }
}

}  // namespace

CeCabinetStatus ReadCeCabinet(const uint8_t *data, size_t size, unsigned codepage,
                              CeCabinet *cab, std::string *why) {
    *cab = CeCabinet();
    std::vector<CabMember> members;
    std::string err;
    if (!ReadCabinet(data, size, &members, &err, &cab->info)) {
        *why = "not a readable cabinet: " + err;
        return CeCabinetStatus::kNotCabinet;
    }
    cab->members = members.size();
    for (const CabMember &m : members) {
        if (CeMemberNumber(m.name) != 999) continue;
        cab->setup_dll = true;
        cab->setup_dll_size = (uint32_t)m.data.size();
    }
    ReadForms(members, codepage, cab);
    if (!cab->binary.present && !cab->xml.present) {
        *why = "a cabinet without a .000 install script";
        return CeCabinetStatus::kNoScript;
    }
    if (!cab->binary.read && !cab->xml.read) {
        const CeScriptForm &f = cab->binary.present ? cab->binary : cab->xml;
        *why = "its install script '" + f.member + "' cannot be read: " + f.error;
        return CeCabinetStatus::kBadScript;
    }
    if (cab->binary.read && cab->xml.read) {
        // The XML names each file's member, the binary script numbers
        // them: compare what they resolve to in this cabinet.
        CeCabinet b, x;
        b.model = cab->binary.model;
        x.model = cab->xml.model;
        FindMembers(members, &b);
        FindMembers(members, &x);
        cab->disagreements = CeCompare(b.model, x.model);
    }
    cab->model = cab->binary.read ? cab->binary.model : cab->xml.model;
    FindMembers(members, cab);
    return CeCabinetStatus::kOk;
}

bool CeCabinetMembers(const CeInstall &model, const std::string &script_stem,
                      const std::vector<CabMember> &files, CeScriptForms forms, unsigned codepage,
                      uint16_t dos_date, uint16_t dos_time, std::vector<CabMember> *out,
                      std::string *error) {
    out->clear();
    CabMember script;
    script.dos_date = dos_date;
    script.dos_time = dos_time;
    if (forms != CeScriptForms::kXml) {
        script.name = script_stem + ".000";
        if (!EncodeCeScript(model, codepage, &script.data, error)) return false;
        out->push_back(script);
    }
    out->insert(out->end(), files.begin(), files.end());
    if (forms != CeScriptForms::kBinary) {
        std::string xml;
        if (!EncodeCeXml(model, &xml, error)) return false;
        script.name = "_setup.xml";
        script.data.assign(xml.begin(), xml.end());
        out->push_back(script);
    }
    return true;
}

std::string CeFormsText(const CeCabinet &cab) {
    auto one = [](const CeScriptForm &f, const char *name) {
        return std::string(name) + (f.read ? "" : " (unreadable: " + f.error + ")");
    };
    if (cab.binary.present && cab.xml.present) {
        std::string s = one(cab.binary, ".000") + " and " + one(cab.xml, "_setup.xml");
        if (cab.binary.read && cab.xml.read) {
            size_t n = cab.disagreements.size();
            s += n == 0 ? " (they agree)"
                        : " (they differ in " + std::to_string(n) + (n == 1 ? " point)" : " points)");
        }
        return s;
    }
    return cab.binary.present ? one(cab.binary, ".000") + " only" : one(cab.xml, "_setup.xml") + " only";
}

const char *CePocketPcFolder(unsigned n) {
    switch (n) {
    case 1: return "\\Program Files";
    case 2: return "\\Windows";
    case 4: return "\\Windows\\StartUp";
    case 5: return "\\My Documents";
    case 11: return "\\Windows\\Start Menu\\Programs";
    case 14: return "\\Windows\\Start Menu\\Games";
    case 15: return "\\Windows\\Fonts";
    case 17: return "\\Windows\\Start Menu";
    default: return "";
    }
}

std::string CePocketPcPath(const std::string &path) {
    if (path.compare(0, 3, "%CE") != 0) return "";
    size_t end = path.find('%', 3);
    if (end == std::string::npos || end == 3 || end > 5) return "";
    unsigned n = 0;
    for (size_t i = 3; i < end; i++) {
        if (path[i] < '0' || path[i] > '9') return "";
        n = n * 10 + (unsigned)(path[i] - '0');
    }
    const char *folder = CePocketPcFolder(n);
    if (!*folder) return "";
    return folder + path.substr(end + 1);
}

const char *CeRootName(uint16_t root) {
    switch (root) {
    case kCeHKCR: return "HKCR";
    case kCeHKCU: return "HKCU";
    case kCeHKLM: return "HKLM";
    case kCeHKU: return "HKU";
    default: return "";
    }
}

const char *CeRegTypeName(uint32_t type_flags) {
    switch (type_flags & kCeRegTypeMask) {
    case kCeRegMultiSz: return "REG_MULTI_SZ";
    case kCeRegBinary: return "REG_BINARY";
    case kCeRegDword: return "REG_DWORD";
    default: return "REG_SZ";
    }
}

std::string CeRegFlagNames(uint32_t type_flags) {
    static const BitName kNames[] = {{kCeRegNoClobber, "NOCLOBBER"}};
    return BitNames(type_flags & ~(uint32_t)kCeRegTypeMask, kNames);
}

std::string CeRegDataText(const CeValue &value) {
    const std::string &d = value.data;
    // Quoted as they are: registry data is full of backslashes.
    auto quoted = [](const std::string &s) { return "\"" + s + "\""; };
    auto hex = [&]() {
        std::string h;
        char b[4];
        for (unsigned char c : d) {
            std::snprintf(b, sizeof b, "%s%02x", h.empty() ? "" : " ", c);
            h += b;
        }
        return h.empty() ? std::string("(empty)") : h;
    };
    switch (value.type_flags & kCeRegTypeMask) {
    case kCeRegDword: {
        if (d.size() != 4) return hex();
        uint32_t v = 0;
        for (int i = 3; i >= 0; i--) v = (v << 8) | (unsigned char)d[i];
        return Hex32(v) + " (" + std::to_string(v) + ")";
    }
    case kCeRegBinary: return hex();
    case kCeRegMultiSz: {
        // Strings each with a NUL, then an empty one.
        if (d.size() < 1 || d.back() != '\0') return hex();
        std::string s;
        size_t at = 0;
        while (at < d.size() && d[at]) {
            size_t nul = d.find('\0', at);
            s += (s.empty() ? "" : ", ") + quoted(d.substr(at, nul - at));
            at = nul + 1;
        }
        return s.empty() ? "(none)" : s;
    }
    default:
        if (d.empty() || d.back() != '\0') return hex();
        return quoted(d.substr(0, d.find('\0')));
    }
}

std::string CeFileFlagNames(uint32_t flags) {
    static const BitName kNames[] = {
        {0x00000001, "COPYFLG_WARN_IF_SKIP"},
        {0x00000002, "COPYFLG_NOSKIP"},
        {0x00000010, "COPYFLG_NO_OVERWRITE"},
        {0x00000400, "COPYFLG_REPLACEONLY"},
        {0x10000000, "SELFREGISTER"},
        {0x20000000, "CE_COPYFLG_NO_DATE_DIALOG"},
        {0x40000000, "CE_COPYFLG_NODATECHECK"},
        {0x80000000, "CE_COPYFLG_SHARED"},
    };
    return BitNames(flags, kNames);
}

std::string CeVersionText(uint32_t major, uint32_t minor) {
    if (major == 0 && minor == 0) return "any";
    return std::to_string(major) + "." + std::to_string(minor);
}

std::string CeBuildText(uint32_t build) { return build ? std::to_string(build) : "any"; }

std::string CeProcessorText(uint32_t processor) {
    const char *name = CeProcessorName(processor);
    return std::to_string(processor) + (*name ? std::string(" (") + name + ")" : "");
}

bool CeSameDevices(const CeInstall &a, const CeInstall &b) {
    if (a.processor && b.processor && a.processor != b.processor) return false;
    // Ranges as [low, high]; a missing limit is the widest one.
    auto version = [](uint32_t major, uint32_t minor, uint64_t none) {
        return major == 0 && minor == 0 ? none : ((uint64_t)major << 32) | minor;
    };
    auto overlap = [](uint64_t lo1, uint64_t hi1, uint64_t lo2, uint64_t hi2) {
        return lo1 <= hi2 && lo2 <= hi1;
    };
    const uint64_t top = ~(uint64_t)0;
    return overlap(version(a.version_min_major, a.version_min_minor, 0),
                   version(a.version_max_major, a.version_max_minor, top),
                   version(b.version_min_major, b.version_min_minor, 0),
                   version(b.version_max_major, b.version_max_minor, top)) &&
           overlap(a.build_min, a.build_max ? a.build_max : top, b.build_min,
                   b.build_max ? b.build_max : top);
}
