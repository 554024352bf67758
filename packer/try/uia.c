/* uia: inspects and drives the windows of another program in the same Wine
 * prefix and display. Every report is one JSON object per line on stdout.
 *
 *   uia list      [FILTER]                  every matching top-level window
 *   uia wait      [FILTER] [--timeout MS]   until one matches; prints it
 *   uia wait-gone [FILTER] [--timeout MS]   until none matches
 *   uia dump      [FILTER] [--timeout MS]   the window and all its descendants;
 *                 with --timeout, waits for a matching window first
 *   uia click     [FILTER] --id N [--command] [--send]
 *                 posts BM_CLICK to control N (or WM_COMMAND N to the window);
 *                 with --send, sends it instead and reports whether the
 *                 target's procedure returned within --timeout (default 10 s):
 *                 when it has, the program has handled the click to its end
 *   uia sync      [FILTER] [--timeout MS]   sends WM_NULL to the window: once
 *                 it returns, its thread has come back to its message loop
 *   uia key       [FILTER] --vk N [--id N]  posts WM_KEYDOWN/WM_KEYUP
 *   uia close     [FILTER] [--syscommand]   posts WM_CLOSE (or SC_CLOSE)
 *   uia progress  [FILTER]                  position of the msctls_progress32
 *   uia msgbox    [FILTER] [--timeout MS] [--press IDOK|IDYES|IDNO|IDCANCEL|N]
 *                 waits for a message box, prints caption, text and buttons,
 *                 then presses the button if asked
 *   uia temp-path                           GetTempPathA of this environment
 *   uia loadlib NAME                        LoadLibraryA(NAME); prints the path
 *                 of the module loaded (checks the DLL-planting fixture)
 *   uia winexec CMDLINE                     WinExec(CMDLINE, SW_SHOW); prints
 *                 the result (checks the planted-program fixture)
 *   uia hook --dll PATH --proc NAME         installs procedure NAME of the DLL
 *                 PATH as a WH_CALLWNDPROCRET hook of every thread of the
 *                 desktop: Windows loads the DLL into each program that then
 *                 sends a message, and the procedure sees the message as
 *                 that program's window handled it. Prints {"hooked":...},
 *                 keeps the hook until stdin ends, then removes it. Only a
 *                 DLL of this program's own bitness loads into programs of
 *                 that bitness.
 *   uia serve                               reads commands from stdin, one a
 *                 line, arguments separated by tabs (no "uia"); answers each
 *                 with its reports and a last line {"exit":CODE}. Ends at the
 *                 end of stdin. Starting a Windows program costs seconds where
 *                 Wine's loader is emulated; a driver that asks hundreds of
 *                 questions keeps one uia serving instead. loadlib, winexec,
 *                 hook and serve are not served (they change the process or
 *                 keep it).
 *
 * --desktop NAME (any command): work on the windows of that desktop, e.g.
 * the one of `wine explorer /desktop=NAME,WxH`, instead of the default one.
 *
 * FILTER (all given parts must hold):
 *   --hwnd 0xH  --title T  --title-suffix S  --class C  --exe NAME
 *   --child-class C   (has a descendant of that class)
 *   --visible         (only visible windows)
 *
 * Exit codes: 0 done, 1 usage, 2 timeout / no window, 3 operation failed.
 *
 * Built for 32-bit Windows (uia.exe) and for 64-bit Windows (uia64.exe): the
 * 64-bit one runs natively under 64-bit Wine where 32-bit programs are
 * emulated, and reads 32-bit programs' windows all the same.
 *
 * The setup program runs no message loop while it extracts, so nothing here
 * may block on a message sent to it: texts come from the window server
 * (GetWindowTextA of another process' window sends nothing) and every sent
 * message goes through SendMessageTimeoutA. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef PBM_GETPOS
#define PBM_GETPOS (WM_USER + 8)
#endif

typedef struct {
    HWND hwnd;
    const char *title;
    const char *title_suffix;
    const char *cls;
    const char *exe;
    const char *child_class;
    int visible_only;
} Filter;

typedef struct {
    Filter filter;
    DWORD timeout;
    DWORD interval;
    int id;
    int have_id;
    int vk;
    int command;
    int syscommand;
    int send;
    int have_timeout;
    const char *press;
    const char *dll;
    const char *proc;
} Options;

static DWORD (WINAPI *pGetProcessImageFileNameA)(HANDLE, LPSTR, DWORD);

/* ---- JSON output ------------------------------------------------------- */

