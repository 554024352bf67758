// The license page's header strip and the loading of the license text
// into the wizard's Rich Edit control.
#include "wizard/pages.h"
#include <richedit.h>
#include "resource.h"

enum { kNameSize = SETUP_VALUE_SIZE };
static const int kMaxWidth = HEAD_BITMAP_MAX_WIDTH;
static const int kPictureHeight = HEAD_BITMAP_HEIGHT;

static PageResources s_header;

static void OpenLicenseHeader(HWND page)
{
    char name[kNameSize];
    HBITMAP bitmap = OpenPage(page, &s_header, IDC_HEADER_TITLE, -8,
                              "HeadBitmap", name, kNameSize);
    if (!bitmap)
        return;

    // Flush with the strip's right edge, always 55 pixels high; the
    // control centres the picture in it.
    BITMAP info;
    GetObjectA(bitmap, sizeof(info), &info);
    int width = info.bmWidth < kMaxWidth ? info.bmWidth : kMaxWidth;
    RECT client;
    GetClientRect(page, &client);
    PlacePicture(page, IDC_HEAD_BITMAP, bitmap, client.right - width, 0, width,
                 kPictureHeight, SWP_NOACTIVATE);
}

INT_PTR CALLBACK LicenseHeaderProc(HWND page, UINT msg, WPARAM wParam, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        OpenLicenseHeader(page);
        return FALSE;
    }
    return PageMessage(&s_header, msg, wParam);
}

DWORD CALLBACK ReadLicenseChunk(DWORD_PTR cookie, LPBYTE buffer, LONG count, LONG *done)
{
    return ReadFile((HANDLE)cookie, buffer, (DWORD)count, (DWORD *)done, NULL)
               ? 0 : (DWORD)-1;
}

int LoadLicenseText(HWND control, const char *path)
{
    // The last three characters alone choose the format; a shorter path is
    // compared whole (and so is never "rtf").
    char tail[4];
    int length = lstrlenA(path);
    lstrcpynA(tail, path + (length > 3 ? length - 3 : 0), sizeof(tail));
    WPARAM format = lstrcmpiA(tail, "rtf") == 0 ? SF_RTF : SF_TEXT;

    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    EDITSTREAM stream;
    stream.dwCookie = (DWORD_PTR)file;
    stream.dwError = 0;
    stream.pfnCallback = ReadLicenseChunk;
    SendMessageA(control, EM_STREAMIN, format, (LPARAM)&stream);
    CloseHandle(file);
    return stream.dwError == 0;
}
