// Installer writer: image, header, directory, then one zlib stream of the
// inflated stream (every member's name, a NUL and its data) that ends in a
// sync flush with no final block and no trailer. Parts of members that
// compress are deflated at level 9, parts that do not are stored (see the
// level policy below).
#include "writer.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/container.h"
#include "host_file.h"
#include "platform.h"

namespace {

std::string SysError(int code) { return std::strerror(code); }

// Where compressed bytes go: appended to a vector or written to a file.
using ByteSink = std::function<bool(const uint8_t *, size_t)>;

// How a piece of the inflated stream is coded.
enum class Coding {
    kDeflate,  // level 9
    kStore,    // stored blocks: data that does not compress (CAB files
               // already are) costs no compression time and inflates at
               // copying speed in the setup program
};

// The largest stored block deflate allows.
constexpr size_t kMaxStoredBlock = 65535;

// The inflated stream cut into blocks, each coded on its own and ended by
// a sync flush, joined behind one zlib header: one deflate sequence that
// inflates as a whole, ending in 00 00 FF FF. A block holds at most
// `block` bytes of one coding; a change of coding ends the block early.
// A deflated block is primed with the 32 KiB of input before it as a
// preset dictionary. A block's bytes depend only on its data, its coding
// and that dictionary, so the output is the same for any number of jobs.
//
// The caller's thread reads and checksums input, stores blocks that are
// stored and writes finished blocks in order. With one job it deflates
// blocks itself; with more, `jobs` worker threads take blocks from a
// queue as soon as they are free. At most 2 x jobs blocks are in flight,
// which bounds memory and keeps every worker busy while the oldest block
// is written.
class BlockStream {
public:
    BlockStream(ByteSink sink, unsigned jobs, size_t block)
        : sink_(std::move(sink)), jobs_(std::max(1u, jobs)),
          block_(std::max<size_t>(block, 64 * 1024)) {
        // Level 9, default window and memory level: the header 0x78 0xDA
        // that a single level 9 stream would have.
        static const uint8_t kZlibHeader[2] = {0x78, 0xDA};
        ok_ = sink_(kZlibHeader, 2);
        pending_.reserve(block_);
        if (jobs_ > 1)
            for (unsigned i = 0; i < jobs_; i++)
                workers_.emplace_back(&BlockStream::Work, this);
    }
    ~BlockStream() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        work_cv_.notify_all();
        for (auto &w : workers_) w.join();
    }
    bool Feed(const uint8_t *p, size_t n, Coding coding) {
        if (ok_ && n && !pending_.empty() && coding != pending_coding_) QueueBlock();
        if (n) pending_coding_ = coding;
        while (ok_ && n) {
            size_t take = std::min(n, block_ - pending_.size());
            pending_.insert(pending_.end(), p, p + take);
            p += take;
            n -= take;
            if (pending_.size() == block_) QueueBlock();
        }
        return ok_;
    }
    bool Finish() {
        // An empty payload still gets one (empty) block and so its sync
        // flush marker.
        if (ok_ && (!pending_.empty() || !queued_any_)) QueueBlock();
        while (ok_ && !inflight_.empty()) WriteOldest();
        return ok_;
    }

private:
    struct Job {
        Coding coding = Coding::kDeflate;
        std::vector<uint8_t> dict, data, out;
        bool ok = false;
        bool done = false;  // guarded by mu_ once queued
    };

    void QueueBlock() {
        auto job = std::make_shared<Job>();
        job->coding = pending_coding_;
        if (job->coding == Coding::kDeflate) {
            size_t d = std::min<size_t>(32768, last_tail_.size());
            job->dict.assign(last_tail_.end() - d, last_tail_.end());
        }
        job->data.swap(pending_);
        size_t t = std::min<size_t>(32768, job->data.size());
        last_tail_.assign(job->data.end() - t, job->data.end());
        pending_.clear();
        pending_.reserve(block_);
        queued_any_ = true;
        if (job->coding == Coding::kStore || workers_.empty()) {
            Code(job.get());
            job->done = true;
        } else {
            {
                std::lock_guard<std::mutex> lock(mu_);
                queue_.push_back(job);
            }
            work_cv_.notify_one();
        }
        inflight_.push_back(std::move(job));
        while (ok_ && inflight_.size() >= 2 * (size_t)jobs_) WriteOldest();
    }