static void PutString(const char *s)
{
    const unsigned char *p = (const unsigned char *)s;
    putchar('"');
    for (; *p; ++p) {
        switch (*p) {
        case '"': fputs("\\\"", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        default:
            if (*p < 0x20 || *p >= 0x7f)
                printf("\\u%04x", *p);  /* ANSI bytes read as Latin-1 */
            else
                putchar(*p);
        }
    }
    putchar('"');
}

static void PutKeyString(const char *key, const char *value)
{
    printf(",\"%s\":", key);
    PutString(value);
}

/* ---- window facts ------------------------------------------------------ */

static void ProcessImageName(HWND hwnd, char *out, DWORD size, DWORD *pid_out)
{
    DWORD pid = 0;
    HANDLE process;
    char path[MAX_PATH * 2];
    const char *base;
    out[0] = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid_out)
        *pid_out = pid;
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process)
        return;
    path[0] = 0;
    if (pGetProcessImageFileNameA)
        pGetProcessImageFileNameA(process, path, sizeof path);
    CloseHandle(process);
    base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '\\' || *p == '/')
            base = p + 1;
    lstrcpynA(out, base, size);
}

typedef struct {
    const char *cls;
    int found;
} ChildSearch;

static BOOL CALLBACK FindChildClass(HWND hwnd, LPARAM lp)
{
    ChildSearch *s = (ChildSearch *)lp;
    char cls[256];
    GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpiA(cls, s->cls) == 0) {
        s->found = 1;
        return FALSE;
    }
    return TRUE;
}

static HWND FindChildOfClass(HWND parent, const char *want)
{
    HWND child = NULL;
    HWND found = NULL;
    char cls[256];
    /* breadth-first over direct children, then their children */
    while ((child = FindWindowExA(parent, child, NULL, NULL)) != NULL) {
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, want) == 0)
            return child;
    }
    child = NULL;
    while (!found && (child = FindWindowExA(parent, child, NULL, NULL)) != NULL)
        found = FindChildOfClass(child, want);
    return found;
}

static int Matches(HWND hwnd, const Filter *f)
{
    char buf[1024];
    if (f->hwnd && hwnd != f->hwnd)
        return 0;
    if (f->visible_only && !IsWindowVisible(hwnd))
        return 0;
    if (f->cls) {
        GetClassNameA(hwnd, buf, sizeof buf);
        if (lstrcmpiA(buf, f->cls) != 0)
            return 0;
    }
    if (f->title || f->title_suffix) {
        int n = GetWindowTextA(hwnd, buf, sizeof buf);
        if (f->title && strcmp(buf, f->title) != 0)
            return 0;
        if (f->title_suffix) {
            int m = (int)strlen(f->title_suffix);
            if (n < m || strcmp(buf + n - m, f->title_suffix) != 0)
                return 0;
        }
    }
    if (f->exe) {
        ProcessImageName(hwnd, buf, sizeof buf, NULL);
        if (lstrcmpiA(buf, f->exe) != 0)
            return 0;
    }
    if (f->child_class) {
        ChildSearch s = { f->child_class, 0 };
        EnumChildWindows(hwnd, FindChildClass, (LPARAM)&s);
        if (!s.found)
            return 0;
    }
    return 1;
}

typedef struct {
    const Filter *filter;
    HWND found[256];
    int count;
} TopSearch;

static BOOL CALLBACK CollectTop(HWND hwnd, LPARAM lp)
{
    TopSearch *s = (TopSearch *)lp;
    if (Matches(hwnd, s->filter) && s->count < 256)
        s->found[s->count++] = hwnd;
    return TRUE;
}

static int FindTop(const Filter *f, TopSearch *s)
{
    s->filter = f;
    s->count = 0;
    if (f->hwnd) {
        if (IsWindow(f->hwnd) && Matches(f->hwnd, f))
            s->found[s->count++] = f->hwnd;
        return s->count;
    }
    EnumWindows(CollectTop, (LPARAM)s);
    return s->count;
}

static HWND WaitTop(const Filter *f, DWORD timeout, DWORD interval)
{
    TopSearch s;
    DWORD start = GetTickCount();
    for (;;) {
        if (FindTop(f, &s) > 0)
            return s.found[0];
        if (GetTickCount() - start >= timeout)
            return NULL;
        Sleep(interval);
    }
}

static int ReadProgress(HWND bar, int *pos, int *lo, int *hi, const char **source);
static int Usage(void);

