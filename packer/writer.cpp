// Installer writer: image, header, directory, then one zlib stream of the
// inflated stream (every member's name, a NUL and its data) that ends in a
// sync flush with no final block and no trailer.
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
#include "platform.h"

namespace {

std::string SysError(int code) { return std::strerror(code); }

std::string LowerAscii(const std::string &s) {
    std::string r = s;
    for (char &c : r)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return r;
}

// Where compressed bytes go: appended to a vector or written to a file.
using ByteSink = std::function<bool(const uint8_t *, size_t)>;

// One deflate sequence over everything fed, ended by a sync flush.
class SingleStream {
public:
    explicit SingleStream(ByteSink sink) : sink_(std::move(sink)) {
        std::memset(&z_, 0, sizeof z_);
        // Level 9 with the default 15-bit window and memory level: the
        // stream header is 0x78 0xDA.
        ok_ = deflateInit2(&z_, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~SingleStream() { deflateEnd(&z_); }
    bool Feed(const uint8_t *p, size_t n) { return Run(p, n, Z_NO_FLUSH); }
    bool Finish() { return Run(nullptr, 0, Z_SYNC_FLUSH); }

private:
    bool Run(const uint8_t *p, size_t n, int flush) {
        if (!ok_) return false;
        z_.next_in = const_cast<Bytef *>(p);
        z_.avail_in = (uInt)n;
        do {
            z_.next_out = out_;
            z_.avail_out = sizeof out_;
            int rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR) return ok_ = false;
            size_t have = sizeof out_ - z_.avail_out;
            if (have && !sink_(out_, have)) return ok_ = false;
        } while (z_.avail_out == 0 || z_.avail_in != 0);
        return true;
    }
    ByteSink sink_;
    z_stream z_;
    bool ok_;
    uint8_t out_[1 << 16];
};

// Blocks compressed independently, each primed with the 32 KiB of input
// before it as a preset dictionary and ended by a sync flush, joined
// behind one zlib header: still one deflate sequence that inflates as a
// whole. A block's bytes depend on its data and dictionary only, so the
// output is the same for any number of workers.
//
// The caller's thread reads and checksums input and writes finished
// blocks in order; `jobs` worker threads take blocks from a queue as soon
// as they are free. At most 2 x jobs blocks are in flight, which bounds
// memory and keeps every worker busy while the oldest block is written.
class ParallelStream {
public:
    ParallelStream(ByteSink sink, unsigned jobs, size_t block)
        : sink_(std::move(sink)), jobs_(std::max(1u, jobs)),
          block_(std::max<size_t>(block, 64 * 1024)) {
        static const uint8_t kZlibHeader[2] = {0x78, 0xDA};
        ok_ = sink_(kZlibHeader, 2);
        pending_.reserve(block_);
        for (unsigned i = 0; i < jobs_; i++)
            workers_.emplace_back(&ParallelStream::Work, this);
    }
    ~ParallelStream() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        work_cv_.notify_all();
        for (auto &w : workers_) w.join();
    }
    bool Feed(const uint8_t *p, size_t n) {
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
        std::vector<uint8_t> dict, data, out;
        bool ok = false;
        bool done = false;  // guarded by mu_
    };

    void QueueBlock() {
        auto job = std::make_shared<Job>();
        size_t d = std::min<size_t>(32768, last_tail_.size());
        job->dict.assign(last_tail_.end() - d, last_tail_.end());
        job->data.swap(pending_);
        size_t t = std::min<size_t>(32768, job->data.size());
        last_tail_.assign(job->data.end() - t, job->data.end());
        pending_.clear();
        pending_.reserve(block_);
        queued_any_ = true;
        {
            std::lock_guard<std::mutex> lock(mu_);
            queue_.push_back(job);
        }
        work_cv_.notify_one();
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
            Compress(j.get());
            {
                std::lock_guard<std::mutex> lock(mu_);
                j->done = true;
            }
            done_cv_.notify_all();
        }
    }