    // Waits for the oldest block in flight and hands its bytes to the sink.
    void WriteOldest() {
        std::shared_ptr<Job> j = inflight_.front();
        inflight_.pop_front();
        {
            std::unique_lock<std::mutex> lock(mu_);
            done_cv_.wait(lock, [&] { return j->done; });
        }
        ok_ = j->ok && sink_(j->out.data(), j->out.size());
    }

    void Work() {
        for (;;) {
            std::shared_ptr<Job> j;
            {
                std::unique_lock<std::mutex> lock(mu_);
                work_cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                // Stopping drops blocks still queued: nobody will write them.
                if (stop_) return;
                j = std::move(queue_.front());
                queue_.pop_front();
            }
            Code(j.get());
            {
                std::lock_guard<std::mutex> lock(mu_);
                j->done = true;
            }
            done_cv_.notify_all();
        }
    }

    static void Code(Job *j) {
        if (j->coding == Coding::kStore)
            Store(j);
        else
            Deflate(j);
        std::vector<uint8_t>().swap(j->data);
    }

    // Stored blocks of at most 65535 bytes (block type 00, byte-aligned:
    // every block before ended on a byte), then the empty stored block
    // that a sync flush writes.
    static void Store(Job *j) {
        const size_t n = j->data.size();
        j->out.clear();
        j->out.reserve(n + (n / kMaxStoredBlock + 2) * 5);
        for (size_t at = 0;;) {
            size_t len = std::min(kMaxStoredBlock, n - at);
            const uint8_t head[5] = {0x00, (uint8_t)len, (uint8_t)(len >> 8),
                                     (uint8_t)~len, (uint8_t)(~len >> 8)};
            j->out.insert(j->out.end(), head, head + 5);
            if (len == 0) break;  // that was the sync flush's empty block
            j->out.insert(j->out.end(), j->data.begin() + at, j->data.begin() + at + len);
            at += len;
        }
        j->ok = true;
    }

    static void Deflate(Job *j) {
        z_stream z;
        std::memset(&z, 0, sizeof z);
        if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return;
        if (!j->dict.empty())
            deflateSetDictionary(&z, j->dict.data(), (uInt)j->dict.size());
        j->out.resize(deflateBound(&z, j->data.size()) + 16);
        z.next_in = j->data.data();
        z.avail_in = (uInt)j->data.size();
        z.next_out = j->out.data();
        z.avail_out = (uInt)j->out.size();
        int rc = deflate(&z, Z_SYNC_FLUSH);
        j->ok = rc == Z_OK && z.avail_in == 0 && z.avail_out != 0;
        j->out.resize(j->out.size() - z.avail_out);
        deflateEnd(&z);
    }

    ByteSink sink_;
    unsigned jobs_;
    size_t block_;
    bool ok_;
    bool queued_any_ = false;
    Coding pending_coding_ = Coding::kDeflate;
    std::vector<uint8_t> pending_, last_tail_;
    std::deque<std::shared_ptr<Job>> inflight_;  // caller's thread only

    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<std::shared_ptr<Job>> queue_;  // guarded by mu_
    bool stop_ = false;                       // guarded by mu_
    std::vector<std::thread> workers_;        // none with one job
};

// The level policy. Each member is judged in parts of kJudgedPart bytes
// from its start (a CAB file may hold a stretch that compresses well
// among data that does not). A part is judged on a sample: kSamplePieces
// pieces of kSamplePiece bytes, one from the middle of each of that many
// equal slices of the part (a sample from the start alone would take a
// CAB file's list of names for the whole). Each piece is deflated at
// level 9 on its own; the part is deflated when at least half of the
// pieces shrink by 1/kMinGain or more, else stored, so one odd piece does
// not decide. Parts smaller than the sample are deflated: judging them
// would cost about as much. The decision depends on the part's bytes
// alone, never on the number of jobs.
constexpr size_t kJudgedPart = 1u << 20;
constexpr size_t kSamplePiece = 4 * 1024;
constexpr size_t kSamplePieces = 8;
constexpr size_t kMinGain = 32;  // about 3 %

