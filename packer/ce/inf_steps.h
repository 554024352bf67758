// The steps of building an INF for one tag, in the order its input has
// them: strings, tags and the devices (inf_build.cpp); files, their sources
// and the setup DLL (inf_files.cpp); registry values and shortcuts
// (inf_links.cpp). They share one InfBuild: the INF, the options, what is
// built so far, and the ways to look things up and to report
// (inf_steps.cpp).
#ifndef VQ_CE_INF_STEPS_H
#define VQ_CE_INF_STEPS_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ce/inf_build.h"

struct InfBuild {
    InfBuild(const Inf &inf, const std::string &inf_path, const std::string &tag,
             const CeBuildOptions &opt, CeBuild *out, std::string *error, bool *system)
        : inf(inf), inf_path(inf_path), tag(tag), opt(opt), out(out), error(error),
          system(system) {}

    const Inf &inf;
    const std::string &inf_path, &tag;
    const CeBuildOptions &opt;
    CeBuild *out;
    std::string *error;
    bool *system;

    // ---- reporting ----
    bool Fail(int line, const std::string &msg);
    bool FailFile(const std::string &msg);
    void Warn(int line, const std::string &msg);

    // ---- looking up ----
    std::string Tagged(const std::string &base) const { return base + "." + tag; }
    // "[Base]" or "[Base] or [Base.TAG]", for messages.
    std::string Both(const std::string &base) const;
    // The line of `key` in [base.TAG], else in [base]; null when neither has it.
    const InfLine *Key(const std::string &base, const std::string &key) const;
    // A list-valued key of [DefaultInstall] and [DefaultInstall.TAG], the
    // plain list first, each name once; with the line that names it.
    std::vector<std::pair<std::string, int>> Lists(const std::string &key) const;
    // The section a list names: null, with a warning, when it is missing
    // (the CAB wizard passes over it); a warning when its header spells the
    // name in another case.
    const InfSection *Named(const std::string &name, int line, const std::string &what);

    // ---- texts ----
    // A field as UTF-8 text for the model, checked against the devices'
    // code page (an ANSI INF's bytes are converted from it). False with an
    // error naming the line.
    bool Text(const std::string &field, int line, const std::string &what, std::string *out);
    // A folder on the device from an INF path ("%InstallDir%\Docs",
    // "%CE2%", "\Windows\Help"); false for an empty one.
    bool Folder(const std::string &path, int line, const std::string &what, size_t *index);
    // The folder [DestinationDirs] gives `section` (else DefaultDestDir):
    // *found false when neither names one.
    bool Destination(const std::string &section, int line, bool *found, size_t *index);

    // ---- built so far ----
    std::map<std::string, uint16_t> stored;  // source path -> number of the member holding it
    struct Pending {
        uint16_t number;
        std::string name, path;  // source name (for the 8.3 stem), path on this machine
        std::vector<uint8_t> data;
        int64_t mtime;
    };
    std::vector<Pending> pending;  // file members, in number order
    std::vector<Pending> setup_dll;
};

// The steps; each false with *error set.
bool BuildDevices(InfBuild &b);    // [Version], [CEStrings], [CEDevice(.TAG)]
bool BuildFolders(InfBuild &b);    // [DestinationDirs] of the sections used
bool BuildFiles(InfBuild &b);      // CopyFiles, CESelfRegister, CESetupDLL
bool BuildRegistry(InfBuild &b);   // AddReg
bool BuildShortcuts(InfBuild &b);  // CEShortcuts
bool BuildMembers(InfBuild &b);    // the file members and their 8.3 names

// A decimal or 0x-hexadecimal number of up to 32 bits.
bool ParseInfNumber(const std::string &s, uint32_t *v);
std::string InfQuote(const std::string &s);

#endif
