// The XML install script's codec over pugixml: the writer builds the
// document node by node and lets pugixml escape and lay it out; the reader
// walks the parsed document. The forms of what the real files do not show
// (copy flags other than four, registry types other than strings) follow
// the device's configuration service providers: "integer" for REG_DWORD,
// "multiplestring" with U+F000 between the strings, "binary" in base64.
#include "ce/ce_xml.h"

#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "ce/ce_cabinet.h"
#include "host_file.h"

namespace {

// Copy flags as Extract parms, in the order the CAB wizard writes them.
const struct {
    uint32_t flag;
    const char *parm;
} kFlagParms[] = {
    {kCeCopySelfRegister, "SelfRegister"}, {kCeCopyNoOverwrite, "NoOverwrite"},
    {kCeCopyNoDateDialog, "NoOverwriteIfNewer"}, {kCeCopyWarnIfSkip, "WarnIfSkip"},
    {kCeCopyNoSkip, "NoSkip"}, {kCeCopyReplaceOnly, "ReplaceOnly"},
    {kCeCopyNoDateCheck, "IgnoreDate"}, {kCeCopyShared, "Shared"},
};

const char *const kRoots[] = {"", "HKCR", "HKCU", "HKLM", "HKU"};
const char kMultiSeparator[] = "\xef\x80\x80";  // U+F000

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::string &in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = (uint8_t)in[i] << 16;
        if (i + 1 < in.size()) v |= (uint8_t)in[i + 1] << 8;
        if (i + 2 < in.size()) v |= (uint8_t)in[i + 2];
        out += kBase64[v >> 18];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kBase64[v & 63] : '=';
    }
    return out;
}

bool FromBase64(const std::string &in, std::string *out) {
    out->clear();
    uint32_t v = 0;
    int bits = 0;
    size_t pad = 0;
    for (char c : in) {
        if (c == ' ' || c == '\r' || c == '\n' || c == '\t') continue;
        if (c == '=') {
            pad++;
            continue;
        }
        const char *p = c ? std::strchr(kBase64, c) : nullptr;
        if (!p || pad) return false;
        v = (v << 6) | (uint32_t)(p - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *out += (char)((v >> bits) & 0xFF);
        }
    }
    return pad <= 2;
}

// ---- writing ------------------------------------------------------------------

pugi::xml_node Characteristic(pugi::xml_node parent, const std::string &type, bool install = false) {
    pugi::xml_node c = parent.append_child("characteristic");
    c.append_attribute("type") = type.c_str();
    if (install) c.append_attribute("translation") = "install";
    return c;
}

pugi::xml_node Parm(pugi::xml_node parent, const std::string &name) {
    pugi::xml_node p = parent.append_child("parm");
    p.append_attribute("name") = name.c_str();
    return p;
}

void Parm(pugi::xml_node parent, const std::string &name, const std::string &value,
          bool install = false) {
    pugi::xml_node p = Parm(parent, name);
    p.append_attribute("value") = value.c_str();
    if (install) p.append_attribute("translation") = "install";
}

// An element written with its start and end tags on lines of their own
// even when it holds nothing, as the CAB wizard writes an empty list.
void KeepOpen(pugi::xml_node c) {
    if (!c.first_child()) c.append_child(pugi::node_pcdata).set_value("\n");
}

// A folder as the XML names it: "%InstallDir%" for the install folder.
std::string FolderText(const CeInstall &m, size_t i) {
    const CeFolder &f = m.folders[i];
    if (!f.in_install_dir) return f.path;
    return f.path.empty() ? "%InstallDir%" : "%InstallDir%\\" + f.path;
}

std::string Version(uint32_t major, uint32_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

bool ValueText(const CeValue &v, std::string *text, const char **type) {
    const std::string &d = v.data;
    switch (v.type_flags & kCeRegTypeMask) {
    case kCeRegDword: {
        if (d.size() != 4) return false;
        uint32_t n = 0;
        for (int i = 3; i >= 0; i--) n = (n << 8) | (uint8_t)d[i];
        *text = std::to_string(n);
        *type = "integer";
        return true;
    }
    case kCeRegBinary:
        *text = Base64(d);
        *type = "binary";
        return true;
    case kCeRegMultiSz: {
        text->clear();
        size_t at = 0;
        while (at < d.size() && d[at]) {
            size_t nul = d.find('\0', at);
            if (nul == std::string::npos) return false;
            *text += (text->empty() ? "" : kMultiSeparator) + d.substr(at, nul - at);
            at = nul + 1;
        }
        *type = "multiplestring";
        return true;
    }
    default:
        *text = d.substr(0, d.find('\0'));
        *type = "string";
        return true;
    }
}

}  // namespace

