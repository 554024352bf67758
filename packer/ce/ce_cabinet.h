// A file's bytes read as a CE installation cabinet: the cabinet, the
// install script forms it carries (the binary ".000", the XML
// "_setup.xml", or both, which must agree) read into the CE model, the
// members its files come from, and whether it is signed. What `vqpack
// inspect` shows and what lint checks; the texts below are the ones both
// print.
#ifndef VQ_CE_CE_CABINET_H
#define VQ_CE_CE_CABINET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ce/cabinet.h"
#include "ce/ce_model.h"

// One script form found in a cabinet.
struct CeScriptForm {
    bool present = false;  // the cabinet has such a member
    std::string member;    // its name
    bool read = false;     // and it was read into a model
    std::string error;     // why not, when present but not read
    CeInstall model;
};

struct CeCabinet {
    // The model the device works from: the .000's where it can be read
    // (every CE version reads it), else _setup.xml's.
    CeInstall model;
    CeScriptForm binary, xml;
    // Where the two forms differ (CeCompare), when both were read.
    std::vector<std::string> disagreements;
    // Per file of `model`, in its order: the member that holds its bytes
    // was found (model.files[i].member and member_name then name it), and
    // its size.
    std::vector<bool> present;
    std::vector<uint32_t> sizes;
    size_t members = 0;  // members of the cabinet, the scripts included
    bool setup_dll = false;  // a ".999" member: the setup DLL
    uint32_t setup_dll_size = 0;
    CabInfo info;  // reserves and the signature
};

enum class CeCabinetStatus {
    kOk,
    kNotCabinet,  // not a readable cabinet (why says what is wrong)
    kNoScript,    // a cabinet with neither a ".000" nor a "_setup.xml" member
    kBadScript,   // no script form it carries can be read
};

// Reads `data` as a CE cabinet whose binary script is in code page
// `codepage`. Anything but kOk comes with *why, one line ("a cabinet
// without a .000 install script"). A form that cannot be read while the
// other can is kOk, with the form's error set. A file entry's member is
// the one numbered as the entry when the cabinet has it, else the one its
// third field names (two entries installing one stored source). Safe on any
// bytes.
CeCabinetStatus ReadCeCabinet(const uint8_t *data, size_t size, unsigned codepage,
                              CeCabinet *cab, std::string *why);

// Which script forms a cabinet carries.
enum class CeScriptForms { kBoth, kBinary, kXml };

// The members of a CE cabinet for `model`, in the CAB wizard's order: the
// binary script STEM.000 first (unless kXml), then `files` as they are,
// then "_setup.xml" (unless kBinary); the scripts carry the given DOS date
// and time. False with *error when a codec cannot write the model (a text
// the code page lacks, a count past a field's size).
bool CeCabinetMembers(const CeInstall &model, const std::string &script_stem,
                      const std::vector<CabMember> &files, CeScriptForms forms, unsigned codepage,
                      uint16_t dos_date, uint16_t dos_time, std::vector<CabMember> *out,
                      std::string *error);

// The three-digit number that ends a member name ("0NOTES.001" -> 1), or
// -1 when the name does not end in a dot and three digits.
int CeMemberNumber(const std::string &name);

// %CEn%'s folder on a Pocket PC ("\Program Files" for 1), or "" when the
// macro has none there.
const char *CePocketPcFolder(unsigned n);
// A path whose first part is %CEn% with that part replaced by its Pocket PC
// folder ("%CE1%\VQNotes" -> "\Program Files\VQNotes"); "" when the path
// does not start with a macro that has one.
std::string CePocketPcPath(const std::string &path);

// "HKCR", "HKCU", "HKLM", "HKU", or "" for another root.
const char *CeRootName(uint16_t root);
// A registry value's type: "REG_SZ", "REG_MULTI_SZ", "REG_BINARY" or
// "REG_DWORD"; its other flags: "NOCLOBBER" and any unknown bits in hex,
// separated by '|', "" when there are none.
const char *CeRegTypeName(uint32_t type_flags);
std::string CeRegFlagNames(uint32_t type_flags);
// The data as a reader wants it: SZ "text", MULTI_SZ "a", "b", DWORD
// 0x0000002A (42), BINARY hex bytes; data that does not fit its type in hex.
std::string CeRegDataText(const CeValue &value);

// CopyFiles flags by their INF names, '|'-separated ("COPYFLG_NOSKIP|
// CE_COPYFLG_SHARED"), unknown bits in hex; "" for none.
std::string CeFileFlagNames(uint32_t flags);

// "4.0" for a version, "any" for 0.0; a build number or "any" for 0.
std::string CeVersionText(uint32_t major, uint32_t minor);
std::string CeBuildText(uint32_t build);
// The processor as "2577 (StrongARM)", "0 (any)" or "1234".
std::string CeProcessorText(uint32_t processor);

// Whether one device could take both cabinets: the same processor (or
// either for any), and version ranges and build ranges that overlap (0 is
// no limit).
bool CeSameDevices(const CeInstall &a, const CeInstall &b);

// "the .000 and _setup.xml (they agree)", "the .000 only", ...: which
// script forms a cabinet carries, for people.
std::string CeFormsText(const CeCabinet &cab);

#endif
