// SetupMain: the entry routine and only driver of the setup program. It
// hardens the DLL search, registers the common controls, prepares the
// workspace folder, finds the Application Manager, has the payload
// extracted, loads the Rich Edit control, runs the wizard and ends the
// process. The first failure becomes the one error box (exit code -1).
#include "launcher/extract.h"
#include "wizard/wizard.h"
#include "resource.h"

// Zero at load: every handle and buffer of the extraction absent.
static ExtractionState g_extraction;

static const char kAppPathsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE";

// From here on, libraries loaded by name come from the system folder only,
// never from the program's folder or the current directory. Resolved at
// run time: older systems lack SetDefaultDllDirectories (then at least the
// current directory leaves the search) or both.
static void HardenDllSearch(void) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return;
    typedef BOOL(WINAPI * SetDefaultDirs)(DWORD);
    typedef BOOL(WINAPI * SetDllDir)(LPCSTR);
    SetDefaultDirs setDefault =
        (SetDefaultDirs)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    SetDllDir setDir = (SetDllDir)(void *)GetProcAddress(kernel, "SetDllDirectoryA");
    if (setDir) setDir("");
}

// Loads a DLL by its full path in the system folder; NULL if the path does
// not fit or the load fails.
static HMODULE LoadSystemLibrary(const char *name) {
    char folder[MAX_PATH];
    UINT len = GetSystemDirectoryA(folder, MAX_PATH);
    if (len == 0 || len >= MAX_PATH) return NULL;
    if ((int)len + 1 + lstrlenA(name) >= MAX_PATH) return NULL;
    FormatBounded(g_scratch, kPathBufferSize, "%s\\%s", folder, name);
    return LoadLibraryA(g_scratch);
}

// Registers the common control classes (the progress bar among them).
// Without comctl32 the progress window cannot be created; extraction goes
// on without it.
static void InitCommonControlsAtRunTime(void) {
    HMODULE comctl = LoadSystemLibrary("comctl32.dll");
    if (!comctl) return;
    typedef void(WINAPI * InitProc)(void);
    InitProc init = (InitProc)(void *)GetProcAddress(comctl, "InitCommonControls");
    if (init) init();
}

static const char *CreateDirectoryFailure(DWORD code) {
    FormatBounded(g_message, kMessageBufferSize,
                  "Error Code: %08X\nError creating directory %s.", code,
                  g_workspace);
    return g_message;
}

// The workspace folder "%TEMP%_VQIxxxx". An existing folder of that name is
// reused only if it is a plain folder: a junction or symbolic link would
// send the members somewhere else.
static const char *PrepareWorkspace(void) {
    DWORD len = GetTempPathA(kPathBufferSize, g_workspace);
    if (len == 0 || len >= (DWORD)kPathBufferSize - 8) {
        DWORD code = len ? (DWORD)ERROR_INSUFFICIENT_BUFFER : GetLastError();
        g_workspace[0] = 0;
        return CreateDirectoryFailure(code);
    }
    char name[16];
    FormatBounded(name, sizeof name, "_VQI%04X", (UINT)(GetTickCount() & 0xFFFF));
    lstrcpynA(g_workspace + len, name, kPathBufferSize - (int)len);
    if (CreateDirectoryA(g_workspace, NULL)) return NULL;
    DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS) return CreateDirectoryFailure(code);
    DWORD attrs = GetFileAttributesA(g_workspace);
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY) ||
        (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
        return CreateDirectoryFailure(ERROR_ALREADY_EXISTS);
    return NULL;
}

// AppManagerPath from the App Paths key, without surrounding quotes;
// AppManagerDir its folder with the trailing backslash (empty when the
// path has none).
static const char *LocateAppManager(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return "CeAppMgr.exe is not installed correctly.";
    DWORD size = kAppManagerPathSize;
    LONG rc = RegQueryValueExA(key, NULL, NULL, NULL, (BYTE *)g_appManagerPath,
                               &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || size > (DWORD)kAppManagerPathSize)
        return "Can not find CeAppMgr.exe.";
    // The stored value need not end in a NUL; one that fills the buffer
    // without one is too long.
    if (size < (DWORD)kAppManagerPathSize) {
        g_appManagerPath[size] = 0;
    } else if (g_appManagerPath[kAppManagerPathSize - 1] != 0) {
        g_appManagerPath[0] = 0;
        return "Can not find CeAppMgr.exe.";
    }
    // A value written with quotes around the path names the same program:
    // one surrounding pair is removed before the folder is cut, so quoted
    // and bare values give the same install folder and command line.
    int cut = lstrlenA(g_appManagerPath);
    int quoted = cut >= 2 && g_appManagerPath[0] == '"' && g_appManagerPath[cut - 1] == '"';
    if (quoted) g_appManagerPath[cut - 1] = 0;
    lstrcpynA(g_appManagerDir, g_appManagerPath + quoted, kPathBufferSize);
    if (quoted) lstrcpynA(g_appManagerPath, g_appManagerDir, kAppManagerPathSize);
    cut = lstrlenA(g_appManagerDir);
    while (cut > 0 && g_appManagerDir[cut - 1] != '\\') cut--;
    g_appManagerDir[cut] = 0;
    return NULL;
}

extern "C" void SetupMain(void) {
    HardenDllSearch();
    InitCommonControlsAtRunTime();
    FormatBounded(g_caption, kCaptionSize, "%s Error", "VQ Installer");
    g_instance = GetModuleHandleA(NULL);

    HMODULE richEdit = NULL;
    const char *pending = PrepareWorkspace();
    if (!pending) pending = LocateAppManager();
    if (!pending) pending = ExtractPayload(&g_extraction);
    if (!pending) {
        richEdit = LoadSystemLibrary("RICHED32.DLL");
        if (!richEdit) pending = "Installer failed to initialize Rich Edit Control.";
    }

    ReleaseExtraction(&g_extraction);

    UINT exitCode = 0;
    if (pending) {
        MessageBoxA(NULL, pending, g_caption, MB_ICONERROR);
        exitCode = (UINT)-1;
    } else {
        DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_WIZARD),
                        GetDesktopWindow(), WizardProc, 0);
        FreeLibrary(richEdit);
    }
    ExitProcess(exitCode);
}