Coding ChooseCoding(const uint8_t *part, size_t size, const WriteOptions &opt) {
    if (opt.level9_all || size < kSamplePiece * kSamplePieces) return Coding::kDeflate;
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return Coding::kDeflate;
    uint8_t out[kSamplePiece + kSamplePiece / 8];  // above deflateBound's figure
    size_t shrinking = 0;
    for (size_t i = 0; i < kSamplePieces; i++) {
        deflateReset(&z);
        size_t at = (2 * i + 1) * size / (2 * kSamplePieces) - kSamplePiece / 2;
        z.next_in = const_cast<Bytef *>(part + at);
        z.avail_in = (uInt)kSamplePiece;
        z.next_out = out;
        z.avail_out = (uInt)sizeof out;
        deflate(&z, Z_FINISH);
        size_t packed = sizeof out - z.avail_out;
        if (packed + kSamplePiece / kMinGain <= kSamplePiece) shrinking++;
    }
    deflateEnd(&z);
    return 2 * shrinking >= kSamplePieces ? Coding::kDeflate : Coding::kStore;
}

}  // namespace

std::string CheckMembers(const std::vector<PackMember> &members) {
    // An installer without members is shorter than the smallest file the
    // setup program accepts.
    if (members.empty()) return "nothing to pack: name at least one file";
    if (members.size() > (size_t)kMaxEntries)
        return "too many members (" + std::to_string(members.size()) +
               "): an installer holds at most " + std::to_string(kMaxEntries);
    std::map<std::string, std::string> seen;
    for (const PackMember &m : members) {
        if (!IsSafeMemberName(m.name.c_str()) ||
            m.name.find('\0') != std::string::npos)
            return "member name '" + m.name +
                   "' cannot be a Windows file name in the setup folder "
                   "(no folders, drives, device names, trailing dots or "
                   "blanks, or any of < > : \" | ? *): rename it with NAME=PATH";
        if (m.name.size() > 200)
            return "member name '" + m.name.substr(0, 40) +
                   "...' is too long: keep names within 200 characters";
        auto ins = seen.emplace(vq::LowerAscii(m.name), m.name);
        if (!ins.second && ins.first->second == m.name)
            return "member '" + m.name + "' is given twice: name it once";
        if (!ins.second)
            return "members '" + ins.first->second + "' and '" + m.name +
                   "' would be the same file on Windows: rename one with NAME=PATH";
    }
    return "";
}

uint32_t ImageChecksum(const std::vector<uint8_t> &image) {
    std::vector<uint8_t> masked(image);
    masked.resize(kImageSize);
    MaskSignedFields(masked.data());
    return ContainerChecksum(kChecksumSeed, masked.data(), kImageSize);
}

std::vector<uint8_t> DeflateSync(const std::vector<uint8_t> &data,
                                 const WriteOptions &opt) {
    std::vector<uint8_t> out;
    BlockStream z(
        [&](const uint8_t *p, size_t n) {
            out.insert(out.end(), p, p + n);
            return true;
        },
        opt.jobs, opt.block_size);
    for (size_t at = 0; at < data.size(); at += kJudgedPart) {
        size_t n = std::min(kJudgedPart, data.size() - at);
        z.Feed(data.data() + at, n, ChooseCoding(data.data() + at, n, opt));
    }
    z.Finish();
    return out;
}

std::string PartialPath(const std::string &out_path) { return out_path + ".partial"; }

