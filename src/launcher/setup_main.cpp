// SetupMain: the entry routine and only driver of the setup program. It
// hardens the DLL search, registers the common controls, prepares the
// workspace folder, finds the Application Manager, has the payload
// extracted, loads the Rich Edit control, runs the wizard and ends the
// process. The first failure becomes the one error box (exit code -1).
#include "launcher/extract.h"
#include "wizard/wizard.h"
#include "common/setup_ini.h"
#include "resource.h"
#include <sddl.h>
#include <winternl.h>

// Zero at load: every handle and buffer of the extraction absent.
static ExtractionState g_extraction;

enum { kWorkspaceTries = 256 };  // names tried for a new workspace folder

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

// Whether the process runs elevated. Systems without elevation (before
// Vista) do not know TokenElevation: not elevated.
static BOOL IsElevated(HANDLE token) {
    TOKEN_ELEVATION elevation;
    DWORD size;
    return GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation,
                               &size) &&
           elevation.TokenIsElevated;
}

// The workspace folder's security descriptor: full access for SYSTEM and the
// Administrators group and, only when the process is not elevated, for the
// user. Protected (P): nothing is inherited from the temporary folder, which
// every process of the user may write. Everything created inside inherits
// the entries (OICI). The owner of an object may always read and rewrite its
// DACL unless an OWNER RIGHTS entry (S-1-3-4) says otherwise; here it allows
// reading only. An elevated run normally owns what it creates through the
// Administrators group, but where the system's policy makes the user the
// owner, the user's unelevated processes could otherwise grant themselves
// access to the folder or to any file in it.
// Returns NULL, with the last error set, when it cannot be built.
static PSECURITY_DESCRIPTOR WorkspaceSecurity(HANDLE token, BOOL elevated) {
    const char *sddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;RC;;;S-1-3-4)";
    char text[320];
    if (!elevated) {
        DWORD user[32];  // TOKEN_USER and the SID it points to, aligned
        DWORD size;
        char *sid;
        if (!GetTokenInformation(token, TokenUser, user, sizeof user, &size) ||
            !ConvertSidToStringSidA(((TOKEN_USER *)user)->User.Sid, &sid))
            return NULL;
        FormatBounded(text, sizeof text, "%s(A;OICI;FA;;;%s)", sddl, sid);
        LocalFree(sid);
        sddl = text;
    }
    PSECURITY_DESCRIPTOR sd = NULL;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                         NULL);
    return sd;
}

// The native calls that create the workspace folder and open it in one
// step, resolved at run time from ntdll, which every process has loaded.
typedef NTSTATUS(NTAPI *NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                        PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                        ULONG, ULONG, PVOID, ULONG);
typedef BOOLEAN(NTAPI *DosPathToNtPathFn)(PCWSTR, PUNICODE_STRING, PWSTR *, PVOID);
typedef VOID(NTAPI *FreeUnicodeStringFn)(PUNICODE_STRING);
typedef ULONG(NTAPI *StatusToErrorFn)(NTSTATUS);
struct NativeCalls {
    NtCreateFileFn createFile;
    DosPathToNtPathFn dosPathToNtPath;      // RtlDosPathNameToNtPathName_U
    FreeUnicodeStringFn freeString;         // frees what that one allocates
    StatusToErrorFn statusToError;          // RtlNtStatusToDosError
};

// NtCreateFile's answer when the name exists (a folder, a file or a link).
static const NTSTATUS kNameCollision = (NTSTATUS)0xC0000035L;

// Whether all of NativeCalls could be had.
static BOOL ResolveNativeCalls(NativeCalls *nt) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll) return FALSE;
    nt->createFile = (NtCreateFileFn)(void *)GetProcAddress(ntdll, "NtCreateFile");
    nt->dosPathToNtPath =
        (DosPathToNtPathFn)(void *)GetProcAddress(ntdll, "RtlDosPathNameToNtPathName_U");
    nt->freeString =
        (FreeUnicodeStringFn)(void *)GetProcAddress(ntdll, "RtlFreeUnicodeString");
    nt->statusToError =
        (StatusToErrorFn)(void *)GetProcAddress(ntdll, "RtlNtStatusToDosError");
    return nt->createFile && nt->dosPathToNtPath && nt->freeString && nt->statusToError;
}

