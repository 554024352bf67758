"""End-to-end tests of the launcher under Wine: the Application Manager
lookup, the integrity checks of the container with their error boxes, the
extraction into the workspace folder, the progress window and DLL planting.

Run by ctest (tests/wine/CMakeLists.txt) or directly:
    VQ_BUILD_DIR=build python3 tests/wine/test_launcher.py -v
"""

import glob
import hashlib
import json
import os
import random
import re
import shutil
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))  # tests/: the container writer

import cases  # noqa: E402
import container  # noqa: E402
import harness  # noqa: E402

CORRUPTED = "The file may be corrupted."
TIMINGS = cases.TIMINGS

DESCRIPTOR = (
    b"[CEAppManager]\r\n"
    b"Version=1.0\r\n"
    b"Component=TestApp\r\n"
    b"\r\n"
    b"[TestApp]\r\n"
    b"Description=Launcher test\r\n"
    b"CabFiles=app.cab\r\n"
    b"\r\n"
    b"[VQINSTALLER]\r\n"
    b"ProductName=Launcher Test\r\n"
    b"ProductVersion=1.0\r\n"
    b"InstallDirectory=LauncherTest\r\n"
)


def standard_members():
    """A payload without license or bitmap members, so that nothing in it is
    consumed when the wizard opens: every member must stay as extracted."""
    rnd = random.Random(7)
    return [
        ("Setup.ini", DESCRIPTOR),
        ("app.cab", rnd.randbytes(300000)),           # more than one output window
        ("empty.dat", b""),                           # becomes an empty file
        ("readme.txt", b"line one\r\nline two\r\n" * 4000),  # compresses well
        ("tail.bin", bytes(range(256)) * 3),
    ]


def setUpModule():
    cases.start_session("launcher")


def tearDownModule():
    cases.stop_session()


class LauncherCase(cases.SetupCase):
    """The common case set-up, with setup programs given as whole files
    (container.build or a damaged copy of one) rather than member lists."""

    # ---- helpers ----------------------------------------------------------

    def write_setup(self, blob, name=None):
        name = name or ("vq_%s.exe" % self.case)[:60]
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(blob)
        return path

    def start(self, blob_or_path, env=None):
        path = blob_or_path if isinstance(blob_or_path, str) else self.write_setup(blob_or_path)
        run = self.s.start_setup(path, env=env)
        self.runs.append(run)
        return run

    def one_workspace(self):
        space = super().one_workspace()
        self.assertRegex(os.path.basename(space), r"^_VQI[0-9A-F]{4}$",
                         "workspace folder name is _VQI and four upper-case hex digits")
        return space

    def expect_error(self, blob, text, screenshot=None, env=None):
        """Runs a setup that must fail: one error box with the caption and
        the text, exit code 255, and an empty workspace folder left behind."""
        run = self.start(blob, env=env)
        caption, got, code = run.wait_error_box(screenshot=screenshot or "launcher_" + self.case)
        self.assertEqual(caption, harness.ERROR_CAPTION, "caption of the error box")
        if hasattr(text, "search"):
            self.assertRegex(got, text, "text of the error box")
        else:
            self.assertEqual(got, text, "text of the error box")
        self.assertEqual(code, 255, "exit code after the error box (-1 reads as 255)")
        workspace = self.one_workspace()
        self.assertEqual(os.listdir(workspace), [],
                         "workspace folder left after a failure before any member was "
                         "written must be empty (no spool file, no member)")
        return workspace

    def expect_extracted(self, run, members, timeout=120):
        """Checks the workspace folder while the wizard is open, or after the
        program has ended without one. Returns the exit code."""
        state, value = run.wait_exit_or_wizard(timeout)
        workspace = self.one_workspace()
        names = sorted(os.listdir(workspace))
        expected = {}
        for name, data in members:
            expected[name] = data  # a later entry of the same name replaces the earlier
        self.assertEqual(names, sorted(expected),
                         "files in the workspace folder (%s, program %s)"
                         % (workspace, "showing its wizard" if state == "wizard" else "ended"))
        for name, data in expected.items():
            with open(os.path.join(workspace, name), "rb") as f:
                got = f.read()
            self.assertEqual(len(got), len(data), "size of member %s" % name)
            self.assertTrue(got == data, "content of member %s differs" % name)
        if state == "wizard":
            code = run.cancel_wizard()
        else:
            code = value
        self.assertEqual(code, 0, "exit code of a run without failure")
        return code


