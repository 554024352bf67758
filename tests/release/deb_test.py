"""The Debian package as a user gets it.

Builds vqpack_<version>_<arch>.deb with cpack, reads its control fields and
file list, unpacks it into a scratch root with `dpkg -x` and runs the
unpacked vqpack there (version, build, list, verify, extract, and the
installed sample product), from a folder outside the build tree. Then
configures a second build folder of the same tree as the build was, makes
the package there as the README says, and requires the same bytes.

Environment (tests/release/CMakeLists.txt sets it): CMAKE, CPACK,
CPACK_CONFIG, VQ_BUILD_DIR, VQ_SOURCE_DIR, VQ_VERSION.
"""

import filecmp
import glob
import gzip
import io
import os
import re
import shutil
import stat
import subprocess
import tarfile
import tempfile
import unittest

ENV = os.environ
VERSION = ENV["VQ_VERSION"]
BUILD = os.path.realpath(ENV["VQ_BUILD_DIR"])
SOURCE = os.path.realpath(ENV["VQ_SOURCE_DIR"])
SUBCOMMANDS = ["build", "list", "verify", "extract", "lint", "inspect", "cab", "try"]
# Run-time libraries the packer links; each must be in Depends.
REQUIRED_DEPENDS = ["libc6", "libstdc++6", "zlib1g"]
# The package's file times outside a git checkout (2024-01-01 UTC).
FIXED_SOURCE_DATE = 1704067200


def run(cmd, cwd=None, check=True, env=None):
    p = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=600)
    if check and p.returncode != 0:
        raise AssertionError("%s: exit %d\n%s%s" % (" ".join(cmd), p.returncode,
                                                   p.stdout.decode(errors="replace"),
                                                   p.stderr.decode(errors="replace")))
    return p


def package_env():
    """The environment for cpack, without SOURCE_DATE_EPOCH: the package's
    own choice of file times is what is checked."""
    env = dict(ENV)
    env.pop("SOURCE_DATE_EPOCH", None)
    return env


