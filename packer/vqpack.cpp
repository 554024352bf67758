// vqpack: builds, lists, verifies and extracts VQ Installer setup programs,
// checks a Setup.ini, and makes and inspects CE cabinets. One function per
// subcommand; each returns an ExitStatus.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ce/cabinet.h"
#include "ce/ce_cabinet.h"
#include "ce/ce_script.h"
#include "ce/inf.h"
#include "ce/codepage.h"
#include "ce/inf_build.h"
#include "common/cablist.h"
#include "common/setup_text.h"
#include "host_file.h"
#include "host_reader.h"
#include "lint.h"
#include "platform.h"
#include "signature.h"
#include "writer.h"

#ifdef VQ_HAVE_EMBEDDED_STUB
extern "C" const unsigned char vq_stub_image[];
extern "C" const unsigned char vq_stub_image_end[];
#endif

#ifndef VQ_VERSION
#define VQ_VERSION "0.0.0"
#endif

// Where `vqpack try` finds its driver, relative to the folder of vqpack.
#ifndef VQ_TRY_RELDIR
#define VQ_TRY_RELDIR "../share/vqinstaller/try"
#endif

namespace {

enum ExitStatus {
    kOk = 0,
    kCheckFailed = 1,  // the installer failed a check; lint: warnings only
    kUsage = 2,        // bad usage; lint: errors (or warnings with --strict)
    kSystem = 3,       // a file that cannot be read or written, no memory
};

int Error(const std::string &msg, ExitStatus status) {
    std::fprintf(stderr, "vqpack: %s\n", msg.c_str());
    return status;
}

// A progress line on standard error, only when it is a terminal and the
// work is large enough to be worth watching.
class Progress {
public:
    explicit Progress(const char *what, uint64_t total)
        : what_(what), on_(isatty(2) && total >= (8u << 20)) {}
    ~Progress() {
        if (on_ && shown_ >= 0) std::fprintf(stderr, "\r%-40s\r", "");
    }
    void Percent(uint32_t pct) {
        if (!on_ || (int)pct == shown_) return;
        shown_ = (int)pct;
        std::fprintf(stderr, "\r%s %3u%%", what_, pct > 100 ? 100 : pct);
        std::fflush(stderr);
    }

private:
    const char *what_;
    bool on_;
    int shown_ = -1;
};

std::string BaseName(const std::string &p) {
    size_t s = p.find_last_of(VQ_PATH_SEPARATORS);
    return s == std::string::npos ? p : p.substr(s + 1);
}

uint64_t FileSize(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// Runs the reader over an installer with a progress line; a failure is
// reported in one line.
int RunRead(const std::string &file, ReadOptions opt, ReadReport *rep) {
    Progress bar(opt.mode == ReadMode::kExtract ? "extracting" : "verifying",
                 FileSize(file));
    opt.progress = [&](uint32_t pct) { bar.Percent(pct); };
    if (ReadInstaller(file, opt, rep)) return kOk;
    return Error(file + ": " + rep->message,
                 ExtractResultIsSystemFailure(rep->result) ? kSystem : kCheckFailed);
}

// ---- build --------------------------------------------------------------

struct BuildArgs {
    std::string out, stub, from;
    std::vector<std::string> files;
    unsigned jobs = 1;
    size_t block_kib = 1024;
    bool level9_all = false;
    bool strict = false;
};

// --from names Setup.ini, or the folder that holds it.
std::string DescriptorPath(std::string from) {
    struct stat st;
    if (from.empty() || ::stat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return from;
    if (!std::strchr(VQ_PATH_SEPARATORS, from.back())) from += "/";
    return from + "Setup.ini";
}

// Refuses an output that is one of the inputs under another spelling or
// through a link: the rename that ends the build would put the installer
// in that input's place, and the temporary file, truncated when it is
// opened, would destroy the input before it is read. Checked before
// anything is written.
int RefuseInputAsOutput(const std::string &out, const std::vector<std::string> &inputs) {
    const std::string targets[] = {out, PartialPath(out)};
    for (const std::string &t : targets) {
        vq::FileIdentity o, i;
        if (!vq::GetFileIdentity(t, &o)) continue;  // not there yet
        for (const std::string &in : inputs) {
            if (!vq::GetFileIdentity(in, &i) || !(i == o)) continue;
            std::string what = t == out ? "output " + out
                                        : "output " + out + ": its temporary file " + t;
            return Error(what + " is the same file as input " + in +
                             ": not writing over an input (choose another output)",
                         kUsage);
        }
    }
    return kOk;
}

int Build(const BuildArgs &a) {
    std::vector<uint8_t> image;
    std::string err;
    if (!a.stub.empty()) {
        std::string bytes;
        if (!vq::LoadFile(a.stub, &bytes, &err)) return Error(a.stub + ": " + err, kSystem);
        image.assign(bytes.begin(), bytes.end());
        if (image.size() != (size_t)kImageSize)
            return Error(a.stub + ": stub image has " + std::to_string(image.size()) +
                             " bytes; it must be exactly 32768 (pad the program)",
                         kUsage);
    } else {
#ifdef VQ_HAVE_EMBEDDED_STUB
        image.assign(vq_stub_image, vq_stub_image_end);
#else
        return Error("this vqpack has no built-in setup program: give --stub IMAGE",
                     kUsage);
#endif
    }

    std::vector<PackMember> members;
    const std::string from = DescriptorPath(a.from);
    if (!from.empty()) {
        LintReport lint;
        if (!CollectFromDescriptor(from, &members, &lint))
            return Error(from + ": " + lint.fatal, kSystem);
        for (const LintMessage &m : lint.messages)
            std::fprintf(stderr, "vqpack: %s\n", FormatLintMessage(from, m).c_str());
        if (lint.errors() || (a.strict && !lint.messages.empty()))
            return Error(from + ": not building because of the problems above",
                         lint.errors() ? kUsage : kCheckFailed);
    }
    for (const std::string &f : a.files) {
        PackMember m;
        size_t eq = f.find('=');
        if (eq != std::string::npos && eq > 0) {
            m.name = f.substr(0, eq);
            m.path = f.substr(eq + 1);
        } else {
            m.name = BaseName(f);
            m.path = f;
        }
        members.push_back(m);
    }
    if (members.empty()) return Error("nothing to pack: name files or --from Setup.ini", kUsage);
    std::string bad = CheckMembers(members);
    if (!bad.empty()) return Error(bad, kUsage);
    std::vector<std::string> inputs;
    if (!a.stub.empty()) inputs.push_back(a.stub);
    for (const PackMember &m : members) inputs.push_back(m.path);
    int rc = RefuseInputAsOutput(a.out, inputs);
    if (rc != kOk) return rc;

    WriteOptions opt;
    opt.jobs = a.jobs;
    opt.block_size = a.block_kib * 1024;
    opt.level9_all = a.level9_all;
    uint64_t total = 0;
    for (const PackMember &m : members) total += FileSize(m.path);
    Progress bar("packing", total);
    opt.progress = [&](uint64_t done, uint64_t all) {
        bar.Percent(all ? (uint32_t)(done * 100 / all) : 100);
    };
    if (!WriteInstaller(a.out, image, members, opt, &err)) return Error(err, kSystem);
    return kOk;
}

// --jobs N|auto: a number from 1 to 256, or one per processor. Rewrites
// "auto" into the number before CLI11 converts it.
CLI::Validator JobsValidator() {
    return CLI::Validator(
        [](std::string &s) -> std::string {
            if (s == "auto") {
                unsigned n = std::thread::hardware_concurrency();
                s = std::to_string(std::min(256u, std::max(1u, n)));
                return "";
            }
            unsigned n = 0;
            if (s.find_first_not_of("0123456789") == std::string::npos &&
                CLI::detail::lexical_cast(s, n) && n >= 1 && n <= 256)
                return "";
            return "takes a number from 1 to 256 or 'auto'";
        },
        "N|auto");
}

// ---- list, verify, extract ------------------------------------------------

struct ReadArgs {
    std::string installer, folder;
};

void PrintHeader(const std::string &file, const ReadReport &r, const SignatureInfo &sig) {
    const ContainerHeader &h = r.header;
    std::printf("%s: %llu bytes, %u members, %u bytes packed to %u\n", file.c_str(),
                (unsigned long long)r.file_size, h.entry_count, h.uncompressed_size,
                h.compressed_size);
    std::printf("checksums: image %08X  directory %08X  data %08X\n", h.image_checksum,
                h.directory_checksum, h.data_checksum);
    std::printf("signature: %s\n", DescribeSignature(sig).c_str());
}

// Reads `file` in `mode` and checks the certificate table behind a
// container that passed its checks: none, or one that starts behind the
// container and ends the file. Anything else is refused, so that nothing
// hides behind or inside a signature.
int ReadSigned(const std::string &file, ReadMode mode, ReadReport *rep, SignatureInfo *sig) {
    ReadOptions opt;
    opt.mode = mode;
    int rc = RunRead(file, opt, rep);
    if (rc != kOk) return rc;
    *sig = CheckSignature(file, *rep);
    if (sig->status >= SignatureInfo::kRefused)
        return Error(file + ": " + sig->reason,
                     sig->status == SignatureInfo::kRefused ? kCheckFailed : kSystem);
    return kOk;
}

int List(const ReadArgs &a) {
    ReadReport rep;
    SignatureInfo sig;
    int rc = ReadSigned(a.installer, ReadMode::kList, &rep, &sig);
    if (rc != kOk) return rc;
    PrintHeader(a.installer, rep, sig);
    std::printf("%10s %10s %10s  %-8s  %s\n", "name at", "data at", "size", "checksum", "name");
    for (const MemberInfo &m : rep.members)
        std::printf("%10u %10u %10u  %08X  %s\n", m.entry.name_offset, m.entry.data_offset,
                    m.entry.data_size, m.checksum, m.name.c_str());
    return kOk;
}

int Verify(const ReadArgs &a) {
    ReadReport rep;
    SignatureInfo sig;
    int rc = ReadSigned(a.installer, ReadMode::kVerify, &rep, &sig);
    if (rc != kOk) return rc;
    std::printf("%s: OK, %u members, %u bytes\n", a.installer.c_str(), rep.header.entry_count,
                rep.header.uncompressed_size);
    std::printf("%s: signature: %s\n", a.installer.c_str(), DescribeSignature(sig).c_str());
    return kOk;
}

// True when folder `dir` has an entry (the file itself, or a link) that
// names the file `id`.
bool FolderHolds(const std::string &dir, const vq::FileIdentity &id) {
    DIR *d = ::opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (struct dirent *e = ::readdir(d)) {
        vq::FileIdentity f;
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
            vq::GetFileIdentity(dir + "/" + e->d_name, &f) && f == id) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

int Extract(const ReadArgs &a) {
    // The folder is made if it is missing (its parent must exist).
    const std::string &dir = a.folder;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 && vq::MakeFolder(dir.c_str()) != 0)
        return Error(dir + ": cannot create the folder (" + std::strerror(errno) + ")", kSystem);
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Error(dir + ": exists and is not a folder", kUsage);
    // Extracting into the installer's own folder is fine unless a member
    // would be written over the installer itself. Only then do the names
    // matter before anything is written, so only then does a first pass
    // read them.
    vq::FileIdentity self, target;
    if (vq::GetFileIdentity(a.installer, &self) && FolderHolds(dir, self)) {
        ReadReport names;
        int rc = RunRead(a.installer, ReadOptions(), &names);
        if (rc != kOk) return rc;
        for (const MemberInfo &m : names.members) {
            std::string path = dir + "/" + m.name;
            if (vq::GetFileIdentity(path, &target) && target == self)
                return Error("member " + m.name + " would be written over the installer: " +
                                 path + " is the same file as " + a.installer +
                                 " (extract into another folder)",
                             kUsage);
        }
    }
    ReadOptions opt;
    opt.mode = ReadMode::kExtract;
    opt.out_dir = dir;
    ReadReport rep;
    int rc = RunRead(a.installer, opt, &rep);
    if (rc == kOk)
        std::printf("%s: %zu members written to %s\n", a.installer.c_str(), rep.members.size(),
                    dir.c_str());
    return rc;
}

// ---- lint -----------------------------------------------------------------

struct LintArgs {
    std::string descriptor;
    bool strict = false;
};

int Lint(const LintArgs &a) {
    LintReport rep;
    if (!LintDescriptorFile(a.descriptor, &rep))
        return Error(a.descriptor + ": " + rep.fatal, kSystem);
    for (const LintMessage &m : rep.messages)
        std::printf("%s\n", FormatLintMessage(a.descriptor, m).c_str());
    if (rep.errors()) return kUsage;
    if (!rep.messages.empty()) return a.strict ? kUsage : kCheckFailed;
    std::printf("%s: no problems found\n", a.descriptor.c_str());
    return kOk;
}

// ---- inspect ----------------------------------------------------------------

struct InspectArgs {
    std::string file;
    bool json = false;
    unsigned codepage = kCeDefaultCodePage;
};

// A CE cabinet found by inspect; `member` is its name inside an installer,
// "" when the file itself is the cabinet.
struct FoundCabinet {
    std::string member;
    CeCabinet cab;
};

// A JSON string of UTF-8 text (the model's texts are UTF-8; bytes that are
// not are shown as U+FFFD by the conversion that made them).
std::string Json(const std::string &s) {
    std::string j = "\"";
    char buf[8];
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            j += '\\';
            j += (char)c;
        } else if (c < 0x20) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            j += buf;
        } else {
            j += (char)c;
        }
    }
    return j + "\"";
}