// Creates the folder g_workspace with the descriptor `sd` and, in the same
// call, opens it as the guard (below): there is no moment at which the name
// exists and is not ours. The path is turned into its native name as the
// A calls do it: from the ANSI code page to UTF-16, then to "\??\C:\..."
// (or "\??\UNC\..."), relative parts resolved. A link under the name is
// not followed: it counts as a taken name. Returns 0 with g_workspaceGuard
// set, ERROR_ALREADY_EXISTS when the name is taken, or another error code.
static DWORD CreateHeldFolder(const NativeCalls *nt, PSECURITY_DESCRIPTOR sd) {
    static WCHAR wide[kPathBufferSize];  // g_workspace has fewer characters
    if (!MultiByteToWideChar(CP_ACP, 0, g_workspace, -1, wide, kPathBufferSize))
        return GetLastError();
    UNICODE_STRING name;
    if (!nt->dosPathToNtPath(wide, &name, NULL, NULL)) return ERROR_PATH_NOT_FOUND;
    OBJECT_ATTRIBUTES attributes = {sizeof attributes, NULL, &name, OBJ_CASE_INSENSITIVE,
                                    sd, NULL};
    IO_STATUS_BLOCK io;
    HANDLE folder;
    NTSTATUS status = nt->createFile(
        &folder, FILE_LIST_DIRECTORY, &attributes, &io, NULL,
        FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, NULL, 0);
    nt->freeString(&name);
    if (status == kNameCollision) return ERROR_ALREADY_EXISTS;
    if (status < 0) return nt->statusToError(status);
    g_workspaceGuard = folder;
    return 0;
}

// Holds the new workspace folder open for reading without sharing delete
// access. While the handle is open nobody can rename or delete the folder,
// not even with the right to delete children of the temporary folder that
// every process of the user has, and so nobody can put another folder in
// its place; a folder with something open inside cannot be renamed either,
// so neither can the folders above it. Returns 0 or the error code.
static DWORD GuardWorkspace(void) {
    HANDLE guard = CreateFileA(g_workspace, FILE_LIST_DIRECTORY | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                               NULL);
    if (guard == INVALID_HANDLE_VALUE) return GetLastError();
    g_workspaceGuard = guard;
    return 0;
}

// Whether the folder the guard holds is the one this process created: its
// owner is the process's default owner and its DACL is the one set, byte for
// byte. A folder put under the name by another program of the user between
// creating and opening has that user as its owner (an elevated run's default
// owner is the Administrators group), whatever DACL it was given.
static BOOL HoldsCreatedFolder(PSECURITY_DESCRIPTOR sd, PSID owner) {
    DWORD held[256];  // a self-relative descriptor, aligned
    DWORD size;
    PSID heldOwner;
    PACL set, got;
    BOOL present, defaulted;
    if (!GetKernelObjectSecurity(g_workspaceGuard,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 held, sizeof held, &size) ||
        !GetSecurityDescriptorOwner(held, &heldOwner, &defaulted) || !heldOwner ||
        !EqualSid(heldOwner, owner) ||
        !GetSecurityDescriptorDacl(held, &present, &got, &defaulted) || !present ||
        !got || !GetSecurityDescriptorDacl(sd, &present, &set, &defaulted) ||
        got->AclSize != set->AclSize)
        return FALSE;
    for (WORD i = 0; i < set->AclSize; i++)
        if (((const BYTE *)got)[i] != ((const BYTE *)set)[i]) return FALSE;
    return TRUE;
}

// Without the native calls: CreateDirectoryA, then the guard opened by name,
// checked to hold the folder just created. One that is not is refused like
// a taken name (and left alone); the caller tries the next name.
static DWORD CreateThenHoldFolder(SECURITY_ATTRIBUTES *sa, PSID owner) {
    if (!CreateDirectoryA(g_workspace, sa)) return GetLastError();
    DWORD code = GuardWorkspace();
    if (code == 0 && !HoldsCreatedFolder(sa->lpSecurityDescriptor, owner)) {
        CloseHandle(g_workspaceGuard);
        g_workspaceGuard = NULL;
        code = ERROR_ALREADY_EXISTS;
    }
    return code;
}

