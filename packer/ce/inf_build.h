// From a CE project's INF to what goes into one CE cabinet: the CE model of
// what the device gets (ce_model.h) and the members its files come from,
// as the CAB wizard makes them for one tag. The cabinet's script members
// are the codecs' business (ce_cabinet.h), not the builder's.
//
// For tag T, the sections [CEDevice.T], [SourceDisksNames.T] and
// [SourceDisksFiles.T] complete and override the plain ones key by key
// (UnsupportedPlatforms is the exception: both lists count), and the lists
// of [DefaultInstall.T] (CopyFiles, AddReg, CEShortcuts, CESelfRegister)
// join the plain ones; its CESetupDLL overrides. Files are numbered 1, 2,
// ... in the order the CopyFiles sections and their lines name them; the
// setup DLL is member 999.
//
// The builder is as tolerant as the CAB wizard and says so: what the
// wizard would pass over is a warning with the INF's line (a section that
// is named but missing, copy flags it does not know, a file listed twice
// for one place, ...); what would make a cabinet that does not do what the
// INF says is an error.
#ifndef VQ_CE_INF_BUILD_H
#define VQ_CE_INF_BUILD_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ce/cabinet.h"
#include "ce/ce_model.h"
#include "ce/codepage.h"
#include "ce/inf.h"

struct CeBuildOptions {
    // The INF's folder: relative folders in [SourceDisksNames] start there,
    // and an empty one is the INF's folder itself.
    std::string folder;
    // Folders that hold source files by their names, looked in when a file
    // is not where the INF puts it (a folder the INF names as a Windows
    // path, "C:\...\bin\Release\", is not on this machine).
    std::vector<std::string> source_dirs;
    // The devices' ANSI code page: every text of the script must fit it,
    // and an INF without a byte-order mark is read in it.
    unsigned codepage = kCeDefaultCodePage;
    // Time stamp of every member (SOURCE_DATE_EPOCH); when unset, each file
    // member takes its source file's modification time.
    bool fixed_time = false;
    int64_t time = 0;
};

struct CeBuild {
    CeInstall model;
    // The members that hold the files, in the cabinet's order after the
    // script: the setup DLL (NNN.999) first, then the files in descending
    // order of their numbers. Names in the CAB wizard's 8.3 style: the
    // source's name without its extension when that is a valid 8.3 name,
    // else its first letters upper-cased with "~N", left-padded with '0' to
    // 8 characters ("0NOTES.001", "NSCEPI~1.002").
    std::vector<CabMember> members;
    std::vector<std::string> sources;  // for each member, the file it came from
    std::string script_stem;           // the .000's 8.3 stem, unique among the members'
    std::vector<InfWarning> warnings;
    // Each [SourceDisksFiles] line this build read (its own tag's and the
    // plain section's): whether a file or the setup DLL used it. Several
    // tags of one INF share the plain lines, so an unused line is only
    // worth a warning when no tag uses it.
    std::map<int, bool> source_lines;
};

// Builds the model and members of `inf` (read from `inf_path`) for tag
// `tag` ("" for none). False with *error naming the INF's file and line,
// the section or the file, and *system_error set when the cause is a file
// that exists but cannot be read (otherwise the INF is at fault): a missing
// [Version], CESignature, Provider or AppName; a tag that no section
// carries; a ProcessorType, version, build, flag or registry number that is
// not one; a file-list section without a destination in [DestinationDirs];
// a source file that is not in [SourceDisksFiles], whose disk is not in
// [SourceDisksNames], or that is not there (the message names every place
// looked at); two different source files for one destination; more than
// 998 files; a registry root, type or data that the device does not know;
// a shortcut to a file that no CopyFiles section installs or to a folder
// that [DestinationDirs] does not name; a text that code page
// options.codepage cannot hold.
bool BuildCeModel(const Inf &inf, const std::string &inf_path, const std::string &tag,
                  const CeBuildOptions &options, CeBuild *out, std::string *error,
                  bool *system_error);

// The tags an INF carries: what follows "CEDevice.", "DefaultInstall.",
// "SourceDisksNames." or "SourceDisksFiles." in its section names, in the
// order they first appear, each once (compared without regard to case).
std::vector<std::string> InfTags(const Inf &inf);

#endif
