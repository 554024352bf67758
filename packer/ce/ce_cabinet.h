// A file's bytes read as a CE installation cabinet: the cabinet, its
// ".000" install script and the members the script's files stand for. What
// `vqpack inspect` shows and what lint checks; the texts below are the
// ones both print.
#ifndef VQ_CE_CE_CABINET_H
#define VQ_CE_CE_CABINET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ce/ce_script.h"

// A file of the script with what the cabinet holds for it.
struct CeCabinetFile {
    CeFile file;
    std::string target;    // its folder and installed name: "%CE1%\VQNotes\notes.exe"
    bool present = false;  // the cabinet has a member with its number
    uint32_t size = 0;     // that member's size
};

struct CeCabinet {
    CeScript script;
    std::vector<CeCabinetFile> files;  // in the script's order
    size_t members = 0;                // members of the cabinet, the script included
    bool setup_dll = false;            // a ".999" member: the setup DLL
    uint32_t setup_dll_size = 0;
};

enum class CeCabinetStatus {
    kOk,
    kNotCabinet,  // not a readable cabinet (why says what is wrong)
    kNoScript,    // a cabinet without a ".000" member
    kBadScript,   // its ".000" member is not an install script
};

// Reads `data` as a CE cabinet. Anything but kOk comes with *why, one
// line ("a cabinet without a .000 install script"). Safe on any bytes.
CeCabinetStatus ReadCeCabinet(const uint8_t *data, size_t size, CeCabinet *cab,
                              std::string *why);

// The three-digit number that ends a member name ("0NOTES.001" -> 1), or
// -1 when the name does not end in a dot and three digits.
int CeMemberNumber(const std::string &name);

// The folder a dir id names ("%CE1%\VQNotes"); "%InstallDir%" for id 0,
// "<dir N?>" for an id the script does not have.
std::string CeDirPath(const CeScript &script, uint16_t dir_id);

// %CEn%'s folder on a Pocket PC ("\Program Files" for 1), or "" when the
// macro has none there.
const char *CePocketPcFolder(unsigned n);
// A path whose first part is %CEn% with that part replaced by its Pocket PC
// folder ("%CE1%\VQNotes" -> "\Program Files\VQNotes"); "" when the path
// does not start with a macro that has one.
std::string CePocketPcPath(const std::string &path);

// "HKCR", "HKCU", "HKLM", "HKU", or "" for another root.
const char *CeRootName(uint16_t root);
// A hive's root and key ("HKLM\Software\VQ"); "root N" for an unknown
// root, "<hive N?>" for an id the script does not have.
std::string CeHivePath(const CeScript &script, uint16_t hive_id);
// A registry value's type: "REG_SZ", "REG_MULTI_SZ", "REG_BINARY" or
// "REG_DWORD"; its other flags: "NOCLOBBER" and any unknown bits in hex,
// separated by '|', "" when there are none.
const char *CeRegTypeName(uint32_t type_flags);
std::string CeRegFlagNames(uint32_t type_flags);
// The data as a reader wants it: SZ "text", MULTI_SZ "a", "b", DWORD
// 0x0000002A (42), BINARY hex bytes; data that does not fit its type in hex.
std::string CeRegDataText(const CeRegValue &value);

// CopyFiles flags by their INF names, '|'-separated ("COPYFLG_NOSKIP|
// CE_COPYFLG_SHARED"), unknown bits in hex; "" for none.
std::string CeFileFlagNames(uint32_t flags);

// A shortcut's path ("%CE11%\VQNotes") and what it points at (a file's
// target path, or a folder).
std::string CeLinkPath(const CeScript &script, const CeLink &link);
std::string CeLinkTarget(const CeScript &script, const CeLink &link);

// "4.0" for a version, "any" for 0.0; a build number or "any" for 0.
std::string CeVersionText(uint32_t major, uint32_t minor);
std::string CeBuildText(uint32_t build);
// The processor as "2577 (StrongARM)", "0 (any)" or "1234".
std::string CeProcessorText(uint32_t processor);

// Whether one device could take both cabinets: the same processor (or
// either for any), and version ranges and build ranges that overlap (0 is
// no limit).
bool CeSameDevices(const CeScript &a, const CeScript &b);

#endif
