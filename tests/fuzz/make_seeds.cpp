// Writes the seed corpus of fuzz_reader into OUT/fuzz_reader: small
// installers of every shape, made by the packer's own writer (and, for the
// shapes it refuses to make, assembled from the same pieces), behind the
// fixed test image. Each seed is the container without the image, preceded
// by the mode byte fuzz_reader reads first. And that of fuzz_ce_script
// into OUT/fuzz_ce_script: install scripts and CE cabinets from the CE
// writers, each behind the byte that picks its reader.
//
// Usage: fuzz_make_seeds OUT
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ce/ce_xml.h"
#include "common/container.h"
#include "test_support.h"
#include "writer.h"

namespace {

std::string g_out, g_tmp;

[[noreturn]] void Die(const std::string &why) {
    std::fprintf(stderr, "fuzz_make_seeds: %s\n", why.c_str());
    std::exit(1);
}

Bytes Load(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) Die(path + ": cannot read");
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void Save(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary);
    f.write((const char *)b.data(), (std::streamsize)b.size());
    if (!f) Die(path + ": cannot write");
}

// One seed per mode: 0 checksums as given, 1 checksums made right,
// 2 as given without copying member data.
void Seed(const std::string &name, const Bytes &installer, std::initializer_list<int> modes = {0, 1}) {
    if (installer.size() < (size_t)kImageSize) Die(name + ": shorter than the image");
    for (int mode : modes) {
        Bytes s(1, (uint8_t)mode);
        s.insert(s.end(), installer.begin() + kImageSize, installer.end());
        Save(g_out + "/" + name + "." + std::to_string(mode), s);
    }
}

// An installer of `members` (name, content) written by WriteInstaller.
Bytes Packed(const std::vector<TestMember> &members, const WriteOptions &opt = WriteOptions()) {
    std::vector<PackMember> pm;
    for (size_t i = 0; i < members.size(); i++) {
        std::string path = g_tmp + "/m" + std::to_string(i);
        Save(path, members[i].data);
        pm.push_back({members[i].name, path});
    }
    std::string out = g_tmp + "/setup.exe", err;
    if (!WriteInstaller(out, TestImage(), pm, opt, &err)) Die(err);
    Bytes b = Load(out);
    ::unlink(out.c_str());
    for (const PackMember &m : pm) ::unlink(m.path.c_str());
    return b;
}

Bytes Text(size_t n, const std::string &unit) {
    Bytes b;
    while (b.size() < n) b.insert(b.end(), unit.begin(), unit.end());
    b.resize(n);
    return b;
}

Bytes Noise(size_t n, uint32_t x) {
    Bytes b(n);
    for (auto &c : b) {
        x = x * 1103515245u + 12345u;
        c = (uint8_t)(x >> 24);
    }
    return b;
}

std::vector<TestMember> Product() {
    return {{"Setup.ini", ToBytes("[VQINSTALLER]\r\nProductName=Demo\r\nProductVersion=1.0\r\n"
                                  "LicenseFile=license.rtf\r\n[CEAppManager]\r\nComponent=Demo\r\n"
                                  "[Demo]\r\nCabFiles=app.cab\r\n")},
            {"license.rtf", ToBytes("{\\rtf1\\ansi Terms of use.}")},
            {"body.bmp", Text(300, "BM\x36\x01")},
            {"app.cab", Noise(200, 7)}};
}