class AppManagerLookup(LauncherCase):
    """The App Paths entry of CEAPPMGR.EXE is read before the own file is
    opened: a broken entry fails at once, even with a valid container."""

    def setUp(self):
        super().setUp()
        self.blob = container.build(self.image, standard_members())

    def test_key_missing(self):
        self.s.delete_app_paths_key()
        rc, _ = self.s.app_paths_state()
        self.assertNotEqual(rc, 0, "App Paths key still present after deleting it")
        self.expect_error(self.blob, "CeAppMgr.exe is not installed correctly.")

    def test_default_value_missing(self):
        self.s.app_paths_key_without_default()
        rc, text = self.s.app_paths_state()
        self.assertEqual(rc, 0, "App Paths key must exist for this case")
        self.assertNotIn("REG_SZ", text, "the default value must be absent: %s" % text)
        self.expect_error(self.blob, "Can not find CeAppMgr.exe.")

    def test_value_without_room_for_terminator(self):
        # 260 characters and the NUL do not fit the 260-byte buffer
        value = "C:\\" + "A" * 244 + "\\CeAppMgr.exe"
        self.assertEqual(len(value), 260)
        self.s.set_app_path(value)
        self.expect_error(self.blob, "Can not find CeAppMgr.exe.")

    def test_value_of_260_bytes_stored_without_terminator(self):
        # the same 260 characters written raw: they fill the buffer exactly
        # and nothing ends them
        value = "C:\\" + "A" * 244 + "\\CeAppMgr.exe"
        self.assertEqual(harness.set_app_path_raw(self.s, value), 260,
                         "size of the stored value (260 bytes, no NUL)")
        self.expect_error(self.blob, "Can not find CeAppMgr.exe.")

    def test_expandable_value_at_its_limit(self):
        # 31 characters stored as REG_EXPAND_SZ: with a folder of 246
        # characters the expanded path has 259 and fits the 260-byte buffer
        # with its NUL; one more and it does not
        harness.set_app_path_expandable(self.s, "%VQ_APPMGR_FOLDER%\\CeAppMgr.exe")
        fits = "C:\\" + "A" * 243
        self.assertEqual(len(fits + "\\CeAppMgr.exe"), 259)
        self.expect_extracted(self.start(self.blob, env={"VQ_APPMGR_FOLDER": fits}),
                              standard_members())
        self.s.clean_workspaces()
        self.expect_error(self.blob, "Can not find CeAppMgr.exe.",
                          env={"VQ_APPMGR_FOLDER": fits + "A"})

    def test_value_that_just_fits(self):
        # 259 characters and the NUL fill the buffer exactly: accepted
        value = "C:\\" + "A" * 243 + "\\CeAppMgr.exe"
        self.assertEqual(len(value), 259)
        self.s.set_app_path(value)
        self.expect_extracted(self.start(self.blob), standard_members())