static void PutWindow(HWND hwnd, const char *kind, int with_exe)
{
    char cls[256], text[4096];
    RECT wr, cr;
    POINT org = { 0, 0 };
    HWND parent = GetAncestor(hwnd, GA_PARENT);
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    LONG exstyle = GetWindowLongA(hwnd, GWL_EXSTYLE);
    int is_child = (style & WS_CHILD) != 0;

    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, text, sizeof text);
    GetWindowRect(hwnd, &wr);
    GetClientRect(hwnd, &cr);
    ClientToScreen(hwnd, &org);

    printf("{\"kind\":\"%s\",\"hwnd\":\"0x%lx\",\"parent\":\"0x%lx\"", kind,
           (unsigned long)(ULONG_PTR)hwnd, (unsigned long)(ULONG_PTR)parent);
    printf(",\"id\":%d", is_child ? (int)(short)GetDlgCtrlID(hwnd) : 0);
    PutKeyString("class", cls);
    PutKeyString("text", text);
    printf(",\"style\":\"0x%08lx\",\"exstyle\":\"0x%08lx\"",
           (unsigned long)style, (unsigned long)exstyle);
    printf(",\"visible\":%s,\"enabled\":%s",
           IsWindowVisible(hwnd) ? "true" : "false",
           IsWindowEnabled(hwnd) ? "true" : "false");
    printf(",\"screen\":[%ld,%ld,%ld,%ld]", wr.left, wr.top, wr.right, wr.bottom);
    printf(",\"client_origin\":[%ld,%ld],\"client_size\":[%ld,%ld]",
           org.x, org.y, cr.right, cr.bottom);
    if (is_child && parent) {
        /* the control's rectangle in its parent's client coordinates */
        RECT pr = wr;
        MapWindowPoints(NULL, parent, (POINT *)&pr, 2);
        printf(",\"in_parent\":[%ld,%ld,%ld,%ld]", pr.left, pr.top, pr.right, pr.bottom);
    }
    if (lstrcmpiA(cls, "Button") == 0) {
        DWORD_PTR check = 0;
        if (SendMessageTimeoutA(hwnd, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 500, &check))
            printf(",\"checked\":%lu", (unsigned long)check);
        else
            printf(",\"checked\":null");
    }
    if (lstrcmpiA(cls, "msctls_progress32") == 0) {
        int pos, lo, hi;
        const char *source;
        if (ReadProgress(hwnd, &pos, &lo, &hi, &source))
            printf(",\"pos\":%d,\"range\":[%d,%d]", pos, lo, hi);
    }
    if (lstrcmpiA(cls, "Edit") == 0 || strncmp(cls, "RICHEDIT", 8) == 0 ||
        strncmp(cls, "RichEdit", 8) == 0) {
        /* live contents; the server copy holds only the template text */
        static char value[65536];
        DWORD_PTR got = 0;
        value[0] = 0;
        if (SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof value, (LPARAM)value,
                                SMTO_ABORTIFHUNG, 1000, &got)) {
            value[got < sizeof value ? got : sizeof value - 1] = 0;
            PutKeyString("value", value);
        }
    }
    if (!is_child) {
        /* keyboard focus of the window's thread (0x0 when it has none) */
        GUITHREADINFO gti;
        memset(&gti, 0, sizeof gti);
        gti.cbSize = sizeof gti;
        if (GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, NULL), &gti))
            printf(",\"focus\":\"0x%lx\",\"active\":\"0x%lx\"",
                   (unsigned long)(ULONG_PTR)gti.hwndFocus,
                   (unsigned long)(ULONG_PTR)gti.hwndActive);
    }
    if (with_exe) {
        char exe[MAX_PATH];
        DWORD pid;
        ProcessImageName(hwnd, exe, sizeof exe, &pid);
        PutKeyString("exe", exe);
        printf(",\"pid\":%lu", (unsigned long)pid);
    }
    printf("}\n");
}

static BOOL CALLBACK DumpChild(HWND hwnd, LPARAM lp)
{
    (void)lp;
    PutWindow(hwnd, "child", 0);
    return TRUE;
}

/* ---- progress bar ------------------------------------------------------ */

/* Wine's progress control keeps its state behind the window's first extra
 * pointer: { HWND Self; INT CurVal; INT MinVal; INT MaxVal; ... }. Read it
 * from the owner's memory when the owner does not answer messages (it runs
 * no message loop while it extracts). Pointers and handles in it are 4
 * bytes wide in a 32-bit owner (the setup program) and 8 in a 64-bit one,
 * whichever this program is built as. The Self field is checked so that a
 * different layout is reported as a failure, never as a position. */
