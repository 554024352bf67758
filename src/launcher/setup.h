// Process-wide state of the setup program and the routines the three parts
// of it (launcher, wizard, hand-off) call across. One thread owns all of it.
#ifndef VQ_SETUP_H
#define VQ_SETUP_H

#include <windows.h>

enum {
    kPathBufferSize = 1024,     // workspace folder, scratch paths, AppManagerDir
    kMessageBufferSize = 1024,  // failure texts with placeholders
    kCaptionSize = 256,
    kAppManagerPathSize = 260
};

#define WMU_SETPROGRESS (WM_USER + 1)

extern HINSTANCE g_instance;                      // own module
extern char g_workspace[kPathBufferSize];         // %TEMP%_VQIxxxx, no trailing '\'
extern char g_appManagerPath[kAppManagerPathSize];// App Paths default value
extern char g_appManagerDir[kPathBufferSize];     // its folder, trailing '\' kept
extern char g_caption[kCaptionSize];              // title of every error box
extern char g_message[kMessageBufferSize];        // shared message buffer
extern char g_scratch[kPathBufferSize];           // scratch path buffer

// Formats into a fixed buffer and never writes past it: wsprintfA's output
// is limited to 1024 characters, so the text is formatted into a 1025-byte
// local and then cut, NUL-terminated, to `size`.
void FormatBounded(char *dst, int size, const char *fmt, ...);

// Dialog procedures and routines defined by the wizard and the hand-off.
INT_PTR CALLBACK WizardProc(HWND, UINT, WPARAM, LPARAM);
int DeployAndLaunch(void);

#endif
