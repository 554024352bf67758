// Microsoft cabinet files (CFHEADER, CFFOLDER, CFFILE, CFDATA): a writer of
// one folder, stored or MSZIP-compressed, and a reader for any cabinet of
// one or more folders, with header, folder and data reserves (signed
// cabinets among them). Written over zlib rather than libgcab so that the
// same code builds into the statically linked Windows packer and can be
// fuzzed without GLib.
#ifndef VQ_CE_CABINET_H
#define VQ_CE_CABINET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class CabCompression { kNone, kMszip };

struct CabMember {
    std::string name;
    std::vector<uint8_t> data;
    uint16_t dos_date = 0, dos_time = 0;
    uint16_t attribs = 0x20;  // archive
};

// MS-DOS date and time for a Unix time (UTC); 1980-01-01 for earlier times.
void CabDosTime(int64_t unix_time, uint16_t *dos_date, uint16_t *dos_time);

// A cabinet of `members` in their order, in one folder. The bytes depend on
// the members and the compression only. False with *error when the cabinet
// would pass a format limit (65535 members, 4 GiB).
bool WriteCabinet(const std::vector<CabMember> &members, CabCompression compression,
                  std::vector<uint8_t> *out, std::string *error);

// What a cabinet's header says beyond its members.
struct CabInfo {
    uint32_t size = 0;  // the cabinet's own size (a signature follows it)
    uint16_t header_reserve = 0;
    uint8_t folder_reserve = 0, data_reserve = 0;
    // An Authenticode signature: the header reserve names it (offset and
    // size behind the cabinet); `signed_` when it lies inside the file.
    bool signed_ = false;
    uint32_t signature_offset = 0, signature_size = 0;
    std::vector<uint16_t> compression;  // per folder: 0 none, 1 MSZIP, 2 Quantum, 3 LZX
};

// Reads every member, and into *info (when given) what the header says.
// Safe on any bytes: offsets, counts and lengths are checked against the
// data, and each CFDATA block against its sizes. False with *error for
// anything that is not a whole, readable cabinet; a folder compressed with
// LZX or Quantum is refused by name ("folder 1 is compressed with LZX,
// ..."), never misread.
bool ReadCabinet(const uint8_t *data, size_t size, std::vector<CabMember> *members,
                 std::string *error, CabInfo *info = nullptr);

// True when the data starts with a cabinet signature ("MSCF").
bool LooksLikeCabinet(const uint8_t *data, size_t size);

#endif
