// Code page conversions over the system's tables, and the Unicode
// transformations written out here (they need no tables).
#include "ce/codepage.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

void PutUtf8(uint32_t cp, std::string *out) {
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xC0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += (char)(0xE0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    } else {
        *out += (char)(0xF0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3F));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    }
}

// The code point that starts at s[*at], *at moved past it; false (and *at
// unchanged) for a malformed sequence.
bool NextUtf8(const std::string &s, size_t *at, uint32_t *cp) {
    size_t i = *at;
    unsigned char c = (unsigned char)s[i];
    int n;
    uint32_t v, min;
    if (c < 0x80) {
        *cp = c;
        *at = i + 1;
        return true;
    } else if ((c & 0xE0) == 0xC0) {
        n = 1, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 2, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 3, v = c & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (s.size() - i - 1 < (size_t)n) return false;
    for (int k = 1; k <= n; k++) {
        unsigned char d = (unsigned char)s[i + k];
        if ((d & 0xC0) != 0x80) return false;
        v = (v << 6) | (d & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    *cp = v;
    *at = i + 1 + n;
    return true;
}

std::string Describe(const std::string &utf8, size_t at) {
    size_t end = at;
    uint32_t cp = 0;
    if (!NextUtf8(utf8, &end, &cp)) return "a byte that is not UTF-8";
    char u[16];
    std::snprintf(u, sizeof u, "U+%04X", (unsigned)cp);
    return "'" + utf8.substr(at, end - at) + "' (" + u + ")";
}

#ifdef _WIN32
std::wstring Wide(const std::string &utf8) {
    std::wstring w;
    for (size_t at = 0; at < utf8.size();) {
        uint32_t cp;
        if (!NextUtf8(utf8, &at, &cp)) {
            cp = 0xFFFD;
            at++;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            w += (wchar_t)(0xD800 | (cp >> 10));
            w += (wchar_t)(0xDC00 | (cp & 0x3FF));
        } else {
            w += (wchar_t)cp;
        }
    }
    return w;
}
#endif

}  // namespace

bool IsUtf8(const std::string &s) {
    uint32_t cp;
    for (size_t at = 0; at < s.size();)
        if (!NextUtf8(s, &at, &cp)) return false;
    return true;
}

bool HasNonAscii(const std::string &s) {
    for (unsigned char c : s)
        if (c >= 0x80) return true;
    return false;
}

std::string Utf16ToUtf8(const uint8_t *data, size_t size, bool big_endian) {
    std::string out;
    auto unit = [&](size_t i) -> uint32_t {
        return big_endian ? (uint32_t)(data[i] << 8 | data[i + 1])
                          : (uint32_t)(data[i] | data[i + 1] << 8);
    };
    size_t i = 0;
    for (; i + 1 < size; i += 2) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < size) {
            uint32_t l = unit(i + 2);
            if (l >= 0xDC00 && l <= 0xDFFF) {
                PutUtf8(0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00), &out);
                i += 2;
                continue;
            }
        }
        PutUtf8(u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u, &out);
    }
    if (i < size) PutUtf8(0xFFFD, &out);
    return out;
}

#ifdef _WIN32

bool CodePageKnown(unsigned cp, std::string *error) {
    CPINFO info;
    if (cp != 0 && cp != CP_UTF8 && GetCPInfo(cp, &info)) return true;
    *error = "code page " + std::to_string(cp) + " is not known to this system";
    return false;
}

bool Utf8ToCodePage(const std::string &utf8, unsigned cp, std::string *out, std::string *error) {
    out->clear();
    if (!HasNonAscii(utf8)) {
        *out = utf8;
        return true;
    }
    // Character by character, so that the first one the page lacks can be
    // named; best-fit mappings (an 'a' for an 'a' with a ring) are refused.
    for (size_t at = 0; at < utf8.size();) {
        size_t start = at;
        uint32_t c;
        if (!NextUtf8(utf8, &at, &c)) {
            *error = "the text is not UTF-8";
            return false;
        }
        std::wstring w = Wide(utf8.substr(start, at - start));
        char buf[8];
        BOOL lost = FALSE;
        int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, w.data(), (int)w.size(), buf,
                                    sizeof buf, nullptr, &lost);
        if (n <= 0 || lost) {
            *error = Describe(utf8, start) + " is not in code page " + std::to_string(cp);
            return false;
        }
        out->append(buf, (size_t)n);
    }
    return true;
}

