"""Reproducible builds of the setup program and of installers.

Copies the setup program's project (src/, res/, cmake/) and the zlib
source into two scratch trees at different depths, configures and builds
each (only that cross project), and requires byte-identical images, no
time stamp in the PE headers or resources, and no folder name of either
tree in the programs. Then packs the same inputs, laid out in two folders
with different file times and names, behind each image and requires
byte-identical installers. The build's own image, made in yet another
folder, must match too when it is up to date.

Environment (tests/release/CMakeLists.txt sets it): CMAKE, VQPACK,
VQ_SOURCE_DIR, VQ_BUILD_DIR, VQ_ZLIB_SRC, VQ_STUB_IMAGE.
"""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

ENV = os.environ
SOURCE = os.path.realpath(ENV["VQ_SOURCE_DIR"])
BUILD = os.path.realpath(ENV["VQ_BUILD_DIR"])
PROJECT_DIRS = ["src", "res", "cmake"]  # what src/CMakeLists.txt reads
IMAGE_SIZE = 32768


def run(cmd, cwd=None, env=None):
    p = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=900)
    if p.returncode != 0:
        raise AssertionError("%s: exit %d\n%s" % (" ".join(cmd), p.returncode,
                                                 p.stdout.decode(errors="replace")[-4000:]))
    return p.stdout.decode(errors="replace")