static int ReadProgressMemory(HWND bar, int *pos, int *lo, int *hi)
{
    DWORD pid = 0, self = 0;
    HANDLE process;
    ULONG_PTR info;
    BOOL narrow = sizeof(void *) == 4;
    struct { DWORD self; INT cur, min, max; } s32;
    struct { ULONGLONG self; INT cur, min, max; } s64;
    SIZE_T got = 0;
    int ok = 0;
    GetWindowThreadProcessId(bar, &pid);
    process = OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process)
        return 0;
    if (!narrow && !IsWow64Process(process, &narrow))
        narrow = FALSE;
    /* the owner's window has room for a pointer of the owner's size only */
    info = narrow ? (ULONG_PTR)(DWORD)GetWindowLongA(bar, 0)
                  : (ULONG_PTR)GetWindowLongPtrA(bar, 0);
    if (info && narrow) {
        if (ReadProcessMemory(process, (LPCVOID)info, &s32, sizeof s32, &got) &&
            got == sizeof s32) {
            self = s32.self;
            *pos = s32.cur;
            *lo = s32.min;
            *hi = s32.max;
            ok = 1;
        }
    } else if (info) {
        if (ReadProcessMemory(process, (LPCVOID)info, &s64, sizeof s64, &got) &&
            got == sizeof s64) {
            self = (DWORD)s64.self;
            *pos = s64.cur;
            *lo = s64.min;
            *hi = s64.max;
            ok = 1;
        }
    }
    CloseHandle(process);
    return ok && (self & 0xffff) == ((DWORD)(ULONG_PTR)bar & 0xffff);
}

static int ReadProgress(HWND bar, int *pos, int *lo, int *hi, const char **source)
{
    DWORD_PTR r = 0;
    int p2, l2, h2;
    if (SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 100, &r)) {
        *pos = (int)r;
        *source = "message";
        /* PBM_GETRANGE needs a pointer in the owner's memory; the range is
         * known through the memory path only */
        *lo = 0;
        *hi = -1;
        if (ReadProgressMemory(bar, &p2, &l2, &h2)) {
            *lo = l2;
            *hi = h2;
        }
        return 1;
    }
    if (ReadProgressMemory(bar, pos, lo, hi)) {
        *source = "memory";
        return 1;
    }
    return 0;
}

/* ---- commands ---------------------------------------------------------- */

static int ParseNumber(const char *s)
{
    return (int)strtol(s, NULL, 0);
}