std::string CodePageToUtf8(const std::string &bytes, unsigned cp) {
    if (!HasNonAscii(bytes)) return bytes;
    int n = MultiByteToWideChar(cp, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
    if (n <= 0) return std::string(bytes.size(), '?');
    std::vector<wchar_t> w((size_t)n);
    MultiByteToWideChar(cp, 0, bytes.data(), (int)bytes.size(), w.data(), n);
    std::vector<uint8_t> le;
    for (wchar_t c : w) {
        le.push_back((uint8_t)(c & 0xFF));
        le.push_back((uint8_t)(c >> 8));
    }
    return Utf16ToUtf8(le.data(), le.size(), false);
}

#else

namespace {

std::string IconvName(unsigned cp) { return "CP" + std::to_string(cp); }

}  // namespace

bool CodePageKnown(unsigned cp, std::string *error) {
    iconv_t cd = iconv_open("UTF-8", IconvName(cp).c_str());
    if (cd != (iconv_t)-1) {
        iconv_close(cd);
        return true;
    }
    *error = "code page " + std::to_string(cp) + " is not known to this system";
    return false;
}

bool Utf8ToCodePage(const std::string &utf8, unsigned cp, std::string *out, std::string *error) {
    out->clear();
    if (!HasNonAscii(utf8)) {
        *out = utf8;
        return true;
    }
    if (!IsUtf8(utf8)) {
        *error = "the text is not UTF-8";
        return false;
    }
    iconv_t cd = iconv_open(IconvName(cp).c_str(), "UTF-8");
    if (cd == (iconv_t)-1) {
        *error = "code page " + std::to_string(cp) + " is not known to this system";
        return false;
    }
    // Character by character, so that the first one the page lacks can be
    // named; a character iconv could only approximate (it counts those) is
    // refused like a missing one.
    bool ok = true;
    for (size_t at = 0; at < utf8.size() && ok;) {
        size_t start = at;
        uint32_t c;
        NextUtf8(utf8, &at, &c);
        if (c < 0x80) {
            *out += (char)c;
            continue;
        }
        std::string one = utf8.substr(start, at - start);
        char buf[16], *o = buf, *in = const_cast<char *>(one.data());
        size_t in_left = one.size(), out_left = sizeof buf;
        size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
        if (rc == (size_t)-1 || rc > 0 ||
            iconv(cd, nullptr, nullptr, &o, &out_left) == (size_t)-1) {
            *error = Describe(utf8, start) + " is not in code page " + std::to_string(cp);
            ok = false;
        }
        out->append(buf, (size_t)(o - buf));
    }
    iconv_close(cd);
    if (!ok) out->clear();
    return ok;
}

std::string CodePageToUtf8(const std::string &bytes, unsigned cp) {
    if (!HasNonAscii(bytes)) return bytes;
    iconv_t cd = iconv_open("UTF-8", IconvName(cp).c_str());
    std::string out;
    if (cd == (iconv_t)-1) {
        for (unsigned char c : bytes) c < 0x80 ? (void)(out += (char)c) : PutUtf8(0xFFFD, &out);
        return out;
    }
    std::vector<char> buf(bytes.size() * 4 + 16);
    char *in = const_cast<char *>(bytes.data());
    size_t in_left = bytes.size();
    while (in_left) {
        char *o = buf.data();
        size_t out_left = buf.size();
        size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
        out.append(buf.data(), (size_t)(o - buf.data()));
        if (rc == (size_t)-1) {
            if (errno == E2BIG) continue;
            // A byte the page does not define, or a sequence cut short.
            PutUtf8(0xFFFD, &out);
            in++;
            in_left--;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

#endif