// "A|B" -> ["A", "B"]; "" -> [].
std::string JsonNames(const std::string &names) {
    std::string j = "[";
    size_t at = 0;
    while (!names.empty() && at <= names.size()) {
        size_t bar = names.find('|', at);
        if (bar == std::string::npos) bar = names.size();
        j += (j.size() > 1 ? ", " : "") + Json(names.substr(at, bar - at));
        at = bar + 1;
    }
    return j + "]";
}

std::string JsonList(const std::vector<std::string> &items) {
    std::string list;
    for (const std::string &i : items) list += (list.empty() ? "" : ", ") + i;
    return "[" + list + "]";
}

std::string FormJson(const CeScriptForm &f) {
    if (!f.present) return "null";
    return "{\"member\": " + Json(f.member) + ", \"read\": " + (f.read ? "true" : "false") +
           ", \"error\": " + (f.read ? "null" : Json(f.error)) + "}";
}

std::string CabinetJson(const FoundCabinet &f) {
    const CeCabinet &c = f.cab;
    const CeInstall &s = c.model;
    auto n = [](uint64_t v) { return std::to_string(v); };
    std::string j = "{\"member\": " + (f.member.empty() ? "null" : Json(f.member));
    j += ", \"app\": " + Json(s.app_name) + ", \"provider\": " + Json(s.provider);
    j += ", \"install_dir\": " + Json(s.install_dir);
    j += ", \"processor\": " + n(s.processor) +
         ", \"processor_name\": " + Json(CeProcessorName(s.processor));
    j += ", \"version_min\": [" + n(s.version_min_major) + ", " + n(s.version_min_minor) + "]";
    j += ", \"version_max\": [" + n(s.version_max_major) + ", " + n(s.version_max_minor) + "]";
    j += ", \"build_min\": " + n(s.build_min) + ", \"build_max\": " + n(s.build_max);
    std::vector<std::string> list;
    for (const std::string &u : s.unsupported) list.push_back(Json(u));
    j += ", \"unsupported\": " + JsonList(list);
    j += ", \"scripts\": {\"binary\": " + FormJson(c.binary) + ", \"xml\": " + FormJson(c.xml);
    list.clear();
    for (const std::string &d : c.disagreements) list.push_back(Json(d));
    j += ", \"agree\": " + std::string(c.binary.read && c.xml.read ? (list.empty() ? "true" : "false") : "null") +
         ", \"differences\": " + JsonList(list) + "}";
    j += ", \"signed\": " + std::string(c.info.signed_ ? "true" : "false");
    j += ", \"signature\": " + (c.info.signed_ ? "{\"offset\": " + n(c.info.signature_offset) +
                                                     ", \"size\": " + n(c.info.signature_size) + "}"
                                               : std::string("null"));
    j += ", \"setup_dll_size\": " + (c.setup_dll ? n(c.setup_dll_size) : "null");
    list.clear();
    for (size_t i = 0; i < s.folders.size(); i++)
        list.push_back("{\"path\": " + Json(CeFolderPath(s, i)) + ", \"in_install_dir\": " +
                       (s.folders[i].in_install_dir ? "true" : "false") + "}");
    j += ", \"folders\": " + JsonList(list);
    list.clear();
    for (size_t i = 0; i < s.files.size(); i++) {
        const CeInstallFile &cf = s.files[i];
        std::string target = CeFilePath(s, cf), ppc = CePocketPcPath(target);
        list.push_back("{\"number\": " + n(cf.number) + ", \"target\": " + Json(target) +
                       ", \"pocket_pc\": " + (ppc.empty() ? "null" : Json(ppc)) +
                       ", \"member\": " + (c.present[i] ? Json(cf.member_name) : "null") +
                       ", \"size\": " + (c.present[i] ? n(c.sizes[i]) : "null") +
                       ", \"flags\": " + n(cf.flags) +
                       ", \"flag_names\": " + JsonNames(CeFileFlagNames(cf.flags)) + "}");
    }
    j += ", \"files\": " + JsonList(list);
    list.clear();
    for (const CeValue &v : s.values)
        list.push_back("{\"key\": " + Json(CeKeyText(s, v.key)) + ", \"name\": " + Json(v.name) +
                       ", \"type\": " + Json(CeRegTypeName(v.type_flags)) +
                       ", \"data\": " + Json(CeRegDataText(v)) +
                       ", \"substitute\": " + (v.substitute ? "true" : "false") +
                       ", \"flags\": " + JsonNames(CeRegFlagNames(v.type_flags)) + "}");
    j += ", \"registry\": " + JsonList(list);
    list.clear();
    for (const CeShortcut &l : s.shortcuts)
        list.push_back("{\"path\": " + Json(CeShortcutPath(s, l)) +
                       ", \"target\": " + Json(CeShortcutTarget(s, l)) +
                       ", \"to\": " + (l.to_file ? "\"file\"" : "\"folder\"") + "}");
    return j + ", \"shortcuts\": " + JsonList(list) + "}";
}

