// Payload extraction bound to Win32: the own file, the spool file, the
// member files and the progress window behind the container reader.
#ifndef VQ_EXTRACT_H
#define VQ_EXTRACT_H

#include <windows.h>
#include "common/container.h"
#include "common/setup_state.h"

// The progress window's one private message: wParam carries the percentage.
#define WMU_SETPROGRESS (WM_USER + 1)

// What one extraction holds. All members are absent (NULL / zero) at start;
// ExtractPayload leaves in it whatever is still open when it returns, and
// ReleaseExtraction, the one clean-up step of SetupMain, releases it.
struct ExtractionState {
    HWND progress;        // progress window, NULL once destroyed
    HANDLE self;          // own file, read sequentially
    HANDLE member;        // member file being written
    HANDLE spool;         // delete-on-close spool of the inflated stream
    DWORD error;          // GetLastError taken right after the failing call
    ExtractOps ops;       // the reader's binding to the handles above
    ReaderState reader;   // working buffer, directory array, inflater
};

// Opens the program's own file, verifies the container behind the image,
// inflates it through the spool file while the progress window shows the
// percentage, and writes every member into the workspace folder. Returns
// NULL on success, otherwise the failure text (composed in g_message).
const char *ExtractPayload(ExtractionState *st);

// Releases, in this order: the progress window, the own file, the member
// file, the spool file (closing it deletes it), then the reader's buffers.
// Harmless on a zeroed record and when called twice.
void ReleaseExtraction(ExtractionState *st);

// The progress window (dialog IDD_PROGRESS).
INT_PTR CALLBACK ProgressDialogProc(HWND, UINT, WPARAM, LPARAM);
HWND CreateProgressWindow(void);
void SetProgressWindow(HWND progress, UINT percent);

#endif
