// In-memory containers and an in-memory binding of the reader, for tests.
#ifndef VQ_TEST_SUPPORT_H
#define VQ_TEST_SUPPORT_H

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ce/cabinet.h"
#include "ce/ce_cabinet.h"
#include "ce/ce_script.h"
#include "common/container.h"
#include "writer.h"

using Bytes = std::vector<uint8_t>;

// A scratch folder under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char t[] = "/tmp/vqtest-XXXXXX";
        path_ = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    // Writes `data` to a file of that name in the folder; returns its path.
    std::string File(const std::string &name, const Bytes &data) const {
        std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary).write((const char *)data.data(), data.size());
        return p;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline Bytes Slurp(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline Bytes ToBytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct TestMember {
    std::string name;
    Bytes data;
};

inline Bytes TestImage() {
    Bytes img(kImageSize);
    for (size_t i = 0; i < img.size(); i++) img[i] = (uint8_t)(i * 7 + 3);
    return img;
}

inline Bytes InflatedStream(const std::vector<TestMember> &ms, std::vector<DirectoryEntry> *dir) {
    Bytes s;
    for (const TestMember &m : ms) {
        DirectoryEntry e;
        e.name_offset = (uint32_t)s.size();
        s.insert(s.end(), m.name.begin(), m.name.end());
        s.push_back(0);
        e.data_offset = (uint32_t)s.size();
        e.data_size = (uint32_t)m.data.size();
        s.insert(s.end(), m.data.begin(), m.data.end());
        if (dir) dir->push_back(e);
    }
    return s;
}

// A complete zlib stream (final block and standard trailer).
inline Bytes DeflateComplete(const Bytes &in) {
    uLongf n = compressBound(in.size());
    Bytes out(n);
    compress2(out.data(), &n, in.data(), in.size(), 9);
    out.resize(n);
    return out;
}

// Assembles image, header, directory and `stream` (with checksums made
// right); `tweak` may then change the header before it is serialised.
template <typename Tweak>
Bytes Assemble(const Bytes &image, const std::vector<DirectoryEntry> &dir,
               const Bytes &inflated, const Bytes &stream, Tweak tweak) {
    Bytes d(dir.size() * kEntrySize);
    for (size_t i = 0; i < dir.size(); i++) EncodeEntry(&dir[i], d.data() + i * kEntrySize);
    ContainerHeader h;
    h.signature = kSignature;
    h.compressed_size = (uint32_t)stream.size();
    h.uncompressed_size = (uint32_t)inflated.size();
    h.entry_count = (uint32_t)dir.size();
    h.image_checksum = ContainerChecksum(kChecksumSeed, image.data(), (uint32_t)image.size());
    h.directory_checksum = ContainerChecksum(kChecksumSeed, d.data(), (uint32_t)d.size());
    h.data_checksum = ContainerChecksum(kChecksumSeed, inflated.data(), (uint32_t)inflated.size());
    tweak(h);
    Bytes f = image;
    uint8_t raw[kHeaderSize];
    EncodeHeader(&h, raw);
    f.insert(f.end(), raw, raw + kHeaderSize);
    f.insert(f.end(), d.begin(), d.end());
    f.insert(f.end(), stream.begin(), stream.end());
    return f;
}

inline Bytes MakeContainer(const std::vector<TestMember> &ms) {
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(ms, &dir);
    return Assemble(TestImage(), dir, s, DeflateSync(s), [](ContainerHeader &) {});
}

// The reader bound to memory: the own file, the spool and the members.
struct MemoryRun {
    Bytes file;
    Bytes spool;
    size_t spool_pos = 0;
    size_t read_pos = 0;
    std::map<std::string, Bytes> members;  // what was written, by name
    std::vector<std::string> order;        // names in creation order
    std::string open_member;
    std::vector<uint32_t> percents;
    int begins = 0, ends = 0;
    // Fault injection: fail the Nth byte written to spool / members.
    size_t spool_limit = (size_t)-1;
    size_t member_limit = (size_t)-1;
    size_t member_written = 0;
    bool copy_data = true;
    ReaderState st;
    ExtractResult result = kExtractOk;

    static MemoryRun *Of(void *c) { return static_cast<MemoryRun *>(c); }

    ExtractResult Run() {
        ExtractOps ops = {};
        ops.ctx = this;
        ops.file_size = (uint32_t)file.size();
        ops.read_self = [](void *c, void *buf, uint32_t n, uint32_t *got) {
            MemoryRun *r = Of(c);
            size_t left = r->file.size() - r->read_pos;
            *got = (uint32_t)(n < left ? n : left);
            std::memcpy(buf, r->file.data() + r->read_pos, *got);
            r->read_pos += *got;
            return true;
        };
        ops.create_spool = [](void *) { return true; };
        ops.write_spool = [](void *c, const void *buf, uint32_t n, uint32_t *put) {
            MemoryRun *r = Of(c);
            if (r->spool.size() + n > r->spool_limit) {
                *put = 0;
                return false;
            }
            const uint8_t *b = (const uint8_t *)buf;
            r->spool.insert(r->spool.end(), b, b + n);
            *put = n;
            return true;
        };
        ops.seek_spool = [](void *c, uint32_t pos) { Of(c)->spool_pos = pos; };
        ops.read_spool = [](void *c, void *buf, uint32_t n, uint32_t *got) {
            MemoryRun *r = Of(c);
            size_t left = r->spool_pos < r->spool.size() ? r->spool.size() - r->spool_pos : 0;
            *got = (uint32_t)(n < left ? n : left);
            std::memcpy(buf, r->spool.data() + r->spool_pos, *got);
            r->spool_pos += *got;
            return true;
        };
        ops.create_member = [](void *c, const char *name, const DirectoryEntry *) {
            MemoryRun *r = Of(c);
            r->members[name].clear();
            r->order.push_back(name);
            r->open_member = name;
            return true;
        };
        ops.write_member = [](void *c, const void *buf, uint32_t n) {
            MemoryRun *r = Of(c);
            const uint8_t *b = (const uint8_t *)buf;
            Bytes &m = r->members[r->open_member];
            for (uint32_t i = 0; i < n; i++) {
                if (r->member_written == r->member_limit) return false;
                m.push_back(b[i]);
                r->member_written++;
            }
            return true;
        };
        if (!copy_data) ops.write_member = nullptr;
        ops.close_member = [](void *c) { Of(c)->open_member.clear(); };
        ops.progress_begin = [](void *c) { Of(c)->begins++; };
        ops.progress = [](void *c, uint32_t pct) { Of(c)->percents.push_back(pct); };
        ops.progress_end = [](void *c) { Of(c)->ends++; };
        ops.alloc = [](void *, uint32_t n) { return std::malloc(n); };
        ops.release = [](void *, void *p) { std::free(p); };
        ops.last_error = [](void *) { return (uint32_t)112; };
        std::memset(&st, 0, sizeof st);
        result = ExtractContainer(&ops, &st);
        ReleaseReader(&ops, &st);
        return result;
    }
};

// A CE model with every field set, none to its default: folders below the
// install folder, under a macro and from the device's root; a source
// stored once for two files; every registry type; shortcuts to a file and
// to a folder, in a macro folder, a path and the install folder.
inline CeInstall TestCeModel(uint32_t processor = 2577, const std::string &app = "VQNotes") {
    CeInstall m;
    m.app_name = app;
    m.provider = "VQ Soft";
    m.install_dir = "%CE1%\\VQNotes";
    m.processor = processor;
    m.version_min_major = 4;
    m.version_min_minor = 1;
    m.version_max_major = 5;
    m.version_max_minor = 2;
    m.build_min = 100;
    m.build_max = 9999;
    m.unsupported = {"HPC", "JORDAN"};
    m.folders = {{true, ""}, {true, "Docs"}, {false, "%CE2%"}, {false, "\\BASIC Samples"},
                 {false, "%CE11%"}};
    m.files = {{1, 1, "", 0, 0x40000000, "VQNotes.exe"},
               {2, 2, "", 1, kCeCopyShared | kCeCopyNoSkip | kCeCopyWarnIfSkip, "notes.txt"},
               {3, 2, "", 3, 0, "notes.txt"},
               {4, 4, "", 2, kCeCopySelfRegister, "vq.dll"}};
    m.keys = {{kCeHKLM, "Software\\VQNotes"}, {kCeHKCU, "Software"}};
    m.values = {{0, "Path", kCeRegSz, std::string("%InstallDir%\0", 13), true},
                {1, "", kCeRegDword | kCeRegNoClobber, std::string("\x2a\0\0\0", 4), false},
                {0, "Blob", kCeRegBinary, std::string("\0\xff", 2), false},
                {0, "List", kCeRegMultiSz, std::string("a\0b\0\0", 5), false}};
    m.shortcuts = {{4, "VQNotes.lnk", true, 1, 0},
                   {3, "Docs.lnk", false, 0, 1},
                   {0, "Read me.lnk", true, 2, 0}};
    return m;
}

// A cabinet of `model` as a CE cabinet has it: its script forms (the .000
// named VQNOTES.000 and, unless told otherwise, _setup.xml), and a member
// FILE.NNN of 100 + 10 * i bytes for each member the files name.
inline Bytes TestCeCabinet(const CeInstall &model,
                           CabCompression compression = CabCompression::kNone,
                           CeScriptForms forms = CeScriptForms::kBoth) {
    std::vector<CabMember> files, m;
    for (size_t i = model.files.size(); i-- > 0;) {
        uint16_t n = model.files[i].member ? model.files[i].member : model.files[i].number;
        if (n != model.files[i].number) continue;
        CabMember f;
        char ext[8];
        std::snprintf(ext, sizeof ext, ".%03u", n % 1000);
        f.name = "FILE" + std::string(ext);
        f.data.assign(100 + 10 * i, (uint8_t)('a' + i));
        files.push_back(f);
    }
    std::string err;
    Bytes cab;
    if (!CeCabinetMembers(model, "VQNOTES", files, forms, 1252, 0, 0, &m, &err)) return cab;
    WriteCabinet(m, compression, &cab, &err);
    return cab;
}

#endif
