// Routines and state shared by the wizard frame and its two pages.
#ifndef VQ_WIZARD_PAGES_H
#define VQ_WIZARD_PAGES_H

#include "common/setup_ini.h"

enum { kProductTextSize = SETUP_VALUE_SIZE };

// Filled by the wizard frame at its opening, read by the welcome page.
extern char g_productName[kProductTextSize];
extern char g_productVersion[kProductTextSize];

INT_PTR CALLBACK WelcomePageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK LicenseHeaderProc(HWND, UINT, WPARAM, LPARAM);

// Streams the license file at `path` into the Rich Edit control; rich text
// when the path ends in "rtf" (any case), plain text otherwise. 1 when the
// file was opened and streamed without error, else 0.
int LoadLicenseText(HWND control, const char *path);
DWORD CALLBACK ReadLicenseChunk(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG *done);

// The font, brush and picture of a white page, alive from WM_INITDIALOG
// to WM_DESTROY.
struct PageResources {
    HFONT font;
    HBRUSH brush;
    HBITMAP bitmap;
};

// Opening of a page: the bold title font for `titleId`, the white brush,
// and the bitmap member named by `bitmapKey` (read into `buffer`), which
// is deleted after the attempt to load it. Returns the bitmap, or NULL.
HBITMAP OpenPage(HWND page, PageResources *res, int titleId, int fontHeight,
                 const char *bitmapKey, char *buffer, int size);

// Sizes (and moves, unless SWP_NOMOVE) the picture control below the
// page's texts and hands it the bitmap.
void PlacePicture(HWND page, int controlId, HBITMAP bitmap, int x, int y,
                  int width, int height, UINT flags);

// The colour messages (returning the white brush) and WM_DESTROY of a page.
INT_PTR PageMessage(PageResources *res, UINT msg, WPARAM wParam);

#endif
