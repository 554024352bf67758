// The wizard frame: title, license text, switching between the welcome
// page and the license page, acceptance, Cancel with clean-up, and the
// final Next that hands the setup over to the Application Manager.
#include "wizard/wizard.h"
#include "wizard/pages.h"
#include "handoff/handoff.h"
#include "resource.h"

char g_productName[kProductTextSize];
char g_productVersion[kProductTextSize];

enum { kPageWelcome = 0, kPageLicense = 1, kPageFinished = 2 };

static int s_wizardPage;        // not reset at opening: the wizard runs once
static int s_licenseAccepted;
static HWND s_welcomePage;
static HWND s_licenseHeader;

// Back and the license controls, in the order in which they are shown and
// hidden; the license controls alone start at index 1.
static const WORD kPageControls[] = {
    IDC_BACK, IDC_LICENSE_RULE, IDC_LICENSE_PROMPT, IDC_LICENSE_TEXT,
    IDC_ACCEPT, IDC_DECLINE
};

static void ShowControls(HWND wizard, int first, int command)
{
    for (int i = first; i < (int)(sizeof(kPageControls) / sizeof(kPageControls[0])); ++i)
        ShowWindow(GetDlgItem(wizard, kPageControls[i]), command);
}

static void EnableNext(HWND wizard, BOOL enable)
{
    EnableWindow(GetDlgItem(wizard, IDC_NEXT), enable);
}

static void CloseWizard(HWND wizard)
{
    DestroyWindow(s_welcomePage);
    DestroyWindow(s_licenseHeader);
    EndDialog(wizard, 1);
}

// Cancel's part of a component walk: each CAB file and INI is deleted from
// the workspace folder (a list that may have been cut is walked all the
// same: everything extracted goes).
static void DeleteComponentFile(const char *name, int kind, void *)
{
    if (kind == kComponentCutList)
        return;
    MemberPath(g_scratch, name);
    DeleteFileA(g_scratch);
}

static void OpenWizard(HWND wizard)
{
    ReadSetupValue(SETUP_SECTION, "ProductName", g_productName, kProductTextSize);
    ReadSetupValue(SETUP_SECTION, "ProductVersion", g_productVersion, kProductTextSize);
    // Two values of up to 255 characters make a title of up to 532; it is
    // cut to the caption buffer.
    FormatBounded(g_caption, kCaptionSize, WIZARD_TITLE_FORMAT,
                  g_productName, g_productVersion);
    SetWindowTextA(wizard, g_caption);

    char license[kProductTextSize];
    ReadSetupValue(SETUP_SECTION, "LicenseFile", license, kProductTextSize);
    MemberPath(g_scratch, license);
    LoadLicenseText(GetDlgItem(wizard, IDC_LICENSE_TEXT), g_scratch);
    DeleteFileA(g_scratch);

    ShowWindow(GetDlgItem(wizard, IDC_BACK), SW_HIDE);
    SetFocus(GetDlgItem(wizard, IDC_NEXT));

    s_welcomePage = CreateDialogParamA(g_instance, MAKEINTRESOURCEA(IDD_WELCOME),
                                       wizard, WelcomePageProc, 0);
    ShowWindow(s_welcomePage, SW_SHOWNORMAL);
    s_licenseHeader = CreateDialogParamA(g_instance,
                                         MAKEINTRESOURCEA(IDD_LICENSE_HEADER),
                                         wizard, LicenseHeaderProc, 0);
    ShowWindow(s_licenseHeader, SW_HIDE);
    ShowControls(wizard, 1, SW_HIDE);

    SendDlgItemMessageA(wizard, IDC_ACCEPT, BM_SETCHECK, 0, 0);
    SendDlgItemMessageA(wizard, IDC_DECLINE, BM_SETCHECK, 1, 0);
    s_licenseAccepted = 0;
}

static void OnNext(HWND wizard)
{
    if (++s_wizardPage == kPageLicense) {
        ShowWindow(s_welcomePage, SW_HIDE);
        ShowWindow(s_licenseHeader, SW_SHOW);
        ShowControls(wizard, 0, SW_SHOW);
        SetFocus(GetDlgItem(wizard, IDC_LICENSE_TEXT));
        EnableNext(wizard, s_licenseAccepted != 0);
        return;
    }
    s_wizardPage = kPageFinished;
    DeployAndLaunch();
    CloseWizard(wizard);
}

static void OnBack(HWND wizard)
{
    if (--s_wizardPage > kPageWelcome)
        return;
    s_wizardPage = kPageWelcome;
    ShowWindow(s_licenseHeader, SW_HIDE);
    ShowControls(wizard, 0, SW_HIDE);
    EnableNext(wizard, TRUE);
    ShowWindow(s_welcomePage, SW_SHOW);
}

static void OnCancel(HWND wizard)
{
    if (MessageBoxA(wizard,
                    "Setup is not complete. If you quit now, the program will "
                    "not be installed\n\nYou may run the Setup program again at "
                    "another time to complete the installation.\n\nExit Setup?",
                    "Exit Setup",
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;

    WalkComponents(DeleteComponentFile, NULL);
    RemoveWorkspace();
    CloseWizard(wizard);
}

INT_PTR CALLBACK WizardProc(HWND wizard, UINT msg, WPARAM wParam, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        OpenWizard(wizard);
    } else if (msg == WM_COMMAND && s_wizardPage < kPageFinished) {
        // Once the final Next runs, the hand-off's message boxes have no
        // owner and leave the wizard enabled: every button is ignored from
        // then on, so the hand-off cannot start a second time and Cancel
        // cannot clean up under it. IDCANCEL (Escape, close request) is not
        // one of the handled ids.
        switch (LOWORD(wParam)) {
        case IDC_NEXT:
            OnNext(wizard);
            break;
        case IDC_BACK:
            OnBack(wizard);
            break;
        case IDC_CANCEL:
            OnCancel(wizard);
            break;
        case IDC_ACCEPT:
            s_licenseAccepted = 1;
            EnableNext(wizard, TRUE);
            break;
        case IDC_DECLINE:
            s_licenseAccepted = 0;
            EnableNext(wizard, FALSE);
            break;
        }
    }
    return FALSE;
}
