// The binary install script, the cabinet's ".000" member: the codec that
// writes and reads the CE model (ce_model.h) as every device from CE 3.0
// on reads it.
//
// The script names its folders, registry keys and shortcuts through a
// table of strings: a path is a list of string ids, its parts joined by
// '\'. The install folder is string 1, one string however many parts it
// has: a folder whose first id is 1 lies below it, which is how the device
// knows what moves when the user installs elsewhere. Strings, the app name,
// the provider and file names are NUL-padded to a multiple of 4 bytes, as
// the CAB wizards of Visual Studio 2005 and 2008 write them (older ones do
// not pad; a reader takes a text up to its first NUL and accepts both).
// Shortcut names are id lists without the final 0 that folders and keys
// have; a reader accepts either.
#ifndef VQ_CE_SCRIPT_H
#define VQ_CE_SCRIPT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ce/ce_model.h"

// The script's bytes, its texts in code page `codepage`. False with *error
// when a text cannot be written in that code page (naming the text and the
// character), when a count or a length does not fit its 16-bit field, or
// when the model refers to a folder, key or file it does not hold.
bool EncodeCeScript(const CeInstall &model, unsigned codepage, std::vector<uint8_t> *out,
                    std::string *error);

// Reads a script whose texts are in code page `codepage`. Safe on any
// bytes: every offset, count and length is checked against what remains;
// false with *error naming what is wrong. Ids that name nothing (a folder
// made of a string the table lacks, a file in a folder that is not there)
// are refused. The files' members are not known to the script beyond their
// numbers: `member` is set, `member_name` left empty.
bool DecodeCeScript(const uint8_t *data, size_t size, unsigned codepage, CeInstall *model,
                    std::string *error);

// The name of a processor type ("StrongARM", "MIPS R4000", ...), or "" when
// the number is not one we know.
const char *CeProcessorName(uint32_t processor);

#endif
