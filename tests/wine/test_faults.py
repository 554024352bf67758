"""Faults injected into real runs of the setup program under Wine: a disk
that fills while the spool file or the members are written, folders and a
file that cannot be written, Rich Edit missing, a wizard that cannot open,
repeated and simultaneous runs.

Every case records the text it saw, the exit code and what was on disk
afterwards; the module prints the table at its end (and writes it to
<work>/faults-summary.md).

The small and read-only disks are tmpfs mounts inside the prefix's drive_c
and the read-only file a bind mount, so this module needs to be able to
mount (root in the test machine); without that its cases are skipped.

Run by ctest (tests/wine/CMakeLists.txt) or directly:
    VQ_BUILD_DIR=build python3 tests/wine/test_faults.py -v
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import container  # noqa: E402
import harness  # noqa: E402

ROWS = []
CAB_A = b"fault cab A " * 400
CAB_B = b"fault cab B " * 700
RICH_EDIT_OFF = "riched32=d;mscoree,mshtml=;winedbg.exe=d"


MOUNTS = ("vqfull1", "vqfull2", "vqrotemp", "vqroapp")


def setUpModule():
    cases.start_session("faults")
    # mounts left by a run that was killed before its clean-up
    for name in MOUNTS:
        path = os.path.join(cases.SESSION.cfg.prefix, "drive_c", name)
        if os.path.ismount(path):
            subprocess.run(["umount", "-l", path], capture_output=True)


def tearDownModule():
    cases.stop_session()
    if not ROWS:
        return
    lines = ["| case | text seen | exit | on disk afterwards |", "|---|---|---|---|"]
    for row in ROWS:
        lines.append("| %s |" % " | ".join(str(c).replace("\n", "\\n").replace("|", "/")
                                           for c in row))
    table = "\n".join(lines)
    sys.stdout.write("\nFault injection summary\n\n%s\n" % table)
    sys.stdout.flush()
    with open(os.path.join(harness.Config().work, "faults-summary.md"), "w") as f:
        f.write(table + "\n")


def can_mount(path):
    os.makedirs(path, exist_ok=True)
    p = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", path],
                       capture_output=True)
    if p.returncode != 0:
        return False
    subprocess.run(["umount", path], capture_output=True)
    return True


class FaultCase(cases.SetupCase):

    def setUp(self):
        super().setUp()
        self.row = None

    def tearDown(self):
        super().tearDown()
        if self.row:
            ROWS.append(self.row)

    def record(self, text, code, disk):
        self.row = (self.case.split("_test_", 1)[-1], text, code, disk)

    @contextlib.contextmanager
    def tmpfs(self, name, size, populate=None, readonly=False):
        """A tmpfs of `size` mounted at C:\\<name>; populate(unix path) runs
        before it is made read-only. Yields the Unix path."""
        path = os.path.join(self.cfg.prefix, "drive_c", name)
        if not can_mount(path):
            self.skipTest("cannot mount a tmpfs (needs root)")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", path],
                       check=True)
        try:
            if populate:
                populate(path)
            if readonly:
                subprocess.run(["mount", "-o", "remount,ro", path], check=True)
            yield path
        finally:
            if subprocess.run(["umount", path], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", path], capture_output=True)
            with contextlib.suppress(OSError):
                os.rmdir(path)
            self.s._temp_unix = None

    @contextlib.contextmanager
    def read_only_file(self, path, data):
        """`data` at `path` as a file that cannot be written whoever asks: a
        read-only bind mount of a read-only file (running as root, Wine
        replaces a file whose only protection is its mode bits)."""
        source = os.path.join(self.cfg.work, "readonly-" + os.path.basename(path))
        for name in (source, path):
            with contextlib.suppress(FileNotFoundError):
                os.chmod(name, 0o644)
            with open(name, "wb") as f:
                f.write(data)
        os.chmod(source, 0o444)
        if subprocess.run(["mount", "--bind", source, path], capture_output=True).returncode:
            self.skipTest("cannot bind-mount a file (needs root)")
        try:
            subprocess.run(["mount", "-o", "remount,bind,ro", path], check=True)
            yield path
        finally:
            if subprocess.run(["umount", path], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", path], capture_output=True)
            for name in (path, source):
                with contextlib.suppress(OSError):
                    os.chmod(name, 0o644)
                    os.unlink(name)

    def members(self, install_directory="FaultApp", product="Fault Test", extra=(),
                also_install=None):
        ini = harness.descriptor(product_name=product, product_version="1.0",
                                 cab_files="a.cab,b.cab", install_directory=install_directory,
                                 also_install=also_install)
        return [("Setup.ini", ini), ("a.cab", CAB_A), ("b.cab", CAB_B)] + list(extra)

    def error_before_wizard(self, run):
        """The error box of a failed start: (caption, text, exit code)."""
        box = self.wait_box(run)
        self.press(run, box)
        return box["caption"], box["text"], run.wait(60)


class DiskFull(FaultCase):
    """The temporary folder on a small disk."""

    def test_disk_fills_while_spool_is_written(self):
        payload = b"spool spool " * (4 << 20 >> 3)  # 6 MB, compresses to a few KB
        with self.tmpfs("vqfull1", "1m"):
            with self.s.temp_folder("C:\\vqfull1"):
                run = self.start(self.members(extra=[("big.cab", payload)]))
                caption, text, code = self.error_before_wizard(run)
                workspace = self.one_workspace()
                disk = cases.describe(workspace)
                left = os.listdir(workspace)
        self.record(text, code, "workspace: " + disk)
        self.assertEqual(caption, harness.ERROR_CAPTION)
        self.assertRegex(text, r"^Error Code: 00000070\nError writing data to "
                               r"C:\\vqfull1\\_VQI[0-9A-F]{4}\\data[0-9a-f]{4}\.tmp\.$",
                         "text of the error box (disk full, 0x70)")
        self.assertEqual(code, 255, "exit code")
        self.assertEqual(left, [], "spool file gone and no member written")

    def test_disk_fills_while_members_are_written(self):
        # spool about 4.5 MB fits the 8 MB disk; spool and members do not:
        # m1 and m2 fit beside the spool, m3 is cut, m4 never begins
        size = 1536 << 10
        data = {"m%d.bin" % i: (b"member %d data " % i) * (size // 15) for i in (1, 2, 3)}
        data["m4.bin"] = b"last member"
        members = self.members() + sorted(data.items())
        with self.tmpfs("vqfull2", "8m"):
            with self.s.temp_folder("C:\\vqfull2"):
                run = self.start(members)
                caption, text, code = self.error_before_wizard(run)
                workspace = self.one_workspace()
                disk = cases.describe(workspace)
                got = cases.files_in(workspace)
        self.record(text, code, "workspace: " + disk)
        self.assertEqual(caption, harness.ERROR_CAPTION)
        # The write that crosses the limit moves part of its bytes and
        # succeeds under Wine (Linux writes what fits) without a code; the
        # setup program reports such a short write as ERROR_DISK_FULL.
        self.assertRegex(text, r"^Error Code: 00000070\nError writing data to "
                               r"C:\\vqfull2\\_VQI[0-9A-F]{4}\\m3\.bin\.$",
                         "text of the error box (disk full while writing m3.bin)")
        self.assertEqual(code, 255, "exit code")
        expected_complete = {n: d for n, d in members if n not in ("m3.bin", "m4.bin")}
        self.assertEqual(sorted(got), sorted(list(expected_complete) + ["m3.bin"]),
                         "files left: the complete members and the cut one, no spool file")
        for name, d in expected_complete.items():
            self.assertTrue(got[name] == d, "member %s written before the failure is complete"
                            % name)
        cut = got["m3.bin"]
        self.assertLess(len(cut), len(data["m3.bin"]), "m3.bin must be cut")
        self.assertTrue(data["m3.bin"].startswith(cut), "m3.bin holds a prefix of its data")


class ReadOnlyFolders(FaultCase):

    def test_temp_folder_cannot_be_written(self):
        with self.tmpfs("vqrotemp", "1m", readonly=True) as path:
            with self.s.temp_folder("C:\\vqrotemp"):
                run = self.start(self.members())
                caption, text, code = self.error_before_wizard(run)
                left = os.listdir(path)
        self.record(text, code, "temp folder: %s" % (left or "(empty)"))
        self.assertEqual(caption, harness.ERROR_CAPTION)
        self.assertRegex(text, r"^Error Code: [0-9A-F]{8}\nError creating directory "
                               r"C:\\vqrotemp\\_VQI[0-9A-F]{4}\.$", "text of the error box")
        self.assertNotRegex(text, r"^Error Code: 00000000", "a failure code, not 0")
        self.assertEqual(code, 255, "exit code")
        self.assertEqual(left, [], "nothing written")

    def test_install_folder_cannot_be_created(self):
        def populate(path):
            shutil.copyfile(self.s.appmgr_tool(), os.path.join(path, "CEAPPMGR.EXE"))
        with self.tmpfs("vqroapp", "1m", populate=populate, readonly=True) as path:
            self.s.set_app_path("C:\\vqroapp\\CEAPPMGR.EXE")
            members = self.members(product="Readonly Test")
            run = self.start(members)
            wiz = self.open_wizard(run)
            workspace = self.one_workspace()
            wiz.accept_and_finish()
            box = self.wait_box(run)
            self.press(run, box)
            code = run.wait(60)
            app_folder = sorted(os.listdir(path))
        disk = "workspace: %s; app folder: %s" % (cases.describe(workspace), app_folder)
        self.record(box["text"], code, disk)
        self.assertEqual(box["caption"], "Readonly Test 1.0 for Windows CE Setup",
                         "caption: the wizard title")
        self.assertRegex(box["text"], r"^Error Code: [0-9A-F]{8}\nError creating directory "
                                      r"C:\\vqroapp\\FaultApp\.$", "text of the error box")
        self.assertNotRegex(box["text"], r"^Error Code: 00000000", "a failure code, not 0")
        self.assertEqual(code, 0, "exit code after a failed hand-off")
        self.assertEqual(app_folder, ["CEAPPMGR.EXE"], "nothing created in the app folder")
        self.assert_files(workspace, dict(members), "workspace kept, nothing moved")

    def test_read_only_cab_of_second_component_in_install_folder(self):
        # c.cab of an earlier version, read-only, in the install folder: the
        # first component (a.cab, b.cab, Setup.ini) moves, then d.cab of the
        # second; c.cab cannot be replaced, so c.cab, C2.ini and the third
        # component stay in the workspace and the Application Manager is not
        # started.
        target = self.s.unix_path("C:\\vqappmgr\\FaultApp")
        os.makedirs(target, exist_ok=True)
        for name in os.listdir(target):
            os.unlink(os.path.join(target, name))
        second = harness.component_ini("Second", "d.cab,c.cab")
        third = harness.component_ini("Third", "e.cab")
        members = self.members(product="Readonly Cab", also_install="C2.ini,C3.ini",
                               extra=[("C2.ini", second), ("c.cab", CAB_A[:999]),
                                      ("d.cab", CAB_B[:999]), ("C3.ini", third),
                                      ("e.cab", b"third")])
        with self.read_only_file(os.path.join(target, "c.cab"), b"old c.cab"):
            run = self.start(members)
            wiz = self.open_wizard(run)
            workspace = self.one_workspace()
            wiz.accept_and_finish()
            box = self.wait_box(run)
            self.press(run, box)
            code = run.wait(60)
            installed = cases.files_in(target)
        self.s.wait_ended("CeAppMgr.exe")  # a start would be recorded by now
        started = os.path.exists(self.s.unix_path("C:\\vqappmgr\\cmdline.txt"))
        disk = "workspace: %s; install folder: %s; started: %s" % (
            cases.describe(workspace), sorted(installed), started)
        self.record(box["text"], code, disk)
        self.assertEqual((box["caption"], box["text"]),
                         ("Readonly Cab 1.0 for Windows CE Setup",
                          "Error Code: 00000005\nError copying c.cab to C:\\vqappmgr\\FaultApp."),
                         "error box (caption, text)")
        self.assertEqual(code, 0, "exit code after a failed hand-off")
        self.assertFalse(started, "the Application Manager must not start")
        moved = ("a.cab", "b.cab", "Setup.ini", "d.cab")
        self.assertEqual(installed, dict([(n, d) for n, d in members if n in moved] +
                                         [("c.cab", b"old c.cab")]),
                         "install folder: the first component and d.cab moved, the "
                         "read-only c.cab unchanged")
        self.assert_files(workspace, {n: d for n, d in members if n in
                                      ("c.cab", "C2.ini", "C3.ini", "e.cab")},
                          "workspace kept with what was not moved")


class RichEditMissing(FaultCase):

    def test_riched32_disabled(self):
        members = self.members()
        run = self.start(members, env={"WINEDLLOVERRIDES": RICH_EDIT_OFF})
        caption, text, code = self.error_before_wizard(run)
        workspace = self.one_workspace()
        disk = cases.describe(workspace)
        self.record(text, code, "workspace: " + disk)
        self.assertEqual((caption, text),
                         (harness.ERROR_CAPTION, "Installer failed to initialize Rich Edit Control."),
                         "error box (caption, text)")
        self.assertEqual(code, 255, "exit code")
        self.assert_files(workspace, dict(members),
                          "the extracted members stay in the workspace folder")


class WizardCannotOpen(FaultCase):

    def test_wizard_control_class_missing(self):
        # The wizard's template names a control class that nobody registers,
        # so DialogBoxParamA fails: an error, not a finished setup.
        rich = "RICHEDIT".encode("utf-16-le")
        self.assertEqual(self.image.count(rich), 1, "the wizard template's RICHEDIT class")
        image = self.image.replace(rich, "RICHEDIX".encode("utf-16-le"))
        path = os.path.join(self.dir, "vq_nowizard.exe")
        with open(path, "wb") as f:
            f.write(container.build(image, self.members()))
        run = self.start(path)
        caption, text, code = self.error_before_wizard(run)
        left = self.s.workspaces()
        self.record(text, code, "workspaces left: %d" % len(left))
        self.assertEqual(caption, harness.ERROR_CAPTION)
        self.assertRegex(text, r"^Error Code: [0-9A-F]{8}\nThe setup wizard could not be opened\.$")
        self.assertEqual(code, 255, "exit code")
        self.assertEqual(left, [], "what was extracted is removed")


class RepeatedRuns(FaultCase):

    def finish(self, run):
        wiz = self.open_wizard(run)
        wiz.accept_and_finish()
        return run.wait(60)

    def log_starts(self):
        """The recorded starts; all of them once the setups have ended."""
        self.s.wait_ended("CeAppMgr.exe")
        path = self.s.unix_path("C:\\vqappmgr\\cmdline.txt")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [l for l in f.read().decode("latin-1").split("\r\n")
                    if l.startswith("cmdline: ")]

    def test_same_setup_twice_in_a_row(self):
        members = self.members(install_directory="TwiceApp")
        path = self.write_setup(members)
        codes = []
        for _ in range(2):
            codes.append(self.finish(self.start(path)))
            self.assertEqual(len(self.log_starts()), len(codes),
                             "starts of the Application Manager after run %d" % len(codes))
        target = self.s.unix_path("C:\\vqappmgr\\TwiceApp")
        starts = self.log_starts()
        self.record("(no box)", codes, "install folder: %s; starts: %d; workspaces left: %d"
                    % (cases.describe(target), len(starts), len(self.s.workspaces())))
        self.assertEqual(codes, [0, 0], "exit codes of both runs")
        self.assertEqual(len(starts), 2, "the Application Manager started once per run")
        self.assert_files(target, {n: d for n, d in members}, "install folder after two runs")
        self.assertEqual(self.s.workspaces(), [], "no workspace folder left")

    def test_two_setups_started_together(self):
        setups = {}
        for tag in ("one", "two"):
            members = [("Setup.ini", harness.descriptor(product_name="Parallel " + tag,
                                                        cab_files="%s.cab" % tag,
                                                        install_directory="Par_" + tag)),
                       ("%s.cab" % tag, (b"parallel %s " % tag.encode()) * 30000)]
            setups[tag] = (self.write_setup(members, "vq_par_%s.exe" % tag), members)
        runs = {tag: self.s.start_setup(path) for tag, (path, _) in setups.items()}
        self.runs.extend(runs.values())
        states = {tag: run.wait_exit_or_wizard(60) for tag, run in runs.items()}
        spaces = self.s.workspaces()
        seen = {os.path.basename(w): sorted(os.listdir(w)) for w in spaces}
        shared = len(spaces) == 1
        intact = {}
        if not shared:
            for tag, (_, members) in setups.items():
                mine = [w for w in spaces if os.path.exists(os.path.join(w, "%s.cab" % tag))]
                intact[tag] = len(mine) == 1 and cases.files_in(mine[0]) == dict(members)
        codes = {}
        for tag, run in runs.items():
            if states[tag][0] == "wizard":
                wiz = harness.Wizard(run, states[tag][1])
                wiz.accept_and_finish()
                codes[tag] = run.wait(60)
            else:
                codes[tag] = states[tag][1]
        installs = {tag: cases.files_in(self.s.unix_path("C:\\vqappmgr\\Par_" + tag))
                    for tag in setups}
        self.record("(no box)" if all(s[0] == "wizard" for s in states.values())
                    else "states %s" % states,
                    codes, "workspaces while both wizards were open: %s (%s); installs: %s"
                    % (seen, "one shared folder" if shared else "separate folders",
                       {t: sorted(f) for t, f in installs.items()}))
        harness.log("parallel runs: workspaces %s, codes %s" % (seen, codes))
        self.assertEqual(codes, {"one": 0, "two": 0}, "both runs end cleanly (exit codes)")
        # Each run makes a new folder of its own, also when both start in the
        # same tick: a name that exists is passed over.
        self.assertFalse(shared, "both runs used one workspace folder: %s" % seen)
        self.assertEqual(intact, {"one": True, "two": True},
                         "each workspace holds exactly its own run's members: %s" % seen)
        for tag, (_, members) in setups.items():
            self.assertEqual(installs[tag], dict(members), "install folder of run %s" % tag)
        self.assertEqual(self.s.workspaces(), [], "no workspace folder left")


if __name__ == "__main__":
    unittest.main()
