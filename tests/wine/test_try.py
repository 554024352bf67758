"""`vqpack try` end to end: the sample product (two components), a CabFiles
entry and a listed INI that are no members, a damaged installer, Cancel and a time-out. Each run must leave no
Wine process and no run folder behind.

Run by ctest (tests/wine/CMakeLists.txt) or directly:
    VQ_BUILD_DIR=build python3 tests/wine/test_try.py -v
"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..", "..")
BUILD = os.path.abspath(os.environ.get("VQ_BUILD_DIR", os.path.join(TOP, "build")))
VQPACK = os.environ.get("VQ_PACKER", os.path.join(BUILD, "packer", "vqpack"))
# The template prefix is cached here, not in the user's cache folder.
CACHE = os.path.join(BUILD, "try-cache")
WINETOOLS = os.environ.get("VQ_WINETOOLS", os.path.join(BUILD, "winetools"))
# Where i386-run.sh has qemu-i386 run 32-bit programs, bounds are stretched
# by this factor, as in vqtry.
SLOW = 4 if os.environ.get("VQ_I386") == "qemu" else 1


def setUpModule():
    global WORK, SAMPLE
    WORK = tempfile.mkdtemp(prefix="vq-try-")
    subprocess.run([os.path.join(TOP, "examples", "make-product.sh"),
                    os.path.join(WORK, "product")], check=True,
                   env=dict(os.environ, VQPACK=VQPACK))
    SAMPLE = os.path.join(WORK, "VQNotesSetup.exe")
    subprocess.run([VQPACK, "build", "-o", SAMPLE, "--from",
                    os.path.join(WORK, "product", "Setup.ini")], check=True)


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def wine_processes_of_runs():
    """PIDs of processes whose WINEPREFIX lies in a run folder of ours."""
    mark = ("WINEPREFIX=" + os.path.join(CACHE, "vqinstaller", "runs")).encode()
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if any(v.startswith(mark) for v in f.read().split(b"\0")):
                    pids.append(int(pid))
        except OSError:
            pass
    return pids


class Try(unittest.TestCase):

    def vqtry(self, installer, *args):
        env = dict(os.environ, XDG_CACHE_HOME=CACHE)
        if "--timeout" not in args:
            # a run's bound, stretched where 32-bit programs are emulated
            args += ("--timeout", str(180 * SLOW))
        p = subprocess.run([VQPACK, "try", installer] + list(args), env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=240 * SLOW)
        out = p.stdout.decode("latin-1")
        print(out + p.stderr.decode("latin-1"))
        self.assertNotEqual(p.returncode, 3, "vqpack try could not run Wine")
        self.assertEqual(wine_processes_of_runs(), [], "Wine processes left behind")
        self.assertEqual(os.listdir(os.path.join(CACHE, "vqinstaller", "runs")), [],
                         "run folder left behind")
        return p.returncode, json.loads(out) if "--json" in args else out

    def installer(self, name, setup_ini=None, damage=False):
        """The sample product with another Setup.ini or a damaged payload."""
        product = os.path.join(WORK, "product")
        path = os.path.join(WORK, name)
        files = [os.path.join(product, n) for n in sorted(os.listdir(product))
                 if n != "Setup.ini"]
        if setup_ini is not None:
            ini = os.path.join(WORK, name + ".ini")
            with open(ini, "wb") as f:
                f.write(setup_ini)
            files.append("Setup.ini=" + ini)
            subprocess.run([VQPACK, "build", "-o", path] + files, check=True)
        if damage:
            with open(SAMPLE, "rb") as f:
                data = bytearray(f.read())
            data[-100] ^= 0x5A
            with open(path, "wb") as f:
                f.write(data)
        return path

    def hanging_installer(self):
        """The sample product behind hang.exe, padded to a setup image: a
        program that shows nothing and never ends by itself."""
        with open(os.path.join(WINETOOLS, "hang.exe"), "rb") as f:
            image = f.read()
        self.assertLessEqual(len(image), 32768, "hang.exe must fit a setup image")
        stub = os.path.join(WORK, "hang-image.bin")
        with open(stub, "wb") as f:
            f.write(image + bytes(32768 - len(image)))
        product = os.path.join(WORK, "product")
        path = os.path.join(WORK, "HangingSetup.exe")
        subprocess.run([VQPACK, "build", "-o", path, "--stub", stub] +
                       [os.path.join(product, n) for n in sorted(os.listdir(product))],
                       check=True)
        return path

    def test_sample_product(self):
        shots = os.path.join(BUILD, "screenshots", "try")
        shutil.rmtree(shots, ignore_errors=True)
        rc, r = self.vqtry(SAMPLE, "--shots", shots, "--json")
        self.assertEqual((rc, r["result"], r["reason"]), (0, "ok", None))
        self.assertEqual(r["title"], "VQ Notes 1.2 for Windows CE Setup")
        self.assertEqual(r["license"]["format"], "rich text")
        self.assertEqual(r["install_folder"], "C:\\Program Files\\CE Tools\\VQ Notes")
        self.assertEqual(sorted((f["name"], f["member"]) for f in r["files"]),
                         [(n, "identical to the member") for n in
                          ("Setup.ini", "VQNotes.ARM.CAB", "VQNotes.MIPS.CAB",
                           "VQRuntime.ARM.CAB", "VQRuntime.MIPS.CAB", "VQRuntime.ini")])
        self.assertEqual([(c["ini"], c["component"], c["cabfiles"], c["intact"],
                           c["on_command_line"]) for c in r["components"]],
                         [("Setup.ini", "VQ Notes", ["VQNotes.ARM.CAB", "VQNotes.MIPS.CAB"],
                           True, True),
                          ("VQRuntime.ini", "VQ Runtime",
                           ["VQRuntime.ARM.CAB", "VQRuntime.MIPS.CAB"], True, True)])
        self.assertEqual(r["app_manager_command_line"],
                         '"C:\\Program Files\\CE Tools\\CEAPPMGR.EXE" '
                         '"C:\\Program Files\\CE Tools\\VQ Notes\\Setup.ini" '
                         '"C:\\Program Files\\CE Tools\\VQ Notes\\VQRuntime.ini"')
        self.assertEqual((r["missing"], r["exit_code"]), ([], 0))
        self.assertEqual(len(r["screenshots"]), 3, r["screenshots"])
        for path in r["screenshots"]:
            self.assertGreater(os.path.getsize(path), 1000, path)

    def test_cabfiles_entry_and_listed_ini_not_members(self):
        with open(os.path.join(WORK, "product", "Setup.ini"), "rb") as f:
            ini = f.read().replace(b"VQNotes.MIPS.CAB", b"VQNotes.SH3.CAB").replace(
                b"AlsoInstall=VQRuntime.ini", b"AlsoInstall=Gone.ini,VQRuntime.ini")
        rc, out = self.vqtry(self.installer("BrokenSetup.exe", setup_ini=ini))
        self.assertEqual(rc, 1)
        self.assertIn("\n  2. Gone.ini: not a member of the installer (the setup program "
                      "skips it)\n  3. VQRuntime.ini [VQ Runtime]: VQRuntime.ARM.CAB, "
                      "VQRuntime.MIPS.CAB, VQRuntime.ini arrived intact, given to the "
                      "Application Manager\n", out)
        self.assertIn("== CabFiles entries that never arrived: VQNotes.SH3.CAB\n"
                      "  (nor did Gone.ini)\n", out)
        self.assertEqual(out.strip().splitlines()[-1],
                         "FAILED: never arrived in the install folder: VQNotes.SH3.CAB, Gone.ini")

    def test_damaged_installer(self):
        rc, out = self.vqtry(self.installer("DamagedSetup.exe", damage=True))
        self.assertEqual(rc, 1)
        self.assertRegex(out, r'\n== error boxes\n  "VQ Installer Error": \S')
        self.assertRegex(out.strip().splitlines()[-1],
                         r'^FAILED: no hand-off: error box "VQ Installer Error": \S')

    def test_cancel_and_time_out(self):
        rc, r = self.vqtry(SAMPLE, "--cancel", "--json")
        self.assertEqual((rc, r["reason"]), (1, "no hand-off: the wizard was cancelled"))
        self.assertEqual((r["files"], r["app_manager_command_line"], r["exit_code"]),
                         ([], None, 0))
        # Stopped half-way: the clean-up above holds for a time-out too. The
        # setup program never ends by itself, so the run ends by its
        # time-out however fast the machine is.
        bound = 5 * SLOW
        rc, r = self.vqtry(self.hanging_installer(), "--timeout", str(bound), "--json")
        self.assertEqual((rc, r["reason"]), (1, "timed out after %d s" % bound))


if __name__ == "__main__":
    unittest.main()
