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
//
// The text comes as Visual Studio and other editors save it: UTF-16 (little-
// or big-endian) or UTF-8 with a byte-order mark, read as Unicode (fields in
// UTF-8); or without one, read as ANSI text in the devices' code page
// (fields are those bytes). NUL bytes at the end are dropped.
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

// A remark about the INF that does not stop it from being read or built:
// the CAB wizard would go on too, but what it means may not be what the
// INF's author meant.
struct InfWarning {
    int line = 0;  // 0 when no line applies
    std::string text;
};

class Inf {
public:
    // Reads an INF file's bytes. `file` names the INF in messages. False
    // with *error ("FILE:LINE: what is wrong") for text before the first
    // section, a header without `]`, a quote that is not closed on its line,
    // a %name% that is defined nowhere or through itself, a lone %, a NUL
    // byte before the end (UTF-16 without a byte-order mark), text after a
    // UTF-8 byte-order mark that is not UTF-8, or a value that substitution
    // makes longer than 64 KiB. LF and CR LF end lines. Text without a
    // byte-order mark that is UTF-8 with characters beyond ASCII is read as
    // ANSI, with a warning.
    bool Parse(const std::string &bytes, const std::string &file, std::string *error);

    // True when the text was Unicode (UTF-16 or UTF-8 with a byte-order
    // mark): fields are UTF-8. False: fields are bytes in the devices' ANSI
    // code page.
    bool unicode() const { return unicode_; }
    const std::vector<InfWarning> &warnings() const { return warnings_; }

    // The section of that name (any case), or null.
    const InfSection *Section(const std::string &name) const;
    const std::vector<InfSection> &sections() const { return sections_; }
    // "FILE:LINE: " for messages about line `line`.
    std::string Where(int line) const;
    const std::string &file() const { return file_; }

private:
    // The text in UTF-8 or as ANSI bytes; false with *error.
    bool Decode(const std::string &bytes, std::string *text, std::string *error);

    std::string file_;
    std::vector<InfSection> sections_;
    bool unicode_ = false;
    std::vector<InfWarning> warnings_;
};

#endif