void PrintCabinet(const std::string &file, const FoundCabinet &f) {
    const CeCabinet &c = f.cab;
    const CeInstall &s = c.model;
    if (f.member.empty())
        std::printf("%s: CE cabinet, %zu members\n", file.c_str(), c.members);
    else
        std::printf("%s: member %s: CE cabinet, %zu members\n", file.c_str(), f.member.c_str(),
                    c.members);
    std::printf("  app:          %s\n", s.app_name.c_str());
    std::printf("  provider:     %s\n", s.provider.c_str());
    std::printf("  install dir:  %s\n", s.install_dir.empty() ? "(none)" : s.install_dir.c_str());
    std::printf("  processor:    %s\n", CeProcessorText(s.processor).c_str());
    std::printf("  CE versions:  %s to %s\n",
                CeVersionText(s.version_min_major, s.version_min_minor).c_str(),
                CeVersionText(s.version_max_major, s.version_max_minor).c_str());
    std::printf("  builds:       %s to %s\n", CeBuildText(s.build_min).c_str(),
                CeBuildText(s.build_max).c_str());
    std::string list;
    for (const std::string &u : s.unsupported) list += (list.empty() ? "" : ", ") + u;
    std::printf("  unsupported:  %s\n", list.empty() ? "none" : list.c_str());
    std::printf("  scripts:      %s\n", CeFormsText(c).c_str());
    for (const std::string &d : c.disagreements) std::printf("    differs: %s\n", d.c_str());
    if (c.info.signed_)
        std::printf("  signed:       yes, an Authenticode signature of %u bytes at offset %u\n",
                    c.info.signature_size, c.info.signature_offset);
    else
        std::printf("  signed:       no\n");
    if (c.setup_dll) std::printf("  setup DLL:    %u bytes\n", c.setup_dll_size);
    std::printf("  files (%zu):\n", s.files.size());
    for (size_t i = 0; i < s.files.size(); i++) {
        const CeInstallFile &cf = s.files[i];
        std::string target = CeFilePath(s, cf);
        std::string size = c.present[i] ? std::to_string(c.sizes[i]) + " bytes (" + cf.member_name + ")"
                                        : "missing from the cabinet";
        std::string flags = CeFileFlagNames(cf.flags);
        std::printf("    %s  %s%s%s\n", target.c_str(), size.c_str(), flags.empty() ? "" : "  ",
                    flags.c_str());
        std::string ppc = CePocketPcPath(target);
        if (!ppc.empty()) std::printf("      on a Pocket PC: %s\n", ppc.c_str());
    }
    std::printf("  registry values (%zu):\n", s.values.size());
    for (const CeValue &v : s.values) {
        std::string flags = CeRegFlagNames(v.type_flags);
        std::printf("    %s  %s  %s  %s%s%s%s\n", CeKeyText(s, v.key).c_str(),
                    v.name.empty() ? "(default)" : ("\"" + v.name + "\"").c_str(),
                    CeRegTypeName(v.type_flags), CeRegDataText(v).c_str(),
                    v.substitute ? "  (macros substituted)" : "", flags.empty() ? "" : "  ",
                    flags.c_str());
    }
    std::printf("  shortcuts (%zu):\n", s.shortcuts.size());
    for (const CeShortcut &l : s.shortcuts)
        std::printf("    %s -> %s %s\n", CeShortcutPath(s, l).c_str(), l.to_file ? "file" : "folder",
                    CeShortcutTarget(s, l).c_str());
}

