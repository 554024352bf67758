// Hand-off to the Application Manager: move the CAB files and Setup.ini
// into the install folder inside the Application Manager's folder, remove
// the workspace folder and start CeAppMgr.exe with the moved Setup.ini.
#include "handoff/handoff.h"
#include "common/setup_ini.h"

// Source and destination path of one member being moved.
struct MovePaths {
    char source[kPathBufferSize];
    char target[kPathBufferSize];
};

static void MoveMember(const char *name, void *context)
{
    MovePaths *paths = (MovePaths *)context;
    // A path that cannot be built is skipped whole, so the source is never
    // deleted without a copy having been attempted.
    if (!MemberPath(paths->source, name) ||
        !JoinPath(paths->target, g_appManagerDir, name))
        return;
    CopyFileA(paths->source, paths->target, FALSE);
    DeleteFileA(paths->source);
}

int DeployAndLaunch(void)
{
    char name[SETUP_VALUE_SIZE];
    char cabFiles[SETUP_CABFILES_SIZE];
    MovePaths paths;

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

    WalkCabFiles(cabFiles, MoveMember, &paths);
    MoveMember(SETUP_FILE, &paths);
    RemoveWorkspace();

    // The program path is quoted unless the registry value already is:
    // unquoted, a path with blanks would let the system start another
    // program found on the way ("C:\Program.exe" for "C:\Program Files\...").
    // Two quotes, two blanks' worth of separators, "\Setup.ini" and the NUL
    // must fit beside both paths, or the command line would be cut.
    if (lstrlenA(g_appManagerPath) + lstrlenA(g_appManagerDir) + 16 <= kPathBufferSize) {
        FormatBounded(g_scratch, kPathBufferSize,
                      g_appManagerPath[0] == '"' ? "%s \"%s\\Setup.ini\""
                                                 : "\"%s\" \"%s\\Setup.ini\"",
                      g_appManagerPath, g_appManagerDir);
        if (WinExec(g_scratch, SW_SHOW) > 31)
            return 1;
    }
    MessageBoxA(NULL, "Can not launch CeAppMgr.exe", g_caption, MB_ICONERROR);
    return 0;
}
