// What the welcome page and the license header strip have in common: a
// white background, a bold title and one picture loaded from the payload.
#include "wizard/pages.h"

static const COLORREF kWhite = RGB(255, 255, 255);

HBITMAP OpenPage(HWND page, PageResources *res, int titleId, int fontHeight,
                 const char *bitmapKey, char *buffer, int size)
{
    res->font = CreateFontA(fontHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, PROOF_QUALITY, VARIABLE_PITCH,
                            "MS Sans Serif");
    SendDlgItemMessageA(page, titleId, WM_SETFONT, (WPARAM)res->font, TRUE);
    res->brush = CreateSolidBrush(kWhite);

    ReadSetupValue(SETUP_SECTION, bitmapKey, buffer, size);
    MemberPath(g_scratch, buffer);
    res->bitmap = (HBITMAP)LoadImageA(NULL, g_scratch, IMAGE_BITMAP, 0, 0,
                                      LR_LOADFROMFILE | LR_CREATEDIBSECTION);
    // The picture is only displayed: the member goes whether it loaded or not.
    DeleteFileA(g_scratch);
    return res->bitmap;
}

void PlacePicture(HWND page, int controlId, HBITMAP bitmap, int x, int y,
                  int width, int height, UINT flags)
{
    SetWindowPos(GetDlgItem(page, controlId), HWND_BOTTOM, x, y, width, height,
                 flags);
    SendDlgItemMessageA(page, controlId, STM_SETIMAGE, IMAGE_BITMAP,
                        (LPARAM)bitmap);
}

INT_PTR PageMessage(PageResources *res, UINT msg, WPARAM wParam)
{
    switch (msg) {
    case WM_CTLCOLORSTATIC:
        SetTextColor((HDC)wParam, RGB(0, 0, 0));
        SetBkColor((HDC)wParam, kWhite);
        return (INT_PTR)res->brush;
    case WM_CTLCOLORDLG:
        return (INT_PTR)res->brush;
    case WM_DESTROY:
        if (res->font)
            DeleteObject(res->font);
        if (res->brush)
            DeleteObject(res->brush);
        if (res->bitmap)
            DeleteObject(res->bitmap);
        res->font = NULL;
        res->brush = NULL;
        res->bitmap = NULL;
        break;
    }
    return FALSE;
}