// The CE cabinets among an installer's members (and why other cabinets
// are not ones), read without writing anything. False when the file is no
// installer, with the status to exit with.
bool InstallerCabinets(const std::string &file, unsigned codepage, std::vector<FoundCabinet> *found,
                       std::vector<std::pair<std::string, std::string>> *others, int *status) {
    // Only members that start like a cabinet are kept.
    std::map<size_t, std::string> data;
    std::vector<bool> dropped;
    ReadOptions opt;
    opt.mode = ReadMode::kList;
    opt.member_data = [&](size_t i, const uint8_t *p, uint32_t n) {
        if (i >= dropped.size()) dropped.resize(i + 1, false);
        if (dropped[i]) return;
        std::string &d = data[i];
        d.append((const char *)p, n);
        if (d.size() >= 4 && d.compare(0, 4, "MSCF") != 0) {
            dropped[i] = true;
            data.erase(i);
        }
    };
    ReadReport rep;
    if (!ReadInstaller(file, opt, &rep)) {
        bool system = ExtractResultIsSystemFailure(rep.result);
        *status = Error(file + (system ? ": " : ": neither a CE cabinet nor a readable installer: ") +
                            rep.message,
                        system ? kSystem : kCheckFailed);
        return false;
    }
    for (const auto &d : data) {
        FoundCabinet f;
        f.member = rep.members[d.first].name;
        std::string why;
        if (ReadCeCabinet((const uint8_t *)d.second.data(), d.second.size(), codepage, &f.cab,
                          &why) == CeCabinetStatus::kOk)
            found->push_back(f);
        else if (LooksLikeCabinet((const uint8_t *)d.second.data(), d.second.size()))
            others->push_back({f.member, why});
    }
    return true;
}

// One component of an installer: its INI (Setup.ini, or one AlsoInstall
// lists), the section its Component names and its CabFiles items, each
// with what the installer holds under that name.
struct InstallerComponent {
    std::string ini;
    bool present = false;  // the INI is a member
    std::string name;      // the Component value; "" when the INI is no member
    struct Cab {
        std::string member;
        const FoundCabinet *cab;  // the CE cabinet, or null
        bool present;             // a member of that name exists
    };
    std::vector<Cab> cabs;
};

