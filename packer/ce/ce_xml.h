// The XML install script, the cabinet's "_setup.xml" member: the codec that
// writes and reads the CE model (ce_model.h) as Windows Mobile 5 and later
// read it, a WAP provisioning document for the device's configuration
// manager. Written and read with pugixml.
//
// The document, as the CAB wizards of Visual Studio 2005 and 2008 write it
// (no XML declaration, one element a line, CR LF): a characteristic
// "Install" (the devices, the display name, the install folder, counts), a
// "FileOperation" with one characteristic per folder that holds files or
// shortcuts (a folder below the install folder written "%InstallDir%..."),
// each file an "Extract" from its member, each shortcut a "Shortcut" to its
// target's path; a "Registry" with one characteristic per key.
//
// What the XML form does not carry: the provider apart from the app name
// (the display name is both), unsupported platforms, the setup DLL, the
// registry's no-clobber flag, copy flags beyond the eight the device
// knows, and folders that hold neither files nor shortcuts. A model read from XML has the display name as its app name, and
// its files numbered 1, 2, ... in document order unless the member's
// number says otherwise.
#ifndef VQ_CE_XML_H
#define VQ_CE_XML_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "ce/ce_model.h"

// The bytes of _setup.xml for `m` (UTF-8). False with *error when the
// model refers to a folder, key or file it does not hold, or a file has no
// member name (the XML names members, not numbers).
bool EncodeCeXml(const CeInstall &m, std::string *xml, std::string *error);

// Reads _setup.xml into *m. Safe on any bytes: false with *error (one
// line) for what is not XML, not a provisioning document, or not a script
// the device could follow: an Extract or a Shortcut without its Source, a
// registry key without a known root, data that does not fit its type. A
// shortcut whose target is none of the document's files points to a folder.
bool DecodeCeXml(const uint8_t *data, size_t size, CeInstall *m, std::string *error);

#endif
