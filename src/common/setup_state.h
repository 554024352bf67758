// Process-wide state of the setup program, shared by its three parts
// (launcher, wizard, hand-off), and the bounded formatter they all use.
// One thread owns all of it; the definitions live in setup_state.cpp.
#ifndef VQ_SETUP_STATE_H
#define VQ_SETUP_STATE_H

#include <windows.h>
#include "common/setup_text.h"

enum {
    kPathBufferSize = 1024,     // workspace folder, scratch paths, AppManagerDir
    kMessageBufferSize = 1024,  // failure texts with placeholders
    kCaptionSize = WIZARD_TITLE_SIZE,
    kAppManagerPathSize = 260
};

extern HINSTANCE g_instance;                      // own module
extern char g_workspace[kPathBufferSize];         // %TEMP%_VQIxxxx, no trailing '\'
extern char g_appManagerPath[kAppManagerPathSize];// App Paths default value
extern char g_appManagerDir[kPathBufferSize];     // its folder, trailing '\' kept
extern char g_caption[kCaptionSize];              // title of every error box
extern char g_message[kMessageBufferSize];        // shared message buffer
extern char g_scratch[kPathBufferSize];           // scratch path buffer
extern HANDLE g_workspaceGuard;                   // workspace held open, or NULL

// Removes the workspace folder if it is empty. First lets go of the handle
// that keeps the folder from being renamed or deleted while it is in use.
void RemoveWorkspace(void);

// Formats into a fixed buffer and never writes past it: wsprintfA's output
// is limited to 1024 characters, so the text is formatted into a 1025-byte
// local and then cut, NUL-terminated, to `size`.
void FormatBounded(char *dst, int size, const char *fmt, ...);

#endif