// The components of an installer as the setup program walks them: the
// INI members read in one pass (members named *.ini of up to 1 MiB),
// Setup.ini's component first, then each plain AlsoInstall item, each
// with its CabFiles items (plain names, each once). Names are matched
// without regard to case, as Windows matches them. None when the
// installer holds no Setup.ini. False, with the status to exit with, when
// the installer cannot be read.
bool InstallerComponents(const std::string &file, const std::vector<FoundCabinet> &found,
                         std::vector<InstallerComponent> *components, int *status) {
    ReadReport rep;
    std::map<std::string, std::string> inis;  // lower-case name -> text
    ReadOptions opt;
    opt.mode = ReadMode::kList;
    opt.member_data = [&](size_t i, const uint8_t *p, uint32_t n) {
        const MemberInfo &m = rep.members[i];
        std::string lower = vq::LowerAscii(m.name);
        if (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".ini") != 0 ||
            m.entry.data_size > (1u << 20))
            return;
        inis[lower].append((const char *)p, n);
    };
    if (!ReadInstaller(file, opt, &rep)) {
        *status = Error(file + ": " + rep.message, ExtractResultIsSystemFailure(rep.result)
                                                       ? kSystem : kCheckFailed);
        return false;
    }
    std::set<std::string> members;
    for (const MemberInfo &m : rep.members) members.insert(vq::LowerAscii(m.name));
    auto setup = inis.find("setup.ini");
    if (setup == inis.end()) return true;
    Descriptor d;
    d.Parse(setup->second);
    std::vector<std::string> list = {SETUP_FILE};
    bool also;
    std::string value = d.Get(SETUP_SECTION, "AlsoInstall", SETUP_ALSOINSTALL_SIZE, &also);
    if (also)
        for (const std::string &item : SplitCabFiles(value))
            if (IsPlainMemberName(item.c_str())) list.push_back(item);
    std::set<std::string> walked;
    for (const std::string &ini : list) {
        if (!walked.insert(vq::LowerAscii(ini)).second) continue;
        InstallerComponent c;
        c.ini = ini;
        auto text = inis.find(vq::LowerAscii(ini));
        c.present = text != inis.end();
        if (c.present) {
            Descriptor cd;
            cd.Parse(text->second);
            c.name = cd.Get("CEAppManager", "Component", SETUP_VALUE_SIZE);
            std::set<std::string> seen;
            for (const std::string &item :
                 SplitCabFiles(cd.Get(c.name, "CabFiles", SETUP_CABFILES_SIZE))) {
                std::string lower = vq::LowerAscii(item);
                if (!IsPlainMemberName(item.c_str()) || !seen.insert(lower).second) continue;
                const FoundCabinet *cab = nullptr;
                for (const FoundCabinet &f : found)
                    if (vq::LowerAscii(f.member) == lower) cab = &f;
                c.cabs.push_back({item, cab, members.count(lower) != 0});
            }
        }
        components->push_back(c);
    }
    return true;
}

void PrintComponents(const std::string &file, const std::vector<InstallerComponent> &components) {
    for (size_t i = 0; i < components.size(); i++) {
        const InstallerComponent &c = components[i];
        if (!c.present) {
            std::printf("%s: component %zu: %s: not a member (the setup program skips it)\n",
                        file.c_str(), i + 1, c.ini.c_str());
            continue;
        }
        std::printf("%s: component %zu: %s, [%s], %zu CAB files\n", file.c_str(), i + 1,
                    c.ini.c_str(), c.name.c_str(), c.cabs.size());
        for (const InstallerComponent::Cab &cab : c.cabs) {
            if (!cab.present) {
                std::printf("  %s: not a member\n", cab.member.c_str());
            } else if (!cab.cab) {
                std::printf("  %s: not a CE cabinet\n", cab.member.c_str());
            } else {
                const CeInstall &s = cab.cab->cab.model;
                std::printf("  %s: %s, processor %s, CE %s to %s\n", cab.member.c_str(),
                            s.app_name.c_str(), CeProcessorText(s.processor).c_str(),
                            CeVersionText(s.version_min_major, s.version_min_minor).c_str(),
                            CeVersionText(s.version_max_major, s.version_max_minor).c_str());
            }
        }
    }
}

std::string ComponentsJson(const std::vector<InstallerComponent> &components) {
    std::string j;
    for (const InstallerComponent &c : components) {
        std::string cabs;
        for (const InstallerComponent::Cab &cab : c.cabs)
            cabs += (cabs.empty() ? "" : ", ") + std::string("{\"member\": ") + Json(cab.member) +
                    ", \"state\": " +
                    (!cab.present ? "\"not a member\"" : cab.cab ? "\"CE cabinet\""
                                                               : "\"not a CE cabinet\"") + "}";
        j += (j.empty() ? "" : ", ") + std::string("{\"ini\": ") + Json(c.ini) +
             ", \"member\": " + (c.present ? "true" : "false") +
             ", \"component\": " + (c.present ? Json(c.name) : "null") + ", \"cabinets\": [" +
             cabs + "]}";
    }
    return "[" + j + "]";
}