static int ButtonId(const char *s)
{
    static const struct { const char *name; int id; } names[] = {
        { "IDOK", IDOK }, { "IDCANCEL", IDCANCEL }, { "IDABORT", IDABORT },
        { "IDRETRY", IDRETRY }, { "IDIGNORE", IDIGNORE }, { "IDYES", IDYES },
        { "IDNO", IDNO }, { "IDCLOSE", 8 }, { "IDHELP", 9 },
        { "IDTRYAGAIN", 10 }, { "IDCONTINUE", 11 },
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (lstrcmpiA(s, names[i].name) == 0)
            return names[i].id;
    return ParseNumber(s);
}

static HWND Target(const Options *o)
{
    TopSearch s;
    if (FindTop(&o->filter, &s) == 0) {
        printf("{\"error\":\"no matching window\"}\n");
        return NULL;
    }
    return s.found[0];
}

static int CmdList(const Options *o)
{
    TopSearch s;
    int n = FindTop(&o->filter, &s);
    for (int i = 0; i < n; ++i)
        PutWindow(s.found[i], "top", 1);
    return 0;
}

static int CmdWait(const Options *o)
{
    HWND hwnd = WaitTop(&o->filter, o->timeout, o->interval);
    if (!hwnd) {
        printf("{\"error\":\"timeout\",\"timeout_ms\":%lu}\n", (unsigned long)o->timeout);
        return 2;
    }
    PutWindow(hwnd, "top", 1);
    return 0;
}

static int CmdWaitGone(const Options *o)
{
    TopSearch s;
    DWORD start = GetTickCount();
    while (FindTop(&o->filter, &s) > 0) {
        if (GetTickCount() - start >= o->timeout) {
            printf("{\"error\":\"timeout\",\"timeout_ms\":%lu}\n", (unsigned long)o->timeout);
            return 2;
        }
        Sleep(o->interval);
    }
    printf("{\"gone\":true}\n");
    return 0;
}

static int CmdDump(const Options *o)
{
    HWND hwnd;
    if (o->have_timeout) {
        hwnd = WaitTop(&o->filter, o->timeout, o->interval);
        if (!hwnd) {
            printf("{\"error\":\"timeout\",\"timeout_ms\":%lu}\n", (unsigned long)o->timeout);
            return 2;
        }
    } else if (!(hwnd = Target(o))) {
        return 2;
    }
    PutWindow(hwnd, "top", 1);
    EnumChildWindows(hwnd, DumpChild, 0);
    return 0;
}

static int CmdClick(const Options *o)
{
    HWND hwnd = Target(o), ctl, to;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    if (!hwnd)
        return 2;
    if (!o->have_id) {
        printf("{\"error\":\"--id is required\"}\n");
        return 1;
    }
    ctl = GetDlgItem(hwnd, o->id);
    if (o->command) {
        /* the command a click would give, without the button press (the
         * focus stays where it is) */
        to = hwnd;
        msg = WM_COMMAND;
        wp = MAKEWPARAM(o->id, BN_CLICKED);
        lp = (LPARAM)ctl;
    } else {
        if (!ctl) {
            printf("{\"error\":\"no control %d\"}\n", o->id);
            return 3;
        }
        to = ctl;
        msg = BM_CLICK;
        wp = 0;
        lp = 0;
    }
    if (o->send) {
        /* returns when the target's procedure has, so the program has
         * handled the click to its end; a click that opens a modal box
         * returns only when the box has closed */
        DWORD_PTR result = 0;
        DWORD timeout = o->have_timeout ? o->timeout : 10000;
        if (!SendMessageTimeoutA(to, msg, wp, lp, SMTO_NORMAL, timeout, &result)) {
            printf("{\"error\":\"no return\",\"code\":%lu,\"timeout_ms\":%lu}\n",
                   (unsigned long)GetLastError(), (unsigned long)timeout);
            return 2;
        }
        printf("{\"sent\":%d,\"returned\":true,\"hwnd\":\"0x%lx\"}\n", o->id,
               (unsigned long)(ULONG_PTR)hwnd);
        return 0;
    }
    /* posted: the click may open a modal box in the target, and it queues
     * behind the input posted before it, as a user's would */
    if (!PostMessageA(to, msg, wp, lp))
        return 3;
    printf("{\"clicked\":%d,\"hwnd\":\"0x%lx\"}\n", o->id, (unsigned long)(ULONG_PTR)hwnd);
    return 0;
}

static int CmdSync(const Options *o)
{
    HWND hwnd = Target(o);
    DWORD_PTR result = 0;
    DWORD timeout = o->have_timeout ? o->timeout : 10000;
    if (!hwnd)
        return 2;
    /* a sent message is handled only when the window's thread asks for
     * messages again: when the call returns, what that thread was doing has
     * ended */
    if (!SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, timeout, &result)) {
        printf("{\"error\":\"no return\",\"code\":%lu,\"timeout_ms\":%lu}\n",
               (unsigned long)GetLastError(), (unsigned long)timeout);
        return 2;
    }
    printf("{\"synced\":true,\"hwnd\":\"0x%lx\"}\n", (unsigned long)(ULONG_PTR)hwnd);
    return 0;
}

static int CmdKey(const Options *o)
{
    HWND hwnd = Target(o);
    if (!hwnd)
        return 2;
    if (o->have_id)
        hwnd = GetDlgItem(hwnd, o->id);
    if (!hwnd)
        return 3;
    UINT scan = MapVirtualKeyA(o->vk, 0);
    PostMessageA(hwnd, WM_KEYDOWN, o->vk, 1 | (scan << 16));
    PostMessageA(hwnd, WM_KEYUP, o->vk, 1 | (scan << 16) | 0xC0000000u);
    printf("{\"key\":%d}\n", o->vk);
    return 0;
}

static int CmdClose(const Options *o)
{
    HWND hwnd = Target(o);
    BOOL ok;
    if (!hwnd)
        return 2;
    if (o->syscommand)
        ok = PostMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
        ok = PostMessageA(hwnd, WM_CLOSE, 0, 0);
    printf("{\"closed\":%s}\n", ok ? "true" : "false");
    return ok ? 0 : 3;
}

static HWND ProgressBarOf(const Options *o)
{
    Filter f = o->filter;
    TopSearch s;
    if (!f.child_class)
        f.child_class = "msctls_progress32";
    if (FindTop(&f, &s) == 0)
        return NULL;
    return FindChildOfClass(s.found[0], "msctls_progress32");
}

