/* A stand-in for a system DLL that a setup program must never load from its
 * own folder. When it is loaded into a process, it writes "<its path>.loaded"
 * holding the path of the program that loaded it; the tests look for that
 * file. The comctl32 build exports the entry points a setup program imports
 * so that the process still starts if the DLL is (wrongly) picked. */
#include <windows.h>

void WINAPI MarkerInitCommonControls(void) {}

BOOL WINAPI MarkerInitCommonControlsEx(const void *init)
{
    (void)init;
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    char path[MAX_PATH + 16];
    char program[MAX_PATH];
    DWORD n, written;
    HANDLE file;

    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    n = GetModuleFileNameA(instance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return TRUE;
    lstrcatA(path, ".loaded");
    n = GetModuleFileNameA(NULL, program, sizeof program);
    file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, program, n, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
