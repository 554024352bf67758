// What the wizard offers the launcher: its dialog procedure, run as the
// modal dialog IDD_WIZARD once the payload is in the workspace folder.
#ifndef VQ_WIZARD_H
#define VQ_WIZARD_H

#include <windows.h>

INT_PTR CALLBACK WizardProc(HWND, UINT, WPARAM, LPARAM);

#endif
