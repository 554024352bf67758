// Fuzz target: the setup program's CabFiles walker on arbitrary strings
// (cut at the first NUL, as the value arrives in a C string), checked
// against the packer's reading of the same list.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/cablist.h"
#include "lint.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail = "") {
    std::fprintf(stderr, "fuzz_cablist invariant broken: %s [%s]\n", what, detail.c_str());
    std::abort();
}

#define CHECK(cond) \
    do {            \
        if (!(cond)) Fail(#cond); \
    } while (0)

struct Seen {
    const char *begin, *end;  // the walked buffer
    std::vector<std::string> items;
};

void Collect(const char *item, void *context) {
    Seen *s = static_cast<Seen *>(context);
    // Items point into the list itself.
    if (item < s->begin || item >= s->end) Fail("item outside the list");
    s->items.push_back(item);
}

// Names that are the workspace folder or its parent once the system's path
// rules drop trailing dots and blanks.
bool OnlyDotsAndBlanks(const std::string &s) {
    return s.find_first_not_of(". ") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string value((const char *)data, size);
    value = value.substr(0, value.find('\0'));

    std::vector<char> buf(value.begin(), value.end());
    buf.push_back('\0');
    Seen seen = {buf.data(), buf.data() + buf.size(), {}};
    int count = WalkCabFiles(buf.data(), Collect, &seen);

    size_t commas = 0;
    for (char c : value) commas += c == ',';
    CHECK((size_t)count == commas + 1);
    CHECK(seen.items.size() <= (size_t)count);
    // The commas, and only they, became NULs.
    for (size_t i = 0; i < value.size(); i++)
        CHECK(buf[i] == (value[i] == ',' ? '\0' : value[i]));

    for (const std::string &item : seen.items) {
        if (item.empty() || item.find_first_of("\\/:") != std::string::npos ||
            item == "." || item == ".." || OnlyDotsAndBlanks(item))
            Fail("unsafe item handed out", item);
        CHECK(item.find(',') == std::string::npos);
        CHECK(IsPlainMemberName(item.c_str()));
    }

    // The same items, in the same order, as the packer's split reports
    // once it drops what names no member.
    std::vector<std::string> all = SplitCabFiles(value);
    CHECK(all.size() == (size_t)count);
    std::vector<std::string> plain;
    for (const std::string &item : all)
        if (!item.empty() && item.find_first_of("\\/:") == std::string::npos &&
            !OnlyDotsAndBlanks(item))
            plain.push_back(item);
    if (plain != seen.items) Fail("walk differs from the packer's split", value);
    return 0;
}
