// Hand-off to the Application Manager: move the CAB files and Setup.ini
// into the install folder inside the Application Manager's folder, remove
// the workspace folder and start CeAppMgr.exe with the moved Setup.ini.
#include "handoff/handoff.h"
#include "common/setup_ini.h"

// Source and destination path of the member being moved, and whether a
// copy has failed: from then on nothing more is moved.
struct MoveState {
    char source[kPathBufferSize];
    char target[kPathBufferSize];
    int failed;
};

// Copies one member into the install folder and deletes the source only
// once the copy has succeeded. A name with no file in the workspace folder
// (a CabFiles item that names no member) is skipped. A failed copy, or a
// destination path too long for the buffer, leaves the source in place and
// composes the error text in the shared message buffer.
static void MoveMember(const char *name, void *context)
{
    MoveState *move = (MoveState *)context;
    if (move->failed || !MemberPath(move->source, name))
        return;
    DWORD attributes = GetFileAttributesA(move->source);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    DWORD code = ERROR_FILENAME_EXCED_RANGE;
    if (JoinPath(move->target, g_appManagerDir, name)) {
        if (CopyFileA(move->source, move->target, FALSE)) {
            DeleteFileA(move->source);
            return;
        }
        code = GetLastError();
    }
    move->failed = 1;
    FormatBounded(g_message, kMessageBufferSize, "Error Code: %08X\nError copying %s to %s.",
                  code, name, g_appManagerDir);
}

int DeployAndLaunch(void)
{
    char name[SETUP_VALUE_SIZE];
    char cabFiles[SETUP_CABFILES_SIZE];
    MoveState move;

    ReadSetupValue("CEAppManager", "Component", name, sizeof(name));
    ReadSetupValue(name, "CabFiles", cabFiles, sizeof(cabFiles));
    ReadSetupValue(SETUP_SECTION, "InstallDirectory", name, sizeof(name));

    // The install folder is the Application Manager's folder with the
    // value appended in place; a result longer than the buffer is refused
    // like a folder the system cannot create.
    int used = lstrlenA(g_appManagerDir);
    lstrcpynA(g_appManagerDir + used, name, kPathBufferSize - used);
    DWORD code = ERROR_FILENAME_EXCED_RANGE;
    if (used + lstrlenA(name) < kPathBufferSize)
        code = CreateDirectoryA(g_appManagerDir, NULL) ? 0 : GetLastError();
    if (code != 0 && code != ERROR_ALREADY_EXISTS) {
        FormatBounded(g_message, kMessageBufferSize,
                      "Error Code: %08X\nError creating directory %s.",
                      code, g_appManagerDir);
        MessageBoxA(NULL, g_message, g_caption, MB_ICONERROR);
        return 0;
    }

    // Members already moved when a later copy fails stay in the install
    // folder; the rest, Setup.ini included, stay in the workspace folder,
    // and the Application Manager is not started with an incomplete set.
    move.failed = 0;
    WalkCabFiles(cabFiles, MoveMember, &move);
    MoveMember(SETUP_FILE, &move);
    if (move.failed) {
        MessageBoxA(NULL, g_message, g_caption, MB_ICONERROR);
        return 0;
    }
    RemoveWorkspace();

    // The program path is quoted (the lookup removed the registry value's
    // own quotes): unquoted, a path with blanks would let the system start
    // another program found on the way ("C:\Program.exe" for
    // "C:\Program Files\..."). Two quotes, two blanks' worth of separators,
    // "\Setup.ini" and the NUL must fit beside both paths, or the command
    // line would be cut.
    if (lstrlenA(g_appManagerPath) + lstrlenA(g_appManagerDir) + 16 <= kPathBufferSize) {
        FormatBounded(g_scratch, kPathBufferSize, "\"%s\" \"%s\\Setup.ini\"",
                      g_appManagerPath, g_appManagerDir);
        if (WinExec(g_scratch, SW_SHOW) > 31)
            return 1;
    }
    MessageBoxA(NULL, "Can not launch CeAppMgr.exe", g_caption, MB_ICONERROR);
    return 0;
}