bool EncodeCeXml(const CeInstall &m, std::string *xml, std::string *error) {
    for (const CeInstallFile &f : m.files)
        if (f.folder >= m.folders.size() || f.member_name.empty()) {
            *error = "file '" + f.name + "': " +
                     (f.member_name.empty() ? "no member name" : "a folder the model does not hold");
            return false;
        }
    for (const CeShortcut &s : m.shortcuts)
        if (s.folder >= m.folders.size() || (!s.to_file && s.target_folder >= m.folders.size()) ||
            (s.to_file && !CeFindFile(m, s.file))) {
            *error = "shortcut '" + s.name + "' refers to what the model does not hold";
            return false;
        }
    for (const CeValue &v : m.values)
        if (v.key >= m.keys.size() || m.keys[v.key].root < 1 || m.keys[v.key].root > 4) {
            *error = "registry value '" + v.name + "' is in a key the model does not hold";
            return false;
        }

    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("wap-provisioningdoc");
    pugi::xml_node install = Characteristic(root, "Install");
    Parm(install, "InstallPhase", "install");
    if (m.processor) Parm(install, "ProcessorType", std::to_string(m.processor));
    Parm(install, "OSVersionMin", Version(m.version_min_major, m.version_min_minor));
    Parm(install, "OSVersionMax", Version(m.version_max_major, m.version_max_minor));
    // Build numbers as the signed 32-bit numbers the device compares.
    Parm(install, "BuildNumberMin", std::to_string((int32_t)m.build_min));
    Parm(install, "BuildNumberMax", std::to_string((int32_t)m.build_max));
    Parm(install, "AppName", CeDisplayName(m));
    Parm(install, "InstallDir", m.install_dir, true);
    Parm(install, "NumDirs", std::to_string(m.folders.size()));
    Parm(install, "NumFiles", std::to_string(m.files.size()));
    Parm(install, "NumRegKeys", std::to_string(m.keys.size()));
    Parm(install, "NumRegVals", std::to_string(m.values.size()));
    Parm(install, "NumShortcuts", std::to_string(m.shortcuts.size()));

    pugi::xml_node files = Characteristic(root, "FileOperation");
    for (size_t i = 0; i < m.folders.size(); i++) {
        pugi::xml_node folder;
        auto open = [&]() {
            if (!folder) {
                folder = Characteristic(files, FolderText(m, i), true);
                Characteristic(folder, "MakeDir");
            }
            return folder;
        };
        for (const CeInstallFile &f : m.files) {
            if (f.folder != i) continue;
            pugi::xml_node extract = Characteristic(Characteristic(open(), f.name, true), "Extract");
            Parm(extract, "Source", f.member_name);
            for (const auto &fp : kFlagParms)
                if (f.flags & fp.flag) Parm(extract, fp.parm);
        }
        for (const CeShortcut &s : m.shortcuts) {
            if (s.folder != i) continue;
            const CeInstallFile *t = s.to_file ? CeFindFile(m, s.file) : nullptr;
            std::string target = t ? FolderText(m, t->folder) + "\\" + t->name
                                   : FolderText(m, s.target_folder);
            Parm(Characteristic(Characteristic(open(), s.name, true), "Shortcut"), "Source", target,
                 true);
        }
    }
    KeepOpen(files);

    pugi::xml_node registry = Characteristic(root, "Registry");
    for (size_t k = 0; k < m.keys.size(); k++) {
        const CeKey &key = m.keys[k];
        pugi::xml_node kc = Characteristic(
            registry, std::string(kRoots[key.root]) + (key.path.empty() ? "" : "\\" + key.path));
        for (const CeValue &v : m.values) {
            if (v.key != k) continue;
            std::string text;
            const char *type;
            if (!ValueText(v, &text, &type)) {
                *error = "registry value '" + v.name + "' holds data that does not fit its type";
                return false;
            }
            pugi::xml_node p = Parm(kc, v.name);
            p.append_attribute("value") = text.c_str();
            p.append_attribute("datatype") = type;
            if (v.substitute) p.append_attribute("translation") = "install";
        }
    }
    KeepOpen(registry);

    std::ostringstream out;
    doc.save(out, "", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
    // pugixml ends lines in LF; the CAB wizard in CR LF. Line ends inside
    // values are escaped by then, so every LF left is one between elements.
    xml->clear();
    for (char c : out.str()) {
        if (c == '\n') *xml += '\r';
        *xml += c;
    }
    // The document ends with its last end tag, without a line end.
    if (xml->size() >= 2) xml->resize(xml->size() - 2);
    return true;
}

// ---- reading ------------------------------------------------------------------

namespace {

class XmlReader {
public:
    XmlReader(CeInstall *m, std::string *error) : m_(m), error_(error) {}

    bool Run(const uint8_t *data, size_t size) {
        pugi::xml_document doc;
        pugi::xml_parse_result r = doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_auto);
        if (!r)
            return Fail(std::string("not XML: ") + r.description() + " at byte " +
                        std::to_string(r.offset));
        pugi::xml_node root = doc.document_element();
        if (std::strcmp(root.name(), "wap-provisioningdoc") != 0)
            return Fail(std::string("not a provisioning document: its root is <") + root.name() + ">");
        for (pugi::xml_node c : root.children("characteristic")) {
            std::string type = c.attribute("type").value();
            if (type == "Install" && !Install(c)) return false;
            if (type == "FileOperation" && !Files(c)) return false;
            if (type == "Registry" && !Registry(c)) return false;
        }
        return Shortcuts();
    }

private:
    bool Fail(const std::string &msg) {
        *error_ = msg;
        return false;
    }

    static bool Number(const std::string &s, bool allow_sign, uint32_t *v) {
        if (s.empty() || s.size() > 11) return false;
        size_t i = allow_sign && s[0] == '-' ? 1 : 0;
        if (i == s.size() || s.find_first_not_of("0123456789", i) != std::string::npos) return false;
        int64_t n = std::stoll(s);
        if (n < INT32_MIN || n > (int64_t)UINT32_MAX) return false;
        *v = (uint32_t)n;
        return true;
    }
    static bool Version(const std::string &s, uint32_t *major, uint32_t *minor) {
        size_t dot = s.find('.');
        return Number(s.substr(0, dot), false, major) &&
               Number(dot == std::string::npos ? "0" : s.substr(dot + 1), false, minor);
    }

    bool Install(pugi::xml_node c) {
        for (pugi::xml_node p : c.children("parm")) {
            std::string name = p.attribute("name").value(), value = p.attribute("value").value();
            bool ok = true;
            if (name == "ProcessorType") ok = Number(value, false, &m_->processor);
            else if (name == "OSVersionMin") ok = Version(value, &m_->version_min_major, &m_->version_min_minor);
            else if (name == "OSVersionMax") ok = Version(value, &m_->version_max_major, &m_->version_max_minor);
            else if (name == "BuildNumberMin") ok = Number(value, true, &m_->build_min);
            else if (name == "BuildNumberMax") ok = Number(value, true, &m_->build_max);
            else if (name == "AppName") m_->app_name = value;
            else if (name == "InstallDir") m_->install_dir = value;
            if (!ok) return Fail("Install: " + name + " '" + value + "' is not a number");
        }
        return true;
    }

    static CeFolder Folder(const std::string &text) {
        CeFolder f;
        if (vq::LowerAscii(text.substr(0, 12)) == "%installdir%") {
            f.in_install_dir = true;
            f.path = text.substr(12);
            while (!f.path.empty() && f.path[0] == '\\') f.path.erase(0, 1);
        } else {
            f.path = text;
        }
        return f;
    }

    bool Files(pugi::xml_node c) {
        for (pugi::xml_node dir : c.children("characteristic")) {
            std::string path = dir.attribute("type").value();
            if (path.empty()) return Fail("FileOperation: a folder without a name");
            // A folder joins the model with its first file or shortcut: the
            // CAB wizard writes only folders that hold some.
            CeFolder where = Folder(path);
            auto folder = [&]() { return CeFolderIndex(m_, where); };
            for (pugi::xml_node item : dir.children("characteristic")) {
                std::string name = item.attribute("type").value();
                if (name == "MakeDir") continue;
                for (pugi::xml_node op : item.children("characteristic")) {
                    std::string kind = op.attribute("type").value();
                    if (kind == "Extract" && !Extract(op, folder(), name)) return false;
                    if (kind == "Shortcut") {
                        pugi::xml_node src = op.find_child_by_attribute("parm", "name", "Source");
                        if (!src) return Fail("shortcut '" + name + "' has no Source");
                        pending_.push_back({folder(), name, src.attribute("value").value()});
                    }
                }
            }
        }
        return true;
    }

    bool Extract(pugi::xml_node op, size_t folder, const std::string &name) {
        CeInstallFile f;
        f.folder = folder;
        f.name = name;
        bool source = false;
        for (pugi::xml_node p : op.children("parm")) {
            std::string parm = p.attribute("name").value();
            if (parm == "Source") {
                f.member_name = p.attribute("value").value();
                source = true;
                continue;
            }
            for (const auto &fp : kFlagParms)
                if (parm == fp.parm) f.flags |= fp.flag;
        }
        if (!source || f.member_name.empty()) return Fail("file '" + name + "': its Extract has no Source");
        if (m_->files.size() >= 998) return Fail("more than 998 files");
        int n = CeMemberNumber(f.member_name);
        f.member = n > 0 && n < 999 ? (uint16_t)n : 0;
        // The member's number, where no earlier file has it; else the next free.
        f.number = f.member && !CeFindFile(*m_, f.member) ? f.member : 0;
        for (uint16_t k = 1; !f.number; k++)
            if (!CeFindFile(*m_, k)) f.number = k;
        m_->files.push_back(f);
        return true;
    }

    // A path of the document ("%InstallDir%\x.exe", "%CE1%\App") with its
    // folder as the model holds it.
    std::string Normal(const std::string &path) const {
        CeFolder f = Folder(path);
        return vq::LowerAscii((f.in_install_dir ? "%InstallDir%\\" : "") + f.path);
    }

    bool Shortcuts() {
        for (const Pending &p : pending_) {
            CeShortcut s;
            s.folder = p.folder;
            s.name = p.name;
            std::string want = Normal(p.source);
            bool found = false;
            for (const CeInstallFile &f : m_->files) {
                const CeFolder &d = m_->folders[f.folder];
                std::string path = (d.in_install_dir ? "%InstallDir%\\" : "") + d.path;
                if (Normal(path + (path.empty() || path.back() == '\\' ? "" : "\\") + f.name) == want) {
                    s.file = f.number;
                    found = true;
                    break;
                }
            }
            for (size_t i = 0; !found && i < m_->folders.size(); i++) {
                const CeFolder &d = m_->folders[i];
                if (Normal((d.in_install_dir ? "%InstallDir%\\" : "") + d.path) == want) {
                    s.to_file = false;
                    s.target_folder = i;
                    found = true;
                }
            }
            // Neither a file nor a folder that holds one: a folder of its own.
            if (!found) {
                if (p.source.empty()) return Fail("shortcut '" + p.name + "' has an empty Source");
                s.to_file = false;
                s.target_folder = CeFolderIndex(m_, Folder(p.source));
            }
            m_->shortcuts.push_back(s);
        }
        return true;
    }

    bool Registry(pugi::xml_node c) {
        for (pugi::xml_node kc : c.children("characteristic")) {
            std::string text = kc.attribute("type").value();
            size_t slash = text.find('\\');
            std::string root = text.substr(0, slash);
            CeKey key;
            key.root = 0;
            for (uint16_t r = 1; r <= 4; r++)
                if (root == kRoots[r]) key.root = r;
            if (!key.root) return Fail("registry key '" + text + "' has no root the device knows");
            key.path = slash == std::string::npos ? "" : text.substr(slash + 1);
            size_t k = CeKeyIndex(m_, key);
            for (pugi::xml_node p : kc.children("parm"))
                if (!Value(p, k, text)) return false;
        }
        return true;
    }

    bool Value(pugi::xml_node p, size_t key, const std::string &where) {
        CeValue v;
        v.key = key;
        v.name = p.attribute("name").value();
        std::string value = p.attribute("value").value(), type = p.attribute("datatype").value();
        v.substitute = std::string(p.attribute("translation").value()) == "install";
        std::string what = "registry value " + where + " \"" + v.name + "\"";
        if (type == "string" || type.empty()) {
            v.type_flags = kCeRegSz;
            v.data = value + '\0';
        } else if (type == "integer") {
            uint32_t n;
            if (!Number(value, true, &n)) return Fail(what + ": '" + value + "' is not an integer");
            v.type_flags = kCeRegDword;
            v.data.assign({(char)(n & 255), (char)((n >> 8) & 255), (char)((n >> 16) & 255), (char)(n >> 24)});
        } else if (type == "multiplestring") {
            v.type_flags = kCeRegMultiSz;
            v.data.clear();
            for (size_t at = 0; !value.empty() && at <= value.size();) {
                size_t sep = value.find(kMultiSeparator, at);
                if (sep == std::string::npos) sep = value.size();
                v.data += value.substr(at, sep - at) + '\0';
                at = sep + 3;
            }
            v.data += '\0';
        } else if (type == "binary") {
            v.type_flags = kCeRegBinary;
            if (!FromBase64(value, &v.data)) return Fail(what + ": the data is not base64");
        } else {
            return Fail(what + ": datatype '" + type + "' is not one the device knows");
        }
        m_->values.push_back(v);
        return true;
    }

    struct Pending {
        size_t folder;
        std::string name, source;
    };
    CeInstall *m_;
    std::string *error_;
    std::vector<Pending> pending_;
};

}  // namespace

bool DecodeCeXml(const uint8_t *data, size_t size, CeInstall *m, std::string *error) {
    *m = CeInstall();
    return XmlReader(m, error).Run(data, size);
}
