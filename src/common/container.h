// Installer container: layout, checksum and the one reader that both the
// setup program and the host packer run.
//
// File layout (all integers unsigned 32-bit little-endian, no padding):
//
//   0       32768            image region (the setup program, padded)
//   32768   28               ContainerHeader
//   32796   12 * entry_count directory (DirectoryEntry records)
//   ...     compressed_size  zlib stream (ends in a sync flush, no trailer)
//   ...     any              ignored
//
// The zlib stream inflates to the "inflated stream": for every member its
// name, one NUL, then its data, back to back in directory order.
//
// This file makes no operating-system calls. The reader talks to the outside
// world only through ExtractOps (a byte source for the own file, a spool that
// receives the inflated stream, a sink for member files, a progress hook and
// an allocator), so the same code runs bound to Win32 handles in the setup
// program and to host files in the packer and the tests.
#ifndef VQ_CONTAINER_H
#define VQ_CONTAINER_H

#include <stdint.h>
#include <zlib.h>

enum {
    kImageSize = 32768,            // image region; also the header's offset
    kHeaderSize = 28,
    kEntrySize = 12,
    kMinFileSize = kImageSize + kHeaderSize + kEntrySize,  // size must exceed this
    kChecksumSeed = 0x00495156,    // also the signature: 'V' 'Q' 'I' 0
    kSignature = 0x00495156,
    kChunkSize = 65536,            // compressed bytes read per chunk
    kWindowSize = 65536,           // inflated bytes taken per inflate call
    kWorkSize = 131072,            // working buffer: chunk + window; copy piece
    kMaxEntries = kWorkSize / kEntrySize,  // 10922: directory fits the buffer
    kMaxNameRange = kWorkSize,     // name plus NUL, in bytes
    kMaxStreamOffset = 0x7FFFFFFF  // spool positions are signed 32-bit
};

struct ContainerHeader {
    uint32_t signature;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    uint32_t entry_count;
    uint32_t image_checksum;
    uint32_t directory_checksum;
    uint32_t data_checksum;
};

struct DirectoryEntry {
    uint32_t name_offset;
    uint32_t data_offset;  // name occupies [name_offset, data_offset), NUL last
    uint32_t data_size;
};

// Little-endian (de)serialisation; p must hold kHeaderSize / kEntrySize bytes.
uint32_t LoadLE32(const uint8_t *p);
void StoreLE32(uint8_t *p, uint32_t v);
void DecodeHeader(const uint8_t *p, ContainerHeader *h);
void EncodeHeader(const ContainerHeader *h, uint8_t *p);
void DecodeEntry(const uint8_t *p, DirectoryEntry *e);
void EncodeEntry(const DirectoryEntry *e, uint8_t *p);

// The container checksum: Adler-32 started from kChecksumSeed. Continue a
// running value by passing it back as `running`; the checksum of no bytes is
// kChecksumSeed.
uint32_t ContainerChecksum(uint32_t running, const void *data, uint32_t len);

// Authenticode signing rewrites two fields of the image's PE header and
// appends the signature behind everything: the optional header's CheckSum
// (4 bytes at e_lfanew + 88) and the Certificate Table entry of the data
// directories (8 bytes at e_lfanew + 152 for PE32, + 168 for PE32+).
// Finds both in a kImageSize-byte image: false when the image has no valid
// PE header ("MZ", e_lfanew inside the image, "PE\0\0", a PE32 or PE32+
// optional header with at least five data directories).
bool FindSignedFields(const uint8_t *image, uint32_t *checksum_at,
                      uint32_t *cert_entry_at);

// Sets both fields to zero in a kImageSize-byte image (nothing changes
// without a valid PE header). The image_checksum a writer stores is the
// checksum of the image masked so: signing the installer leaves it valid.
// The reader accepts that value or the checksum of the image as it is, so
// that containers of writers that do not mask still verify.
void MaskSignedFields(uint8_t *image);

// Whether `name` (NUL-terminated) may be used as a member file name: not
// empty, no folder part ('\\' or '/'), no drive, not "." or "..", no
// character a Windows file name cannot hold (< > : " | ? * and control
// characters), not a reserved device name (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, with or without an extension), and not ending in a blank or a dot
// (Windows strips those, so the file would land under another name).
bool IsSafeMemberName(const char *name);

