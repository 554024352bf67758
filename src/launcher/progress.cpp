// The extraction progress window: a modeless dialog with one line of text
// and a progress bar from 0 to 100 percent. No message loop runs while the
// payload is inflated, so the window is driven by synchronous sends and
// repainted after those that move the bar, a few dozen times a second.
#include "launcher/extract.h"
#include "resource.h"
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
// payload. Drawing is what costs: under Wine each repaint of the bar takes
// about 2 ms, so a hundred of them add a fifth of a second to a 64 MiB
// extraction. The bar is therefore repainted when it moved and the last
// repaint is at least kRepaintMs old: still some 25 frames a second.
static const DWORD kRepaintMs = 40;
static DWORD s_lastRepaint;
static LRESULT s_paintedPos;  // the bar starts at 0, as drawn at creation

void SetProgressWindow(HWND progress, UINT percent) {
    if (!progress) return;
    SendMessageA(progress, WMU_SETPROGRESS, percent, 0);
    DWORD now = GetTickCount();
    if (now - s_lastRepaint < kRepaintMs) return;
    LRESULT pos = SendDlgItemMessageA(progress, IDC_PROGRESS, PBM_GETPOS, 0, 0);
    if (pos == s_paintedPos) return;
    Repaint(progress);
    s_paintedPos = pos;
    s_lastRepaint = now;
}
