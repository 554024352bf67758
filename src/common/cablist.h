// The CabFiles list of Setup.ini: a comma-separated list of member names.
// Plain C++ without any system dependency, so that host tests and fuzzers
// can drive it directly.
#ifndef VQ_CABLIST_H
#define VQ_CABLIST_H

#include <stddef.h>

typedef void (*CabItemProc)(const char *item, void *context);

// 1 if `name` can only name a file directly inside the workspace folder:
// not empty, no folder separator ('\\' or '/'), no drive (':'), and not
// made of dots and blanks alone ("." and ".." and what the system's path
// rules fold into them, the folder itself or its parent). 0 otherwise.
int IsPlainMemberName(const char *name);

// Walks `list` in order: at every comma the current item ends and is
// handled, and the next item starts behind the comma unless the comma is
// the last character; after the scan the current item is handled once
// more. So "a" gives a; "a," gives a, a; "a,,b" gives a, "", b; "" gives
// one empty item. Items are not trimmed. `proc` is called for every item.
// The commas of `list` are overwritten with NULs. Returns the number of
// items the list holds.
int WalkCabItems(char *list, CabItemProc proc, void *context);

// WalkCabItems that calls `proc` only for items that pass
// IsPlainMemberName; the others name no member and are skipped (but
// counted). This is how the setup program moves and deletes CAB files.
int WalkCabFiles(char *list, CabItemProc proc, void *context);

#endif
