/* Stand-in for the Application Manager. Writes what it was started with to
 * cmdline.txt in its own folder, then exits 0:
 *   cmdline: <GetCommandLineA>
 *   path: <its own module path>
 *   cwd: <current directory>
 * Each start appends, so a test can tell how often it ran (once no start of
 * it is running any more). */
#include <windows.h>

static void Put(HANDLE file, const char *text)
{
    DWORD written;
    WriteFile(file, text, lstrlenA(text), &written, NULL);
}

void WINAPI FakeMain(void)
{
    char self[MAX_PATH + 16];
    char cwd[MAX_PATH];
    char log[MAX_PATH + 16];
    DWORD n;
    int i, cut = 0;
    HANDLE file;

    n = GetModuleFileNameA(NULL, self, MAX_PATH);
    self[n < MAX_PATH ? n : MAX_PATH - 1] = 0;
    lstrcpyA(log, self);
    for (i = 0; log[i]; ++i)
        if (log[i] == '\\' || log[i] == '/')
            cut = i + 1;
    lstrcpyA(log + cut, "cmdline.txt");
    if (!GetCurrentDirectoryA(sizeof cwd, cwd))
        cwd[0] = 0;

    /* A second start at the same time waits for the first to finish its
     * record instead of losing its own. */
    for (i = 0; i < 1000; ++i) {
        file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(10);
    }
    if (file == INVALID_HANDLE_VALUE)
        ExitProcess(3);
    Put(file, "cmdline: ");
    Put(file, GetCommandLineA());
    Put(file, "\r\npath: ");
    Put(file, self);
    Put(file, "\r\ncwd: ");
    Put(file, cwd);
    Put(file, "\r\n");
    CloseHandle(file);
    ExitProcess(0);
}
