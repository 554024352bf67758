#!/usr/bin/env python3
"""vqpack as a user runs it, and the container format checked against a
reader and a writer written here from the format alone (Python's zlib)."""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import container  # noqa: E402
from container import checksum, CHECKSUM_SEED as SEED, IMAGE_SIZE as IMAGE  # noqa: E402

VQPACK = os.environ.get("VQPACK", "vqpack")


def independent_write(image, members, complete=False, trailing=b""):
    """An installer made by the tests' own writer, sharing no code with vqpack."""
    c = container.Container(image, members, final_block=complete)
    c.trailer = trailing
    return c.to_bytes()


def independent_read(blob):
    """Every member of an installer, checked by the format's rules."""
    assert len(blob) > IMAGE + 28 + 12, "too small"
    sig, csize, usize, count, img_sum, dir_sum, data_sum = struct.unpack_from("<7I", blob, IMAGE)
    assert sig == SEED, "signature"
    assert checksum(blob[:IMAGE]) == img_sum, "image checksum"
    dir_at = IMAGE + 28
    directory = blob[dir_at:dir_at + 12 * count]
    assert checksum(directory) == dir_sum, "directory checksum"
    packed = blob[dir_at + 12 * count:dir_at + 12 * count + csize]
    assert packed[:2] == b"\x78\xda", "level 9 header"
    assert packed[-4:] == b"\x00\x00\xff\xff", "sync flush marker"
    d = zlib.decompressobj()
    stream = d.decompress(packed)
    assert not d.eof, "a final block was written"
    assert len(stream) == usize and checksum(stream) == data_sum, "data"
    out = []
    for i in range(count):
        n, o, s = struct.unpack_from("<3I", directory, 12 * i)
        assert stream[o - 1] == 0
        out.append((stream[n:o - 1].decode("latin-1"), stream[o:o + s]))
    return out


def ce_script(app, provider, processor, vmin=(0, 0), vmax=(0, 0), unsupported=(),
              strings=(), dirs=(), files=(), hives=(), values=(), links=()):
    """A CE install script (.000) written here from the format description."""
    def sz(text):
        return text.encode("latin-1") + b"\0"

    def ids(parts):
        return struct.pack("<H", 2 * len(parts) + 2) + b"".join(struct.pack("<H", p) for p in parts) + b"\0\0"
    plat = b"".join(sz(u) for u in unsupported) + b"\0" if unsupported else b""
    texts = sz(app) + sz(provider) + plat
    heads = struct.pack("<6H", 100, len(sz(app)), 100 + len(sz(app)), len(sz(provider)),
                        100 + len(sz(app) + sz(provider)) if plat else 0, len(plat))
    sections = [
        b"".join(struct.pack("<HH", i, len(sz(t))) + sz(t) for i, t in strings),
        b"".join(struct.pack("<H", i) + ids(p) for i, p in dirs),
        b"".join(struct.pack("<HHHIH", n, d, n, fl, len(sz(nm))) + sz(nm) for n, d, fl, nm in files),
        b"".join(struct.pack("<HHH", i, root, 0) + ids(p) for i, root, p in hives),
        b"".join(struct.pack("<HHHIH", i, h, sub, ty, len(sz(nm)) + len(d)) + sz(nm) + d
                 for i, h, sub, ty, nm, d in values),
        b"".join(struct.pack("<HHHHH", i, 0, base, target, ty) + ids(p)
                 for i, base, target, ty, p in links),
    ]
    offsets, at = [], 100 + len(texts)
    for sec in sections:
        offsets.append(at)
        at += len(sec)
    head = b"MSCE" + struct.pack("<4I7I", 0, at, 0, 1, processor, *vmin, *vmax, 0, 0)
    head += struct.pack("<6H", *map(len, (strings, dirs, files, hives, values, links)))
    head += struct.pack("<6I", *offsets) + heads + b"\0" * 4
    return head + texts + b"".join(sections)


def run(*args, **kw):
    return subprocess.run([VQPACK, *args], capture_output=True, text=True, **kw)


class PackerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.stub = self.file("stub.exe", bytes((i * 13) & 0xFF for i in range(IMAGE)))
        self.members = [("Setup.ini", b"[VQINSTALLER]\nProductName=Demo\n"),
                        ("app.cab", os.urandom(300000)),
                        ("empty.txt", b"")]

    def tearDown(self):
        self.tmp.cleanup()

    def file(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def build(self, *extra):
        paths = [self.file(n, d) for n, d in self.members]
        out = os.path.join(self.dir, "setup.exe")
        r = run("build", "-o", out, "--stub", self.stub, *extra, *paths)
        self.assertEqual(0, r.returncode, r.stderr)
        return out

    def test_build_is_read_by_an_independent_reader(self):
        out = self.build()
        with open(out, "rb") as f:
            blob = f.read()
        self.assertEqual(self.members, independent_read(blob))
        with open(self.stub, "rb") as f:
            self.assertEqual(f.read(), blob[:IMAGE])

    def test_independent_writer_is_listed_verified_extracted(self):
        with open(self.stub, "rb") as f:
            image = f.read()
        for complete in (False, True):
            blob = independent_write(image, self.members, complete, trailing=b"junk" * 10)
            path = self.file("other.exe", blob)
            r = run("verify", path)
            self.assertEqual(0, r.returncode, r.stderr)
            self.assertIn("OK, 3 members", r.stdout)
            r = run("list", path)
            self.assertEqual(0, r.returncode, r.stderr)
            self.assertIn("app.cab", r.stdout)
            self.assertIn("%08X" % checksum(self.members[1][1]), r.stdout)
            dest = os.path.join(self.dir, "x%d" % complete)
            os.mkdir(dest)
            r = run("extract", path, dest)
            self.assertEqual(0, r.returncode, r.stderr)
            for name, data in self.members:
                with open(os.path.join(dest, name), "rb") as f:
                    self.assertEqual(data, f.read(), name)
            self.assertEqual(sorted(n for n, _ in self.members), sorted(os.listdir(dest)))

    def test_bytes_do_not_depend_on_jobs(self):
        # Like a CAB file: random bytes with a slightly uneven spread, a
        # fraction of a percent for level 9 to gain; then plain text.
        cab = os.urandom(1 << 20).translate(bytes(i % 250 for i in range(256)))
        self.members[1] = ("app.cab", cab)
        self.members.append(("readme.txt", b"A" * (3 << 20)))
        builds = {}
        for jobs in ("1", "2", "8", "auto"):
            with open(self.build("--jobs", jobs, "--block-size", "256"), "rb") as f:
                builds[jobs] = f.read()
        self.assertEqual(1, len(set(builds.values())), "bytes differ between --jobs values")
        self.assertEqual(self.members, independent_read(builds["1"]))
        # The block size changes the bytes, with one job as well.
        with open(self.build("--jobs", "1", "--block-size", "512"), "rb") as f:
            self.assertNotEqual(builds["1"], f.read())
        # The CAB-like member is stored (the whole stream is larger than it),
        # the text deflated; --level9-all deflates both, still one stream.
        self.assertGreater(struct.unpack_from("<I", builds["1"], IMAGE + 4)[0], len(cab))
        with open(self.build("--level9-all", "--jobs", "2", "--block-size", "256"), "rb") as f:
            level9 = f.read()
        self.assertLess(struct.unpack_from("<I", level9, IMAGE + 4)[0], len(cab))
        self.assertEqual(self.members, independent_read(level9))

    def test_failures_exit_codes_and_one_line_errors(self):
        out = self.build()
        with open(out, "rb") as f:
            blob = bytearray(f.read())
        cases = [
            (blob[:IMAGE + 40], "Invalid file size in installer. The file may be corrupted."),
            (blob[:100] + b"\x01" + blob[101:], "Invalid CRC in installer. The file may be corrupted."),
            (blob[:IMAGE] + b"XQI\0" + blob[IMAGE + 4:], "Invalid signature in installer. The file may be corrupted."),
            (blob[:IMAGE + 28] + bytes([blob[IMAGE + 28] ^ 1]) + blob[IMAGE + 29:],
             "Invalid CRC in data block. The file may be corrupted."),
        ]
        for data, text in cases:
            path = self.file("bad.exe", bytes(data))
            r = run("verify", path)
            self.assertEqual(1, r.returncode, text)
            self.assertEqual("vqpack: %s: %s\n" % (path, text), r.stderr)
        r = run("verify", os.path.join(self.dir, "missing.exe"))
        self.assertEqual(3, r.returncode)
        self.assertIn("Installer failed to open itself.", r.stderr)
        self.assertEqual(1, r.stderr.count("\n"))

    def test_refusals_say_what_to_change(self):
        bad = self.file("short.exe", b"MZ" * 100)
        ini = self.file("x.ini", b"")
        out = os.path.join(self.dir, "o.exe")
        r = run("build", "-o", out, "--stub", bad, ini)
        self.assertEqual(2, r.returncode)
        self.assertIn("exactly 32768", r.stderr)
        r = run("build", "-o", out, "--stub", self.stub, "sub\\name.cab=" + ini)
        self.assertEqual(2, r.returncode)
        self.assertIn("rename it", r.stderr)
        r = run("build", "-o", out, "--stub", self.stub, "A.cab=" + ini, "a.CAB=" + ini)
        self.assertEqual(2, r.returncode)
        self.assertFalse(os.path.exists(out))
        r = run("frobnicate")
        self.assertEqual(2, r.returncode)
        r = run("--version")
        self.assertEqual(0, r.returncode)
        self.assertRegex(r.stdout, r"^vqpack \d+\.\d+")
        r = run("--help")
        self.assertEqual(0, r.returncode)
        for cmd in ("build", "list", "verify", "extract", "lint", "inspect"):
            self.assertIn(cmd, r.stdout)

    def test_no_progress_when_not_a_terminal(self):
        self.members[1] = ("app.cab", os.urandom(20 << 20))
        out = self.build()
        r = run("extract", out, self.dir)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", r.stderr)

    def test_build_from_descriptor(self):
        ini = ("[VQINSTALLER]\nProductName=Demo\nProductVersion=1.0\nLicenseFile=license.rtf\n"
               "InstallDirectory=Demo\n[CEAppManager]\nComponent=App\n[App]\nCabFiles=a.cab,b.cab\n")
        sub = os.path.join(self.dir, "product")
        os.mkdir(sub)
        for name, data in (("product.ini", ini.encode()), ("license.rtf", b"{\\rtf1 x}"),
                           ("a.cab", b"MSCF1"), ("b.cab", b"MSCF2"), ("extra.txt", b"e")):
            with open(os.path.join(sub, name), "wb") as f:
                f.write(data)
        out = os.path.join(self.dir, "from.exe")
        r = run("build", "-o", out, "--stub", self.stub, "--from", os.path.join(sub, "product.ini"),
                os.path.join(sub, "extra.txt"))
        self.assertEqual(0, r.returncode, r.stderr)
        # The missing bitmaps are reported as warnings, the build goes on.
        self.assertIn("BodyBitmap is missing", r.stderr)
        with open(out, "rb") as f:
            names = [n for n, _ in independent_read(f.read())]
        self.assertEqual(["Setup.ini", "license.rtf", "a.cab", "b.cab", "extra.txt"], names)
        r = run("build", "-o", out, "--stub", self.stub, "--strict", "--from", os.path.join(sub, "product.ini"))
        self.assertEqual(1, r.returncode)
        r = run("lint", os.path.join(sub, "product.ini"))
        self.assertEqual(1, r.returncode)
        self.assertIn("product.ini: warning: [VQINSTALLER] HeadBitmap is missing", r.stdout)

    def test_inputs_kept_and_names_that_travel(self):
        # Outputs that are inputs under another name are refused before
        # anything is written; --from takes a folder; names outside
        # printable ASCII (café.cab in Latin-1 and in UTF-8) are warned about.
        d = self.dir
        cab = os.urandom(5000)
        self.file("app.cab", cab)
        self.file("Setup.ini", b"[VQINSTALLER]\n")
        self.file("x.exe.partial", b"keep")
        os.link(os.path.join(d, "app.cab"), os.path.join(d, "hard.cab"))
        os.symlink("app.cab", os.path.join(d, "sym.cab"))
        for sub in ("beside", "linked", "p"):
            os.mkdir(os.path.join(d, sub))
        stub = ["--stub", "stub.exe"]
        self.assertEqual(0, run("build", "-o", "inst.exe", *stub, "Setup.ini", "inst.exe=app.cab",
                                cwd=d).returncode)
        os.link(os.path.join(d, "inst.exe"), os.path.join(d, "beside", "other.exe"))
        os.symlink("../inst.exe", os.path.join(d, "linked", "inst.exe"))
        # A product that is clean but for its names.
        bmp = b"BM" + struct.pack("<IHHIIiiHHIIiiII", 58, 0, 0, 54, 40, 1, 1, 1, 24, 0, 4, 0, 0,
                                  0, 0) + b"\0" * 4
        latin, utf8 = b"caf\xe9.cab", "café.cab".encode()
        product = {"Setup.ini": b"[VQINSTALLER]\nProductName=Demo\nProductVersion=1\n"
                                b"LicenseFile=l.txt\nBodyBitmap=b.bmp\nHeadBitmap=b.bmp\n"
                                b"InstallDirectory=Demo\n[CEAppManager]\nComponent=C\n[C]\n"
                                b"CabFiles=" + latin + b"," + utf8 + b"\n",
                   "l.txt": b"terms", "b.bmp": bmp, latin: b"MSCF1", utf8: b"MSCF2"}
        for name, data in product.items():
            with open(os.path.join(os.fsencode(d), b"p", os.fsencode(name)), "wb") as f:
                f.write(data)
        refused = "vqpack: output %s is the same file as input %s: not writing over an input"
        over = "vqpack: member inst.exe would be written over the installer: %s/inst.exe is the " \
               "same file as inst.exe"
        warn_latin = ("p/Setup.ini:11: warning: 'caf\\xE9.cab' has bytes outside printable "
                      "ASCII (0xE9): the name depends on the Windows code page")
        warn_utf8 = ("p/Setup.ini:11: warning: 'caf\\xC3\\xA9.cab' has bytes outside printable "
                     "ASCII (0xC3 0xA9): the name depends on the Windows code page")
        cases = [
            # what, arguments, exit status, texts expected in the output
            ("same path", ["build", "-o", "app.cab", *stub, "Setup.ini", "app.cab"], 2,
             [refused % ("app.cab", "app.cab")]),
            ("another spelling", ["build", "-o", "./app.cab", *stub, os.path.join(d, "app.cab")],
             2, [refused % ("./app.cab", os.path.join(d, "app.cab"))]),
            ("hard link", ["build", "-o", "hard.cab", *stub, "app.cab"], 2,
             [refused % ("hard.cab", "app.cab")]),
            ("symbolic link", ["build", "-o", "sym.cab", *stub, "app.cab"], 2,
             [refused % ("sym.cab", "app.cab")]),
            ("the stub", ["build", "-o", "stub.exe", *stub, "app.cab"], 2,
             [refused % ("stub.exe", "stub.exe")]),
            ("the temporary file", ["build", "-o", "x.exe", *stub, "x.exe.partial"], 2,
             ["output x.exe: its temporary file x.exe.partial is the same file as input"]),
            ("extract over itself", ["extract", "inst.exe", "."], 2, [over % "."]),
            ("extract over a link to itself", ["extract", "inst.exe", "linked"], 2,
             [over % "linked"]),
            ("extract beside a link to itself", ["extract", "inst.exe", "beside"], 0,
             ["2 members written"]),
            ("--from a folder", ["build", "-o", "from.exe", *stub, "--from", "p"], 0,
             [warn_latin, warn_utf8]),
            ("lint", ["lint", "p/Setup.ini"], 1, [warn_latin, warn_utf8]),
            ("lint --strict", ["lint", "--strict", "p/Setup.ini"], 2, [warn_latin]),
            ("build --strict", ["build", "-o", "strict.exe", *stub, "--strict", "--from", "p/"], 1,
             ["vqpack: " + warn_utf8]),
        ]
        for what, args, status, texts in cases:
            with self.subTest(what):
                r = run(*args, cwd=d)
                self.assertEqual(status, r.returncode, r.stdout + r.stderr)
                for text in texts:
                    self.assertIn(text, r.stdout + r.stderr)
        # The inputs are as they were and nothing refused was written.
        for name, data in (("app.cab", cab), ("x.exe.partial", b"keep"),
                           ("stub.exe", bytes((i * 13) & 0xFF for i in range(IMAGE)))):
            with open(os.path.join(d, name), "rb") as f:
                self.assertEqual(data, f.read(), name)
        with open(os.path.join(d, "inst.exe"), "rb") as f:
            self.assertEqual([("Setup.ini", b"[VQINSTALLER]\n"), ("inst.exe", cab)],
                             independent_read(f.read()))
        self.assertFalse(os.path.exists(os.path.join(d, "x.exe")))
        self.assertFalse(os.path.exists(os.path.join(d, "strict.exe")))
        # The names are packed byte for byte as Setup.ini has them.
        with open(os.path.join(d, "from.exe"), "rb") as f:
            packed = {n.encode("latin-1"): data for n, data in independent_read(f.read())}
        self.assertEqual({k if isinstance(k, bytes) else k.encode(): v
                          for k, v in product.items()}, packed)

    def test_small_things_a_new_user_meets(self):
        out = self.build()
        # extract makes its folder; a file in the way is refused.
        dest = os.path.join(self.dir, "new")
        r = run("extract", out, dest)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("app.cab", os.listdir(dest))
        r = run("extract", out, self.stub)
        self.assertEqual(2, r.returncode)
        self.assertIn("not a folder", r.stderr)
        # A descriptor that is not there is a system error, like any file.
        r = run("lint", os.path.join(self.dir, "nope.ini"))
        self.assertEqual(3, r.returncode)
        product = os.path.join(self.dir, "product")
        subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                                     "make-product.sh"), product], check=True)
        r = run("lint", os.path.join(product, "Setup.ini"))
        self.assertEqual(0, r.returncode, r.stdout)
        self.assertIn("no problems found", r.stdout)
        # The same file named twice, and an output folder that is missing.
        ini = self.file("x.ini", b"")
        r = run("build", "-o", os.path.join(self.dir, "o.exe"), "--stub", self.stub, ini, ini)
        self.assertIn("given twice", r.stderr)
        missing = os.path.join(self.dir, "nodir", "x.exe")
        r = run("build", "-o", missing, "--stub", self.stub, ini)
        self.assertEqual(3, r.returncode)
        self.assertIn(missing + ":", r.stderr)
        self.assertNotIn(".partial", r.stderr)

    def ce_cabinet(self, name, script, members, compress=False):
        """A cabinet made by gcab of the script as .000 and `members`."""
        stage = os.path.join(self.dir, "stage-" + name)
        os.mkdir(stage)
        names = ["VQNOTES.000"] + [n for n, _ in members]
        for n, data in [("VQNOTES.000", script)] + members:
            with open(os.path.join(stage, n), "wb") as f:
                f.write(data)
        subprocess.run(["gcab", "-cz" if compress else "-c", os.path.join(self.dir, name), *names],
                       cwd=stage, check=True)
        return os.path.join(self.dir, name)

    @unittest.skipUnless(shutil.which("gcab"), "gcab not installed")
    def test_ce_cabinets_inspected_and_linted(self):
        arm = ce_script("VQNotes", "VQ Soft", 2577, vmin=(3, 0), unsupported=("HPC",),
                        strings=[(1, "%CE1%"), (2, "VQNotes"), (3, "Software"), (4, "VQ")],
                        dirs=[(1, [1, 2])], files=[(1, 1, 0x40000000, "VQNotes.exe"), (2, 1, 0, "big.dat")],
                        hives=[(1, 3, [3, 4])],
                        values=[(1, 1, 1, 0, "Path", b"%InstallDir%\0"),
                                (2, 1, 0, 0x00010001 | 2, "Runs", struct.pack("<I", 7))],
                        links=[(1, 11, 1, 1, [2])])
        exe, big = b"MZ" * 700, os.urandom(70000)
        self.ce_cabinet("ARM.CAB", arm, [("VQNOTE~1.002", big), ("VQNOTE~1.001", exe)])
        self.ce_cabinet("MIPS.CAB", ce_script("VQNotes", "VQ Soft", 4000), [], compress=True)
        self.ce_cabinet("COPY.CAB", arm, [("VQNOTE~1.002", big), ("VQNOTE~1.001", exe)], compress=True)
        self.ce_cabinet("ANY.CAB", ce_script("Other", "VQ Soft", 0, vmax=(2, 0)), [])
        self.ce_cabinet("PLAIN.CAB", b"not a script", [])
        self.file("notes.txt", b"not a cabinet")

        # inspect: the text, the JSON, and what is not a CE cabinet.
        r = run("inspect", os.path.join(self.dir, "ARM.CAB"))
        self.assertEqual(0, r.returncode, r.stderr)
        for line in ("processor:    2577 (StrongARM)", "CE versions:  3.0 to any", "unsupported:  HPC",
                     "%CE1%\\VQNotes\\VQNotes.exe  1400 bytes (VQNOTE~1.001)  CE_COPYFLG_NODATECHECK",
                     "on a Pocket PC: \\Program Files\\VQNotes\\big.dat",
                     'HKLM\\Software\\VQ  "Runs"  REG_DWORD  0x00000007 (7)  NOCLOBBER',
                     "%CE11%\\VQNotes -> file %CE1%\\VQNotes\\VQNotes.exe"):
            self.assertIn(line, r.stdout)
        r = run("inspect", "--json", os.path.join(self.dir, "COPY.CAB"))
        self.assertEqual(0, r.returncode, r.stderr)
        cab = json.loads(r.stdout)["cabinets"][0]
        self.assertEqual(("VQNotes", "VQ Soft", 2577, [3, 0]),
                         (cab["app"], cab["provider"], cab["processor"], cab["version_min"]))
        self.assertEqual([("%CE1%\\VQNotes\\VQNotes.exe", 1400), ("%CE1%\\VQNotes\\big.dat", 70000)],
                         [(f["target"], f["size"]) for f in cab["files"]])
        self.assertEqual(["Path", True, '"%InstallDir%"'],
                         [cab["registry"][0][k] for k in ("name", "substitute", "data")])
        for name, status in (("PLAIN.CAB", 1), ("notes.txt", 1), ("missing.cab", 3)):
            r = run("inspect", os.path.join(self.dir, name))
            self.assertEqual(status, r.returncode, name)
        self.assertIn("not a CE cabinet", run("inspect", os.path.join(self.dir, "PLAIN.CAB")).stderr)

        # An installer: each CE cabinet among its members.
        out = os.path.join(self.dir, "setup.exe")
        r = run("build", "-o", out, "--stub", self.stub, *(os.path.join(self.dir, n)
                                                            for n in ("ARM.CAB", "PLAIN.CAB", "MIPS.CAB")))
        self.assertEqual(0, r.returncode, r.stderr)
        r = run("inspect", "--json", out)
        self.assertEqual(0, r.returncode, r.stderr)
        report = json.loads(r.stdout)
        self.assertEqual(["ARM.CAB", "MIPS.CAB"], [c["member"] for c in report["cabinets"]])
        self.assertEqual(["PLAIN.CAB"], [c["member"] for c in report["not_ce"]])
        self.assertEqual([], report["components"], "no Setup.ini, no component")
        # With a Setup.ini: each component with its cabinets, in the order the
        # setup program hands them over; a listed INI that is no member.
        self.file("Setup.ini", b"[VQINSTALLER]\nAlsoInstall=gone.ini,rt.ini\n"
                               b"[CEAppManager]\nComponent=App\n[App]\nCabFiles=ARM.CAB,MIPS.CAB\n")
        self.file("rt.ini", b"[CEAppManager]\nComponent=Rt\n[Rt]\nCabFiles=PLAIN.CAB,SH3.CAB\n")
        r = run("build", "-o", out, "--stub", self.stub, *(os.path.join(self.dir, n) for n in
                ("Setup.ini", "rt.ini", "ARM.CAB", "PLAIN.CAB", "MIPS.CAB")))
        self.assertEqual(0, r.returncode, r.stderr)
        r = run("inspect", "--json", out)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual([("Setup.ini", True, "App", [("ARM.CAB", "CE cabinet"), ("MIPS.CAB", "CE cabinet")]),
                          ("gone.ini", False, None, []),
                          ("rt.ini", True, "Rt", [("PLAIN.CAB", "not a CE cabinet"),
                                                  ("SH3.CAB", "not a member")])],
                         [(c["ini"], c["member"], c["component"],
                           [(b["member"], b["state"]) for b in c["cabinets"]])
                          for c in json.loads(r.stdout)["components"]])
        r = run("inspect", out)
        self.assertIn(out + ": component 1: Setup.ini, [App], 2 CAB files\n"
                      "  ARM.CAB: VQNotes, processor 2577 (StrongARM), CE 3.0 to any\n", r.stdout)
        self.assertIn(out + ": component 2: gone.ini: not a member", r.stdout)

        # lint: one cabinet per processor is clean; then each CE warning,
        # on the CabFiles line.
        def lint(cabfiles):
            self.file("Setup.ini", ("[VQINSTALLER]\nProductName=N\nProductVersion=1\nInstallDirectory=N\n"
                                    "[CEAppManager]\nComponent=C\n[C]\nCabFiles=%s\n" % cabfiles).encode())
            r = run("lint", os.path.join(self.dir, "Setup.ini"))
            return [line.split(": warning: ")[1] for line in r.stdout.splitlines()
                    if ":8: warning:" in line]
        self.assertEqual([], lint("ARM.CAB,MIPS.CAB"))
        said = lint("ARM.CAB,MIPS.CAB,COPY.CAB,ANY.CAB,PLAIN.CAB,notes.txt")
        expected = [
            "'PLAIN.CAB' is not a CE cabinet (its install script",
            "'notes.txt' is not a CE cabinet (not a readable cabinet",
            "'ARM.CAB' and 'COPY.CAB' both target processor 2577 (StrongARM)",
            "'MIPS.CAB' and 'ANY.CAB' overlap: 'ANY.CAB' targets any processor (0), 'MIPS.CAB' 4000",
            "'ARM.CAB' and 'ANY.CAB' install different applications ('VQNotes' and 'Other')",
        ]
        for e in expected:
            self.assertEqual(1, sum(e in w for w in said), "%s\n%s" % (e, "\n".join(said)))
        # ANY.CAB reaches up to CE 2.0, ARM.CAB starts at 3.0: no overlap.
        self.assertFalse(any("'ARM.CAB' and 'ANY.CAB' overlap" in w for w in said), said)
        self.assertEqual(len(expected), len(said), "\n".join(said))

        # More components (AlsoInstall): each INI checked as Setup.ini's
        # component is, under its own name and lines; then all together.
        with open(os.path.join(self.dir, "PLAIN.CAB"), "rb") as f:
            self.file("arm.cab", f.read())  # one member with ARM.CAB on Windows
        self.file("rt.ini", b"[CEAppManager]\nComponent=Rt\n[Rt]\n"
                            b"CabFiles=MIPS.CAB,ANY.CAB,arm.cab,notes.txt\n")
        self.file("same.ini", b"[CEAppManager]\nComponent=c\n[c]\nCabFiles=MIPS.CAB\n")
        self.file("Setup.ini", b"[VQINSTALLER]\nProductName=N\nProductVersion=1\nInstallDirectory=N\n"
                               b"LicenseFile=notes.txt\nAlsoInstall=rt.ini,same.ini,RT.INI,gone.ini\n"
                               b"[CEAppManager]\nComponent=C\n[C]\nCabFiles=ARM.CAB\n")
        r = run("lint", os.path.join(self.dir, "Setup.ini"))
        self.assertEqual(1, r.returncode, r.stdout)
        at = lambda name, line: "%s:%d: warning: " % (os.path.join(self.dir, name), line)
        table = [
            # where, what
            (at("Setup.ini", 6), "AlsoInstall lists 'RT.INI' twice: its component is handed over once"),
            (at("Setup.ini", 6), "AlsoInstall item 'gone.ini' names no file beside the descriptor: "
                                 "the setup program skips it"),
            (at("rt.ini", 4), "CabFiles items 'MIPS.CAB' and 'ANY.CAB' overlap"),
            (at("rt.ini", 4), "'arm.cab' and 'ARM.CAB' differ only in case"),
            (at("rt.ini", 4), "'arm.cab' is needed by component 'C' of Setup.ini and by component "
                              "'Rt' of rt.ini with different content"),
            (at("rt.ini", 4), "'notes.txt' is also the LicenseFile, which the setup program "
                              "deletes once it is shown: component 'Rt' of rt.ini never gets it"),
            (at("same.ini", 2), "Component 'c' is also the component of Setup.ini"),
        ]
        for where, text in table:
            self.assertEqual(1, r.stdout.count(where + text), "%s%s\n%s" % (where, text, r.stdout))
        # MIPS.CAB is in two components with the same content: nothing to say.
        self.assertNotIn("'MIPS.CAB' is needed", r.stdout)
        # A listed INI's list too long for the setup program is refused.
        self.file("rt.ini", ("[CEAppManager]\nComponent=Rt\n[Rt]\nCabFiles=MIPS.CAB,%s\n"
                             % ("x" * 600)).encode())
        r = run("build", "-o", os.path.join(self.dir, "no.exe"), "--stub", self.stub,
                "--from", self.dir)
        self.assertEqual(2, r.returncode, r.stderr)
        self.assertIn("rt.ini:4: error: CabFiles is 609 characters long: the setup program takes "
                      "at most 510", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "no.exe")))

    def sample_project(self):
        """The sample product's sources in a folder of the test's, where
        its INF is to be written: (the folder, the INF's path, its text)."""
        examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
        proj = os.path.join(self.dir, "proj")
        shutil.copytree(os.path.join(examples, "app"), os.path.join(proj, "app"))
        with open(os.path.join(examples, "VQNotes.inf")) as f:
            return proj, os.path.join(proj, "VQNotes.inf"), f.read()

    def test_cab_refuses_bad_input_and_leaves_nothing(self):
        """vqpack cab on the sample INF with one fault each: the message
        names the INF's line (or the INF), the exit status is 2 (3 for a
        system error), and the output folder is as it was."""
        proj, inf, sample = self.sample_project()
        out = os.path.join(self.dir, "out")
        os.mkdir(out)
        old = self.file(os.path.join("out", "VQNotes.ARM.CAB"), b"an older cabinet")
        env = dict(os.environ, SOURCE_DATE_EPOCH="1704067200")

        def cab(text, *args):
            with open(inf, "w") as f:
                f.write(text)
            return subprocess.run([VQPACK, "cab", inf, "-o", out, *args], capture_output=True,
                                  text=True, env=env)

        many = "".join("n%03d.txt,notes.txt\n" % i for i in range(996))
        cases = [
            # (replacements in the sample, text of the line named or None, message, --cpu)
            ([("\"Read Me.txt\",readme.txt", "\"Read Me.txt\",gone.txt"),
              ("notes.txt   = 1", "notes.txt   = 1\ngone.txt = 1")],
             "\"Read Me.txt\",gone.txt", "source file 'gone.txt' is not there: ", ()),
            ([("CopyFiles   = Files.Program, Files.Docs", "CopyFiles = Files.Program, Files.Gone")],
             "CopyFiles = ", "warning: CopyFiles names [Files.Gone], which does not exist",
             ("--strict",)),
            ([("HKCU,%RegKey%,Version", "HKCU,%RegKye%,Version")], "%RegKye%",
             "%RegKye% is not defined in [Strings] or [CEStrings]", ()),
            ([("ProcessorType        = 4000", "ProcessorType = R4000")], "ProcessorType = R4000",
             "[CEDevice] ProcessorType 'R4000' is not a number", ()),
            ([("[Files.Docs]\n", "[Files.Docs]\n\"read me.TXT\",notes.txt\n"),
              ("Files.Docs     = 0,%CE5%", "Files.Docs = 0,%CE1%\\%AppName%")],
             "\"read me.TXT\",notes.txt",
             "'read me.TXT' goes to %CE1%\\VQ Notes from ", ()),
            ([("; The sample", "\ufeff; The sample"), ("AppName    = \"VQ Notes\"", "AppName = \"VQ Notes \u0416\"")],
             "AppName = ", "'\u0416' (U+0416) is not in code page 1252 (--codepage names", ()),
            ([("[Files.Docs]\n", "[Files.Docs]\n" + many)], "\"VQ Notes.txt\",notes.txt",
             "more than 998 files", ()),
            ([("2 = ,\"MIPS build\"", "3 = ,\"MIPS build\"")], "VQNotes.exe = 2",
             "disk '2' of 'VQNotes.exe' is not in [SourceDisksNames] or "
             "[SourceDisksNames.MIPS]", ()),
            ([("\"VQ Notes\",0,VQNotes.exe", "\"VQ Notes\",0,Other.exe")], "Other.exe",
             "points to 'Other.exe', which no CopyFiles section installs", ()),
            ([("0x00010001,0x0102", "0x00020000,0x0102")], "0x00020000",
             "registry flags 0x00020000 are not a type the device knows", ()),
            ([("Provider    = \"VQ Software\"", "Provider = \"VQ Software")],
             "Provider = ", "a quoted field is not closed on its line", ()),
            ([], None, "no section is tagged .SH3", ("--cpu", "SH3")),
        ]
        for edits, at, message, cpus in cases:
            text = sample
            for a, b in edits:
                self.assertIn(a, text)
                text = text.replace(a, b)
            r = cab(text, "--cpu", "ARM", "--cpu", "MIPS", *cpus)
            self.assertEqual(2, r.returncode, message + ": " + r.stderr)
            where = inf + ":"
            if at is not None:
                where += "%d:" % (text[:text.index(at)].count("\n") + 1)
            said = [line for line in r.stderr.splitlines() if message in line]
            self.assertEqual(1, len(said), r.stderr)
            self.assertTrue(said[0].startswith(("vqpack: " + where, where)), r.stderr)
            self.assertEqual(["VQNotes.ARM.CAB"], os.listdir(out), message)
            with open(old, "rb") as f:
                self.assertEqual(b"an older cabinet", f.read())
        # A code page the system does not know.
        r = cab(sample, "--codepage", "4242")
        self.assertEqual((2, "vqpack: --codepage: code page 4242 is not known to this system\n"),
                         (r.returncode, r.stderr))
        # An INF that is not there is a system error.
        r = subprocess.run([VQPACK, "cab", os.path.join(proj, "none.inf")], capture_output=True,
                           text=True)
        self.assertEqual(3, r.returncode, r.stderr)
        # The sample builds; the folder is made; the same bytes twice; one
        # line per cabinet.
        r = cab(sample, "--cpu", "ARM", "--cpu", "MIPS")
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertRegex(r.stdout, r"VQNotes\.ARM\.CAB: 3 files, \d+ bytes, processor 2577 "
                                   r"\(StrongARM\)\n.*VQNotes\.MIPS\.CAB: 3 files")
        self.assertEqual(["VQNotes.ARM.CAB", "VQNotes.MIPS.CAB"], sorted(os.listdir(out)))
        with open(old, "rb") as f:
            first = f.read()
        out = os.path.join(self.dir, "new", "sub")
        r = cab(sample, "--cpu", "ARM")
        self.assertEqual(0, r.returncode, r.stderr)
        with open(os.path.join(out, "VQNotes.ARM.CAB"), "rb") as f:
            self.assertEqual(first, f.read())

    def test_cab_takes_the_infs_real_projects_keep(self):
        """The INF as Visual Studio and other editors save it gives the same
        cabinet; a source folder named as a Windows path is found through
        --source-dir; tags with blanks; the script forms; what the CAB
        wizard passes over is a warning with its line, an error with --strict."""
        proj, inf, sample = self.sample_project()
        env = dict(os.environ, SOURCE_DATE_EPOCH="1704067200")

        def cab(data, *args, out="out"):
            with open(inf, "wb") as f:
                f.write(data if isinstance(data, bytes) else data.encode())
            out = os.path.join(self.dir, out)
            shutil.rmtree(out, ignore_errors=True)
            r = subprocess.run([VQPACK, "cab", inf, "-o", out, *args], capture_output=True,
                               text=True, env=env)
            got = {}
            if os.path.isdir(out):
                for n in os.listdir(out):
                    with open(os.path.join(out, n), "rb") as f:
                        got[n] = f.read()
            return r, got

        r, ansi = cab(sample, "--cpu", "ARM")
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        crlf = sample.replace("\n", "\r\n")
        for name, data in (("UTF-16 LE", b"\xff\xfe" + crlf.encode("utf-16-le")),
                           ("UTF-16 BE", b"\xfe\xff" + crlf.encode("utf-16-be")),
                           ("UTF-8 with a mark", b"\xef\xbb\xbf" + sample.encode()),
                           ("a final NUL", sample.encode() + b"\0")):
            r, got = cab(data, "--cpu", "ARM")
            self.assertEqual(0, r.returncode, name + ": " + r.stderr)
            self.assertEqual(ansi, got, name)

        # Members by script form: the .000 first, _setup.xml last, or one of them.
        def members(blob):
            path = os.path.join(self.dir, "m.cab")
            with open(path, "wb") as f:
                f.write(blob)
            listing = subprocess.run(["cabextract", "-l", path], capture_output=True, text=True).stdout
            return re.findall(r"^\s*\d+ \| .* \| (\S+)$", listing, re.M)
        self.assertEqual(["0VQNotes.000", "00readme.002", "0VQNotes.001", "000notes.003"][:1],
                         members(ansi["VQNotes.ARM.CAB"])[:1])
        self.assertEqual("_setup.xml", members(ansi["VQNotes.ARM.CAB"])[-1])
        r, got = cab(sample, "--cpu", "ARM", "--script", "binary")
        self.assertNotIn("_setup.xml", members(got["VQNotes.ARM.CAB"]))
        r, got = cab(sample, "--cpu", "ARM", "--script", "xml")
        self.assertEqual(["000notes.003", "00readme.002", "0VQNotes.001", "_setup.xml"],
                         members(got["VQNotes.ARM.CAB"]))

        # Source folders as Visual Studio writes them, and a tag with blanks.
        windows = sample.replace("1 = ,\"Common files\",,app",
                                 "1 = ,\"Common files\",,\"C:\\Users\\dev\\VQ Notes\\bin\\Release\\\"")
        windows = windows.replace("[CEDevice.ARM]", "[CEDevice.Mips 4000 (1K) v2.10]").replace(
            "[SourceDisksNames.ARM]", "[SourceDisksNames.Mips 4000 (1K) v2.10]")
        tag = ("--cpu", "Mips 4000 (1K) v2.10")
        r, got = cab(windows, *tag)
        self.assertEqual(2, r.returncode)
        self.assertIn("source file 'readme.txt' is not there; disk 1's folder "
                      "'C:\\Users\\dev\\VQ Notes\\bin\\Release\\' is a Windows path: "
                      "give --source-dir", r.stderr)
        r, got = cab(windows, *tag, "--source-dir", os.path.join(proj, "app"))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(["VQNotes.Mips_4000_(1K)_v2.10.CAB"], list(got))

        # Tolerated, with a warning on the line; --strict refuses and writes nothing.
        lenient = [
            ("Files.Docs     = 0,%CE5%", "Files.Docs     = %CE5%", "Files.Docs     = %CE5%",
             "has no folder id: taken as 0,%CE5%"),
            ("[Files.Docs]\n", "[Files.Docs]\n\"VQ Notes.txt\",notes.txt,,0x00000010\n",
             "\"VQ Notes.txt\",notes.txt,,0x00000010    ;", "is listed again for %CE5% (line "),
            ("VQNotes.exe,,,0x40000000", "VQNotes.exe,,,0x40000008", "VQNotes.exe,,,", "hold bits the "
             "device does not know"),
            ("notes.txt   = 1", "notes.txt   = 1\nspare.txt = 1", "spare.txt", "[SourceDisksFiles] "
             "spare.txt is a source file that nothing copies"),
            ("CEShortcuts = Links", "CEShortcuts = Links\nCESetupDLL = \"\"", "CESetupDLL",
             "CESetupDLL is empty"),
            ("CopyFiles   = Files.Program, Files.Docs", "CopyFiles   = Files.Program, files.docs",
             "CopyFiles   = ", "names [files.docs], whose header at line"),
            ("[Files.Docs]\n", "[Files.Docs]\n\"VQNotes.exe\",,,0\n", "\"VQ Notes\",0,VQNotes.exe",
             "which is installed 2 times: it points to the first, %CE1%\\VQ Notes\\VQNotes.exe"),
        ]
        for old, new, at, message in lenient:
            self.assertIn(old, sample)
            text = sample.replace(old, new)
            line = text[:text.index(at)].count("\n") + 1
            r, got = cab(text, "--cpu", "ARM", "--cpu", "MIPS")
            self.assertEqual(0, r.returncode, message + ": " + r.stderr)
            self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
            self.assertTrue(r.stderr.startswith("%s:%d: warning: " % (inf, line)), message + ": " + r.stderr)
            self.assertIn(message, r.stderr)
            self.assertEqual(2, len(got))
            r, got = cab(text, "--cpu", "ARM", "--cpu", "MIPS", "--strict")
            self.assertEqual(2, r.returncode, message)
            self.assertIn("1 warning with --strict: no cabinet written", r.stderr)
            self.assertEqual({}, got)
        # Two different sources for one destination stay an error.
        text = sample.replace("[Files.Docs]\n", "[Files.Docs]\n\"VQ Notes.txt\",readme.txt\n")
        r, got = cab(text, "--cpu", "ARM")
        self.assertEqual(2, r.returncode)
        self.assertIn("'VQ Notes.txt' goes to %CE5% from ", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
