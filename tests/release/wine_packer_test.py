"""vqpack.exe, the packer cross-built for Windows, under Wine.

Builds installers with vqpack.exe (its built-in setup program), lists,
verifies and extracts them, and compares: the extracted files with the
inputs, the installers with what the Linux vqpack makes from the same
inputs. Files hold carriage returns, ^Z and NUL bytes, so any text-mode
file access shows. Paths are given in Windows form (Z:\\...).

A private Wine prefix is made on first use; the wineserver of that prefix
is stopped at the end. Console programs need no display.

Environment (tests/release/CMakeLists.txt sets it): VQ_WINPACKER,
VQ_WINEPREFIX, VQPACK, VQ_SOURCE_DIR, VQ_VERSION, VQ_HAVE_STUB.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

ENV = os.environ
WINPACKER = ENV["VQ_WINPACKER"]
PREFIX = os.path.realpath(ENV["VQ_WINEPREFIX"])
SOURCE = os.path.realpath(ENV["VQ_SOURCE_DIR"])
READY = os.path.join(PREFIX, ".vq-packer-prefix-ready")


def wine_loader():
    """64-bit Wine's own loader for vqpack.exe, a 64-bit program: Debian's
    `wine` starts the 32-bit loader first, which takes seconds where
    qemu-i386 runs it."""
    for path in (shutil.which("wine64"), "/usr/lib/wine/wine64"):
        if path and os.access(path, os.X_OK):
            return path
    return "wine"


def wine_env():
    env = dict(ENV, WINEPREFIX=PREFIX, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    # Wine copies the Unix environment into Windows'; a Unix TMPDIR means
    # nothing there.
    env.pop("TMPDIR", None)
    return env


def winpath(path):
    """Z:\\... for a Unix path (Wine maps Z: to /)."""
    return "Z:" + os.path.realpath(path).replace("/", "\\")


def run(cmd, cwd=None, env=None):
    # Output goes to files, not pipes: Wine's background programs, started
    # by the first program of the persistent wineserver, inherit the handles
    # and would keep a pipe open after the program itself has ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run(cmd, cwd=cwd, env=env, stdout=out, stderr=err, timeout=300)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(p.args, p.returncode, out.read(), err.read())


def text(b):
    return b.decode(errors="replace").replace("\r\n", "\n")


def prepare_prefix():
    if os.path.exists(READY):
        return
    os.makedirs(PREFIX, exist_ok=True)
    p = run([wine_loader(), "wineboot", "-i"], env=wine_env())
    if p.returncode != 0:
        raise RuntimeError("wineboot -i failed: %s" % text(p.stderr))
    run(["wineserver", "-w"], env=wine_env())
    with open(READY, "w") as f:
        f.write("ready\n")


def start_wineserver():
    """A persistent wineserver: without one, each vqpack.exe run starts the
    server and Wine's background programs again (seconds instead of a tenth
    of one). One left by a killed run is stopped first, or it would refuse."""
    stop_wineserver()
    # It stays in the background: no pipe of ours may go with it.
    subprocess.run(["wineserver", "-p"], env=wine_env(), check=True, timeout=60,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_wineserver():
    # Only this test's prefix: -k acts on the server of WINEPREFIX.
    run(["wineserver", "-k"], env=wine_env())


class WindowsPacker(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(WINPACKER):
            raise unittest.SkipTest("vqpack.exe not built")
        prepare_prefix()
        start_wineserver()
        cls.tmp = os.path.realpath(tempfile.mkdtemp(prefix="vq-winpack-"))
        cls.inputs = os.path.join(cls.tmp, "inputs")
        os.mkdir(cls.inputs)
        cls.contents = {
            "Setup.ini": b"[CEAppManager]\r\nVersion=1.0\r\nComponent=X\r\n\x1a",
            "lines.txt": b"one\ntwo\r\nthree\rfour\n\n\x1a\x00five\r\n" * 50,
            "App.ARM.CAB": os.urandom(70000) + bytes(70000) + b"\r\n\x1a" * 1000,
            "empty.dat": b"",
        }
        for name, data in cls.contents.items():
            with open(os.path.join(cls.inputs, name), "wb") as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        stop_wineserver()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def vq(self, *args, cwd=None):
        return run([wine_loader(), WINPACKER] + list(args), cwd=cwd or self.tmp, env=wine_env())

    def ok(self, *args, cwd=None):
        p = self.vq(*args, cwd=cwd)
        self.assertEqual(p.returncode, 0, "vqpack.exe %s: %s%s" % (
            " ".join(args), text(p.stdout), text(p.stderr)))
        return text(p.stdout)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def temp_folder(self):
        return os.path.join(PREFIX, "drive_c", "users", os.environ.get("USER", "root"),
                            "AppData", "Local", "Temp")

    def spools(self):
        temp = self.temp_folder()
        if not os.path.isdir(temp):
            return []
        return [f for f in os.listdir(temp) if f.startswith("vqspool-")]

    def build_inputs(self, out_name, jobs=None):
        args = ["build", "-o", winpath(os.path.join(self.tmp, out_name))]
        if jobs:
            args += ["-j", str(jobs), "--block-size", "64"]
        args += [winpath(os.path.join(self.inputs, n)) for n in ("Setup.ini", "lines.txt")]
        args += ["App.ARM.CAB=" + winpath(os.path.join(self.inputs, "App.ARM.CAB")),
                 "inputs/empty.dat"]  # relative, forward slash
        self.ok(*args)
        return os.path.join(self.tmp, out_name)

    def test_01_version(self):
        self.assertEqual(self.ok("--version").strip(), "vqpack " + ENV["VQ_VERSION"])

    def test_02_build_list_verify_extract(self):
        if ENV.get("VQ_HAVE_STUB") != "1":
            self.skipTest("no built-in setup program")
        before = self.spools()
        setup = self.build_inputs("setup.exe")
        self.assertFalse(os.path.exists(setup + ".partial"))
        out = self.ok("verify", winpath(setup))
        self.assertIn("OK, 4 members, ", out)
        listing = self.ok("list", winpath(setup))
        lines = listing.splitlines()
        table = next(i for i, line in enumerate(lines) if line.lstrip().startswith("name at"))
        names = [line.split()[-1] for line in lines[table + 1:]]
        self.assertEqual(names, ["Setup.ini", "lines.txt", "App.ARM.CAB", "empty.dat"])
        dest = os.path.join(self.tmp, "extracted")
        os.mkdir(dest)
        self.ok("extract", winpath(setup), winpath(dest))
        # Only the members: no spool file left in the folder.
        self.assertEqual(sorted(os.listdir(dest)), sorted(self.contents))
        for name, data in self.contents.items():
            self.assertEqual(self.read(os.path.join(dest, name)), data, name)
        self.assertEqual(self.spools(), before, "spool files left in %s" % self.temp_folder())

    def test_03_same_bytes_as_linux(self):
        if ENV.get("VQ_HAVE_STUB") != "1":
            self.skipTest("no built-in setup program")
        for jobs in (None, 3):
            setup = self.build_inputs("win-%s.exe" % jobs, jobs)
            linux = os.path.join(self.tmp, "linux-%s.exe" % jobs)
            cmd = [ENV["VQPACK"], "build", "-o", linux]
            if jobs:
                cmd += ["-j", str(jobs), "--block-size", "64"]
            cmd += [os.path.join(self.inputs, n) for n in ("Setup.ini", "lines.txt")]
            cmd += ["App.ARM.CAB=" + os.path.join(self.inputs, "App.ARM.CAB"),
                    os.path.join(self.inputs, "empty.dat")]
            p = run(cmd)
            self.assertEqual(p.returncode, 0, text(p.stderr))
            self.assertEqual(self.read(setup), self.read(linux), "jobs %s" % jobs)
            # And each reads the other's.
            p = run([ENV["VQPACK"], "verify", setup])
            self.assertEqual(p.returncode, 0, text(p.stderr))
            self.ok("verify", winpath(linux))

    def test_04_sample_product(self):
        if ENV.get("VQ_HAVE_STUB") != "1":
            self.skipTest("no built-in setup program")
        product = os.path.join(self.tmp, "product")
        p = run([os.path.join(SOURCE, "examples", "make-product.sh"), product])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        # vqpack.exe makes the same CE cabinets from the sample's INF.
        cabs = os.path.join(self.tmp, "cabs")
        env = dict(wine_env(), SOURCE_DATE_EPOCH=ENV.get("SOURCE_DATE_EPOCH", "1704067200"))
        for inf in ("VQNotes", "VQRuntime"):
            p = run(["wine", WINPACKER, "cab", winpath(os.path.join(SOURCE, "examples", inf + ".inf")),
                     "--cpu", "ARM", "--cpu", "MIPS", "-o", winpath(cabs)], cwd=self.tmp, env=env)
            self.assertEqual(p.returncode, 0, text(p.stdout) + text(p.stderr))
            for name in (inf + ".ARM.CAB", inf + ".MIPS.CAB"):
                self.assertEqual(self.read(os.path.join(cabs, name)),
                                 self.read(os.path.join(product, name)), name)
        lint = self.vq("lint", winpath(os.path.join(product, "Setup.ini")))
        self.assertEqual(lint.returncode, 0, text(lint.stdout))
        setup = os.path.join(self.tmp, "VQNotesSetup.exe")
        self.ok("build", "-o", winpath(setup), "--from", winpath(os.path.join(product, "Setup.ini")))
        self.assertIn("OK, 9 members", self.ok("verify", winpath(setup)))
        linux = os.path.join(self.tmp, "VQNotesSetup-linux.exe")
        p = run([ENV["VQPACK"], "build", "-o", linux, "--from", os.path.join(product, "Setup.ini")])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        self.assertEqual(self.read(setup), self.read(linux))

    def test_05_replaces_existing_output(self):
        if ENV.get("VQ_HAVE_STUB") != "1":
            self.skipTest("no built-in setup program")
        setup = os.path.join(self.tmp, "again.exe")
        with open(setup, "wb") as f:
            f.write(b"an older file in the way" * 5000)
        for name in ("lines.txt", "Setup.ini"):
            self.ok("build", "-o", winpath(setup), winpath(os.path.join(self.inputs, name)))
            listing = self.ok("list", winpath(setup))
            self.assertEqual(listing.splitlines()[-1].split()[-1], name)
        self.assertFalse(os.path.exists(setup + ".partial"))

    def test_06_stub_option(self):
        image = os.path.join(self.tmp, "image.bin")
        with open(image, "wb") as f:
            f.write((b"MZ" + b"\r\n\x1a\x00" * 100 + bytes(range(256)) * 128)[:32768])
        self.assertEqual(os.path.getsize(image), 32768)
        setup = os.path.join(self.tmp, "custom.exe")
        self.ok("build", "-o", winpath(setup), "--stub", winpath(image),
                winpath(os.path.join(self.inputs, "lines.txt")))
        self.assertEqual(self.read(setup)[:32768], self.read(image))
        self.ok("verify", winpath(setup))

    def test_07_exit_status(self):
        lines = winpath(os.path.join(self.inputs, "lines.txt"))
        image = os.path.join(self.tmp, "short.bin")
        with open(image, "wb") as f:
            f.write(bytes(1000))
        setup = os.path.join(self.tmp, "status.exe")
        full = winpath(self._full_image())
        self.ok("build", "-o", winpath(setup), "--stub", full, lines)
        damaged = bytearray(self.read(setup))
        damaged[100] ^= 0x40  # in the image: its checksum no longer matches
        with open(setup + ".bad.exe", "wb") as f:
            f.write(damaged)
        cases = [
            (["verify", winpath(setup + ".bad.exe")], 1),
            (["bogus"], 2),
            (["build", "-o", winpath(setup), "--stub", winpath(image), lines], 2),
            # The output is an input, spelled another way.
            (["build", "-o", winpath(self.inputs) + "\\.\\lines.txt", "--stub", full, lines], 2),
            (["extract", winpath(setup), winpath(os.path.join(self.tmp, "no-such-folder", "below"))], 3),
            (["verify", winpath(os.path.join(self.tmp, "missing.exe"))], 3),
            (["build", "-o", winpath(setup), "--stub", full, "Z:\\no\\such\\file"], 3),
        ]
        for args, status in cases:
            p = self.vq(*args)
            self.assertEqual(p.returncode, status, "%s: %s" % (" ".join(args), text(p.stderr)))

    def _full_image(self):
        image = os.path.join(self.tmp, "full.bin")
        with open(image, "wb") as f:
            f.write(b"MZ" + bytes(32766))
        return image


if __name__ == "__main__":
    unittest.main()