bool WriteInstaller(const std::string &out_path,
                    const std::vector<uint8_t> &image,
                    const std::vector<PackMember> &members,
                    const WriteOptions &opt, std::string *err) {
    if (image.size() != (size_t)kImageSize) {
        *err = "stub image has " + std::to_string(image.size()) +
               " bytes; it must be exactly " + std::to_string(kImageSize);
        return false;
    }
    std::string bad = CheckMembers(members);
    if (!bad.empty()) {
        *err = bad;
        return false;
    }

    // Lay out the inflated stream from the sizes the files have now; a
    // file that changes while it is read is an error.
    std::vector<DirectoryEntry> dir(members.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < members.size(); i++) {
        struct stat st;
        if (::stat(members[i].path.c_str(), &st) != 0) {
            *err = members[i].path + ": " + SysError(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *err = members[i].path + ": not a regular file";
            return false;
        }
        dir[i].name_offset = (uint32_t)offset;
        offset += members[i].name.size() + 1;
        dir[i].data_offset = (uint32_t)offset;
        dir[i].data_size = (uint32_t)st.st_size;
        offset += (uint64_t)st.st_size;
        if (offset > (uint64_t)kMaxStreamOffset) {
            *err = "payload too large: the members and their names must "
                   "stay below 2 GiB in all";
            return false;
        }
    }
    const uint64_t total = offset;

    std::string tmp = PartialPath(out_path);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0755);
    if (fd < 0) {
        // Name the file the user asked for, not the temporary one.
        *err = out_path + ": " + SysError(errno);
        return false;
    }
    auto fail = [&](const std::string &why) {
        *err = why;
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    };

    std::vector<uint8_t> dir_bytes(members.size() * kEntrySize);
    for (size_t i = 0; i < dir.size(); i++)
        EncodeEntry(&dir[i], dir_bytes.data() + i * kEntrySize);
    ContainerHeader h = {};
    h.signature = kSignature;
    h.uncompressed_size = (uint32_t)total;
    h.entry_count = (uint32_t)members.size();
    h.image_checksum = ImageChecksum(image);
    h.directory_checksum =
        ContainerChecksum(kChecksumSeed, dir_bytes.data(), (uint32_t)dir_bytes.size());
    uint8_t raw[kHeaderSize] = {};
    if (!vq::WriteFull(fd, image.data(), image.size()) ||
        !vq::WriteFull(fd, raw, sizeof raw) ||
        !vq::WriteFull(fd, dir_bytes.data(), dir_bytes.size()))
        return fail(tmp + ": " + SysError(errno));

    uint64_t compressed = 0;
    int write_errno = 0;
    BlockStream z(
        [&](const uint8_t *p, size_t n) {
            compressed += n;
            if (vq::WriteFull(fd, p, n)) return true;
            write_errno = errno;
            return false;
        },
        opt.jobs, opt.block_size);
    uint32_t running = kChecksumSeed;
    uint64_t done = 0;
    std::vector<uint8_t> buf(kJudgedPart);
    Coding coding = Coding::kDeflate;
    auto feed = [&](const uint8_t *p, size_t n) {
        running = ContainerChecksum(running, p, (uint32_t)n);
        done += n;
        return z.Feed(p, n, coding);
    };
    for (size_t i = 0; i < members.size(); i++) {
        const PackMember &m = members[i];
        int in = ::open(m.path.c_str(), O_RDONLY | O_BINARY);
        if (in < 0) return fail(m.path + ": " + SysError(errno));
        auto fail_in = [&](const std::string &why) {
            ::close(in);
            return fail(why);
        };
        // One judged part at a time; the name goes with the first part,
        // in its coding.
        uint64_t left = dir[i].data_size;
        bool named = false;
        do {
            size_t want = (size_t)std::min<uint64_t>(kJudgedPart, left), got = 0;
            if (!vq::ReadFull(in, buf.data(), want, &got))
                return fail_in(m.path + ": " + SysError(errno));
            if (got < want) return fail_in(m.path + ": file shrank while it was packed");
            coding = ChooseCoding(buf.data(), got, opt);
            if ((!named && !feed((const uint8_t *)m.name.c_str(), m.name.size() + 1)) ||
                !feed(buf.data(), got))
                return fail_in(tmp + ": " + SysError(write_errno ? write_errno : EIO));
            named = true;
            left -= got;
            if (opt.progress) opt.progress(done, total);
        } while (left);
        // A byte beyond the size the layout was made from.
        uint8_t extra;
        size_t more = 0;
        if (!vq::ReadFull(in, &extra, 1, &more))
            return fail_in(m.path + ": " + SysError(errno));
        if (more) return fail_in(m.path + ": file grew while it was packed");
        ::close(in);
    }
    if (!z.Finish())
        return fail(tmp + ": " + SysError(write_errno ? write_errno : EIO));
    if (compressed > 0xFFFFFFFFu)
        return fail("compressed payload too large (4 GiB or more)");

    h.compressed_size = (uint32_t)compressed;
    h.data_checksum = running;
    EncodeHeader(&h, raw);
    if (vq::WriteAt(fd, raw, sizeof raw, kImageSize) != (ssize_t)sizeof raw)
        return fail(tmp + ": " + SysError(errno));
    if (vq::SyncFile(fd) != 0 && errno != EINVAL)
        return fail(tmp + ": " + SysError(errno));
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        *err = tmp + ": " + SysError(e);
        return false;
    }
    if (vq::RenameOver(tmp.c_str(), out_path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        *err = out_path + ": " + SysError(e);
        return false;
    }
    return true;
}