class PE:
    """The parts of a PE file that can carry a time stamp."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = pe + 4
        (self.machine, nsections, self.timestamp, _, _, opt_size, _) = \
            struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        magic = struct.unpack_from("<H", data, opt)[0]
        dirs_at = opt + (96 if magic == 0x10B else 112)
        ndirs = struct.unpack_from("<I", data, dirs_at - 4)[0]
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i)
                     for i in range(min(ndirs, 16))]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x in no section" % rva)

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def stamps(self):
        """(where, value) for every time stamp field the file has."""
        out = [("COFF header", self.timestamp)]
        rva, size = self.directory(0)  # exports
        if size:
            out.append(("export directory", struct.unpack_from("<I", self.data,
                                                               self.offset(rva) + 4)[0]))
        rva, size = self.directory(6)  # debug
        if size:
            at = self.offset(rva)
            for i in range(size // 28):
                out.append(("debug entry %d" % i,
                            struct.unpack_from("<I", self.data, at + 28 * i + 4)[0]))
        rva, size = self.directory(2)  # resources
        if size:
            base = self.offset(rva)
            todo, seen = [0], set()
            while todo:
                at = todo.pop()
                if at in seen:
                    continue
                seen.add(at)
                stamp, = struct.unpack_from("<I", self.data, base + at + 4)
                out.append(("resource directory at +%#x" % at, stamp))
                named, ids = struct.unpack_from("<HH", self.data, base + at + 12)
                for i in range(named + ids):
                    _, child = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                    if child & 0x80000000:
                        todo.append(child & 0x7FFFFFFF)
        return out


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def where(pe, offset):
    for name, _, size, raw in pe.sections:
        if raw <= offset < raw + size:
            return "%s+%#x" % (name, offset - raw)
    return "headers" if offset < 0x400 else "padding"


class ReproducibleStub(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = os.path.realpath(tempfile.mkdtemp(prefix="vq-repro-"))
        cls.trees = [os.path.join(cls.tmp, "a", "checkout"),
                     os.path.join(cls.tmp, "second-place", "deeper", "other-checkout")]
        cls.images, cls.linked = [], []
        for n, tree in enumerate(cls.trees):
            for d in PROJECT_DIRS:
                shutil.copytree(os.path.join(SOURCE, d), os.path.join(tree, d),
                                ignore=shutil.ignore_patterns("__pycache__"))
            zlib = os.path.join(tree, "third-party-zlib" if n else "zlib")
            shutil.copytree(ENV["VQ_ZLIB_SRC"], zlib)
            build = os.path.join(tree, "out" if n else "build-stub")
            env = dict(ENV, TZ="UTC" if n else "Pacific/Kiritimati", LC_ALL="C")
            env.pop("SOURCE_DATE_EPOCH", None)  # reproducible without it
            run([ENV["CMAKE"], "-S", os.path.join(tree, "src"), "-B", build,
                 "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake" % tree,
                 "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DVQ_ZLIB_SRC=" + zlib], env=env)
            run([ENV["CMAKE"], "--build", build, "-j2"], env=env)
            cls.images.append(os.path.join(build, "vqstub.exe"))
            cls.linked.append(os.path.join(build, "vqstub-linked.exe"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def assertSameBytes(self, a_path, b_path):
        a, b = self.read(a_path), self.read(b_path)
        if a != b:
            at = first_difference(a, b)
            try:
                place = where(PE(a), at)
            except ValueError:
                place = "?"
            self.fail("%s and %s differ (sizes %d, %d), first at offset %#x (%s)"
                      % (a_path, b_path, len(a), len(b), at, place))

    def test_images_identical(self):
        self.assertEqual(len(self.read(self.images[0])), IMAGE_SIZE)
        self.assertSameBytes(self.images[0], self.images[1])
        self.assertSameBytes(self.linked[0], self.linked[1])

    def test_no_time_stamps(self):
        for path in self.images + self.linked:
            pe = PE(self.read(path))
            self.assertEqual(pe.machine, 0x14C, "i386 program")
            for place, stamp in pe.stamps():
                self.assertEqual(stamp, 0, "%s: %s time stamp %#x" % (path, place, stamp))

    def test_no_build_paths(self):
        needles = set()
        for tree in self.trees:
            needles.add(tree)
            needles.add(os.path.dirname(tree))
        needles |= {self.tmp, "checkout", "build-stub", "third-party-zlib"}
        for path in self.images + self.linked:
            data = self.read(path)
            for n in needles:
                for form in (n.encode(), n.encode("utf-16-le"),
                             n.replace("/", "\\").encode()):
                    self.assertNotIn(form, data, "%s holds %r" % (path, n))

    def test_build_image_matches(self):
        # The build's image came from this tree in its own folder.
        image = ENV.get("VQ_STUB_IMAGE", "")
        if not os.path.exists(image):
            self.skipTest("the build has no setup program image")
        made = os.path.getmtime(image)
        for d in PROJECT_DIRS:
            for root, _, files in os.walk(os.path.join(SOURCE, d)):
                for f in files:
                    if os.path.getmtime(os.path.join(root, f)) > made:
                        self.skipTest("%s is newer than the build's image: build first"
                                      % os.path.join(root, f))
        self.assertSameBytes(image, self.images[0])

    def test_installers_identical(self):
        vqpack = ENV["VQPACK"]
        contents = {"Setup.ini": b"[CEAppManager]\r\nComponent=X\r\n",
                    "X.ARM.CAB": os.urandom(3000) + bytes(20000),
                    "license.rtf": b"{\\rtf1 fine print}"}
        outs = []
        for n, image in enumerate(self.images):
            folder = os.path.join(self.tmp, "inputs-%d" % n, "product" * (n + 1))
            os.makedirs(folder)
            for i, (name, data) in enumerate(contents.items()):
                path = os.path.join(folder, name)
                with open(path, "wb") as f:
                    f.write(data)
                t = 1000000000 + 86400 * (i + 7 * n)
                os.utime(path, (t, t))
                os.chmod(path, 0o644 if n else 0o600)
            out = os.path.join(self.tmp, "inputs-%d" % n, "Setup-%d.exe" % n)
            run([vqpack, "build", "-o", out, "--stub", image] +
                [os.path.join(folder, name) for name in contents])
            outs.append(out)
            data = self.read(out)
            self.assertEqual(data[:IMAGE_SIZE], self.read(image))
            for needle in (folder, os.path.basename(out)):
                self.assertNotIn(needle.encode(), data[IMAGE_SIZE:])
        self.assertSameBytes(outs[0], outs[1])


class ReproduciblePacker(unittest.TestCase):
    def test_no_build_paths_in_packer(self):
        # The packer as built (with debug info in RelWithDebInfo): file
        # names in it are relative to the tree's top.
        with open(ENV["VQPACK"], "rb") as f:
            data = f.read()
        for path in {BUILD, SOURCE}:
            self.assertNotIn(path.encode(), data, "%s holds %s" % (ENV["VQPACK"], path))

    def test_windows_packer(self):
        exe = ENV.get("VQ_WINPACKER", "")
        if not os.path.exists(exe):
            self.skipTest("vqpack.exe not built")
        with open(exe, "rb") as f:
            data = f.read()
        pe = PE(data)
        self.assertEqual(pe.machine, 0x8664, "x86-64 program")
        for place, stamp in pe.stamps():
            self.assertEqual(stamp, 0, "%s: %s time stamp %#x" % (exe, place, stamp))
        for path in {BUILD, SOURCE}:
            for form in (path.encode(), path.replace("/", "\\").encode()):
                self.assertNotIn(form, data, "%s holds %s" % (exe, path))


if __name__ == "__main__":
    unittest.main()
