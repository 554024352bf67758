// Setup.ini in the workspace folder and the paths of payload members, as
// the setup program reads and builds them.
#ifndef VQ_SETUP_INI_H
#define VQ_SETUP_INI_H

#include "common/cablist.h"
#include "common/setup_state.h"
#include "common/setup_text.h"

// Reads one value of Setup.ini (default "NO"), cut to size - 1 characters.
// Uses the scratch path buffer for the file's path.
void ReadSetupValue(const char *section, const char *key, char *dst, int size);

// Builds "folder\name" into the kPathBufferSize-byte `dst`. Returns 1 on
// success; 0, with `dst` empty, when `name` is not a plain member name or
// the path does not fit. An empty path makes every file call fail, so the
// callers need no branch of their own.
int JoinPath(char *dst, const char *folder, const char *name);

// JoinPath with the workspace folder.
int MemberPath(char *dst, const char *name);

#endif
