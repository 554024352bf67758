// Setup.ini as the setup program reads it, and the checks `vqpack lint`
// and `vqpack build --from` make on it.
#ifndef VQ_LINT_H
#define VQ_LINT_H

#include <string>
#include <vector>

#include "writer.h"

// An INI file read the way the Windows private-profile reader reads it:
// section and key names without regard to case, blanks around names and
// values removed, lines starting with ';' ignored, the first occurrence of
// a key wins (also across repeated sections).
class Descriptor {
public:
    void Parse(const std::string &text);
    // The value, cut to size - 1 bytes as a buffer of `size` bytes holds
    // it, or "NO" when the section or key is missing (found = false).
    std::string Get(const std::string &section, const std::string &key, size_t size,
                    bool *found = nullptr, int *line = nullptr) const;

private:
    struct Entry {
        std::string section, key, value;  // section and key lower-cased
        int line;
    };
    std::vector<Entry> entries_;
};

// The items of a CabFiles value as the setup program walks them
// (WalkCabItems): split at every comma with no trimming; a trailing comma
// repeats the last item, two commas give an empty item, an empty value
// gives one empty item.
std::vector<std::string> SplitCabFiles(const std::string &value);

struct LintMessage {
    bool error;
    int line;  // 0 when no line applies
    std::string text;
    std::string file = "";  // "": the descriptor; else the listed INI the line is of
};

struct LintReport {
    std::vector<LintMessage> messages;
    std::string fatal;  // the descriptor could not be read at all
    int errors() const {
        int n = 0;
        for (const LintMessage &m : messages) n += m.error;
        return n;
    }
};

// "path:line: warning: text" (or "error:"); path is the message's file when
// it has one (a listed INI), else `path`, the descriptor's.
std::string FormatLintMessage(const std::string &path, const LintMessage &m);

// Checks descriptor `text`, whose members lie in folder `dir`, and each
// INI its [VQINSTALLER] AlsoInstall lists as a component of its own, and
// the components together. Members found are added to *members (Setup.ini
// first as "Setup.ini", then the license, the bitmaps, the CAB files, then
// each listed INI followed by its CAB files), each once. Errors: a name the
// setup program cannot write; an AlsoInstall value, or a listed INI's
// Component or CabFiles value, too long for the setup program's buffer.
void LintDescriptor(const std::string &text, const std::string &dir,
                    std::vector<PackMember> *members, LintReport *report);

// The same for a file; false (with report->fatal) when it cannot be read.
bool LintDescriptorFile(const std::string &path, LintReport *report);
bool CollectFromDescriptor(const std::string &path, std::vector<PackMember> *members,
                           LintReport *report);

#endif
