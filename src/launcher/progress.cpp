// The extraction progress window: a modeless dialog with one line of text
// and a progress bar from 0 to 100 percent. No message loop runs while the
// payload is inflated, so the window is driven by synchronous sends and
// repainted right after each one.
#include "extract.h"
#include "setup.h"
#include "../../res/resource.h"
#include <commctrl.h>

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT msg, WPARAM wParam,
                                    LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETRANGE, 0,
                            MAKELPARAM(0, 100));
        return FALSE;
    case WMU_SETPROGRESS:
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, wParam, 0);
        return TRUE;
    }
    return FALSE;
}

static void Repaint(HWND progress) {
    RedrawWindow(progress, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// The template has WS_VISIBLE: the window shows itself at creation.
HWND CreateProgressWindow(void) {
    HWND progress = CreateDialogParamA(g_instance,
                                       MAKEINTRESOURCEA(IDD_PROGRESS), NULL,
                                       ProgressDialogProc, 0);
    if (progress) Repaint(progress);
    return progress;
}

void SetProgressWindow(HWND progress, UINT percent) {
    if (!progress) return;
    SendMessageA(progress, WMU_SETPROGRESS, percent, 0);
    Repaint(progress);
}