static int CmdProgress(const Options *o)
{
    HWND bar = ProgressBarOf(o);
    int pos, lo, hi;
    const char *source;
    if (!bar) {
        printf("{\"error\":\"no progress bar\"}\n");
        return 2;
    }
    if (!ReadProgress(bar, &pos, &lo, &hi, &source)) {
        printf("{\"error\":\"position not readable\"}\n");
        return 3;
    }
    printf("{\"pos\":%d,\"range\":[%d,%d],\"source\":\"%s\",\"hwnd\":\"0x%lx\"}\n",
           pos, lo, hi, source, (unsigned long)(ULONG_PTR)bar);
    return 0;
}

typedef struct {
    char text[4096];
    char buttons[1024];
    int button_count;
} BoxContents;

static BOOL CALLBACK CollectBox(HWND hwnd, LPARAM lp)
{
    BoxContents *b = (BoxContents *)lp;
    char cls[64], text[2048];
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, text, sizeof text);
    if (lstrcmpiA(cls, "Static") == 0) {
        int type = style & SS_TYPEMASK;
        if (type != SS_ICON && type != SS_BITMAP && text[0]) {
            if (b->text[0])
                strncat(b->text, "\n", sizeof b->text - strlen(b->text) - 1);
            strncat(b->text, text, sizeof b->text - strlen(b->text) - 1);
        }
    } else if (lstrcmpiA(cls, "Button") == 0 && IsWindowVisible(hwnd)) {
        char item[64];
        snprintf(item, sizeof item, "%s%d", b->button_count ? "," : "", GetDlgCtrlID(hwnd));
        strncat(b->buttons, item, sizeof b->buttons - strlen(b->buttons) - 1);
        ++b->button_count;
    }
    return TRUE;
}

/* A message box: a dialog whose children are statics and push buttons with
 * the standard command IDs only. */
static int LooksLikeMessageBox(HWND hwnd)
{
    HWND child = NULL;
    int buttons = 0;
    char cls[64];
    while ((child = FindWindowExA(hwnd, child, NULL, NULL)) != NULL) {
        int id = GetDlgCtrlID(child);
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Button") == 0) {
            if (id < 1 || id > 11)
                return 0;
            ++buttons;
        } else if (lstrcmpiA(cls, "Static") != 0) {
            return 0;
        }
    }
    return buttons > 0;
}

static int CmdMsgbox(const Options *o)
{
    Filter f = o->filter;
    TopSearch s;
    HWND box = NULL;
    DWORD start = GetTickCount();
    BoxContents b;
    char caption[1024];
    if (!f.cls)
        f.cls = "#32770";
    for (;;) {
        int n = FindTop(&f, &s);
        for (int i = 0; i < n && !box; ++i)
            if (IsWindowVisible(s.found[i]) && LooksLikeMessageBox(s.found[i]))
                box = s.found[i];
        if (box)
            break;
        if (GetTickCount() - start >= o->timeout) {
            printf("{\"error\":\"timeout\",\"timeout_ms\":%lu}\n", (unsigned long)o->timeout);
            return 2;
        }
        Sleep(o->interval);
    }
    memset(&b, 0, sizeof b);
    GetWindowTextA(box, caption, sizeof caption);
    EnumChildWindows(box, CollectBox, (LPARAM)&b);
    printf("{\"hwnd\":\"0x%lx\"", (unsigned long)(ULONG_PTR)box);
    PutKeyString("caption", caption);
    PutKeyString("text", b.text);
    printf(",\"buttons\":[%s]", b.buttons);
    {
        char exe[MAX_PATH];
        DWORD pid;
        ProcessImageName(box, exe, sizeof exe, &pid);
        PutKeyString("exe", exe);
    }
    if (o->press) {
        int id = ButtonId(o->press);
        HWND button = GetDlgItem(box, id);
        BOOL ok;
        if (button)
            ok = PostMessageA(button, BM_CLICK, 0, 0);
        else
            ok = PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        printf(",\"pressed\":%d,\"press_ok\":%s", id, ok ? "true" : "false");
    }
    printf("}\n");
    return 0;
}

static int CmdTempPath(void)
{
    char path[MAX_PATH * 4];
    DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n >= sizeof path)
        return 3;
    printf("{\"temp\":");
    PutString(path);
    printf("}\n");
    return 0;
}

