"""Reads the application manifest out of the built setup program's resources
(RT_MANIFEST, id 1) and checks what Windows acts on: the request to run
elevated (requireAdministrator, uiAccess false) and the supported Windows
versions Vista, 7, 8, 8.1 and 10/11. Visual styles and DPI awareness would
change the pixel layout of the windows, so neither may be declared.
Prints the manifest as found in the image.

Usage: stub_manifest_test.py IMAGE
"""

import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10/11",
}


def resources(image):
    """{(type, name): [(language, bytes)]} of the numbered resources."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections, opt_size = struct.unpack_from("<H12xH", image, pe + 6)
    opt = pe + 24
    if struct.unpack_from("<H", image, opt)[0] != 0x10B:
        raise ValueError("not a PE32 image")
    rsrc_rva, rsrc_size = struct.unpack_from("<II", image, opt + 96 + 2 * 8)
    if not rsrc_size:
        return {}
    spans = []
    for i in range(sections):
        _, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", image,
                                                             opt + opt_size + 40 * i)
        spans.append((va, max(vsize, raw_size), raw_ptr))

    def offset(rva):
        for va, size, raw in spans:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("RVA %#x outside every section" % rva)

    base = offset(rsrc_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), target

    out = {}
    for rtype, t in entries(0):
        for rname, n in entries(t & 0x7FFFFFFF):
            for lang, leaf in entries(n & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from("<II", image, base + leaf)
                start = offset(data_rva)
                out.setdefault((rtype, rname), []).append((lang, image[start:start + size]))
    return out


def check(image):
    """The list of failures (empty when the manifest is right)."""
    found = resources(image).get((RT_MANIFEST, 1))
    if not found:
        return ["no RT_MANIFEST resource with id 1"]
    failures = []
    if len(found) != 1:
        failures.append("%d languages of the manifest, expected 1" % len(found))
    text = found[0][1]
    sys.stdout.write("manifest (%d bytes, language %#x):\n%s\n"
                     % (len(text), found[0][0], text.decode("utf-8", "replace")))
    try:
        root = ET.fromstring(text)
    except ET.ParseError as exc:
        return failures + ["manifest is not well-formed XML: %s" % exc]
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        failures.append("root is %s, not an asm.v1 assembly of version 1.0" % root.tag)
    levels = root.findall("%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                          % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
    if len(levels) != 1:
        failures.append("%d asm.v3 requestedExecutionLevel elements, expected 1" % len(levels))
    else:
        if levels[0].get("level") != "requireAdministrator":
            failures.append("level is %r, not requireAdministrator" % levels[0].get("level"))
        if levels[0].get("uiAccess") != "false":
            failures.append("uiAccess is %r, not \"false\"" % levels[0].get("uiAccess"))
    ids = [e.get("Id") for e in
           root.findall("%scompatibility/%sapplication/%ssupportedOS" % (COMPAT, COMPAT, COMPAT))]
    for guid, name in SUPPORTED_OS.items():
        if guid not in ids:
            failures.append("no supportedOS entry for Windows %s" % name)
    for guid in ids:
        if guid not in SUPPORTED_OS:
            failures.append("unknown supportedOS %s" % guid)
    for element in root.iter():
        local = element.tag.rsplit("}", 1)[-1]
        if local in ("dependency", "dpiAware", "dpiAwareness"):
            failures.append("%s declared: it would change how the windows look" % local)
    return failures


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: stub_manifest_test.py IMAGE\n")
        return 2
    with open(argv[1], "rb") as f:
        image = f.read()
    failures = check(image)
    for failure in failures:
        sys.stderr.write("FAIL: %s\n" % failure)
    if failures:
        return 1
    sys.stdout.write("ok: manifest of %s\n" % argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
