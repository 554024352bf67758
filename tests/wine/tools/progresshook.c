/* progresshook.dll: a WH_CALLWNDPROCRET hook procedure (ProgressHook) that
 * `uia hook` installs for every thread of the desktop, so that Windows
 * loads this DLL into each program that sends a message.
 *
 * In a program started with VQ_PROGRESS_LOG set (a Windows path), it
 * appends one line of JSON to that file for each message that set the
 * range or the position of a progress bar, as the bar holds them right
 * after it handled the message, read from inside the program:
 *   {"msg":"setpos","wparam":W,"pos":P,"range":[LO,HI],"visible":V,"bar":"0xH"}
 * (visible: the bar's top-level window was visible), and one line
 * {"msg":"destroy","bar":"0xH"} when the bar is destroyed. Nothing
 * is sampled: every change is there, however fast the program runs.
 *
 * With VQ_PROGRESS_HOLD=N and VQ_PROGRESS_RELEASE=PATH set as well, the
 * first time the position reaches N or more the program holds still
 * inside the hook, after a line {"held":P,"bar":"0xH"}, until the file
 * PATH exists (at most 10 minutes): its windows stay exactly as they are
 * for as long as a reader needs.
 *
 * Every other program, and every other message, passes on untouched. */
#include <windows.h>
#include <commctrl.h>

#define HOLD_LIMIT_MS (10 * 60 * 1000)

static int started;                  /* the environment has been read */
static HANDLE log_file = INVALID_HANDLE_VALUE;
static int hold_at = -1;             /* position that holds; -1: none */
static char release[MAX_PATH];

static void Start(void)
{
    char path[MAX_PATH], number[32];
    started = 1;
    if (!GetEnvironmentVariableA("VQ_PROGRESS_LOG", path, sizeof path))
        return;
    log_file = CreateFileA(path, FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (GetEnvironmentVariableA("VQ_PROGRESS_HOLD", number, sizeof number) &&
        GetEnvironmentVariableA("VQ_PROGRESS_RELEASE", release, sizeof release)) {
        hold_at = 0;
        for (const char *p = number; *p >= '0' && *p <= '9'; ++p)
            hold_at = hold_at * 10 + (*p - '0');
    }
}

static void Put(const char *line, int n)
{
    DWORD put;
    WriteFile(log_file, line, (DWORD)n, &put, NULL);
}

static const char *SetterName(UINT msg)
{
    switch (msg) {
    case PBM_SETRANGE: return "setrange";
    case PBM_SETPOS: return "setpos";
    case PBM_DELTAPOS: return "deltapos";
    case PBM_STEPIT: return "stepit";
    case PBM_SETRANGE32: return "setrange32";
    case WM_DESTROY: return "destroy";
    default: return NULL;
    }
}

static void Record(const CWPRETSTRUCT *c, const char *name)
{
    char cls[32], line[256];
    HWND bar = c->hwnd;
    int pos, lo, hi, n;
    if (!GetClassNameA(bar, cls, sizeof cls) || lstrcmpiA(cls, PROGRESS_CLASSA) != 0)
        return;
    if (c->message == WM_DESTROY) {
        /* the control has let go of its state by now */
        n = wsprintfA(line, "{\"msg\":\"destroy\",\"bar\":\"0x%lx\"}\r\n",
                      (unsigned long)(ULONG_PTR)bar);
        Put(line, n);
        return;
    }
    /* the bar belongs to this thread: these sends are plain calls */
    pos = (int)SendMessageA(bar, PBM_GETPOS, 0, 0);
    lo = (int)SendMessageA(bar, PBM_GETRANGE, TRUE, 0);
    hi = (int)SendMessageA(bar, PBM_GETRANGE, FALSE, 0);
    n = wsprintfA(line, "{\"msg\":\"%s\",\"wparam\":%lu,\"pos\":%d,\"range\":[%d,%d],"
                        "\"visible\":%d,\"bar\":\"0x%lx\"}\r\n",
                  name, (unsigned long)c->wParam, pos, lo, hi,
                  IsWindowVisible(GetAncestor(bar, GA_ROOT)) ? 1 : 0,
                  (unsigned long)(ULONG_PTR)bar);
    Put(line, n);
    if (hold_at >= 0 && pos >= hold_at) {
        DWORD start = GetTickCount();
        hold_at = -1;  /* once */
        n = wsprintfA(line, "{\"held\":%d,\"bar\":\"0x%lx\"}\r\n", pos,
                      (unsigned long)(ULONG_PTR)bar);
        Put(line, n);
        while (GetFileAttributesA(release) == INVALID_FILE_ATTRIBUTES &&
               GetTickCount() - start < HOLD_LIMIT_MS)
            Sleep(10);
    }
}

__declspec(dllexport) LRESULT CALLBACK ProgressHook(int code, WPARAM wp, LPARAM lp)
{
    if (code == HC_ACTION) {
        const CWPRETSTRUCT *c = (const CWPRETSTRUCT *)lp;
        const char *name;
        if (!started)
            Start();
        if (log_file != INVALID_HANDLE_VALUE && (name = SetterName(c->message)) != NULL)
            Record(c, name);
    }
    return CallNextHookEx(NULL, code, wp, lp);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
