// Text encodings around CE cabinets: the ANSI code page a device reads its
// binary install script in (Windows-1252 in western Europe and America,
// 936 in mainland China, ...), UTF-8, which the packer works in and the XML
// script is written in, and UTF-16, which Visual Studio saves INF files in.
// Conversions to and from a code page go through the system (iconv on
// Linux, the code page tables of Windows), so every code page the system
// knows can be named.
#ifndef VQ_CE_CODEPAGE_H
#define VQ_CE_CODEPAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

// The code page the scripts are written in unless the user names another.
constexpr unsigned kCeDefaultCodePage = 1252;

// True when the system can convert to and from code page `cp`; false with
// *error ("code page 1234 is not known to this system") otherwise.
bool CodePageKnown(unsigned cp, std::string *error);

// UTF-8 text in code page `cp`. False with *error when the text is not
// UTF-8, or names the first character the code page cannot hold
// ("'\u20ac' (U+20AC) is not in code page 1251"). ASCII passes unchanged.
bool Utf8ToCodePage(const std::string &utf8, unsigned cp, std::string *out, std::string *error);

// Code page text in UTF-8. Never fails: a byte or sequence the code page
// does not define becomes U+FFFD. ASCII passes unchanged.
std::string CodePageToUtf8(const std::string &bytes, unsigned cp);

// UTF-16 text (little- or big-endian, without its byte-order mark) in
// UTF-8; an unpaired surrogate or an odd last byte becomes U+FFFD.
std::string Utf16ToUtf8(const uint8_t *data, size_t size, bool big_endian);

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(const std::string &s);

// True when `s` holds a byte of 0x80 or above.
bool HasNonAscii(const std::string &s);

#endif