// A container assembled from `members`, for shapes the writer refuses.
template <typename Tweak>
Bytes Assembled(const std::vector<TestMember> &members, bool complete, Tweak tweak) {
    std::vector<DirectoryEntry> dir;
    Bytes s = InflatedStream(members, &dir);
    Bytes z = complete ? DeflateComplete(s) : DeflateSync(s);
    return Assemble(TestImage(), dir, s, z, tweak);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) Die("usage: fuzz_make_seeds OUT");
    g_out = std::string(argv[1]) + "/fuzz_reader";
    ::mkdir(argv[1], 0755);
    ::mkdir(g_out.c_str(), 0755);
    char templ[] = "/tmp/vqseeds-XXXXXX";
    if (!::mkdtemp(templ)) Die("mkdtemp failed");
    g_tmp = templ;

    // No members (the writer refuses those, so it is assembled here): too
    // short for the size check; with bytes behind it, it passes and splits
    // nothing.
    std::vector<DirectoryEntry> none;
    Bytes nothing;
    Bytes empty = Assemble(TestImage(), none, nothing, DeflateSync(nothing),
                           [](ContainerHeader &) {});
    Seed("empty", empty);
    Bytes empty_tail = empty;
    empty_tail.insert(empty_tail.end(), 16, 0xA5);
    Seed("empty-trailing", empty_tail);

    Seed("one-empty-member", Packed({{"a.txt", Bytes()}}));
    Seed("product", Packed(Product()), {0, 1, 2, 3});

    // The same members as a complete zlib stream (final block and trailer).
    Seed("complete-stream", Assembled(Product(), true, [](ContainerHeader &) {}));

    Bytes tail = Packed(Product());
    Bytes junk = ToBytes("trailing bytes, ignored by the reader");
    tail.insert(tail.end(), junk.begin(), junk.end());
    Seed("trailing", tail);

    // Inflates to several output windows from one compressed chunk.
    Seed("large-member", Packed({{"Setup.ini", ToBytes("[VQINSTALLER]\n")},
                                 {"big.cab", Text(300000, "CAB data, repeated. ")}}));
    // The parallel writer: blocks primed with the previous 32 KiB, each
    // ended by a sync flush.
    WriteOptions par;
    par.jobs = 2;
    par.block_size = 64 * 1024;
    Seed("parallel-blocks", Packed({{"a.cab", Text(150000, "abcdefgh")},
                                    {"b.cab", Text(70000, "0123456789")}}, par));

    // Shapes only a damaged or foreign writer makes, checksums all right.
    Seed("same-name-twice", Assembled({{"a.txt", ToBytes("first")}, {"a.txt", ToBytes("second")}},
                                      false, [](ContainerHeader &) {}));
    Seed("device-name", Assembled({{"ok.txt", ToBytes("x")}, {"nul.txt", ToBytes("y")}}, false,
                                  [](ContainerHeader &) {}));
    Seed("folder-name", Assembled({{"..\\up.txt", ToBytes("x")}}, false, [](ContainerHeader &) {}));
    Seed("wrong-sizes", Assembled(Product(), false, [](ContainerHeader &h) {
             h.uncompressed_size = 1;
         }));
    Seed("short-compressed-size", Assembled(Product(), false, [](ContainerHeader &h) {
             h.compressed_size -= 6;
         }));

    // CE scripts and cabinets; the cabinets also without block checksums
    // (0 means none), which lets mutated blocks reach the decompressor.
    std::string ce = std::string(argv[1]) + "/fuzz_ce_script";
    ::mkdir(ce.c_str(), 0755);
    auto ce_seed = [&](const std::string &name, uint8_t mode, const Bytes &b) {
        Bytes s(1, mode);
        s.insert(s.end(), b.begin(), b.end());
        Save(ce + "/" + name, s);
    };
    std::string err;
    Bytes script;
    if (!EncodeCeScript(TestCeModel(), 1252, &script, &err)) Die(err);
    ce_seed("script", 0, script);
    CeInstall bare;
    bare.app_name = "A";
    if (!EncodeCeScript(bare, 1252, &script, &err)) Die(err);
    ce_seed("script-bare", 0, script);
    std::string xml;
    CeInstall named = TestCeModel();
    for (CeInstallFile &f : named.files) f.member_name = "FILE.00" + std::to_string(f.member);
    if (!EncodeCeXml(named, &xml, &err)) Die(err);
    ce_seed("xml", 3, Bytes(xml.begin(), xml.end()));
    for (CabCompression c : {CabCompression::kNone, CabCompression::kMszip}) {
        std::string kind = c == CabCompression::kNone ? "stored" : "mszip";
        Bytes cab = TestCeCabinet(TestCeModel(), c);
        ce_seed("cabinet-" + kind, 1, cab);
        ce_seed("ce-cabinet-" + kind, 2, cab);
        // Two blocks, the second deflated against the first.
        std::vector<CabMember> big(2);
        big[0].name = "a.000";
        big[0].data = Text(40000, "CE cabinet block ");
        big[1].name = "b.001";
        big[1].data = Noise(300, 3);
        if (!WriteCabinet(big, c, &cab, &err)) Die(err);
        // Block checksums at 0 (none).
        uint32_t at = LoadLE32(&cab[36]);
        for (int b = LoadLE32(&cab[40]) & 0xFFFF; b > 0; b--) {
            uint32_t len = cab[at + 4] | (cab[at + 5] << 8);
            StoreLE32(&cab[at], 0);
            at += 8 + len;
        }
        ce_seed("two-blocks-" + kind, 1, cab);
    }

    ::rmdir(g_tmp.c_str());
    return 0;
}