int Inspect(const InspectArgs &a) {
    std::string err;
    if (!CodePageKnown(a.codepage, &err)) return Error("--codepage: " + err, kUsage);
    char head[4] = {0, 0, 0, 0};
    {
        struct stat st;
        if (::stat(a.file.c_str(), &st) != 0)
            return Error(a.file + ": cannot open (" + std::strerror(errno) + ")", kSystem);
        if (!S_ISREG(st.st_mode)) return Error(a.file + ": not a regular file", kSystem);
        std::ifstream f(a.file, std::ios::binary);
        if (!f) return Error(a.file + ": cannot open (" + std::strerror(errno) + ")", kSystem);
        f.read(head, 4);
    }
    std::vector<FoundCabinet> found;
    std::vector<std::pair<std::string, std::string>> others;  // member, why not CE
    std::vector<InstallerComponent> components;               // an installer's
    bool installer = !LooksLikeCabinet((const uint8_t *)head, 4);
    if (!installer) {
        std::string bytes;
        if (!vq::LoadFile(a.file, &bytes, &err)) return Error(a.file + ": " + err, kSystem);
        FoundCabinet f;
        std::string why;
        if (ReadCeCabinet((const uint8_t *)bytes.data(), bytes.size(), a.codepage, &f.cab, &why) !=
            CeCabinetStatus::kOk)
            return Error(a.file + ": not a CE cabinet: " + why, kCheckFailed);
        found.push_back(f);
    } else {
        int status;
        if (!InstallerCabinets(a.file, a.codepage, &found, &others, &status)) return status;
        if (!InstallerComponents(a.file, found, &components, &status)) return status;
    }
    if (a.json) {
        std::vector<std::string> list, not_ce;
        for (const FoundCabinet &f : found) list.push_back(CabinetJson(f));
        for (const auto &o : others)
            not_ce.push_back("{\"member\": " + Json(o.first) + ", \"why\": " + Json(o.second) + "}");
        std::printf("{\"file\": %s, \"kind\": \"%s\", \"components\": %s, \"cabinets\": %s, "
                    "\"not_ce\": %s}\n",
                    Json(a.file).c_str(), installer ? "installer" : "cabinet",
                    ComponentsJson(components).c_str(), JsonList(list).c_str(),
                    JsonList(not_ce).c_str());
    } else {
        PrintComponents(a.file, components);
        for (const FoundCabinet &f : found) PrintCabinet(a.file, f);
        for (const auto &o : others)
            std::printf("%s: member %s: not a CE cabinet: %s\n", a.file.c_str(), o.first.c_str(),
                        o.second.c_str());
    }
    if (found.empty())
        return Error(a.file + ": an installer without a CE cabinet among its members", kCheckFailed);
    return kOk;
}

// ---- cab ------------------------------------------------------------------

struct CabArgs {
    std::string inf, folder = ".", compress = "mszip", script = "both";
    std::vector<std::string> cpus, source_dirs;
    unsigned codepage = kCeDefaultCodePage;
    bool strict = false;
};

