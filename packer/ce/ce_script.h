// The CE install script (the cabinet's ".000" member): what the device's
// installer reads to learn where each file goes, which registry values and
// shortcuts to make, and on which devices the application may go.
//
// EncodeCeScript and DecodeCeScript share one description of the layout, so
// what the writer puts at an offset is what the reader takes from it.
#ifndef VQ_CE_SCRIPT_H
#define VQ_CE_SCRIPT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Registry roots as the script numbers them.
enum CeRoot : uint16_t { kCeHKCR = 1, kCeHKCU = 2, kCeHKLM = 3, kCeHKU = 4 };

// Registry value types and flags (CeRegValue::type_flags).
enum : uint32_t {
    kCeRegSz = 0x00000000,
    kCeRegMultiSz = 0x00010000,
    kCeRegBinary = 0x00000001,
    kCeRegDword = 0x00010001,
    kCeRegNoClobber = 0x00000002,
    kCeRegTypeMask = 0x00010001,
};

struct CeString {
    uint16_t id;
    std::string text;  // without its NUL
};

// A path as a list of string ids, its parts joined by '\'.
struct CeDir {
    uint16_t id;
    std::vector<uint16_t> parts;
};

struct CeFile {
    uint16_t number;  // the member's three-digit number (1..998)
    uint16_t dir_id;
    uint16_t unknown;  // written as the file number
    uint32_t flags;    // CopyFiles flags
    std::string name;  // the installed name
};

struct CeHive {
    uint16_t id;
    uint16_t root;  // CeRoot
    uint16_t unknown;
    std::vector<uint16_t> parts;  // the key path
};

struct CeRegValue {
    uint16_t id;
    uint16_t hive_id;
    uint16_t substitute;  // 1: the data holds %InstallDir% or %CEn%
    uint32_t type_flags;
    std::string name;     // empty for the default value
    std::string data;     // as stored: SZ with its NUL, MULTI_SZ each with NUL
                          // and a final empty one, DWORD 4 bytes, BINARY raw
};

struct CeLink {
    uint16_t id;
    uint16_t unknown;
    uint16_t base_dir;  // 0: the install folder, n: %CEn%
    uint16_t target;    // a file number, or a dir id (0: the install folder)
    uint16_t type;      // 1: to a file, 0: to a folder
    std::vector<uint16_t> parts;  // the link's name, relative to the base
};

struct CeScript {
    std::string app_name, provider;
    uint32_t processor = 0;  // 0: any
    uint32_t version_min_major = 0, version_min_minor = 0;
    uint32_t version_max_major = 0, version_max_minor = 0;
    uint32_t build_min = 0, build_max = 0;  // 0: no limit
    std::vector<std::string> unsupported;  // platform names
    std::vector<CeString> strings;
    std::vector<CeDir> dirs;
    std::vector<CeFile> files;
    std::vector<CeHive> hives;
    std::vector<CeRegValue> values;
    std::vector<CeLink> links;
};

// The script's bytes. Fails (false, *error set) when a count or a length
// does not fit its 16-bit field.
bool EncodeCeScript(const CeScript &script, std::vector<uint8_t> *out, std::string *error);

// Reads a script. Safe on any bytes: every offset, count and length is
// checked against what remains; false with *error naming what is wrong.
bool DecodeCeScript(const uint8_t *data, size_t size, CeScript *script, std::string *error);

// The name of a processor type ("StrongARM", "MIPS R4000", ...), or "" when
// the number is not one we know.
const char *CeProcessorName(uint32_t processor);

// A string id's text, a dir's path ("%CE1%\VQNotes"), a hive's key path.
std::string CeStringText(const CeScript &script, uint16_t id);
std::string CeJoinIds(const CeScript &script, const std::vector<uint16_t> &ids);

#endif