class ContainerIntegrity(LauncherCase):
    """Each integrity check of the container with its error box. The file is
    written by container.py, independently of the project's packer."""

    def setUp(self):
        super().setUp()
        self.good = container.Container(self.image, standard_members())

    def test_file_of_minimum_size_minus_one_is_refused(self):
        blob = self.good.to_bytes()[:container.MIN_FILE_SIZE]
        self.assertEqual(len(blob), 32808)
        self.expect_error(blob, "Invalid file size in installer. " + CORRUPTED)

    def test_file_of_minimum_size_passes_size_check(self):
        # 32809 bytes: the size check passes, the next check (signature) fails
        blob = self.image + struct.pack("<I", 0x12345678) + b"\0" * 37
        self.assertEqual(len(blob), container.MIN_FILE_SIZE + 1)
        self.expect_error(blob, "Invalid signature in installer. " + CORRUPTED)

    def test_image_only_is_refused(self):
        self.expect_error(self.image, "Invalid file size in installer. " + CORRUPTED)

    def test_wrong_signature(self):
        self.good.header["signature"] = 0x00495157
        self.expect_error(self.good.to_bytes(), "Invalid signature in installer. " + CORRUPTED)

    def test_changed_byte_in_dos_stub(self):
        blob = bytearray(self.good.to_bytes())
        pe_offset = struct.unpack_from("<I", blob, 0x3C)[0]
        offset = 0x50
        self.assertLess(offset, pe_offset, "byte 0x50 must lie in the DOS stub")
        blob[offset] ^= 0x01
        self.expect_error(bytes(blob), "Invalid CRC in installer. " + CORRUPTED)

    def test_changed_last_image_byte(self):
        blob = bytearray(self.good.to_bytes())
        blob[container.IMAGE_SIZE - 1] ^= 0x80
        self.expect_error(bytes(blob), "Invalid CRC in installer. " + CORRUPTED)

    def test_wrong_directory_checksum(self):
        self.good.header["directory_checksum"] ^= 0x00010000
        self.expect_error(self.good.to_bytes(), "Invalid CRC in data block. " + CORRUPTED)

    def test_changed_directory_byte(self):
        d = bytearray(self.good.directory)
        d[8] ^= 0x01  # size of the first member
        self.good.directory = bytes(d)
        self.expect_error(self.good.to_bytes(), "Invalid CRC in data block. " + CORRUPTED)

    def test_wrong_data_checksum(self):
        self.good.header["data_checksum"] ^= 0x00000001
        self.expect_error(self.good.to_bytes(), "Invalid CRC in compressed data. " + CORRUPTED)

    def test_compressed_size_too_small(self):
        # the inflated stream comes out short: the data checksum catches it
        self.good.header["compressed_size"] -= 1000
        self.expect_error(self.good.to_bytes(), "Invalid CRC in compressed data. " + CORRUPTED)

    def test_file_cut_inside_stream(self):
        # random data deflates to stored blocks, so the inflater itself never
        # sees an error: the reader must notice that the file ended
        c = container.Container(self.image, [("big.bin", random.Random(3).randbytes(400000))])
        blob = c.to_bytes()
        cut = c.stream_offset + len(c.stream) // 2
        self.expect_error(blob[:cut], "Unexpected end of installer data. " + CORRUPTED)


class Extraction(LauncherCase):
    """A valid container leaves every member, byte-identical, in the
    workspace folder, and no spool file."""

    def test_members_are_written(self):
        members = standard_members()
        self.expect_extracted(self.start(container.build(self.image, members)), members)

    def test_complete_zlib_stream_is_accepted(self):
        members = standard_members()
        c = container.Container(self.image, members, final_block=True)
        self.expect_extracted(self.start(c.to_bytes()), members)

    def test_bytes_behind_stream_are_ignored(self):
        members = standard_members()
        c = container.Container(self.image, members)
        c.trailer = b"\xff" * 5000
        self.expect_extracted(self.start(c.to_bytes()), members)

    def test_duplicate_name_later_entry_wins(self):
        members = standard_members() + [("readme.txt", b"replaced")]
        self.expect_extracted(self.start(container.build(self.image, members)), members)

    def test_packer_output_extracts(self):
        if not os.path.exists(self.cfg.packer):
            self.skipTest("packer not built: %s" % self.cfg.packer)
        import subprocess
        members = standard_members()
        src = os.path.join(self.cfg.work, "packer_members")
        shutil.rmtree(src, ignore_errors=True)
        os.makedirs(src)
        paths = []
        for name, data in members:
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
            paths.append(os.path.join(src, name))
        out = os.path.join(self.dir, "vq_packed.exe")
        p = subprocess.run([self.cfg.packer, "build", "-o", out, "--stub", self.cfg.stub] + paths,
                           capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, "vqpack failed: %s" % p.stderr.decode(errors="replace"))
        with open(out, "rb") as f:
            _, _, got, _ = container.parse(f.read())
        self.assertEqual([n for n, _ in got], [n for n, _ in members], "packer member order")
        self.expect_extracted(self.start(out), members)


