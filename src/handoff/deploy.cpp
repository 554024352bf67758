// Hand-off to the Application Manager: move each component's CAB files and
// INI (Setup.ini's first, then those AlsoInstall lists) into the install
// folder inside the Application Manager's folder, remove the workspace
// folder and start CeAppMgr.exe with every INI that was moved.
#include "handoff/handoff.h"
#include "common/setup_ini.h"

// The Application Manager's command line: its path, then the path of each
// INI handed over, each quoted. As long as CreateProcess takes.
enum { kCommandLineSize = 32767 };
static char s_commandLine[kCommandLineSize];

// Source and destination path of the member being moved, whether a copy
// (or a list) has failed: from then on nothing more is moved, and whether
// the command line still holds every path added to it.
struct MoveState {
    char source[kPathBufferSize];
    char target[kPathBufferSize];
    int failed;
    int lineFits;
};

// Appends a blank (but not first), a quote, `folder`, a backslash and
// `name` when there is one, and a quote to the command line. A path that
// does not fit clears `lineFits` and leaves the line as it was. No NULL
// reaches lstrlenA: Wine answers it by raising and catching a page fault,
// whose handling is what fails where the program runs under qemu-i386.
static void AppendQuoted(MoveState *move, const char *folder, const char *name)
{
    int nameLength = name ? lstrlenA(name) : 0;
    if (lstrlenA(s_commandLine) + lstrlenA(folder) + nameLength + 5 > kCommandLineSize) {
        move->lineFits = 0;
        return;
    }
    lstrcatA(s_commandLine, s_commandLine[0] ? " \"" : "\"");
    lstrcatA(s_commandLine, folder);
    if (name) {
        lstrcatA(s_commandLine, "\\");
        lstrcatA(s_commandLine, name);
    }
    lstrcatA(s_commandLine, "\"");
}

// Copies one member into the install folder and deletes the source only
// once the copy has succeeded; returns 1 then. A name with no file in the
// workspace folder (a CabFiles item or a listed INI that names no member)
// is skipped (0). A failed copy, or a destination path too long for the
// buffer, leaves the source in place, composes the error text in the
// shared message buffer and sets `failed` (0).
static int MoveMember(const char *name, MoveState *move)
{
    if (move->failed || !MemberPath(move->source, name))
        return 0;
    DWORD attributes = GetFileAttributesA(move->source);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    DWORD code = ERROR_FILENAME_EXCED_RANGE;
    if (JoinPath(move->target, g_appManagerDir, name)) {
        if (CopyFileA(move->source, move->target, FALSE)) {
            DeleteFileA(move->source);
            return 1;
        }
        code = GetLastError();
    }
    move->failed = 1;
    FormatBounded(g_message, kMessageBufferSize, "Error Code: %08X\nError copying %s to %s.",
                  code, name, g_appManagerDir);
    return 0;
}

// One file of a component (WalkComponents): moved, and an INI named on the
// command line, Setup.ini always, a listed INI when it arrived. A list
// that may have been cut stops the hand-off like a failed copy: handing
// over part of a component would install it without some of its files.
static void MoveComponentFile(const char *name, int kind, void *context)
{
    MoveState *move = (MoveState *)context;
    if (move->failed)
        return;
    if (kind == kComponentCutList) {
        move->failed = 1;
        FormatBounded(g_message, kMessageBufferSize, "Error Code: %08X\nError reading %s.",
                      ERROR_INSUFFICIENT_BUFFER, name);
        return;
    }
    if (MoveMember(name, move) ? kind != kComponentCab : kind == kComponentSetupIni)
        AppendQuoted(move, g_appManagerDir, name);
}

int DeployAndLaunch(void)
{
    char name[SETUP_VALUE_SIZE];
    MoveState move;

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

    // The program path is quoted (the lookup removed the registry value's
    // own quotes): unquoted, a path with blanks would let the system start
    // another program found on the way ("C:\Program.exe" for
    // "C:\Program Files\..."). Then Setup.ini and each listed INI that
    // arrived, in the order they were moved.
    move.failed = 0;
    move.lineFits = 1;
    s_commandLine[0] = 0;
    AppendQuoted(&move, g_appManagerPath, NULL);

    // Every component in turn, its CAB files first and its INI last.
    // Members already moved when a later copy fails stay in the install
    // folder; the rest stay in the workspace folder, and the Application
    // Manager is not started with an incomplete set.
    WalkComponents(MoveComponentFile, &move);
    if (move.failed) {
        MessageBoxA(NULL, g_message, g_caption, MB_ICONERROR);
        return 0;
    }
    RemoveWorkspace();

    // A command line that lost a path would install without that component.
    if (move.lineFits && WinExec(s_commandLine, SW_SHOW) > 31)
        return 1;
    MessageBoxA(NULL, "Can not launch CeAppMgr.exe", g_caption, MB_ICONERROR);
    return 0;
}
