// vqpack: builds, lists, verifies and extracts VQ Installer setup programs.
//
// Exit status: 0 success; 1 the installer failed a check (or, for lint,
// warnings only); 2 bad usage or, for lint, errors; 3 a system error (a
// file that cannot be read or written).
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "descriptor.h"
#include "host_reader.h"
#include "platform.h"
#include "writer.h"

#ifdef VQ_HAVE_EMBEDDED_STUB
extern "C" const unsigned char vq_stub_image[];
extern "C" const unsigned char vq_stub_image_end[];
#endif

#ifndef VQ_VERSION
#define VQ_VERSION "0.0.0"
#endif

namespace {

enum Exit { kOk = 0, kCheckFailed = 1, kUsage = 2, kSystem = 3 };

int Error(const std::string &msg, int code) {
    std::fprintf(stderr, "vqpack: %s\n", msg.c_str());
    return code;
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

bool LoadFile(const std::string &path, std::vector<uint8_t> *out, std::string *err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *err = path + ": " + std::strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

std::string BaseName(const std::string &p) {
    size_t s = p.find_last_of(VQ_PATH_SEPARATORS);
    return s == std::string::npos ? p : p.substr(s + 1);
}

uint64_t FileSize(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// Reader failures that come from the system rather than the file's
// contents get their own exit status.
int ReadFailureStatus(ExtractResult r) {
    switch (r) {
    case kErrOpenSelf: case kErrAlloc: case kErrCreateSpool: case kErrWriteSpool:
    case kErrReadSpool: case kErrCreateMember: case kErrWriteMember:
        return kSystem;
    default:
        return kCheckFailed;
    }
}

int RunRead(const std::string &file, ReadOptions opt, ReadReport *rep) {
    Progress bar(opt.mode == ReadMode::kExtract ? "extracting" : "verifying",
                 FileSize(file));
    opt.progress = [&](uint32_t pct) { bar.Percent(pct); };
    if (ReadInstaller(file, opt, rep)) return kOk;
    return Error(file + ": " + rep->message, ReadFailureStatus(rep->result));
}

struct BuildArgs {
    std::string out, stub, from, jobs = "1";
    std::vector<std::string> files;
    size_t block_kib = 1024;
    bool strict = false;
    bool level9_all = false;
};

int Build(const BuildArgs &a) {
    std::vector<uint8_t> image;
    std::string err;
    if (!a.stub.empty()) {
        if (!LoadFile(a.stub, &image, &err)) return Error(err, kSystem);
        if (image.size() != 32768)
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
    if (!a.from.empty()) {
        LintReport lint;
        if (!CollectFromDescriptor(a.from, &members, &lint))
            return Error(a.from + ": " + lint.fatal, kSystem);
        for (const LintMessage &m : lint.messages)
            std::fprintf(stderr, "vqpack: %s\n", FormatLintMessage(a.from, m).c_str());
        if (lint.errors() || (a.strict && !lint.messages.empty()))
            return Error(a.from + ": not building because of the problems above",
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

    WriteOptions opt;
    if (a.jobs == "auto") {
        unsigned n = std::thread::hardware_concurrency();
        opt.jobs = n ? n : 1;
    } else {
        char *end = nullptr;
        long n = std::strtol(a.jobs.c_str(), &end, 10);
        if (!end || *end || n < 1 || n > 256)
            return Error("--jobs takes a number from 1 to 256 or 'auto'", kUsage);
        opt.jobs = (unsigned)n;
    }
    // The bytes depend on the block size and the level policy, not on the
    // number of jobs.
    opt.block_size = a.block_kib * 1024;
    opt.level9_all = a.level9_all;
    uint64_t total = 0;
    for (const PackMember &m : members) total += FileSize(m.path);
    Progress bar("packing", total);
    opt.progress = [&](uint64_t done, uint64_t all) {
        bar.Percent(all ? (uint32_t)(done * 100 / all) : 100);
    };
    std::string bad = CheckMembers(members);
    if (!bad.empty()) return Error(bad, kUsage);
    if (!WriteInstaller(a.out, image, members, opt, &err)) return Error(err, kSystem);
    return kOk;
}

void PrintHeader(const std::string &file, const ReadReport &r) {
    const ContainerHeader &h = r.header;
    std::printf("%s: %llu bytes, %u members, %u bytes packed to %u\n", file.c_str(),
                (unsigned long long)r.file_size, h.entry_count, h.uncompressed_size,
                h.compressed_size);
    std::printf("checksums: image %08X  directory %08X  data %08X\n", h.image_checksum,
                h.directory_checksum, h.data_checksum);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Builds, lists, verifies and extracts VQ Installer setup programs."};
    app.set_version_flag("--version", std::string("vqpack ") + VQ_VERSION);
    app.require_subcommand(1);

    BuildArgs b;
    CLI::App *build = app.add_subcommand("build", "pack files behind the setup program");
    build->add_option("-o,--output", b.out, "installer to write (SETUP.EXE)")->required();
    build->add_option("--stub", b.stub, "setup program image of exactly 32768 bytes "
                                        "(default: the built-in one)");
    build->add_option("--from", b.from, "Setup.ini: pack it and every file it names");
    build->add_option("-j,--jobs", b.jobs, "compress in N threads (1 to 256, or 'auto': "
                                           "one per processor); the output is the same "
                                           "for any N");
    build->add_option("--block-size", b.block_kib, "the payload is compressed in blocks "
                                                   "of KIB KiB (64 to 1048576, default 1024)")
        ->check(CLI::Range(64, 1 << 20));
    build->add_flag("--level9-all", b.level9_all,
                    "deflate every member at level 9, also those that do not compress "
                    "(by default they are stored: CAB files gain about 0.3 % at many "
                    "times the build and setup time)");
    build->add_flag("--strict", b.strict, "with --from: treat warnings as errors");
    build->add_option("files", b.files, "FILE or NAME=PATH (member name = base name)");

    std::string file, dir;
    CLI::App *list = app.add_subcommand("list", "show the members of an installer");
    list->add_option("installer", file, "SETUP.EXE")->required();
    CLI::App *verify = app.add_subcommand("verify", "make every check the setup program makes");
    verify->add_option("installer", file, "SETUP.EXE")->required();
    CLI::App *extract = app.add_subcommand("extract", "write the members into a folder");
    extract->add_option("installer", file, "SETUP.EXE")->required();
    extract->add_option("folder", dir, "existing folder")->required();

    std::string ini;
    CLI::App *lint = app.add_subcommand("lint", "check a Setup.ini as the setup program reads it");
    lint->add_option("descriptor", ini, "Setup.ini")->required();
    lint->add_flag("--strict", b.strict, "fail on warnings as well");

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

    if (*build) return Build(b);

    if (*lint) {
        LintReport rep;
        if (!LintDescriptorFile(ini, &rep)) return Error(ini + ": " + rep.fatal, kSystem);
        for (const LintMessage &m : rep.messages)
            std::printf("%s\n", FormatLintMessage(ini, m).c_str());
        if (rep.errors()) return 2;
        if (!rep.messages.empty()) return b.strict ? 2 : 1;
        std::printf("%s: no problems found\n", ini.c_str());
        return kOk;
    }

    ReadOptions opt;
    ReadReport rep;
    if (*verify) {
        opt.mode = ReadMode::kVerify;
        int rc = RunRead(file, opt, &rep);
        if (rc == kOk)
            std::printf("%s: OK, %u members, %u bytes\n", file.c_str(),
                        rep.header.entry_count, rep.header.uncompressed_size);
        return rc;
    }
    if (*list) {
        opt.mode = ReadMode::kList;
        int rc = RunRead(file, opt, &rep);
        if (rc != kOk) return rc;
        PrintHeader(file, rep);
        std::printf("%10s %10s %10s  %-8s  %s\n", "name at", "data at", "size", "checksum",
                    "name");
        for (const MemberInfo &m : rep.members)
            std::printf("%10u %10u %10u  %08X  %s\n", m.entry.name_offset, m.entry.data_offset,
                        m.entry.data_size, m.checksum, m.name.c_str());
        return kOk;
    }
    if (*extract) {
        // The folder is made if it is missing (its parent must exist).
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 && vq::MakeFolder(dir.c_str()) != 0)
            return Error(dir + ": cannot create the folder (" + std::strerror(errno) + ")", kSystem);
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return Error(dir + ": exists and is not a folder", kUsage);
        opt.mode = ReadMode::kExtract;
        opt.out_dir = dir;
        int rc = RunRead(file, opt, &rep);
        if (rc == kOk)
            std::printf("%s: %zu members written to %s\n", file.c_str(), rep.members.size(),
                        dir.c_str());
        return rc;
    }
    return kUsage;
}