class WorkspaceFolder(LauncherCase):
    """The workspace folder is always a new one, of the run's own: names
    already taken in the temporary folder (folders, links) are passed over
    and left alone, only SYSTEM, the Administrators and an unelevated run's
    user may use the new folder, and it cannot be moved away while in use."""

    def dacl(self, *args):
        p = self.s.wine([self.cfg.test_tool("dacl.exe")] + list(args))
        lines = [l for l in p.stdout.decode("latin-1").splitlines() if l.startswith("{")]
        self.assertTrue(lines, "dacl.exe %s printed nothing (exit %d)" % (args, p.returncode))
        return json.loads(lines[-1])

    def assert_private(self, sddl, user):
        """Only SYSTEM, the Administrators, OWNER RIGHTS and the user appear
        in the DACL. Where the descriptor is stored as given (Windows; Wine
        builds that keep descriptors), it is the intended one exactly; Debian's
        Wine keeps none and answers with one made from the Unix mode, in
        which a folder created without the descriptor grants Everyone."""
        dacl = sddl.partition("D:")[2]
        aces = [a.replace("S-1-3-4", "OW") for a in re.findall(r"\(([^)]*)\)", dacl)]
        trustees = {a.split(";")[-1] for a in aces}
        self.assertLessEqual(trustees, {"SY", "BA", "OW", user}, "DACL %s" % sddl)
        self.assertIn("SY", trustees, "DACL %s" % sddl)
        if dacl.startswith("P"):
            intended = ["A;OICI;FA;;;SY", "A;OICI;FA;;;BA", "A;OICI;RC;;;OW"]
            self.assertIn(aces, [intended, intended + ["A;OICI;FA;;;" + user]],
                          "DACL %s" % sddl)

    def test_taken_names_are_passed_over(self):
        # The name comes from the tick count: 15 names in 16 are taken, so
        # the first name tried is almost always one of them. The temporary
        # folder is one of this case's, deleted in the background afterwards.
        temp = os.path.join(self.cfg.prefix, "drive_c", "vqtaken")
        for old in glob.glob(temp + ".trash-*") + [temp]:  # left by a run that was killed
            cases.remove_in_background(old)
        os.makedirs(temp)
        taken = set()
        for n in range(0x10000):
            if n % 16 != 15:
                taken.add("_VQI%04X" % n)
                os.mkdir(os.path.join(temp, "_VQI%04X" % n))
        planted = os.path.join(temp, "_VQI0000", "app.cab")
        with open(planted, "wb") as f:
            f.write(b"planted")
        try:
            with self.s.temp_folder("C:\\vqtaken"):
                self.assertEqual(os.path.realpath(self.s.temp_dir()), os.path.realpath(temp),
                                 "TEMP/TMP override did not reach new programs")
                self.passed_over(temp, taken, planted)
        finally:
            cases.remove_in_background(temp)
            self.s._temp_unix = None

    def passed_over(self, temp, taken, planted):
        members = standard_members()
        run = self.start(container.build(self.image, members))
        state, _ = run.wait_exit_or_wizard(120)
        self.assertEqual(state, "wizard")
        new = [p for p in self.s.workspaces() if os.path.basename(p) not in taken]
        self.assertEqual(len(new), 1, "one new workspace folder: %s" % new)
        workspace = new[0]
        self.assertEqual(sorted(os.listdir(workspace)), sorted(n for n, _ in members))
        touched = [os.path.basename(p) for p in self.s.workspaces()
                   if os.path.basename(p) in taken and os.listdir(p)
                   and p != os.path.dirname(planted)]
        self.assertEqual(touched, [], "folders that existed before must stay empty")
        self.assertEqual(os.listdir(os.path.dirname(planted)), ["app.cab"])
        with open(planted, "rb") as f:
            self.assertEqual(f.read(), b"planted")
        TIMINGS["workspace_mode"] = oct(os.stat(workspace).st_mode & 0o777)

        win = self.s.windows_path(workspace)
        info = self.dacl("show", win)
        TIMINGS["workspace_sddl"] = info.get("sddl")
        self.assertIn("sddl", info, "DACL of %s not readable: %s" % (win, info))
        self.assert_private(info["sddl"], info["user"])
        moved = self.dacl("move", win, win + "_moved")
        self.assertEqual(moved["moved"], 0, "the workspace folder was moved away")
        self.assertTrue(os.path.isdir(workspace))
        self.assertEqual(run.cancel_wizard(), 0)

    def test_links_under_every_name_are_refused(self):
        drive_c = os.path.join(self.cfg.prefix, "drive_c")
        links = os.path.join(drive_c, "vqlinks")
        target = os.path.join(drive_c, "vqlinktarget")
        shutil.rmtree(links, ignore_errors=True)
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(links)
        os.makedirs(target)
        # the folder name depends on the tick count: plant a link under every
        # one of the 65536 names
        for n in range(0x10000):
            os.symlink(target, os.path.join(links, "_VQI%04X" % n))
        try:
            with self.s.temp_folder("C:\\vqlinks"):
                self.assertEqual(os.path.realpath(self.s.temp_dir()), os.path.realpath(links),
                                 "TEMP/TMP override did not reach new programs")
                run = self.start(container.build(self.image, standard_members()))
                caption, text, code = run.wait_error_box(screenshot="launcher_reparse")
            self.assertEqual(caption, harness.ERROR_CAPTION)
            # every name tried is taken: the last code is "already exists"
            self.assertRegex(text, r"^Error Code: 000000B7\nError creating directory "
                                   r"C:\\vqlinks\\_VQI[0-9A-F]{4}\.$")
            self.assertEqual(code, 255)
            self.assertEqual(os.listdir(target), [],
                             "nothing may be written through the planted link")
        finally:
            shutil.rmtree(links, ignore_errors=True)
            shutil.rmtree(target, ignore_errors=True)
            self.s._temp_unix = None


