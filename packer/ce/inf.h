// The INF files of CE projects, read as Microsoft's INF syntax and the CAB
// wizard read them: [sections], `key = value` lines and keyless lines,
// fields split at commas, double-quoted fields that may hold commas,
// semicolons and blanks ("" inside quotes is one quote), `;` comments
// outside quotes, a `\` at the end of a line continuing it on the next, and
// section and key names compared without regard to case.
//
// %name% is replaced by the value of `name` from [CEStrings] or [Strings]
// (whose values may themselves use other %names%), and %% by one %. The
// device's own folder macros %CE1%..%CE17% and %InstallDir% are kept (in
// that spelling) for the install script: the device substitutes them.
#ifndef VQ_CE_INF_H
#define VQ_CE_INF_H

#include <string>
#include <vector>

struct InfLine {
    int line = 0;  // in the file; a continued line has the number of its first line
    bool has_key = false;
    std::string key;  // of `key = value`, substituted, unquoted
    // The value of `key = value`, or the whole of a keyless line, split at
    // commas outside quotes, each field unquoted, trimmed and substituted.
    // In [Strings] and [CEStrings] a value is one field (commas kept).
    std::vector<std::string> fields;

    // Field i, or "" when the line has fewer fields.
    const std::string &Field(size_t i) const;
};

struct InfSection {
    std::string name;  // as first written
    int line = 0;      // of its first [name] header
    std::vector<InfLine> lines;  // of every header of that name, in file order

    // The first line whose key is `key` (any case), or null.
    const InfLine *Find(const std::string &key) const;
};

class Inf {
public:
    // Reads INF text. `file` names the INF in messages. False with *error
    // ("FILE:LINE: what is wrong") for text before the first section, a
    // header without `]`, a quote that is not closed on its line, a %name%
    // that is defined nowhere or through itself, a lone %, a NUL byte
    // (an INF saved as UTF-16), or a value that substitution makes longer
    // than 64 KiB. A UTF-8 byte-order mark is skipped; LF and CR LF end lines.
    bool Parse(const std::string &text, const std::string &file, std::string *error);

    // The section of that name (any case), or null.
    const InfSection *Section(const std::string &name) const;
    const std::vector<InfSection> &sections() const { return sections_; }
    // "FILE:LINE: " for messages about line `line`.
    std::string Where(int line) const;
    const std::string &file() const { return file_; }

private:
    std::string file_;
    std::vector<InfSection> sections_;
};

#endif
