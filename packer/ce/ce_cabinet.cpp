#include "ce/ce_cabinet.h"

#include <cstdio>

#include "ce/cabinet.h"

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

CeCabinetStatus ReadCeCabinet(const uint8_t *data, size_t size, CeCabinet *cab,
                              std::string *why) {
    *cab = CeCabinet();
    std::vector<CabMember> members;
    std::string err;
    if (!ReadCabinet(data, size, &members, &err)) {
        *why = "not a readable cabinet: " + err;
        return CeCabinetStatus::kNotCabinet;
    }
    cab->members = members.size();
    const CabMember *script = nullptr;
    for (const CabMember &m : members) {
        int number = CeMemberNumber(m.name);
        if (number == 0 && !script) script = &m;
        if (number == 999) {
            cab->setup_dll = true;
            cab->setup_dll_size = (uint32_t)m.data.size();
        }
    }
    if (!script) {
        *why = "a cabinet without a .000 install script";
        return CeCabinetStatus::kNoScript;
    }
    if (!DecodeCeScript(script->data.data(), script->data.size(), &cab->script, &err)) {
        *why = "its install script '" + script->name + "' cannot be read: " + err;
        return CeCabinetStatus::kBadScript;
    }
    for (const CeFile &f : cab->script.files) {
        CeCabinetFile cf;
        cf.file = f;
        cf.target = CeDirPath(cab->script, f.dir_id) + "\\" + f.name;
        for (const CabMember &m : members) {
            if (CeMemberNumber(m.name) == f.number) {
                cf.present = true;
                cf.size = (uint32_t)m.data.size();
                break;
            }
        }
        cab->files.push_back(cf);
    }
    return CeCabinetStatus::kOk;
}

std::string CeDirPath(const CeScript &script, uint16_t dir_id) {
    if (dir_id == 0) return "%InstallDir%";
    for (const CeDir &d : script.dirs)
        if (d.id == dir_id) return CeJoinIds(script, d.parts);
    return "<dir " + std::to_string(dir_id) + "?>";
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

std::string CeHivePath(const CeScript &script, uint16_t hive_id) {
    for (const CeHive &h : script.hives) {
        if (h.id != hive_id) continue;
        std::string root = CeRootName(h.root);
        if (root.empty()) root = "root " + std::to_string(h.root);
        return h.parts.empty() ? root : root + "\\" + CeJoinIds(script, h.parts);
    }
    return "<hive " + std::to_string(hive_id) + "?>";
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

std::string CeRegDataText(const CeRegValue &value) {
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

std::string CeLinkPath(const CeScript &script, const CeLink &link) {
    std::string base = link.base_dir ? "%CE" + std::to_string(link.base_dir) + "%" : "%InstallDir%";
    return base + "\\" + CeJoinIds(script, link.parts);
}

std::string CeLinkTarget(const CeScript &script, const CeLink &link) {
    if (link.type == 0) return CeDirPath(script, link.target);
    for (const CeFile &f : script.files)
        if (f.number == link.target) return CeDirPath(script, f.dir_id) + "\\" + f.name;
    return "<file " + std::to_string(link.target) + "?>";
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

bool CeSameDevices(const CeScript &a, const CeScript &b) {
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
