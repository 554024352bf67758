// Fuzz target: the CE readers on arbitrary bytes. The first byte picks
// what the rest is read as:
//   0  an install script (DecodeCeScript);
//   1  a cabinet (ReadCabinet);
//   2  a CE cabinet (ReadCeCabinet), with every text inspect and lint make
//      from it;
//   3  an XML install script (DecodeCeXml).
// What reads must survive a trip back through the writers: a decoded script
// encodes to bytes that decode to the same encoding (the XML one to the
// same model), and a cabinet's
// members written again read back the same.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ce/cabinet.h"
#include "ce/ce_cabinet.h"
#include "ce/ce_script.h"
#include "ce/ce_xml.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail = "") {
    std::fprintf(stderr, "fuzz_ce_script invariant broken: %s [%s]\n", what, detail.c_str());
    std::abort();
}

#define CHECK(cond) \
    do {            \
        if (!(cond)) Fail(#cond); \
    } while (0)

// Every text made from a model, as inspect prints them.
size_t Texts(const CeInstall &s) {
    size_t n = CeProcessorText(s.processor).size() +
               CeVersionText(s.version_min_major, s.version_min_minor).size() +
               CeBuildText(s.build_max).size() + CeDisplayName(s).size();
    for (size_t i = 0; i < s.folders.size(); i++) n += CeFolderPath(s, i).size();
    for (const CeInstallFile &f : s.files) n += CeFilePath(s, f).size() + CeFileFlagNames(f.flags).size();
    for (const CeValue &v : s.values)
        n += CeKeyText(s, v.key).size() + CeRegDataText(v).size() +
             CeRegFlagNames(v.type_flags).size() + std::string(CeRegTypeName(v.type_flags)).size();
    for (const CeShortcut &l : s.shortcuts) {
        std::string path = CeShortcutPath(s, l);
        n += path.size() + CeShortcutTarget(s, l).size() + CePocketPcPath(path).size();
    }
    return n;
}

void Script(const uint8_t *data, size_t size) {
    CeInstall s;
    std::string err;
    if (!DecodeCeScript(data, size, 1252, &s, &err)) {
        CHECK(!err.empty());
        return;
    }
    Texts(s);
    CHECK(CeCompare(s, s).empty());
    std::vector<uint8_t> once, twice;
    // A script read may hold what the writer refuses (a folder below an
    // install folder without a name, a text the code page lacks); what it
    // encodes must read back as the same model and encode to the same bytes.
    if (!EncodeCeScript(s, 1252, &once, &err)) return;
    CeInstall back, again;
    if (!DecodeCeScript(once.data(), once.size(), 1252, &back, &err)) Fail("encoded script unreadable", err);
    CHECK(EncodeCeScript(back, 1252, &twice, &err));
    if (!DecodeCeScript(twice.data(), twice.size(), 1252, &again, &err)) Fail("re-encoded script unreadable", err);
    std::vector<std::string> d = CeCompare(back, again);
    if (!d.empty()) Fail("a second trip changes the model", d[0]);
    CHECK(once == twice);
}

void Xml(const uint8_t *data, size_t size) {
    CeInstall s;
    std::string err, once, twice;
    if (!DecodeCeXml(data, size, &s, &err)) {
        CHECK(!err.empty());
        return;
    }
    Texts(s);
    // What was read writes (a file without a member name, say, it cannot),
    // reads back as the same model and writes the same bytes again.
    if (!EncodeCeXml(s, &once, &err)) return;
    CeInstall back;
    if (!DecodeCeXml((const uint8_t *)once.data(), once.size(), &back, &err))
        Fail("written XML unreadable", err);
    std::vector<std::string> d = CeCompare(s, back);
    if (!d.empty()) Fail("the XML reads back otherwise", d[0]);
    CHECK(EncodeCeXml(back, &twice, &err));
    CHECK(once == twice);
}

void Cabinet(const uint8_t *data, size_t size) {
    std::vector<CabMember> m, back;
    std::string err;
    if (!ReadCabinet(data, size, &m, &err)) {
        CHECK(!err.empty() && m.empty());
        return;
    }
    CHECK(LooksLikeCabinet(data, size));
    std::vector<uint8_t> again;
    for (CabCompression c : {CabCompression::kNone, CabCompression::kMszip}) {
        // Names the reader takes may be longer than the writer allows.
        if (!WriteCabinet(m, c, &again, &err)) return;
        if (!ReadCabinet(again.data(), again.size(), &back, &err)) Fail("rewritten cabinet unreadable", err);
        CHECK(back.size() == m.size());
        for (size_t i = 0; i < m.size(); i++) {
            CHECK(back[i].name == m[i].name);
            CHECK(back[i].data == m[i].data);
            CHECK(back[i].dos_date == m[i].dos_date && back[i].dos_time == m[i].dos_time);
        }
    }
}

void CeCab(const uint8_t *data, size_t size) {
    CeCabinet cab;
    std::string why;
    if (ReadCeCabinet(data, size, 1252, &cab, &why) != CeCabinetStatus::kOk) {
        CHECK(!why.empty());
        return;
    }
    CHECK(CeSameDevices(cab.model, cab.model));
    Texts(cab.model);
    CeFormsText(cab);
    CHECK(cab.present.size() == cab.model.files.size() && cab.sizes.size() == cab.present.size());
    CHECK(cab.binary.read || cab.xml.read);
    CHECK(!cab.info.signed_ || cab.info.signature_offset >= cab.info.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    switch (data[0] % 4) {
    case 0: Script(data + 1, size - 1); break;
    case 1: Cabinet(data + 1, size - 1); break;
    case 2: CeCab(data + 1, size - 1); break;
    default: Xml(data + 1, size - 1); break;
    }
    return 0;
}
