// Setup.ini in the workspace folder and the paths of payload members, as
// the setup program reads and builds them.
#ifndef VQ_SETUP_INI_H
#define VQ_SETUP_INI_H

#include "common/cablist.h"
#include "common/setup_state.h"
#include "common/setup_text.h"

// Reads one value of the INI member `file` in the workspace folder into
// `dst`, cut to size - 1 characters; `fallback` when the file, the section
// or the key is missing. Returns the length of what `dst` holds: size - 1
// when the value may have been cut. Uses the scratch path buffer for the
// file's path.
int ReadIniValue(const char *file, const char *section, const char *key, char *dst,
                 int size, const char *fallback);

// Reads one value of Setup.ini (default "NO"), cut to size - 1 characters.
// Uses the scratch path buffer for the file's path.
void ReadSetupValue(const char *section, const char *key, char *dst, int size);

// What a file is to the callback of WalkComponents.
enum ComponentFile {
    kComponentCab = 0,   // a CabFiles item that is a plain member name
    kComponentSetupIni,  // Setup.ini, after its component's CAB files
    kComponentListedIni, // an AlsoInstall INI, after its component's CAB files
    kComponentCutList    // the INI whose AlsoInstall, or whose listed INI's
                         // Component or CabFiles, may have been cut (below)
};
typedef void (*ComponentFileProc)(const char *name, int kind, void *context);

// Walks the files of every component the payload hands to the Application
// Manager, in order: Setup.ini's CabFiles items, Setup.ini; then, for each
// item of Setup.ini's [VQINSTALLER] AlsoInstall that is a plain member name
// (walked by the CabFiles rule; missing key: no item), that INI's CabFiles
// items, then the INI. A listed INI that is no member reads as Component
// and CabFiles "NO" and so gives no CAB file that exists either.
// AlsoInstall is read first, so `proc` may move or delete Setup.ini.
// A value that fills its buffer (SETUP_LONGEST_LISTED) is announced by a
// kComponentCutList call with the INI's name before the component is
// walked (for AlsoInstall: with Setup.ini, before anything else); the walk
// goes on, and the callback decides. Uses the scratch path buffer between
// the calls of `proc`.
void WalkComponents(ComponentFileProc proc, void *context);

// Builds "folder\name" into the kPathBufferSize-byte `dst`. Returns 1 on
// success; 0, with `dst` empty, when `name` is not a plain member name or
// the path does not fit. An empty path makes every file call fail, so the
// callers need no branch of their own.
int JoinPath(char *dst, const char *folder, const char *name);

// JoinPath with the workspace folder.
int MemberPath(char *dst, const char *name);

#endif