class ProgressWindow(LauncherCase):
    """The progress window shows while a large payload is inflated and its
    bar advances. The bar is recorded from inside the program, every range
    and position it is given (harness.ProgressHook), and the program is held
    still half-way so that its window is read as it shows: nothing here
    depends on how fast the extraction runs."""

    HOLD = 50

    def test_progress_during_large_extraction(self):
        size = 64 << 20
        big = random.Random(11).randbytes(size)  # incompressible
        members = [("Setup.ini", DESCRIPTOR), ("big.cab", big)]
        c = container.Container(self.image, members)
        inflated = c.header["uncompressed_size"]
        path = self.write_setup(c.to_bytes())
        del c

        with harness.ProgressHook(self.s, self.dir, hold=self.HOLD) as hook:
            run = self.start(path, env=hook.env)
            held = hook.wait_held(run)
            rc, shown = run.uia("dump", "--child-class", "msctls_progress32")
            self.s.screenshot("launcher_progress")
            hook.release()
            state, value = run.wait_exit_or_wizard(300)
            left = run.uia("list", "--hwnd", shown[0]["hwnd"])[1] if shown else None
        records = hook.records()
        TIMINGS["progress_records"] = len(records)

        # members first, so that a wizard left open is cancelled in any case
        workspace = self.one_workspace()
        got = {}
        for name in os.listdir(workspace):
            with open(os.path.join(workspace, name), "rb") as f:
                got[name] = hashlib.sha256(f.read()).hexdigest()
        code = run.cancel_wizard() if state == "wizard" else value
        self.assertEqual(code, 0)
        self.assertEqual(got, {n: hashlib.sha256(d).hexdigest() for n, d in members},
                         "members after a 64 MB extraction")

        with self.subTest("the window while the program holds half-way"):
            self.assertTrue(shown and shown[0].get("kind") == "top",
                            "no window with a progress bar while held: %s" % shown)
            top = shown[0]
            self.assertEqual(top["class"], "#32770")
            self.assertEqual(top["text"], "", "the progress window has no title")
            self.assertTrue(top["visible"], "the progress window is visible")
            style = int(top["style"], 16)
            self.assertEqual(style & 0xC0000000, 0x80000000, "WS_POPUP, not a child")
            self.assertEqual(style & 0x00C00000, 0, "no caption bar")
            children = {c["class"].lower(): c for c in shown[1:]}
            self.assertIn("static", children)
            self.assertEqual(children["static"]["text"],
                             "Please wait while setup is extracting data...")
            bar = children.get("msctls_progress32")
            self.assertIsNotNone(bar, "no progress bar in the window")
            self.assertEqual(bar["id"], 1013)
            self.assertTrue(int(bar["style"], 16) & 0x01, "PBS_SMOOTH")
            self.assertEqual(int(bar["hwnd"], 16), int(held["bar"], 16),
                             "the bar that holds is the one shown")
            if harness.SLOW == 1:
                # Read from outside too (uia reads the bar's state from the
                # program's memory); qemu-i386 keeps a 32-bit program's
                # memory where that read does not find it.
                self.assertEqual(bar.get("pos"), held["held"],
                                 "position read from outside while held")
            self.assertEqual(left, [], "the progress window must be gone once the wizard "
                                       "is open")

        with self.subTest("every range and position the bar was given"):
            setters = [r for r in records if "msg" in r]
            self.assertTrue(setters, "nothing recorded: %s" % records)
            kinds = [r["msg"] for r in setters]
            self.assertEqual(kinds[0], "setrange", "the range comes first: %s" % kinds[:3])
            self.assertEqual(kinds[-1], "destroy", "the bar is destroyed at the end")
            self.assertEqual(set(kinds[1:-1]), {"setpos"}, "then positions only")
            self.assertEqual({tuple(r["range"]) for r in setters[:-1]}, {(0, 100)},
                             "range of the bar")
            moves = setters[1:-1]
            positions = [r["pos"] for r in moves]
            self.assertEqual(positions, [r["wparam"] for r in moves],
                             "the bar shows each percentage it is given")
            self.assertEqual(positions, sorted(positions), "positions never go back")
            # one update per output window of at most 65536 bytes: every
            # percentage from 0 to 100 comes up
            self.assertGreaterEqual(len(moves), -(-inflated // 65536),
                                    "updates for %d inflated bytes" % inflated)
            self.assertEqual(sorted(set(positions)), list(range(101)),
                             "percentages shown")
            self.assertEqual([r for r in moves if r["visible"] != 1], [],
                             "positions set while the window was not visible")
            self.assertEqual(held["held"], self.HOLD, "held at the first position >= %d"
                             % self.HOLD)
            TIMINGS["progress_updates"] = len(moves)


class DllPlanting(LauncherCase):
    """DLLs in the setup's own folder must not be loaded in place of the
    system's riched32.dll and comctl32.dll."""

    OVERRIDES = "riched32,comctl32=n,b;mscoree,mshtml=;winedbg.exe=d"

    def plant(self, folder):
        for dll in ("riched32.dll", "comctl32.dll"):
            shutil.copyfile(os.path.join(self.cfg.plant, dll), os.path.join(folder, dll))

    def markers(self, folder):
        return sorted(n for n in os.listdir(folder) if n.endswith(".loaded"))

    def test_planted_dlls_are_not_loaded(self):
        # The fixture itself: with the override, a program that loads the
        # DLLs by name from this folder picks the planted ones.
        control = self.s.case_dir(self.case + "_control")
        self.plant(control)
        shutil.copyfile(self.cfg.tool("uia.exe"), os.path.join(control, "uia.exe"))
        for dll in ("riched32.dll", "comctl32.dll"):
            p = self.s.wine([self.s.windows_path(os.path.join(control, "uia.exe")), "loadlib", dll],
                            env={"WINEDLLOVERRIDES": self.OVERRIDES})
            self.assertEqual(p.returncode, 0, p.stdout)
        self.assertEqual(self.markers(control), ["comctl32.dll.loaded", "riched32.dll.loaded"],
                         "the planted marker DLLs must load when picked, or this case "
                         "could not fail")

        self.plant(self.dir)
        members = standard_members()
        run = self.start(container.build(self.image, members),
                         env={"WINEDLLOVERRIDES": self.OVERRIDES})
        code = run.finish(120)
        self.assertEqual(self.markers(self.dir), [],
                         "planted DLLs were loaded by the setup program")
        self.assertEqual(code, 0, "exit code with planted DLLs present")


if __name__ == "__main__":
    unittest.main()
