// ExtractPayload: binds the container reader to the own file, the spool
// file, the member files, the progress window and fixed global memory, and
// turns the reader's result into the text of the error box.
#include "launcher/extract.h"

static ExtractionState *State(void *ctx) { return (ExtractionState *)ctx; }

// Remembers the system's code of a call that just failed; the reader asks
// for it through last_error before anything else can change it.
static bool Failed(ExtractionState *st) {
    st->error = GetLastError();
    return false;
}

static bool ReadSelf(void *ctx, void *buf, uint32_t n, uint32_t *got) {
    ExtractionState *st = State(ctx);
    DWORD moved = 0;
    BOOL ok = ReadFile(st->self, buf, n, &moved, NULL);
    *got = moved;
    if (!ok) return Failed(st);
    // A short read that succeeded leaves the code of the last call.
    st->error = GetLastError();
    return true;
}

static bool CreateSpool(void *ctx) {
    ExtractionState *st = State(ctx);
    FormatBounded(g_scratch, kPathBufferSize, "%s\\data%04x.tmp", g_workspace,
                  (UINT)(GetTickCount() & 0xFFFF));
    HANDLE h = CreateFileA(g_scratch, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                           CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                           NULL);
    if (h == INVALID_HANDLE_VALUE) return Failed(st);
    st->spool = h;
    return true;
}

// A write that reports success but moves fewer bytes than given ran out of
// room; the system often leaves no code for it, and "Error Code: 00000000"
// would tell the user nothing.
static DWORD ShortWriteCode(void) {
    DWORD e = GetLastError();
    return e ? e : (DWORD)ERROR_DISK_FULL;
}

static bool WriteSpool(void *ctx, const void *buf, uint32_t n, uint32_t *put) {
    ExtractionState *st = State(ctx);
    DWORD moved = 0;
    BOOL ok = WriteFile(st->spool, buf, n, &moved, NULL);
    *put = moved;
    if (!ok) return Failed(st);
    st->error = ShortWriteCode();
    return true;
}

static void SeekSpool(void *ctx, uint32_t pos) {
    SetFilePointer(State(ctx)->spool, (LONG)pos, NULL, FILE_BEGIN);
}

static bool ReadSpool(void *ctx, void *buf, uint32_t n, uint32_t *got) {
    ExtractionState *st = State(ctx);
    DWORD moved = 0;
    BOOL ok = ReadFile(st->spool, buf, n, &moved, NULL);
    *got = moved;
    if (!ok) return Failed(st);
    return true;
}

static bool CreateMember(void *ctx, const char *name, const DirectoryEntry *) {
    ExtractionState *st = State(ctx);
    FormatBounded(g_scratch, kPathBufferSize, "%s\\%s", g_workspace, name);
    // A path beyond the system's limit would otherwise reach CreateFileA
    // cut short by the formatter, naming some other file.
    if (lstrlenA(g_workspace) + 1 + lstrlenA(name) >= MAX_PATH) {
        st->error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    HANDLE h = CreateFileA(g_scratch, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return Failed(st);
    st->member = h;
    return true;
}

static bool WriteMember(void *ctx, const void *buf, uint32_t n) {
    ExtractionState *st = State(ctx);
    DWORD moved = 0;
    if (!WriteFile(st->member, buf, n, &moved, NULL)) return Failed(st);
    // A write that moved fewer bytes would leave a member silently cut.
    if (moved != n) {
        st->error = ShortWriteCode();
        return false;
    }
    return true;
}

static void CloseMember(void *ctx) {
    ExtractionState *st = State(ctx);
    if (st->member) CloseHandle(st->member);
    st->member = NULL;
}

static void ProgressBegin(void *ctx) {
    State(ctx)->progress = CreateProgressWindow();
}

static void Progress(void *ctx, uint32_t percent) {
    SetProgressWindow(State(ctx)->progress, percent);
}

static void ProgressEnd(void *ctx) {
    ExtractionState *st = State(ctx);
    if (st->progress) DestroyWindow(st->progress);
    st->progress = NULL;
}

static void *Alloc(void *ctx, uint32_t size) {
    void *p = (void *)GlobalAlloc(GMEM_FIXED, size);
    if (!p) State(ctx)->error = GetLastError();
    return p;
}

static void Release(void *, void *p) {
    if (p) GlobalFree((HGLOBAL)p);
}

static uint32_t LastError(void *ctx) { return State(ctx)->error; }

// The failure text: "Error Code: %08X\n" with the system code before texts
// that carry one; the "%s" is the path in the scratch buffer (spool or
// member) or the words kCorruptedText.
static const char *Compose(ExtractResult r, DWORD code) {
    const char *text = ExtractResultText(r);
    const char *arg = ExtractResultTakesPath(r) ? g_scratch : kCorruptedText;
    if (ExtractResultHasCode(r)) {
        char format[160];
        FormatBounded(format, sizeof format, "Error Code: %%08X\n%s", text);
        FormatBounded(g_message, kMessageBufferSize, format, code, arg);
    } else {
        FormatBounded(g_message, kMessageBufferSize, text, arg);
    }
    return g_message;
}

const char *ExtractPayload(ExtractionState *st) {
    ExtractOps &ops = st->ops;
    ops.ctx = st;
    ops.read_self = ReadSelf;
    ops.create_spool = CreateSpool;
    ops.write_spool = WriteSpool;
    ops.seek_spool = SeekSpool;
    ops.read_spool = ReadSpool;
    ops.create_member = CreateMember;
    ops.write_member = WriteMember;
    ops.close_member = CloseMember;
    ops.progress_begin = ProgressBegin;
    ops.progress = Progress;
    ops.progress_end = ProgressEnd;
    ops.alloc = Alloc;
    ops.release = Release;
    ops.last_error = LastError;

    // A path that does not fit the buffer would open some other file.
    DWORD len = GetModuleFileNameA(g_instance, g_scratch, kPathBufferSize);
    if (len == 0 || len >= (DWORD)kPathBufferSize) {
        DWORD code = len ? (DWORD)ERROR_INSUFFICIENT_BUFFER : GetLastError();
        return Compose(kErrOpenSelf, code);
    }
    HANDLE self = CreateFileA(g_scratch, GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (self == INVALID_HANDLE_VALUE)
        return Compose(kErrOpenSelf, GetLastError());
    st->self = self;
    ops.file_size = GetFileSize(self, NULL);

    ExtractResult r = ExtractContainer(&ops, &st->reader);
    if (r == kExtractOk) return NULL;
    return Compose(r, st->reader.code);
}

void ReleaseExtraction(ExtractionState *st) {
    if (st->progress) DestroyWindow(st->progress);
    st->progress = NULL;
    if (st->self) CloseHandle(st->self);
    st->self = NULL;
    if (st->member) CloseHandle(st->member);
    st->member = NULL;
    if (st->spool) CloseHandle(st->spool);
    st->spool = NULL;
    // Before ExtractPayload ran, ops is still zero and the reader holds
    // nothing, so ReleaseReader calls none of them.
    ReleaseReader(&st->ops, &st->reader);
}
