#!/usr/bin/env python3
"""vqpack against files from real CE projects (../shared/realworld, read in
place, never copied): every cabinet the CAB wizard made is inspected and
checked against a second reading (cabextract for the members, the install
script's bytes read here from the format alone, and the XML script through
Python's own XML parser); every INF is built with stand-in source files;
and for the INF/cabinet pairs the README of that folder names, our
cabinet and the CAB wizard's are compared field by field."""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

VQPACK = os.environ.get("VQPACK", "vqpack")
HERE = os.path.dirname(os.path.abspath(__file__))
REALWORLD = os.environ.get("VQ_REALWORLD", os.path.join(HERE, "..", "..", "shared", "realworld"))

# The INF/cabinet pairs: the cabinet the CAB wizard made from that INF for that tag.
PAIRS = [
    ("davychiu__bustime__BusTime.inf", "", "davychiu__bustime__BusTime.CAB"),
    ("nsbasic-archive__NS-Basic-for-WinCE__BenchmarkDotNet_PPC.inf", "ARM",
     "nsbasic-archive__NS-Basic-for-WinCE__BenchmarkDotNet_PPC.ARM.CAB"),
    ("nsbasic-archive__NS-Basic-for-WinCE__App.inf", "WM",
     "nsbasic-archive__NS-Basic-for-WinCE__App.WM.CAB"),
]

ROOTS = {1: "HKCR", 2: "HKCU", 3: "HKLM", 4: "HKU"}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_in(kind):
    folder = os.path.join(REALWORLD, kind)
    return sorted(os.path.join(folder, f) for f in os.listdir(folder))


def run(*args):
    return subprocess.run([VQPACK, *args], capture_output=True, text=True)


def inspect(path):
    r = run("inspect", "--json", path)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)["cabinets"][0]


# ---- INF text, as far as making stand-in sources needs it ---------------------

def inf_text(path):
    data = read(path)
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        text = data[2:].decode("utf-16-le" if data[:2] == b"\xff\xfe" else "utf-16-be")
    elif data[:3] == b"\xef\xbb\xbf":
        text = data[3:].decode("utf-8")
    else:
        text = data.decode("latin-1")
    return text.rstrip("\0")


def inf_sections(text):
    sections, cur = {}, None
    for raw in text.splitlines():
        line, quoted = "", False
        for c in raw:  # a ';' outside quotes starts a comment
            if c == '"':
                quoted = not quoted
            elif c == ";" and not quoted:
                break
            line += c
        line = line.strip()
        if not line:
            continue
        if line.startswith("["):
            cur = sections.setdefault(line[1:line.index("]")].strip().lower(), [])
        elif cur is not None:
            cur.append(line)
    return sections


def source_names(path):
    """The source file names an INF's [SourceDisksFiles(.TAG)] sections give."""
    sections = inf_sections(inf_text(path))
    strings = {}
    for name in ("strings", "cestrings"):
        for line in sections.get(name, []):
            if "=" in line:
                k, v = line.split("=", 1)
                strings.setdefault(k.strip().lower(), v.strip().strip('"'))
    names = set()
    for sec, lines in sections.items():
        if not sec.startswith("sourcedisksfiles"):
            continue
        for line in lines:
            if "=" not in line:
                continue
            key = line.split("=", 1)[0].strip().strip('"')
            key = re.sub(r"%([^%]+)%", lambda m: strings.get(m.group(1).lower(), m.group(0)), key)
            names.add(key)
    return names


def inf_tags(path):
    tags = []
    for sec in re.findall(r"^\s*\[([^\]]+)\]", inf_text(path), re.M):
        m = re.match(r"(cedevice|defaultinstall|sourcedisksnames|sourcedisksfiles)\.(.+)$", sec.strip(), re.I)
        if m and m.group(2).lower() not in [t.lower() for t in tags]:
            tags.append(m.group(2))
    return tags