def build_cache(name):
    """A value from the build folder's CMakeCache.txt ("" if not set)."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.split(":", 1)[0] == name and "=" in line:
                return line.split("=", 1)[1].rstrip("\n")
    return ""


def parse_depends(field):
    """Depends field -> {package: [(op, version)]} (alternatives flattened)."""
    deps = {}
    for item in field.split(","):
        for alt in item.split("|"):
            m = re.match(r"\s*([a-z0-9][a-z0-9+.-]*)(?::\w+)?\s*(?:\(\s*([<>=]+)\s*([^)\s]+)\s*\))?",
                         alt)
            if m:
                deps.setdefault(m.group(1), [])
                if m.group(2):
                    deps[m.group(1)].append((m.group(2), m.group(3)))
    return deps


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vq-deb-")
        out = os.path.join(cls.tmp, "out")
        os.mkdir(out)
        run([ENV["CPACK"], "-G", "DEB", "-B", out, "--config", ENV["CPACK_CONFIG"]],
            cwd=BUILD, env=package_env())
        cls.arch = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        cls.debs = sorted(glob.glob(os.path.join(out, "*.deb")))
        cls.deb = os.path.join(out, "vqpack_%s_%s.deb" % (VERSION, cls.arch))
        cls.root = os.path.join(cls.tmp, "root")
        if os.path.exists(cls.deb):
            run(["dpkg", "-x", cls.deb, cls.root])
            print("package: %s, %d bytes" % (os.path.basename(cls.deb),
                                             os.path.getsize(cls.deb)))
        cls.vqpack = os.path.join(cls.root, "usr", "bin", "vqpack")
        cls.work = os.path.join(cls.tmp, "elsewhere")
        os.mkdir(cls.work)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.decode().strip()

    def vq(self, *args, check=True):
        # A clean environment: nothing from the build tree on any path.
        env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C"}
        return run([self.vqpack] + list(args), cwd=self.work, check=check, env=env)

    def test_01_file_name(self):
        self.assertEqual([os.path.basename(d) for d in self.debs],
                         ["vqpack_%s_%s.deb" % (VERSION, self.arch)])

    def test_02_control_fields(self):
        self.assertEqual(self.field("Package"), "vqpack")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), self.arch)
        self.assertRegex(self.field("Maintainer"), r"^\S.* <[^@<>\s]+@[^@<>\s]+>$")
        desc = self.field("Description").splitlines()
        self.assertGreaterEqual(len(desc), 2, "a summary line and a long description")
        self.assertIn("VQ Installer", desc[0])
        self.assertEqual(self.field("Section"), "devel")
        self.assertEqual(self.field("Recommends"), "wine, wine32, xvfb, python3, imagemagick")

    def test_03_depends(self):
        deps = parse_depends(self.field("Depends"))
        for pkg in REQUIRED_DEPENDS:
            self.assertIn(pkg, deps, "Depends: %s" % self.field("Depends"))
        # Every dependency is met here, so the unpacked program can run as
        # it would after an install.
        for pkg, constraints in deps.items():
            p = run(["dpkg-query", "-W", "-f", "${Version}", pkg], check=False)
            self.assertEqual(p.returncode, 0, "%s is not installed" % pkg)
            have = p.stdout.decode().strip()
            for op, ver in constraints:
                self.assertEqual(
                    run(["dpkg", "--compare-versions", have, op, ver], check=False).returncode,
                    0, "%s %s does not satisfy %s %s" % (pkg, have, op, ver))

    def test_04_contents(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout.decode().splitlines()
        files = {}
        for line in listing:
            parts = line.split(None, 5)
            name = parts[5].split(" -> ")[0]
            files[name.lstrip(".")] = parts[0]
        for path in ["/usr/bin/vqpack", "/usr/share/man/man1/vqpack.1.gz",
                     "/usr/share/vqinstaller/examples/Setup.ini",
                     "/usr/share/vqinstaller/examples/license.rtf",
                     "/usr/share/vqinstaller/examples/make-product.sh",
                     "/usr/share/vqinstaller/examples/make_bitmaps.py",
                     "/usr/share/vqinstaller/examples/VQRuntime.ini",
                     "/usr/share/vqinstaller/examples/VQRuntime.inf",
                     "/usr/share/vqinstaller/examples/app/notes.txt"] + [
                     "/usr/share/vqinstaller/try/" + f for f in
                     ("vqpack_try.py", "vqtry.py", "i386-run.sh", "resource.h", "uia.exe",
                      "uia64.exe", "fakeappmgr.exe", "fakeappmgr64.exe")]:
            self.assertIn(path, files)
        self.assertTrue(files["/usr/bin/vqpack"].startswith("-rwxr-xr-x"))
        self.assertTrue(files["/usr/share/vqinstaller/examples/make-product.sh"]
                        .startswith("-rwx"))
        for path in files:
            self.assertTrue(path == "/" or path.startswith("/usr/"), path)
            self.assertNotIn("__pycache__", path)

    def test_05_binary(self):
        with open(self.vqpack, "rb") as f:
            data = f.read()
        self.assertEqual(data[:4], b"\x7fELF")
        # Stripped, and no folder of this build or checkout inside.
        self.assertNotIn(b".debug_info", data)
        self.assertNotIn(b".symtab", data)
        for path in {BUILD, SOURCE}:
            self.assertNotIn(path.encode(), data)
        dyn = run(["readelf", "-d", self.vqpack], check=False).stdout.decode()
        self.assertNotIn("RPATH", dyn)
        self.assertNotIn("RUNPATH", dyn)

    def test_06_version(self):
        self.assertEqual(self.vq("--version").stdout.decode().strip(), "vqpack " + VERSION)

    def test_07_build_list_verify_extract(self):
        src = os.path.join(self.work, "files")
        os.mkdir(src)
        contents = {
            "Setup.ini": b"[CEAppManager]\r\nVersion=1.0\r\nComponent=X\r\n",
            "App.ARM.CAB": bytes(range(256)) * 300 + os.urandom(5000),
            "empty.txt": b"",
        }
        for name, data in contents.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        self.vq("build", "-o", "setup.exe", "files/Setup.ini", "files/App.ARM.CAB",
                "Renamed.txt=files/empty.txt")
        self.assertTrue(os.path.exists(os.path.join(self.work, "setup.exe")))
        out = self.vq("verify", "setup.exe").stdout.decode()
        self.assertIn("setup.exe: OK, 3 members", out)
        listing = self.vq("list", "setup.exe").stdout.decode()
        for name in ["Setup.ini", "App.ARM.CAB", "Renamed.txt"]:
            self.assertRegex(listing, r"\s%s\n" % re.escape(name))
        dest = os.path.join(self.work, "extracted")
        os.mkdir(dest)
        self.vq("extract", "setup.exe", "extracted")
        self.assertEqual(sorted(os.listdir(dest)), ["App.ARM.CAB", "Renamed.txt", "Setup.ini"])
        for name, expect in [("Setup.ini", "Setup.ini"), ("App.ARM.CAB", "App.ARM.CAB"),
                             ("Renamed.txt", "empty.txt")]:
            with open(os.path.join(dest, name), "rb") as f:
                self.assertEqual(f.read(), contents[expect], name)
        # A damaged installer fails verify with status 1.
        with open(os.path.join(self.work, "setup.exe"), "rb") as f:
            data = bytearray(f.read())
        data[-3] ^= 0x55
        with open(os.path.join(self.work, "bad.exe"), "wb") as f:
            f.write(data)
        self.assertEqual(self.vq("verify", "bad.exe", check=False).returncode, 1)

    def test_08_installed_example(self):
        # The sample product from share/, its cabinets made and the whole
        # packed by the installed program (which make-product.sh finds
        # beside share/).
        examples = os.path.join(self.root, "usr", "share", "vqinstaller", "examples")
        run([os.path.join(examples, "make-product.sh"), os.path.join(self.work, "product")],
            env={"PATH": "/usr/bin:/bin", "LC_ALL": "C"})
        lint = self.vq("lint", "product/Setup.ini", check=False)
        self.assertEqual(lint.returncode, 0, lint.stdout.decode())
        self.vq("build", "-o", "VQNotesSetup.exe", "--from", "product/Setup.ini")
        out = self.vq("verify", "VQNotesSetup.exe").stdout.decode()
        self.assertIn("VQNotesSetup.exe: OK, 9 members", out)

    def test_09_man_page(self):
        path = os.path.join(self.root, "usr", "share", "man", "man1", "vqpack.1.gz")
        with open(path, "rb") as f:
            raw = f.read()
        # gzip -9n: no file name, no time stamp in the header.
        self.assertEqual(raw[3] & 0x08, 0, "file name stored in vqpack.1.gz")
        self.assertEqual(raw[4:8], b"\0\0\0\0", "time stamp stored in vqpack.1.gz")
        text = gzip.decompress(raw).decode()
        self.assertRegex(text, r'(?m)^\.TH VQPACK 1 .*"vqpack %s"' % re.escape(VERSION))
        plain = text.replace("\\-", "-").replace("\\fB", "").replace("\\fR", "") \
                    .replace("\\fI", "").replace("\\fP", "")
        # Every command and every option that --help shows is described.
        for cmd in SUBCOMMANDS:
            self.assertRegex(plain, r'(?m)^\.B[IR]? "?%s\b' % cmd)
            help_text = self.vq(cmd, "--help").stdout.decode()
            for opt in set(re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", help_text)):
                self.assertIn(opt, plain, "vqpack %s %s is not in the man page" % (cmd, opt))
        for status in ["0", "1", "2", "3"]:
            self.assertRegex(text, r"(?ms)^\.SH EXIT STATUS$.*^\.B %s$" % status)
        if shutil.which("groff"):
            p = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=text.encode(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(p.stderr.decode(), "", "groff warnings")

    def test_10_reproducible(self):
        # A second build folder of this tree, elsewhere and later, configured
        # as the build was (only what the package holds is built), and
        # `cd build && cpack -G DEB` there: the same bytes.
        second = os.path.join(self.tmp, "second", "deeper", "build")
        run([ENV["CMAKE"], "-S", SOURCE, "-B", second,
             "-G", build_cache("CMAKE_GENERATOR"),
             "-DCMAKE_BUILD_TYPE=" + build_cache("CMAKE_BUILD_TYPE"),
             "-DVQ_BUILD_STUB=" + build_cache("VQ_BUILD_STUB"),
             "-DVQ_ZLIB_SRC=" + build_cache("VQ_ZLIB_SRC"),
             "-DVQ_DEB_MAINTAINER=" + self.field("Maintainer"),
             "-DVQ_WINDOWS_PACKER=OFF", "-DVQ_WINE_TESTS=OFF",
             "-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON"])
        targets = ["vqpack", "manpage"]
        if build_cache("VQ_BUILD_STUB") == "ON":
            targets += ["trytools", "trytools64"]
        run([ENV["CMAKE"], "--build", second, "-j2", "--target"] + targets)
        run([ENV["CPACK"], "-G", "DEB"], cwd=second, env=package_env())
        again = os.path.join(second, os.path.basename(self.deb))
        if not filecmp.cmp(self.deb, again, shallow=False):
            other = os.path.join(self.tmp, "root-again")
            run(["dpkg", "-x", again, other])
            differ = []
            for d, _, files in os.walk(other):
                for f in files:
                    rel = os.path.relpath(os.path.join(d, f), other)
                    mine = os.path.join(self.root, rel)
                    if not os.path.isfile(mine) or not filecmp.cmp(mine, os.path.join(d, f),
                                                                   shallow=False):
                        differ.append(rel)
            self.fail("the packages of the two build folders differ; files that differ: %s"
                      % (differ or "none (file times or order)"))
        print("package sha256 in both build folders: %s" %
              run(["sha256sum", again]).stdout.decode().split()[0])
        # Every file carries the last commit's time (a fixed date outside
        # a checkout), whatever the build's file times were.
        git = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) \
            if shutil.which("git") else None
        expect = int(git.stdout) if git and git.returncode == 0 else FIXED_SOURCE_DATE
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", self.deb], stdout=subprocess.PIPE,
                             check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(tar)) as t:
            times = {m.name: m.mtime for m in t.getmembers()}
        self.assertEqual({expect}, set(times.values()), times)


if __name__ == "__main__":
    unittest.main()
