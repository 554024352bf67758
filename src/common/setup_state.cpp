// The setup program's process-wide state and its bounded formatter.
#include "common/setup_state.h"
#include <stdarg.h>

HINSTANCE g_instance;
char g_workspace[kPathBufferSize];
char g_appManagerPath[kAppManagerPathSize];
char g_appManagerDir[kPathBufferSize];
char g_caption[kCaptionSize];
char g_message[kMessageBufferSize];
char g_scratch[kPathBufferSize];
HANDLE g_workspaceGuard;

void RemoveWorkspace(void) {
    if (g_workspaceGuard) {
        CloseHandle(g_workspaceGuard);
        g_workspaceGuard = NULL;
    }
    RemoveDirectoryA(g_workspace);
}

void FormatBounded(char *dst, int size, const char *fmt, ...) {
    if (size <= 0) return;
    // wvsprintfA writes at most 1024 bytes; the last one is our terminator.
    char text[1025];
    va_list args;
    va_start(args, fmt);
    wvsprintfA(text, fmt, args);
    va_end(args);
    text[1024] = 0;
    lstrcpynA(dst, text, size);
}