    static void Compress(Job *j) {
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
        std::vector<uint8_t>().swap(j->data);
        deflateEnd(&z);
    }

    ByteSink sink_;
    unsigned jobs_;
    size_t block_;
    bool ok_;
    bool queued_any_ = false;
    std::vector<uint8_t> pending_, last_tail_;
    std::deque<std::shared_ptr<Job>> inflight_;  // caller's thread only

    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<std::shared_ptr<Job>> queue_;  // guarded by mu_
    bool stop_ = false;                       // guarded by mu_
    std::vector<std::thread> workers_;
};

// Either writer behind one face.
class Compressor {
public:
    Compressor(ByteSink sink, const WriteOptions &opt) {
        if (opt.jobs >= 2)
            par_.reset(new ParallelStream(std::move(sink), opt.jobs, opt.block_size));
        else
            single_.reset(new SingleStream(std::move(sink)));
    }
    bool Feed(const uint8_t *p, size_t n) {
        return single_ ? single_->Feed(p, n) : par_->Feed(p, n);
    }
    bool Finish() { return single_ ? single_->Finish() : par_->Finish(); }

private:
    std::unique_ptr<SingleStream> single_;
    std::unique_ptr<ParallelStream> par_;
};

bool WriteAll(int fd, const void *p, size_t n) {
    const uint8_t *b = (const uint8_t *)p;
    while (n) {
        ssize_t w = ::write(fd, b, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        b += w;
        n -= (size_t)w;
    }
    return true;
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
        auto ins = seen.emplace(LowerAscii(m.name), m.name);
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
    Compressor c(
        [&](const uint8_t *p, size_t n) {
            out.insert(out.end(), p, p + n);
            return true;
        },
        opt);
    c.Feed(data.data(), data.size());
    c.Finish();
    return out;
}

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

    std::string tmp = out_path + ".partial";
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
    if (!WriteAll(fd, image.data(), image.size()) ||
        !WriteAll(fd, raw, sizeof raw) ||
        !WriteAll(fd, dir_bytes.data(), dir_bytes.size()))
        return fail(tmp + ": " + SysError(errno));

    uint64_t compressed = 0;
    int write_errno = 0;
    Compressor z(
        [&](const uint8_t *p, size_t n) {
            compressed += n;
            if (WriteAll(fd, p, n)) return true;
            write_errno = errno;
            return false;
        },
        opt);
    uint32_t running = kChecksumSeed;
    uint64_t done = 0;
    std::vector<uint8_t> buf(1 << 20);
    auto feed = [&](const uint8_t *p, size_t n) {
        running = ContainerChecksum(running, p, (uint32_t)n);
        done += n;
        return z.Feed(p, n);
    };
    for (size_t i = 0; i < members.size(); i++) {
        const PackMember &m = members[i];
        if (!feed((const uint8_t *)m.name.c_str(), m.name.size() + 1))
            return fail(tmp + ": " + SysError(write_errno ? write_errno : EIO));
        int in = ::open(m.path.c_str(), O_RDONLY | O_BINARY);
        if (in < 0) return fail(m.path + ": " + SysError(errno));
        uint64_t left = dir[i].data_size;
        while (true) {
            ssize_t r = ::read(in, buf.data(), buf.size());
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                int e = errno;
                ::close(in);
                return fail(m.path + ": " + SysError(e));
            }
            if (r == 0) break;
            if ((uint64_t)r > left) {
                ::close(in);
                return fail(m.path + ": file grew while it was packed");
            }
            left -= (uint64_t)r;
            if (!feed(buf.data(), (size_t)r)) {
                ::close(in);
                return fail(tmp + ": " + SysError(write_errno ? write_errno : EIO));
            }
            if (opt.progress) opt.progress(done, total);
        }
        ::close(in);
        if (left) return fail(m.path + ": file shrank while it was packed");
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
