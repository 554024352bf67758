#include "host_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_file.h"
#include "platform.h"

namespace {

struct HostCtx {
    const ReadOptions *opt;
    ReadReport *report;
    int self = -1, spool = -1, member = -1;
    std::string spool_path;   // shown in spool messages, like the stub does
    std::string member_path;  // the member being written
    std::string last_path;    // the path the current message refers to
    uint32_t member_sum = 0;
    int err = 0;
};

HostCtx *Ctx(void *c) { return static_cast<HostCtx *>(c); }

// Full reads: the reader expects a short count only at the end of a file.
bool ReadFd(int fd, void *buf, uint32_t n, uint32_t *got, int *err) {
    size_t have = 0;
    bool ok = vq::ReadFull(fd, buf, n, &have);
    *got = (uint32_t)have;
    *err = ok ? 0 : errno;
    return ok;
}

bool WriteFd(int fd, const void *buf, uint32_t n, int *err) {
    if (vq::WriteFull(fd, buf, n)) return true;
    *err = errno;
    return false;
}

bool ReadSelf(void *c, void *buf, uint32_t n, uint32_t *got) {
    return ReadFd(Ctx(c)->self, buf, n, got, &Ctx(c)->err);
}

bool CreateSpool(void *c) {
    HostCtx *x = Ctx(c);
    std::string dir = x->opt->spool_dir;
    if (dir.empty() && x->opt->mode == ReadMode::kExtract) dir = x->opt->out_dir;
    if (dir.empty()) dir = vq::DefaultTempFolder();
    std::string templ = dir + "/vqspool-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    x->spool = vq::OpenTempFile(name.data());
    x->spool_path = name.data();
    x->last_path = x->spool_path;
    if (x->spool < 0) {
        x->err = errno;
        x->last_path = dir;
        return false;
    }
    // The spool lives only as long as its descriptor (on Windows the
    // unlink fails and OpenTempFile made it go when it is closed).
    ::unlink(name.data());
    return true;
}

bool WriteSpool(void *c, const void *buf, uint32_t n, uint32_t *put) {
    HostCtx *x = Ctx(c);
    x->last_path = x->spool_path;
    bool ok = WriteFd(x->spool, buf, n, &x->err);
    *put = ok ? n : 0;
    return ok;
}

void SeekSpool(void *c, uint32_t pos) { ::lseek(Ctx(c)->spool, (off_t)pos, SEEK_SET); }

bool ReadSpool(void *c, void *buf, uint32_t n, uint32_t *got) {
    return ReadFd(Ctx(c)->spool, buf, n, got, &Ctx(c)->err);
}

void CloseMember(void *c) {
    HostCtx *x = Ctx(c);
    if (x->member >= 0) ::close(x->member);
    x->member = -1;
    if (!x->report->members.empty()) x->report->members.back().checksum = x->member_sum;
}

bool CreateMember(void *c, const char *name, const DirectoryEntry *e) {
    HostCtx *x = Ctx(c);
    MemberInfo info;
    info.name = name;
    info.entry = *e;
    info.checksum = kChecksumSeed;
    x->report->members.push_back(info);
    x->member_sum = kChecksumSeed;
    if (x->opt->mode != ReadMode::kExtract) return true;
    x->member_path = x->opt->out_dir + "/" + name;
    x->last_path = x->member_path;
    // Never follow a link planted under a member's name.
    x->member = ::open(x->member_path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_BINARY, 0644);
    if (x->member < 0) {
        x->err = errno;
        return false;
    }
    return true;
}

bool WriteMember(void *c, const void *buf, uint32_t n) {
    HostCtx *x = Ctx(c);
    x->member_sum = ContainerChecksum(x->member_sum, buf, n);
    if (x->opt->member_data)
        x->opt->member_data(x->report->members.size() - 1, (const uint8_t *)buf, n);
    if (x->opt->mode != ReadMode::kExtract) return true;
    x->last_path = x->member_path;
    return WriteFd(x->member, buf, n, &x->err);
}

void Progress(void *c, uint32_t pct) {
    if (Ctx(c)->opt->progress) Ctx(c)->opt->progress(pct);
}

void *Alloc(void *, uint32_t size) { return std::malloc(size ? size : 1); }
void Release(void *, void *p) { std::free(p); }
uint32_t LastError(void *c) { return (uint32_t)Ctx(c)->err; }

std::string Compose(ExtractResult r, int code, const std::string &path,
                    const ReadReport &rep) {
    const char *text = ExtractResultText(r);
    std::string arg = ExtractResultTakesPath(r) ? path : kCorruptedText;
    std::string msg;
    for (const char *p = text; *p; p++) {
        if (p[0] == '%' && p[1] == 's') {
            msg += arg;
            p++;
        } else {
            msg += *p;
        }
    }
    if (r == kErrEntryRange || r == kErrMemberName)
        msg += " (directory entry " + std::to_string(rep.members.size()) + ")";
    if (ExtractResultHasCode(r))
        msg += code ? " (" + std::string(std::strerror(code)) + ")"
                    : " (the file ends too soon)";
    return msg;
}

}  // namespace

bool ReadInstaller(const std::string &path, const ReadOptions &opt,
                   ReadReport *report) {
    *report = ReadReport();
    HostCtx x;
    x.opt = &opt;
    x.report = report;
    x.self = ::open(path.c_str(), O_RDONLY | O_BINARY);
    if (x.self < 0) {
        report->result = kErrOpenSelf;
        report->message = Compose(kErrOpenSelf, errno, path, *report);
        return false;
    }
    struct stat st;
    if (::fstat(x.self, &st) == 0) report->file_size = (uint64_t)st.st_size;

    ExtractOps ops = {};
    ops.ctx = &x;
    // Only the low 32 bits, as the setup program asks for them.
    ops.file_size = (uint32_t)report->file_size;
    ops.read_self = ReadSelf;
    ops.create_spool = CreateSpool;
    ops.write_spool = WriteSpool;
    ops.seek_spool = SeekSpool;
    ops.read_spool = ReadSpool;
    ops.create_member = CreateMember;
    ops.write_member = opt.mode == ReadMode::kVerify ? nullptr : WriteMember;
    ops.close_member = CloseMember;
    ops.progress = Progress;
    ops.alloc = Alloc;
    ops.release = Release;
    ops.last_error = LastError;

    ReaderState rs;
    std::memset(&rs, 0, sizeof rs);
    ExtractResult r = ExtractContainer(&ops, &rs);
    report->result = r;
    report->header = rs.header;
    if (r != kExtractOk) report->message = Compose(r, (int)rs.code, x.last_path, *report);
    if (x.member >= 0) ::close(x.member);
    if (x.spool >= 0) ::close(x.spool);
    ::close(x.self);
    ReleaseReader(&ops, &rs);
    return r == kExtractOk;
}
