// Lower bound for extracting an installer on this machine: the work any
// correct extractor must do, and nothing else. Reads the container header
// and directory, inflates the stream in 64 KiB input chunks into 64 KiB
// output windows, checksums the inflated bytes, writes them to a spool
// file, then reads the spool back in 128 KiB pieces and writes each member
// file. No checks beyond the data checksum, no progress, no messages.
//
//   floor INSTALLER FOLDER       prints "bytes=N seconds=S"
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

static uint32_t U32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

static void Die(const char *what) {
    std::perror(what);
    std::exit(1);
}

static void ReadFull(int fd, void *buf, size_t n) {
    uint8_t *b = (uint8_t *)buf;
    while (n) {
        ssize_t r = ::read(fd, b, n);
        if (r <= 0) Die("read");
        b += r;
        n -= (size_t)r;
    }
}

static void WriteFull(int fd, const void *buf, size_t n) {
    const uint8_t *b = (const uint8_t *)buf;
    while (n) {
        ssize_t w = ::write(fd, b, n);
        if (w <= 0) Die("write");
        b += w;
        n -= (size_t)w;
    }
}

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor INSTALLER FOLDER\n");
        return 2;
    }
    auto t0 = std::chrono::steady_clock::now();
    int in = ::open(argv[1], O_RDONLY);
    if (in < 0) Die(argv[1]);
    std::vector<uint8_t> image(32768);
    ReadFull(in, image.data(), image.size());
    uint8_t h[28];
    ReadFull(in, h, sizeof h);
    uint32_t csize = U32(h + 4), count = U32(h + 12), want = U32(h + 24);
    std::vector<uint8_t> dir(12 * (size_t)count);
    ReadFull(in, dir.data(), dir.size());

    std::string folder = argv[2];
    std::string spool_path = folder + "/floor-spool";
    int spool = ::open(spool_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (spool < 0) Die("spool");
    ::unlink(spool_path.c_str());

    static uint8_t inbuf[65536], outbuf[65536], piece[131072];
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return 1;
    uint32_t sum = 0x00495156, left = csize;
    uint64_t total = 0;
    bool ended = false;
    while (left) {
        uint32_t n = left < sizeof inbuf ? left : (uint32_t)sizeof inbuf;
        ReadFull(in, inbuf, n);
        left -= n;
        if (ended) continue;
        z.next_in = inbuf;
        z.avail_in = n;
        do {
            z.next_out = outbuf;
            z.avail_out = sizeof outbuf;
            int rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                std::fprintf(stderr, "inflate: %d\n", rc);
                return 1;
            }
            size_t have = sizeof outbuf - z.avail_out;
            if (have) {
                sum = (uint32_t)adler32(sum, outbuf, (uInt)have);
                WriteFull(spool, outbuf, have);
                total += have;
            }
            if (rc == Z_STREAM_END) ended = true;
            if (rc != Z_OK) break;
        } while (z.avail_in || z.avail_out == 0);
    }
    inflateEnd(&z);
    ::close(in);
    if (sum != want) {
        std::fprintf(stderr, "data checksum mismatch\n");
        return 1;
    }
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *e = dir.data() + 12 * i;
        uint32_t name_off = U32(e), data_off = U32(e + 4), size = U32(e + 8);
        std::vector<char> name(data_off - name_off);
        ::lseek(spool, name_off, SEEK_SET);
        ReadFull(spool, name.data(), name.size());
        std::string path = folder + "/" + name.data();
        int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) Die(path.c_str());
        while (size) {
            uint32_t n = size < sizeof piece ? size : (uint32_t)sizeof piece;
            ReadFull(spool, piece, n);
            WriteFull(out, piece, n);
            size -= n;
        }
        ::close(out);
    }
    ::close(spool);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("bytes=%llu seconds=%.6f\n", (unsigned long long)total, s);
    return 0;
}