// Outcome of ExtractContainer. kExtractOk means every member was handled.
enum ExtractResult {
    kExtractOk = 0,
    // The reader's checks, in the order they are made. kErrOpenSelf is the
    // binding's own: the reader starts with the file already open.
    kErrOpenSelf,
    kErrFileSize,        // file size 32808 or less
    kErrAlloc,           // working buffer or directory array not allocated
    kErrReadSelf,        // read of image, header, directory or stream failed
    kErrSignature,
    kErrImageChecksum,
    kErrEntryCount,      // entry_count above kMaxEntries
    kErrDirectoryChecksum,
    kErrCreateSpool,
    kErrTruncated,       // own file ended while compressed bytes remained
    kErrInflate,         // Z_STREAM_ERROR, Z_DATA_ERROR or Z_NEED_DICT
    kErrWriteSpool,
    kErrDataChecksum,
    kErrEntryRange,      // name or data range outside the inflated stream,
                         // name range empty, too long or without a NUL
    kErrMemberName,      // name IsSafeMemberName refuses
    kErrReadSpool,       // spool read failed
    kErrSpoolShort,      // spool ended while member bytes remained
    kErrCreateMember,
    kErrWriteMember,
    kExtractResultCount
};

// What is said about each result comes from one table in container.cpp.
// The message text of a result, as the setup program shows it after any
// "Error Code: %08X\n" prefix. Texts containing "%s" take either a path
// (ExtractResultTakesPath) or the words kCorruptedText. Never NULL.
const char *ExtractResultText(ExtractResult r);
// Whether the text is preceded by "Error Code: %08X\n" with the system code.
bool ExtractResultHasCode(ExtractResult r);
// Whether the "%s" is the spool or member path (otherwise kCorruptedText).
bool ExtractResultTakesPath(ExtractResult r);
// Whether the system failed (memory, a file that cannot be opened, created,
// read or written) rather than the installer's contents; vqpack exits
// with 3 for these and with 1 for the others. A short read of the own file
// counts as contents: the file is cut.
bool ExtractResultIsSystemFailure(ExtractResult r);
extern const char kCorruptedText[];  // "The file may be corrupted."

// The outside world of one extraction. Every callback gets `ctx` first.
// Booleans: true is success. `last_error` is asked right after a failing
// call and gives the system's code for the message.
struct ExtractOps {
    void *ctx;
    // The own file, read sequentially from offset 0; never seeked.
    uint32_t file_size;
    bool (*read_self)(void *ctx, void *buf, uint32_t n, uint32_t *got);
    // The spool: created once, written sequentially, then read back at
    // absolute positions.
    bool (*create_spool)(void *ctx);
    bool (*write_spool)(void *ctx, const void *buf, uint32_t n, uint32_t *put);
    void (*seek_spool)(void *ctx, uint32_t pos);
    bool (*read_spool)(void *ctx, void *buf, uint32_t n, uint32_t *got);
    // Member files. With write_member NULL the data of members is not
    // copied (verification and listing): every entry is still checked and
    // reported through create_member.
    bool (*create_member)(void *ctx, const char *name, const DirectoryEntry *e);
    bool (*write_member)(void *ctx, const void *buf, uint32_t n);
    void (*close_member)(void *ctx);
    // Progress: begin before the first chunk, percent after every output
    // window written (may exceed 100), end once inflation is over. Any may
    // be NULL.
    void (*progress_begin)(void *ctx);
    void (*progress)(void *ctx, uint32_t percent);
    void (*progress_end)(void *ctx);
    // Memory for the working buffer, the directory and the inflater.
    void *(*alloc)(void *ctx, uint32_t size);
    void (*release)(void *ctx, void *p);
    uint32_t (*last_error)(void *ctx);
};

// What the reader holds. Zero it before the call; after the call, whatever
// the result, hand it to ReleaseReader (the setup program does so in its
// single clean-up step, after closing its handles).
struct ReaderState {
    ContainerHeader header;
    uint8_t *work;        // kWorkSize bytes
    uint8_t *directory;   // 12 * entry_count bytes, as stored
    z_stream strm;
    int inflating;        // strm initialised and not yet ended
    uint32_t total;       // inflated bytes written to the spool
    uint32_t code;        // system code of the failure, when it has one
    uint32_t entry;       // index of the entry that failed while splitting
};

// Reads, verifies and splits the container behind the image region:
//   size, allocation, image region, header, signature, image checksum,
//   entry count, directory and its checksum; spool; inflation chunk by
//   chunk into the spool with the running checksum and progress; data
//   checksum; then for each entry: range checks against the bytes actually
//   inflated, its name (refused unless IsSafeMemberName), the member file
//   and its data.
// Stops at the first failure and returns it (st->code holds the system
// code for results with one). Nothing is written under a member name before
// the whole inflated stream has passed its checksum; a failure while
// splitting leaves earlier members complete and the current one partial.
ExtractResult ExtractContainer(const ExtractOps *ops, ReaderState *st);

// Ends the inflater if still running and frees the buffers; safe to call
// twice and on a zeroed state.
void ReleaseReader(const ExtractOps *ops, ReaderState *st);

#endif