static int CmdLoadLib(const char *name)
{
    char path[MAX_PATH];
    HMODULE module = LoadLibraryA(name);
    if (!module) {
        printf("{\"error\":\"LoadLibraryA failed\",\"code\":%lu}\n",
               (unsigned long)GetLastError());
        return 3;
    }
    GetModuleFileNameA(module, path, sizeof path);
    printf("{\"loaded\":");
    PutString(path);
    printf("}\n");
    return 0;
}

static int CmdWinExec(const char *cmdline)
{
    UINT r = WinExec(cmdline, SW_SHOW);
    printf("{\"winexec\":%u}\n", r);
    return r > 31 ? 0 : 3;
}

static int CmdHook(const Options *o)
{
    HMODULE dll;
    HOOKPROC proc;
    HHOOK hook;
    int c;
    if (!o->dll || !o->proc)
        return Usage();
    if (!(dll = LoadLibraryA(o->dll))) {
        printf("{\"error\":\"LoadLibraryA failed\",\"code\":%lu}\n",
               (unsigned long)GetLastError());
        return 3;
    }
    proc = (HOOKPROC)(void (*)(void))GetProcAddress(dll, o->proc);
    if (!proc) {
        printf("{\"error\":\"no procedure %s\"}\n", o->proc);
        return 3;
    }
    /* thread 0: every thread of the desktop, in any process; the module is
     * what Windows loads into them */
    if (!(hook = SetWindowsHookExA(WH_CALLWNDPROCRET, proc, dll, 0))) {
        printf("{\"error\":\"SetWindowsHookExA failed\",\"code\":%lu}\n",
               (unsigned long)GetLastError());
        return 3;
    }
    printf("{\"hooked\":true}\n");
    fflush(stdout);
    while ((c = getchar()) != EOF)
        ;
    UnhookWindowsHookEx(hook);
    printf("{\"unhooked\":true}\n");
    return 0;
}

/* Makes the windows of desktop `name` this thread's: EnumWindows and
 * FindWindowEx then see them. Returns the desktop (NULL when unusable). */
static HDESK UseDesktop(const char *name)
{
    HDESK desk = OpenDesktopA(name, 0, FALSE, GENERIC_ALL);
    if (!desk || !SetThreadDesktop(desk)) {
        printf("{\"error\":\"desktop %s not usable\",\"code\":%lu}\n", name,
               (unsigned long)GetLastError());
        if (desk)
            CloseDesktop(desk);
        return NULL;
    }
    return desk;
}

static int Usage(void)
{
    fputs("usage: uia list|wait|wait-gone|dump|click|sync|key|close|progress|"
          "msgbox|temp-path|loadlib|winexec|hook|serve [options]\n", stderr);
    return 1;
}

/* One command: argv[0] is its name, the options follow. */
static int Command(int argc, char **argv, HDESK *desk)
{
    Options o;
    const char *cmd = argv[0];
    memset(&o, 0, sizeof o);
    o.timeout = 10000;
    o.interval = 50;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
#define TAKE(field) do { if (!v) return Usage(); field = v; ++i; } while (0)
        if (!strcmp(a, "--title")) TAKE(o.filter.title);
        else if (!strcmp(a, "--title-suffix")) TAKE(o.filter.title_suffix);
        else if (!strcmp(a, "--class")) TAKE(o.filter.cls);
        else if (!strcmp(a, "--exe")) TAKE(o.filter.exe);
        else if (!strcmp(a, "--child-class")) TAKE(o.filter.child_class);
        else if (!strcmp(a, "--visible")) o.filter.visible_only = 1;
        else if (!strcmp(a, "--hwnd")) {
            if (!v) return Usage();
            o.filter.hwnd = (HWND)(ULONG_PTR)strtoul(v, NULL, 0);
            ++i;
        }
        else if (!strcmp(a, "--timeout")) { if (!v) return Usage(); o.timeout = (DWORD)ParseNumber(v); o.have_timeout = 1; ++i; }
        else if (!strcmp(a, "--desktop")) {
            if (!v || *desk) return Usage();
            if (!(*desk = UseDesktop(v))) {
                /* A virtual desktop closes with its last program: none of
                 * its windows is left, which is what wait-gone waits for. */
                if (!strcmp(cmd, "wait-gone")) {
                    printf("{\"gone\":true,\"desktop\":\"closed\"}\n");
                    return 0;
                }
                return 3;
            }
            ++i;
        }
        else if (!strcmp(a, "--send")) o.send = 1;
        else if (!strcmp(a, "--interval")) { if (!v) return Usage(); o.interval = (DWORD)ParseNumber(v); ++i; }
        else if (!strcmp(a, "--id")) { if (!v) return Usage(); o.id = ParseNumber(v); o.have_id = 1; ++i; }
        else if (!strcmp(a, "--vk")) { if (!v) return Usage(); o.vk = ParseNumber(v); ++i; }
        else if (!strcmp(a, "--press")) TAKE(o.press);
        else if (!strcmp(a, "--command")) o.command = 1;
        else if (!strcmp(a, "--syscommand")) o.syscommand = 1;
        else if (!strcmp(a, "--dll")) TAKE(o.dll);
        else if (!strcmp(a, "--proc")) TAKE(o.proc);
        else return Usage();
#undef TAKE
    }
    if (o.interval == 0)
        o.interval = 1;

    if (!strcmp(cmd, "list")) return CmdList(&o);
    if (!strcmp(cmd, "wait")) return CmdWait(&o);
    if (!strcmp(cmd, "wait-gone")) return CmdWaitGone(&o);
    if (!strcmp(cmd, "dump")) return CmdDump(&o);
    if (!strcmp(cmd, "click")) return CmdClick(&o);
    if (!strcmp(cmd, "sync")) return CmdSync(&o);
    if (!strcmp(cmd, "key")) return CmdKey(&o);
    if (!strcmp(cmd, "close")) return CmdClose(&o);
    if (!strcmp(cmd, "progress")) return CmdProgress(&o);
    if (!strcmp(cmd, "msgbox")) return CmdMsgbox(&o);
    if (!strcmp(cmd, "temp-path")) return CmdTempPath();
    if (!strcmp(cmd, "hook")) return CmdHook(&o);
    return Usage();
}

