// What a CE cabinet gives the device: the devices it is for, the folders
// it makes, the files it puts there, the registry values and the shortcuts.
// One model with two codecs beside each other, each a writer and a reader
// of it: the binary install script (the ".000" member, ce_script.h), which
// every CE version from 3.0 on reads, and its XML form ("_setup.xml",
// ce_xml.h), which Windows Mobile 5 and later read. The INF builder makes
// this model and knows neither codec; inspect and lint read cabinets into it.
//
// Texts are UTF-8. The binary codec converts them to and from the ANSI code
// page of the devices (Windows-1252 unless told otherwise); the XML form is
// UTF-8 itself.
#ifndef VQ_CE_MODEL_H
#define VQ_CE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Registry roots as the scripts number them.
enum CeRoot : uint16_t { kCeHKCR = 1, kCeHKCU = 2, kCeHKLM = 3, kCeHKU = 4 };

// Registry value types and flags (CeValue::type_flags), as the INF's AddReg
// flags give them.
enum : uint32_t {
    kCeRegSz = 0x00000000,
    kCeRegMultiSz = 0x00010000,
    kCeRegBinary = 0x00000001,
    kCeRegDword = 0x00010001,
    kCeRegNoClobber = 0x00000002,
    kCeRegTypeMask = 0x00010001,
};

// CopyFiles flags (CeInstallFile::flags).
enum : uint32_t {
    kCeCopyWarnIfSkip = 0x00000001,
    kCeCopyNoSkip = 0x00000002,
    kCeCopyNoOverwrite = 0x00000010,
    kCeCopyReplaceOnly = 0x00000400,
    kCeCopySelfRegister = 0x10000000,
    kCeCopyNoDateDialog = 0x20000000,  // do not overwrite a newer file
    kCeCopyNoDateCheck = 0x40000000,
    kCeCopyShared = 0x80000000u,       // reference counted
};

// A folder on the device. Either below the install folder, which the user
// may move when installing (`in_install_dir`; `path` is what follows it,
// "" for the install folder itself), or a fixed path: a CE folder macro and
// what follows it ("%CE2%", "%CE1%\VQNotes"), or a path from the device's
// root ("\BASIC Samples").
struct CeFolder {
    bool in_install_dir = false;
    std::string path;
    bool operator==(const CeFolder &o) const {
        return in_install_dir == o.in_install_dir && path == o.path;
    }
};

struct CeInstallFile {
    uint16_t number = 0;  // the file entry's number, 1..998
    // The cabinet member that holds the bytes: its number (the entry's own
    // number, or that of the first entry of the same source, which is
    // stored once) and its name ("0NOTES.001"); 0 and "" when unknown.
    uint16_t member = 0;
    std::string member_name;
    size_t folder = 0;  // index into CeInstall::folders
    uint32_t flags = 0;
    std::string name;  // the installed name
};

struct CeKey {
    uint16_t root = kCeHKLM;  // CeRoot
    std::string path;         // "Software\VQ\Notes", without a leading '\'
    bool operator==(const CeKey &o) const { return root == o.root && path == o.path; }
};

struct CeValue {
    size_t key = 0;     // index into CeInstall::keys
    std::string name;   // "" for the default value
    uint32_t type_flags = kCeRegSz;
    // As the device stores it: SZ with its NUL; MULTI_SZ each string with
    // its NUL and a final empty one; DWORD 4 bytes, little-endian; BINARY raw.
    std::string data;
    bool substitute = false;  // the data holds %InstallDir% or %CEn% for the device
};

struct CeShortcut {
    size_t folder = 0;  // index into CeInstall::folders: where it is made
    std::string name;   // with ".lnk"; may hold '\' for folders below `folder`
    bool to_file = true;
    uint16_t file = 0;        // to_file: the number of the file entry it points at
    size_t target_folder = 0; // else: index into CeInstall::folders
};

struct CeInstall {
    std::string app_name, provider;
    // The default install folder, as the INF's [CEStrings] InstallDir gives
    // it ("%CE1%\VQNotes"); "" when none is known.
    std::string install_dir;
    uint32_t processor = 0;  // 0: any
    uint32_t version_min_major = 0, version_min_minor = 0;
    uint32_t version_max_major = 0, version_max_minor = 0;  // 0.0: no limit
    uint32_t build_min = 0, build_max = 0;                  // 0: no limit
    std::vector<std::string> unsupported;  // platform names
    std::vector<CeFolder> folders;
    std::vector<CeInstallFile> files;
    std::vector<CeKey> keys;
    std::vector<CeValue> values;
    std::vector<CeShortcut> shortcuts;
};

// The index of `folder` in m->folders, added at the end when missing.
size_t CeFolderIndex(CeInstall *m, const CeFolder &folder);
// The index of `key` in m->keys, added at the end when missing.
size_t CeKeyIndex(CeInstall *m, const CeKey &key);

// A folder as the device finds it by default: "%CE1%\VQNotes" for one
// below an install folder of "%CE1%\VQNotes" ("%InstallDir%" stands in when
// the install folder is not known); "<folder N?>" for an index out of range.
std::string CeFolderPath(const CeInstall &m, size_t folder);
// A file's path on the device ("%CE1%\VQNotes\notes.exe").
std::string CeFilePath(const CeInstall &m, const CeInstallFile &f);
// The file entry of that number, or null.
const CeInstallFile *CeFindFile(const CeInstall &m, uint16_t number);
// A shortcut's own path and what it points at (a file's path or a folder).
std::string CeShortcutPath(const CeInstall &m, const CeShortcut &s);
std::string CeShortcutTarget(const CeInstall &m, const CeShortcut &s);
// A key with its root ("HKLM\Software\VQ"); "<key N?>" out of range.
std::string CeKeyText(const CeInstall &m, size_t key);

// The name the device shows in its list of programs: the provider, a blank
// and the app name (the app name alone without a provider).
std::string CeDisplayName(const CeInstall &m);

// True when a registry value's data holds a folder macro that the device
// substitutes (%InstallDir%, %CE1%..%CE99%).
bool CeHasMacro(const std::string &data);

// The parts of a `\`-separated path ("%CE1%\VQ\\x" -> "%CE1%", "VQ", "x");
// empty parts are dropped.
std::vector<std::string> CeSplitPath(const std::string &path);

// The value of `%CEn%` when `text` is exactly one such macro, else 0.
unsigned CeMacroNumber(const std::string &text);

// Where two readings of one cabinet (its .000 and its _setup.xml) differ in
// what the device would do: one line each ("file 2: flags 0x00000010 /
// 0x00000000"), empty when they agree. Compared: the devices (processor,
// versions, builds), the display name, the install folder, the folders that
// hold files or shortcuts, every file (folder, name, flags, member), every
// registry value (key, name, type, data) and every shortcut (folder, name,
// target). Not compared: the order of entries, numbers that only name
// entries within one form, and what the XML form cannot carry (the
// registry's no-clobber flag, unsupported platforms).
std::vector<std::string> CeCompare(const CeInstall &a, const CeInstall &b);

#endif
