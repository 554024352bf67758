// From a CE project's INF to what goes into one CE cabinet: the install
// script and the cabinet's members, as the CAB wizard makes them for one
// processor tag.
//
// For tag T, the sections [CEDevice.T], [DefaultInstall.T],
// [SourceDisksNames.T] and [SourceDisksFiles.T] complete and override the
// plain ones key by key (UnsupportedPlatforms is the exception: both lists
// count). Files are numbered 1, 2, ... in the order the CopyFiles sections
// and their lines name them; the setup DLL is number 999.
#ifndef VQ_CE_INF_BUILD_H
#define VQ_CE_INF_BUILD_H

#include <cstdint>
#include <string>
#include <vector>

#include "ce/cabinet.h"
#include "ce/ce_script.h"
#include "ce/inf.h"

struct CeBuildOptions {
    // The INF's folder: source paths in [SourceDisksNames] are relative to it.
    std::string folder;
    // Time stamp of every member (SOURCE_DATE_EPOCH); when unset, each file
    // member takes its source file's modification time and the script
    // `script_time`.
    bool fixed_time = false;
    int64_t time = 0;
    int64_t script_time = 0;
};

struct CeBuild {
    CeScript script;
    // NAME.000 (the encoded script) first, then the files in descending
    // order of their numbers (NAME.999, the setup DLL, first among them).
    // NAME: up to 8 characters of the source name without its extension,
    // letters, digits, '_', '-' and '~' only ("FILE" if none are left); the
    // script's NAME comes from the INF's name.
    std::vector<CabMember> members;
    // For each member, the file it came from (the INF for the script).
    std::vector<std::string> sources;
};

// Builds the cabinet contents of `inf` (read from `inf_path`) for processor
// tag `cpu` ("" for none). False with *error naming the INF's file and line,
// the section or the file, and *system_error set when the cause is a file
// that exists but cannot be read (otherwise the INF is at fault): a missing
// [Version], CESignature, Provider or AppName; a section that is named but
// does not exist; a tag that no section carries; a ProcessorType, version,
// build, flag or registry number that is not one; a file-list section
// without a destination in [DestinationDirs]; a source file that is not in
// [SourceDisksFiles], whose disk is not in [SourceDisksNames], or that is
// not there; two files with one destination; more than 998 files; a
// registry root, type or data that the device does not know; a shortcut to
// a file that no CopyFiles section installs or to a folder that
// [DestinationDirs] does not name.
bool BuildCeCabinet(const Inf &inf, const std::string &inf_path, const std::string &cpu,
                    const CeBuildOptions &options, CeBuild *out, std::string *error,
                    bool *system_error);

#endif