// SOURCE_DATE_EPOCH, when set: whole seconds since 1970. False when it is
// set to anything else.
bool SourceDateEpoch(bool *set, int64_t *t) {
    const char *v = std::getenv("SOURCE_DATE_EPOCH");
    *set = v && *v;
    if (!*set) return true;
    std::string s(v);
    if (s.size() > 12 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    *t = std::stoll(s);
    return true;
}

// Makes `dir` and any parent that is missing.
bool MakeFolders(const std::string &dir) {
    struct stat st;
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at < dir.size() && !std::strchr(VQ_PATH_SEPARATORS, dir[at])) continue;
        std::string part = dir.substr(0, at);
        if (::stat(part.c_str(), &st) != 0 && vq::MakeFolder(part.c_str()) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// A tag as part of a file name: what is not a letter, a digit or one of
// "._-()" becomes '_' ("Mips 4000 (1K)" -> "Mips_4000_(1K)").
std::string SafeTag(const std::string &tag) {
    std::string s;
    for (char c : tag)
        s += (std::isalnum((unsigned char)c) && (unsigned char)c < 0x80) ||
                     std::strchr("._-()", c)
                 ? c
                 : '_';
    return s;
}

// Writes each cabinet to NAME.partial and renames them all once every one
// is complete; on a failure nothing is left behind. The exit status.
int WriteCabinets(const std::vector<std::pair<std::string, std::vector<uint8_t>>> &cabs) {
    std::vector<std::string> written;
    auto clean = [&] {
        for (const std::string &p : written) ::unlink(p.c_str());
    };
    for (const auto &c : cabs) {
        std::string tmp = c.first + ".partial";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
        if (fd < 0) {
            std::string why = std::strerror(errno);
            clean();
            return Error(c.first + ": " + why, kSystem);
        }
        written.push_back(tmp);
        bool ok = vq::WriteFull(fd, c.second.data(), c.second.size());
        int e = errno;
        if (::close(fd) != 0 && ok) {
            ok = false;
            e = errno;
        }
        if (!ok) {
            clean();
            return Error(c.first + ": " + std::strerror(e), kSystem);
        }
    }
    for (size_t i = 0; i < cabs.size(); i++) {
        if (vq::RenameOver(written[i].c_str(), cabs[i].first.c_str()) != 0) {
            std::string why = std::strerror(errno);
            for (size_t j = i; j < written.size(); j++) ::unlink(written[j].c_str());
            return Error(cabs[i].first + ": " + why, kSystem);
        }
    }
    return kOk;
}

// vqpack cab: one CE cabinet per tag, all built in memory before any is
// written. Warnings (what the CAB wizard would pass over) go to standard
// error with the INF's line; --strict makes them errors.
int Cab(const CabArgs &a) {
    std::vector<std::string> tags = a.cpus.empty() ? std::vector<std::string>{""} : a.cpus;
    for (size_t i = 0; i < tags.size(); i++) {
        if (!a.cpus.empty() && tags[i].find_first_not_of(" \t") == std::string::npos)
            return Error("--cpu '" + tags[i] + "': a tag is what follows 'CEDevice.' in a "
                                               "section name, and it is empty",
                         kUsage);
        for (size_t j = 0; j < i; j++)
            if (vq::LowerAscii(tags[i]) == vq::LowerAscii(tags[j]))
                return Error("--cpu " + tags[i] + " is given twice", kUsage);
    }
    std::string err;
    if (!CodePageKnown(a.codepage, &err)) return Error("--codepage: " + err, kUsage);
    CeBuildOptions opt;
    opt.codepage = a.codepage;
    opt.source_dirs = a.source_dirs;
    if (!SourceDateEpoch(&opt.fixed_time, &opt.time))
        return Error("SOURCE_DATE_EPOCH must be whole seconds since 1970", kUsage);
    std::string text;
    if (!vq::LoadFile(a.inf, &text, &err)) return Error(a.inf + ": " + err, kSystem);
    struct stat st;
    int64_t inf_time = ::stat(a.inf.c_str(), &st) == 0 ? (int64_t)st.st_mtime : 0;
    size_t slash = a.inf.find_last_of(VQ_PATH_SEPARATORS);
    opt.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : a.inf.substr(0, slash);
    Inf inf;
    if (!inf.Parse(text, a.inf, &err)) return Error(err, kUsage);
    CeScriptForms forms = a.script == "binary" ? CeScriptForms::kBinary
                          : a.script == "xml"  ? CeScriptForms::kXml
                                               : CeScriptForms::kBoth;

    std::string base = BaseName(a.inf);
    if (base.rfind('.') != std::string::npos && base.rfind('.') > 0) base.erase(base.rfind('.'));
    std::vector<std::pair<std::string, std::vector<uint8_t>>> cabs;
    std::vector<CeBuild> builds(tags.size());
    std::vector<InfWarning> warnings;
    std::map<int, bool> source_lines;
    for (size_t i = 0; i < tags.size(); i++) {
        CeBuild &build = builds[i];
        std::string name = base + (tags[i].empty() ? "" : "." + SafeTag(tags[i])) + ".CAB";
        std::string path = a.folder == "." ? name : a.folder + "/" + name;
        bool system = false;
        if (!BuildCeModel(inf, a.inf, tags[i], opt, &build, &err, &system)) {
            std::vector<std::string> other = InfTags(inf);
            std::string hint;
            if (tags[i].empty() && !other.empty()) {
                for (const std::string &t : other) hint += (hint.empty() ? "" : ", ") + t;
                hint = " (the INF has tags " + hint + ": give --cpu TAG)";
            }
            return Error(err + (tags[i].empty() ? hint : " (--cpu " + tags[i] + ")"),
                         system ? kSystem : kUsage);
        }
        for (const InfWarning &w : build.warnings) {
            bool again = false;
            for (const InfWarning &o : warnings) again |= o.line == w.line && o.text == w.text;
            if (!again) warnings.push_back(w);
        }
        for (const auto &l : build.source_lines) source_lines[l.first] |= l.second;
        uint16_t date, time;
        CabDosTime(opt.fixed_time ? opt.time : inf_time, &date, &time);
        std::vector<CabMember> members;
        std::vector<uint8_t> bytes;
        if (!CeCabinetMembers(build.model, build.script_stem, build.members, forms, a.codepage, date,
                              time, &members, &err))
            return Error(a.inf + ": " + err + (tags[i].empty() ? "" : " (--cpu " + tags[i] + ")"),
                         kUsage);
        if (!WriteCabinet(members, a.compress == "none" ? CabCompression::kNone : CabCompression::kMszip,
                          &bytes, &err))
            return Error(path + ": " + err, kUsage);
        cabs.push_back({path, std::move(bytes)});
    }
    // A [SourceDisksFiles] line that no cabinet made here uses.
    const InfSection *sdf = nullptr;
    for (const auto &l : source_lines) {
        if (l.second) continue;
        std::string key;
        for (const InfSection &s : inf.sections())
            for (const InfLine &k : s.lines)
                if (k.line == l.first) key = k.key, sdf = &s;
        warnings.push_back({l.first, "[" + (sdf ? sdf->name : std::string("SourceDisksFiles")) +
                                         "] " + key + " is a source file that nothing copies: "
                                         "it is not in the cabinet"});
    }
    for (const InfWarning &w : warnings)
        std::fprintf(stderr, "%s%s warning: %s\n", a.inf.c_str(),
                     w.line ? (":" + std::to_string(w.line) + ":").c_str() : ":", w.text.c_str());
    if (a.strict && !warnings.empty())
        return Error(a.inf + ": " + std::to_string(warnings.size()) +
                         (warnings.size() == 1 ? " warning" : " warnings") +
                         " with --strict: no cabinet written",
                     kUsage);

    if (!MakeFolders(a.folder))
        return Error(a.folder + ": cannot create the folder (" + std::strerror(errno) + ")",
                     kSystem);
    if (::stat(a.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Error(a.folder + ": exists and is not a folder", kUsage);
    if (int status = WriteCabinets(cabs)) return status;
    for (size_t i = 0; i < cabs.size(); i++) {
        const CeInstall &s = builds[i].model;
        const char *cpu = CeProcessorName(s.processor);
        std::printf("%s: %zu files, %zu bytes, processor %u%s%s%s\n", cabs[i].first.c_str(),
                    s.files.size(), cabs[i].second.size(), s.processor, *cpu ? " (" : "", cpu,
                    *cpu ? ")" : "");
    }
    return kOk;
}

// ---- try ------------------------------------------------------------------

// vqpack try INSTALLER [options]: runs the Python driver vqpack_try.py with
// the arguments and becomes it, so that its exit status and its handling
// of Ctrl-C are vqpack's. The driver sits in try/ beside vqpack in the build
// folder, or in VQ_TRY_RELDIR from vqpack's folder once installed; it is
// told this vqpack's path to extract the installer's members.
int Try(int argc, char **argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    return Error("try runs on Linux only: it drives the installer under Wine", kSystem);
#else
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return Error("try: cannot find this program's path", kSystem);
    self[n] = 0;
    std::string dir(self);
    dir.erase(dir.find_last_of('/'));
    std::string driver;
    for (const std::string &d : {dir + "/try", dir + "/" VQ_TRY_RELDIR}) {
        if (access((d + "/vqpack_try.py").c_str(), R_OK) == 0) {
            driver = d + "/vqpack_try.py";
            break;
        }
    }
    if (driver.empty())
        return Error("try: vqpack_try.py not found in " + dir + "/try or " + dir +
                         "/" VQ_TRY_RELDIR, kSystem);
    std::vector<char *> args = {(char *)"python3", &driver[0], (char *)"--vqpack", self};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("python3", args.data());
    return Error(std::string("try needs python3 (") + std::strerror(errno) +
                     "): on Debian, apt-get install python3", kSystem);
#endif
}

// ---- the command line -------------------------------------------------------

// A subcommand as parsed: its CLI11 app, and what runs it once its options
// are filled in.
struct Subcommand {
    CLI::App *app;
    std::function<int()> run;
};

// Each Add* declares one subcommand, its options bound to arguments that
// the run function owns.
Subcommand AddBuild(CLI::App &app) {
    auto a = std::make_shared<BuildArgs>();
    CLI::App *c = app.add_subcommand("build", "pack files behind the setup program");
    c->add_option("-o,--output", a->out, "installer to write (SETUP.EXE)")->required();
    c->add_option("--stub", a->stub, "setup program image of exactly 32768 bytes "
                                     "(default: the built-in one)");
    c->add_option("--from", a->from, "Setup.ini, or a folder that holds one: pack it and "
                                     "every file it names");
    c->add_option("-j,--jobs", a->jobs, "compress in N threads (1 to 256, or 'auto': one "
                                        "per processor); the output is the same for any N")
        ->transform(JobsValidator());
    c->add_option("--block-size", a->block_kib, "the payload is coded in blocks of KIB KiB "
                                                "(default 1024); changes the output")
        ->check(CLI::Range(64, 1 << 20));
    c->add_flag("--level9-all", a->level9_all,
                "deflate every member at level 9, also the parts that do not compress (by "
                "default these are stored: CAB files gain under 1 % at several times the "
                "build and setup time)");
    c->add_flag("--strict", a->strict, "with --from: treat warnings as errors");
    c->add_option("files", a->files, "FILE or NAME=PATH (member name = base name)");
    return {c, [a] { return Build(*a); }};
}

// list, verify and extract: an installer, and for extract a folder.
Subcommand AddRead(CLI::App &app, const char *name, const char *help,
                   int (*run)(const ReadArgs &), bool takes_folder = false) {
    auto a = std::make_shared<ReadArgs>();
    CLI::App *c = app.add_subcommand(name, help);
    c->add_option("installer", a->installer, "SETUP.EXE")->required();
    if (takes_folder)
        c->add_option("folder", a->folder, "folder that receives the members (made if "
                                           "missing; its parent must exist)")
            ->required();
    return {c, [a, run] { return run(*a); }};
}

Subcommand AddLint(CLI::App &app) {
    auto a = std::make_shared<LintArgs>();
    CLI::App *c = app.add_subcommand("lint", "check a Setup.ini as the setup program reads it");
    c->add_option("descriptor", a->descriptor, "Setup.ini")->required();
    c->add_flag("--strict", a->strict, "fail on warnings as well");
    return {c, [a] { return Lint(*a); }};
}

Subcommand AddInspect(CLI::App &app) {
    auto a = std::make_shared<InspectArgs>();
    CLI::App *c = app.add_subcommand("inspect", "show what a CE cabinet, or each one in an "
                                                "installer, puts on the device");
    c->add_option("file", a->file, "a CE cabinet (.CAB) or an installer")->required();
    c->add_flag("--json", a->json, "print one JSON object");
    c->add_option("--codepage", a->codepage, "the ANSI code page of the binary script's texts "
                                             "(default 1252)")
        ->type_name("N");
    return {c, [a] { return Inspect(*a); }};
}

Subcommand AddCab(CLI::App &app) {
    auto a = std::make_shared<CabArgs>();
    CLI::App *c = app.add_subcommand("cab", "make CE cabinets from a CE project's INF file");
    c->add_option("inf", a->inf, "the INF file (CAB wizard style)")->required()->type_name("INF");
    c->add_option("--cpu", a->cpus, "make INF.TAG.CAB from the INF and its .TAG sections; once "
                                    "per cabinet (without: one cabinet, INF.CAB)")
        ->allow_extra_args(false)
        ->type_name("TAG");
    c->add_option("-o,--output", a->folder, "folder that receives the cabinets (default: the "
                                            "current one; made if missing)")
        ->type_name("DIR");
    c->add_option("--compress", a->compress, "mszip (default) or none")
        ->check(CLI::IsMember({"mszip", "none"}));
    c->add_option("--script", a->script, "the install script forms: both (default: the .000 "
                                         "and _setup.xml), binary (the .000 alone) or xml")
        ->check(CLI::IsMember({"both", "binary", "xml"}));
    c->add_option("--source-dir", a->source_dirs, "a folder that holds source files by their "
                                                  "names, looked in where the INF's folder is "
                                                  "not on this machine; repeatable")
        ->allow_extra_args(false)
        ->type_name("DIR");
    c->add_option("--codepage", a->codepage, "the devices' ANSI code page for the script's "
                                             "texts (default 1252)")
        ->type_name("N");
    c->add_flag("--strict", a->strict, "fail on warnings as well (nothing is written)");
    return {c, [a] { return Cab(*a); }};
}

}  // namespace

int main(int argc, char **argv) {
    // try hands all of its arguments to its driver, which parses them.
    if (argc > 1 && std::strcmp(argv[1], "try") == 0) return Try(argc - 2, argv + 2);

    CLI::App app{"Builds, lists, verifies and extracts VQ Installer setup programs."};
    app.set_version_flag("--version", std::string("vqpack ") + VQ_VERSION);
    app.require_subcommand(1);
    const Subcommand commands[] = {
        AddBuild(app),
        AddRead(app, "list", "show the members of an installer", List),
        AddRead(app, "verify", "make every check the setup program makes", Verify),
        AddRead(app, "extract", "write the members into a folder", Extract, true),
        AddLint(app),
        AddInspect(app),
        AddCab(app),
    };
#ifndef _WIN32
    // Listed for --help only: main runs it before parsing (Try).
    app.add_subcommand("try", "run an installer under Wine as a user would and report "
                              "what the Application Manager gets");
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "vqpack: %s (see vqpack --help)\n", e.what());
        return kUsage;
    }
    for (const Subcommand &c : commands)
        if (c.app->parsed()) return c.run();
    return kUsage;
}