# ---- the install script read here from the format ---------------------------

def read_script(d):
    """The .000's fields: header, then each section's entries, texts up to their NUL."""
    def text(at, n):
        return d[at:at + n].split(b"\0")[0].decode("cp1252", "replace")
    h = struct.unpack_from("<4sIIIIIIIIIII6H6I8H", d, 0)
    assert h[0] == b"MSCE" and h[2] == len(d)
    counts, offs, tx = h[12:18], h[18:24], h[24:32]
    out = {"app": text(tx[0], tx[1]), "provider": text(tx[2], tx[3]), "processor": h[5],
           "version_min": [h[6], h[7]], "version_max": [h[8], h[9]], "build_min": h[10],
           "build_max": h[11]}
    out["unsupported"] = [u.decode("cp1252") for u in d[tx[4]:tx[4] + tx[5]].split(b"\0") if u]
    strings, dirs, hives = {}, {}, {}
    at = offs[0]
    for _ in range(counts[0]):
        i, n = struct.unpack_from("<HH", d, at)
        strings[i] = text(at + 4, n)
        at += 4 + n

    def ids(at, n):
        return [x for x in struct.unpack_from("<%dH" % (n // 2), d, at) if x]
    at = offs[1]
    for _ in range(counts[1]):
        i, n = struct.unpack_from("<HH", d, at)
        path = "\\".join(strings[x] for x in ids(at + 4, n))
        # The device has no current folder: one without a macro is from its root.
        dirs[i] = path if path.startswith(("%", "\\")) else "\\" + path
        at += 4 + n
    files = []
    at = offs[2]
    for _ in range(counts[2]):
        num, dr, third, flags, n = struct.unpack_from("<HHHIH", d, at)
        files.append({"number": num, "third": third, "flags": flags,
                      "target": dirs[dr] + "\\" + text(at + 12, n)})
        at += 12 + n
    at = offs[3]
    for _ in range(counts[3]):
        i, root, _u, n = struct.unpack_from("<HHHH", d, at)
        hives[i] = ROOTS[root] + "\\" + "\\".join(strings[x] for x in ids(at + 8, n))
        at += 8 + n
    values = []
    at = offs[4]
    for _ in range(counts[4]):
        _i, hive, sub, tf, n = struct.unpack_from("<HHHIH", d, at)
        raw = d[at + 12:at + 12 + n]
        name, data = raw.split(b"\0", 1)
        values.append({"key": hives[hive], "name": name.decode("cp1252"), "type_flags": tf,
                       "data": data, "substitute": bool(sub)})
        at += 12 + n
    links = []
    at = offs[5]
    for _ in range(counts[5]):
        _i, dr, ce, target, kind, n = struct.unpack_from("<6H", d, at)
        folder = dirs[dr] if dr else "%%CE%d%%" % ce if ce else None
        links.append({"folder": folder, "name": "\\".join(strings[x] for x in ids(at + 12, n)),
                      "to_file": kind == 1, "target": target})
        at += 12 + n
    assert at == len(d), "entries end at %d of %d bytes" % (at, len(d))
    out.update(strings=strings, dirs=dirs, files=files, values=values, links=links)
    return out


def read_xml(data):
    """The XML script's files (path -> member), shortcuts and string values."""
    root = ET.fromstring(data)
    assert root.tag == "wap-provisioningdoc"
    out = {"files": {}, "shortcuts": {}, "values": {}}
    for csp in root.findall("characteristic"):
        if csp.get("type") == "FileOperation":
            for folder in csp.findall("characteristic"):
                for item in folder.findall("characteristic"):
                    for op in item.findall("characteristic"):
                        src = {p.get("name"): p.get("value") for p in op.findall("parm")}.get("Source")
                        path = folder.get("type") + "\\" + item.get("type")
                        if op.get("type") == "Extract":
                            out["files"][path] = src
                        elif op.get("type") == "Shortcut":
                            out["shortcuts"][path] = src
        elif csp.get("type") == "Registry":
            for key in csp.findall("characteristic"):
                for p in key.findall("parm"):
                    if p.get("datatype") == "string":
                        out["values"][(key.get("type"), p.get("name"))] = p.get("value")
        elif csp.get("type") == "Install":
            out["install"] = {p.get("name"): p.get("value") for p in csp.findall("parm")}
    return out


def sz(data):
    return data.split(b"\0")[0].decode("cp1252")


class RealWorld(unittest.TestCase):
    def setUp(self):
        if not os.path.isdir(REALWORLD):
            self.skipTest("skipped: no ../shared/realworld")
        self.tmp = tempfile.mkdtemp(prefix="vq-realworld-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def check_cabinet(self, path):
        """inspect against cabextract, the script's bytes and the XML; the inspect JSON."""
        out = os.path.join(self.tmp, "x-" + os.path.basename(path))
        r = subprocess.run(["cabextract", "-q", "-d", out, path], capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stderr)
        members = {f: read(os.path.join(out, f)) for f in os.listdir(out)}
        got = inspect(path)
        script = [m for m in members if m.endswith(".000")]
        self.assertEqual(got["scripts"]["binary"]["member"] if script else None,
                         script[0] if script else None)
        if script:
            s = read_script(members[script[0]])
            for field in ("app", "provider", "processor", "version_min", "version_max",
                          "build_min", "build_max", "unsupported"):
                self.assertEqual(s[field], got[field], field)
            self.assertEqual(len(s["files"]), len(got["files"]))
            by_number = {int(m[-3:]): m for m in members if re.search(r"\.\d{3}$", m)}
            for want, have in zip(s["files"], got["files"]):
                self.assertEqual(want["target"], have["target"])
                self.assertEqual(want["flags"], have["flags"], want["target"])
                # The member: the entry's own number where the cabinet has it,
                # else the one its third field names.
                member = by_number.get(want["number"]) or by_number.get(want["third"])
                self.assertEqual(member, have["member"], want["target"])
                self.assertEqual(len(members[member]), have["size"], member)
            self.assertEqual(len(s["values"]), len(got["registry"]))
            for want, have in zip(s["values"], got["registry"]):
                self.assertEqual((want["key"], want["name"], want["substitute"]),
                                 (have["key"], have["name"], have["substitute"]))
                if want["type_flags"] & 0x10001 == 0:
                    self.assertEqual('"%s"' % sz(want["data"]), have["data"])
            self.assertEqual(len(s["links"]), len(got["shortcuts"]))
            for want, have in zip(s["links"], got["shortcuts"]):
                folder = want["folder"] or got["install_dir"]
                self.assertEqual(folder + "\\" + want["name"], have["path"])
                if want["to_file"]:
                    target = [f["target"] for f in s["files"] if f["number"] == want["target"]]
                    self.assertEqual(target, [have["target"]])
        if "_setup.xml" in members:
            x = read_xml(members["_setup.xml"])
            inst = got["install_dir"]
            files = {f["target"]: f["member"] for f in got["files"]}
            self.assertEqual({k.replace("%InstallDir%", inst): v for k, v in x["files"].items()}, files)
            self.assertEqual({k.replace("%InstallDir%", inst): v.replace("%InstallDir%", inst)
                              for k, v in x["shortcuts"].items()},
                             {s["path"]: s["target"] for s in got["shortcuts"]})
            strings = {(v["key"], v["name"]): v["data"] for v in got["registry"] if v["type"] == "REG_SZ"}
            self.assertEqual({k: '"%s"' % v for k, v in x["values"].items()}, strings)
            self.assertEqual(x["install"]["InstallDir"], inst)
            self.assertTrue(got["scripts"]["agree"], got["scripts"]["differences"])
        return got

    def test_every_cabinet_reads_as_a_second_reading_does(self):
        for path in files_in("cab"):
            with self.subTest(cabinet=os.path.basename(path)):
                got = self.check_cabinet(path)
                raw = read(path)
                reserve = struct.unpack_from("<H", raw, 30)[0] & 4
                signed = bool(reserve) and raw[36:38] == b"\x14\x00" and raw[40:44] == b"\0\0\x10\0"
                self.assertEqual(signed, got["signed"])
                if signed:
                    at, size = struct.unpack_from("<II", raw, 44)
                    self.assertEqual({"offset": at, "size": size}, got["signature"])
                    self.assertEqual(len(raw), at + size)

    def build(self, inf, tags, extra=()):
        src = os.path.join(self.tmp, "src-" + os.path.basename(inf))
        os.makedirs(src, exist_ok=True)
        for i, name in enumerate(sorted(source_names(inf))):
            with open(os.path.join(src, name), "wb") as f:
                f.write(("stand-in %d for %s\n" % (i, name)).encode() * (i + 1))
        out = os.path.join(self.tmp, "out-" + os.path.basename(inf))
        args = ["cab", inf, "--source-dir", src, "-o", out, *extra]
        for t in tags:
            args += ["--cpu", t]
        env = dict(os.environ, SOURCE_DATE_EPOCH="1704067200")
        r = subprocess.run([VQPACK, *args], capture_output=True, text=True, env=env)
        return r, out

    def test_every_inf_builds_with_stand_in_sources(self):
        for inf in files_in("inf"):
            name = os.path.basename(inf)
            tags = inf_tags(inf)
            with self.subTest(inf=name, tags=tags):
                r, out = self.build(inf, tags)
                self.assertEqual(0, r.returncode, r.stderr)
                # Warnings name the INF and a line, or the INF alone.
                for w in r.stderr.splitlines():
                    self.assertRegex(w, r"^%s(:\d+)?: warning: " % re.escape(inf))
                cabs = sorted(os.listdir(out))
                self.assertEqual(max(1, len(tags)), len(cabs), cabs)
                for cab in cabs:
                    t = subprocess.run(["cabextract", "-t", os.path.join(out, cab)],
                                       capture_output=True, text=True)
                    self.assertEqual(0, t.returncode, t.stdout + t.stderr)
                    self.check_cabinet(os.path.join(out, cab))

    def test_pairs_give_what_the_cab_wizard_gives(self):
        for inf_name, tag, cab_name in PAIRS:
            with self.subTest(inf=inf_name):
                inf = os.path.join(REALWORLD, "inf", inf_name)
                r, out = self.build(inf, [tag] if tag else [])
                self.assertEqual(0, r.returncode, r.stderr)
                ours = inspect(os.path.join(out, os.listdir(out)[0]))
                theirs = inspect(os.path.join(REALWORLD, "cab", cab_name))
                for field in ("app", "provider", "install_dir", "processor", "version_min",
                              "version_max", "build_min", "build_max", "unsupported"):
                    self.assertEqual(theirs[field], ours[field], field)
                # Folders that hold files; files with their flags and member numbers
                # (not names: the wizard's 8.3 names follow the files that lay beside
                # them on its disk); registry values; shortcuts and their targets.
                def folders(c):
                    return sorted({f["target"].rsplit("\\", 1)[0] for f in c["files"]})

                def files(c):
                    return sorted((f["target"], f["flags"], f["number"], f["member"][-3:]) for f in c["files"])

                def values(c):
                    return sorted((v["key"], v["name"], v["type"], v["data"], v["substitute"]) for v in c["registry"])

                def shortcuts(c):
                    return sorted((s["path"], s["to"], s["target"]) for s in c["shortcuts"])
                for what in (folders, files, values, shortcuts):
                    self.assertEqual(what(theirs), what(ours), what.__name__)
                self.assertEqual(theirs["setup_dll_size"] is None, ours["setup_dll_size"] is None)


if __name__ == "__main__":
    unittest.main()
