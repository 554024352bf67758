// The welcome page: product name and version in the template's own
// wording, a bold title and the body picture, on white.
#include "wizard/pages.h"
#include "resource.h"

enum { kTextSize = WELCOME_TEXT_SIZE };
static const int kMaxWidth = BODY_BITMAP_MAX_WIDTH;
static const int kMaxHeight = BODY_BITMAP_MAX_HEIGHT;

static PageResources s_welcome;

static const WORD kFormattedTexts[] = { IDC_WELCOME_TITLE, IDC_WELCOME_BODY };

static void OpenWelcomePage(HWND page)
{
    char format[kTextSize];
    char text[kTextSize];

    // The template texts are the formats: the title takes the product name,
    // the body the name and the version. FormatBounded cuts a text that
    // long values would make overflow the buffer.
    for (int i = 0; i < 2; ++i) {
        GetDlgItemTextA(page, kFormattedTexts[i], format, kTextSize);
        FormatBounded(text, kTextSize, format, g_productName, g_productVersion);
        SetDlgItemTextA(page, kFormattedTexts[i], text);
    }

    HBITMAP bitmap = OpenPage(page, &s_welcome, IDC_WELCOME_TITLE, -18,
                              "BodyBitmap", format, kTextSize);
    if (!bitmap)
        return;

    BITMAP info;
    GetObjectA(bitmap, sizeof(info), &info);
    int width = info.bmWidth < kMaxWidth ? info.bmWidth : kMaxWidth;
    int height = info.bmHeight < kMaxHeight ? info.bmHeight : kMaxHeight;
    PlacePicture(page, IDC_BODY_BITMAP, bitmap, 0, 0, width, height,
                 SWP_NOMOVE | SWP_NOACTIVATE);
}

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT msg, WPARAM wParam, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        OpenWelcomePage(page);
        return FALSE;
    }
    return PageMessage(&s_welcome, msg, wParam);
}
