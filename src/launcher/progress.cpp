// The extraction progress window: a modeless dialog with one line of text
// and a progress bar from 0 to 100 percent. No message loop runs while the
// payload is inflated, so the window is driven by synchronous sends and
// repainted right after each one that moves the bar.
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

// Every output window sends an update, a thousand or more for a large
// payload, but the bar moves at most a hundred times: repainting only when
// its position changed keeps drawing out of the extraction's time.
void SetProgressWindow(HWND progress, UINT percent) {
    if (!progress) return;
    LRESULT before = SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_GETPOS, 0, 0);
    SendMessageA(progress, WMU_SETPROGRESS, percent, 0);
    if (SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_GETPOS, 0, 0) != before)
        Repaint(progress);
}