/* uia serve: each line of stdin is one command, its arguments separated by
 * tabs; after its reports comes {"exit":CODE}. The thread goes back to its
 * own desktop after a command that named another one. */
static int Serve(void)
{
    static char line[65536];
    char *args[64];
    HDESK home = GetThreadDesktop(GetCurrentThreadId());

    while (fgets(line, sizeof line, stdin)) {
        size_t n = strlen(line);
        int argc = 0, rc;
        HDESK desk = NULL;
        char *p = line;
        if (n == sizeof line - 1 && line[n - 1] != '\n') {
            /* longer than any command: drop the rest of it, refuse it */
            int c;
            while ((c = getchar()) != EOF && c != '\n')
                ;
            printf("{\"error\":\"command too long\"}\n{\"exit\":1}\n");
            fflush(stdout);
            continue;
        }
        while (n && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            line[--n] = 0;
        if (!n)
            continue;
        for (;;) {
            char *tab = strchr(p, '\t');
            if (argc == (int)(sizeof args / sizeof args[0]))
                break;
            args[argc++] = p;
            if (!tab)
                break;
            *tab = 0;
            p = tab + 1;
        }
        if (argc == (int)(sizeof args / sizeof args[0]) || !strcmp(args[0], "serve") ||
            !strcmp(args[0], "loadlib") || !strcmp(args[0], "winexec") ||
            !strcmp(args[0], "hook"))
            rc = Usage();
        else
            rc = Command(argc, args, &desk);
        if (desk) {
            SetThreadDesktop(home);
            CloseDesktop(desk);
        }
        printf("{\"exit\":%d}\n", rc);
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char **argv)
{
    HMODULE psapi;
    HDESK desk = NULL;
    int rc;
    if (argc < 2)
        return Usage();
    if (!strcmp(argv[1], "loadlib"))
        return argc == 3 ? CmdLoadLib(argv[2]) : Usage();
    if (!strcmp(argv[1], "winexec"))
        return argc == 3 ? CmdWinExec(argv[2]) : Usage();

    psapi = LoadLibraryA("kernel32.dll");
    pGetProcessImageFileNameA = (DWORD (WINAPI *)(HANDLE, LPSTR, DWORD))(void (*)(void))
        GetProcAddress(psapi, "K32GetProcessImageFileNameA");
    if (!pGetProcessImageFileNameA) {
        psapi = LoadLibraryA("psapi.dll");
        if (psapi)
            pGetProcessImageFileNameA = (DWORD (WINAPI *)(HANDLE, LPSTR, DWORD))(void (*)(void))
                GetProcAddress(psapi, "GetProcessImageFileNameA");
    }

    if (!strcmp(argv[1], "serve"))
        return argc == 2 ? Serve() : Usage();
    rc = Command(argc - 1, argv + 1, &desk);
    fflush(stdout);
    return rc;
}