// The workspace folder "%TEMP%_VQIxxxx", always a new one: a name that
// exists (a folder, a file or a link someone put there) is passed over for
// the next one, up to kWorkspaceTries names. The folder gets the security
// descriptor above and is held open from its creation until it is removed:
// created and opened in one call, or, where ntdll lacks the calls, created,
// opened and checked to be the one created.
static const char *PrepareWorkspace(void) {
    DWORD len = GetTempPathA(kPathBufferSize, g_workspace);
    if (len == 0 || len >= (DWORD)kPathBufferSize - 8) {
        DWORD code = len ? (DWORD)ERROR_INSUFFICIENT_BUFFER : GetLastError();
        g_workspace[0] = 0;
        return CreateDirectoryFailure(code);
    }
    HANDLE token;
    BOOL elevated = FALSE;
    PSECURITY_DESCRIPTOR sd = NULL;
    union {
        TOKEN_OWNER info;
        DWORD space[32];  // and the SID it points to
    } owner;
    DWORD size;
    // (HANDLE)-1 is the current process, as GetCurrentProcess returns it.
    if (OpenProcessToken((HANDLE)-1, TOKEN_QUERY, &token)) {
        elevated = IsElevated(token);
        if (GetTokenInformation(token, TokenOwner, &owner, sizeof owner, &size))
            sd = WorkspaceSecurity(token, elevated);
        CloseHandle(token);
    }
    DWORD code = GetLastError();
    BOOL ready = FALSE;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    NativeCalls nt;
    BOOL native = ResolveNativeCalls(&nt);
    DWORD tick = GetTickCount();
    for (int i = 0; i < kWorkspaceTries; i++) {
        FormatBounded(g_workspace + len, 16, "_VQI%04X", (UINT)((tick + i) & 0xFFFF));
        if (!sd) break;
        code = native ? CreateHeldFolder(&nt, sd)
                      : CreateThenHoldFolder(&sa, owner.info.Owner);
        ready = code == 0;
        if (code != ERROR_ALREADY_EXISTS) break;
    }
    LocalFree(sd);
    return ready ? NULL : CreateDirectoryFailure(code);
}

// Empties and removes the workspace folder: after a failure of the wizard
// nothing that was extracted is of use. The folder holds only what this
// process wrote there.
static void DeleteWorkspace(void) {
    WIN32_FIND_DATAA found;
    FormatBounded(g_scratch, kPathBufferSize, "%s\\*", g_workspace);
    HANDLE find = FindFirstFileA(g_scratch, &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                MemberPath(g_scratch, found.cFileName))
                DeleteFileA(g_scratch);
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveWorkspace();
}

// AppManagerPath from the App Paths key, without surrounding quotes and,
// for a value of type REG_EXPAND_SZ, with its %variables% expanded;
// AppManagerDir its folder with the trailing backslash (empty when the
// path has none). A value too long for AppManagerPath, before or after the
// expansion, is "Can not find CeAppMgr.exe.".
static const char *LocateAppManager(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return "CeAppMgr.exe is not installed correctly.";
    DWORD size = kAppManagerPathSize;
    DWORD type;
    LONG rc = RegQueryValueExA(key, NULL, NULL, &type, (BYTE *)g_appManagerPath,
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
    // A REG_EXPAND_SZ path ("%SystemDrive%\CETools\CEAPPMGR.EXE") reaches
    // WinExec only expanded. The expansion goes through AppManagerDir, whose
    // 1024 bytes leave the A call's extra byte room; a result longer than
    // AppManagerPath holds is refused, never cut.
    if (type == REG_EXPAND_SZ) {
        DWORD need = ExpandEnvironmentStringsA(g_appManagerPath, g_appManagerDir,
                                               kPathBufferSize);
        if (need == 0 || need > (DWORD)kPathBufferSize ||
            lstrlenA(g_appManagerDir) >= kAppManagerPathSize) {
            g_appManagerPath[0] = 0;
            return "Can not find CeAppMgr.exe.";
        }
        lstrcpyA(g_appManagerPath, g_appManagerDir);
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

    // A wizard that cannot be opened is a failure like the ones before it,
    // and what was extracted for it goes.
    BOOL wizardFailed = FALSE;
    if (!pending) {
        if (DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_WIZARD),
                            GetDesktopWindow(), WizardProc, 0) == -1) {
            FormatBounded(g_message, kMessageBufferSize,
                          "Error Code: %08X\nThe setup wizard could not be opened.",
                          GetLastError());
            pending = g_message;
            wizardFailed = TRUE;
        }
        FreeLibrary(richEdit);
    }

    UINT exitCode = 0;
    if (pending) {
        MessageBoxA(NULL, pending, g_caption, MB_ICONERROR);
        exitCode = (UINT)-1;
    }
    if (wizardFailed) DeleteWorkspace();
    ExitProcess(exitCode);
}
