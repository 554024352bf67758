"""End-to-end tests of the hand-off to the Application Manager under Wine:
full runs through Accept and the final Next, with a stand-in Application
Manager registered under a folder whose name has blanks.

Run by ctest (tests/wine/CMakeLists.txt) or directly:
    VQ_BUILD_DIR=build python3 tests/wine/test_handoff.py -v
"""

import os
import shutil
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import harness  # noqa: E402
from harness import IDC_NEXT  # noqa: E402

TOOLS_DIR = "C:\\Program Files\\CE Tools"
APPMGR = TOOLS_DIR + "\\CEAPPMGR.EXE"
CAB_A = b"first cab " * 500
CAB_B = bytes(range(256)) * 40
CAB_RT = b"runtime cab " * 300
# A second component, as a runtime comes: its own INI and CAB file.
RUNTIME_INI = harness.component_ini("Test Runtime", "rt.cab")


def setUpModule():
    cases.start_session("handoff")


def tearDownModule():
    cases.stop_session()


def read_starts(path):
    """The starts a fake Application Manager recorded: [(cmdline, path)]."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    starts = []
    for line in lines:
        if line.startswith("cmdline: "):
            starts.append([line[len("cmdline: "):], None])
        elif line.startswith("path: ") and starts:
            starts[-1][1] = line[len("path: "):]
    return [tuple(s) for s in starts]


class HandoffCase(cases.SetupCase):

    def setUp(self):
        super().setUp()
        self.tools = self.s.unix_path(TOOLS_DIR)
        shutil.rmtree(self.tools, ignore_errors=True)
        os.makedirs(self.tools)
        shutil.copyfile(self.s.appmgr_tool(), os.path.join(self.tools, "CEAPPMGR.EXE"))
        self.log = os.path.join(self.tools, "cmdline.txt")
        self.s.set_app_path(APPMGR)
        self.planted = self.s.unix_path("C:\\Program.exe")
        self.planted_log = self.s.unix_path("C:\\cmdline.txt")

    def tearDown(self):
        super().tearDown()
        for path in (self.planted, self.planted_log):
            if os.path.exists(path):
                os.unlink(path)

    def members(self, install_directory, cab_files="a.cab,b.cab", product="Handoff Test",
                extra=(), also_install=None):
        ini = harness.descriptor(product_name=product, product_version="1.0",
                                 cab_files=cab_files, install_directory=install_directory,
                                 license_file="license.txt", body_bitmap="body.bmp",
                                 head_bitmap="head.bmp", also_install=also_install)
        self.ini = ini
        return [("Setup.ini", ini), ("a.cab", CAB_A), ("b.cab", CAB_B),
                ("license.txt", b"License text.\r\n"), ("body.bmp", harness.bmp(100, 100)),
                ("head.bmp", harness.bmp(50, 30))] + list(extra)

    def run_to_final_next(self, members):
        run = self.start(members)
        wiz = self.open_wizard(run)
        workspace = self.one_workspace()
        wiz.accept_and_finish()
        return run, wiz, workspace

    def expected_cmdline(self, install_directory, inis=("Setup.ini",)):
        return '"%s"' % APPMGR + "".join(' "%s\\%s\\%s"' % (TOOLS_DIR, install_directory, ini)
                                         for ini in inis)

    def starts(self):
        """Every start of the Application Manager, once the setup has ended:
        the stand-ins it started have then ended too, and recorded all."""
        self.s.wait_ended("CEAPPMGR.EXE")
        return read_starts(self.log)


class Deployment(HandoffCase):

    def test_full_run_with_planted_program_exe(self):
        # The fixture: C:\Program.exe, a copy of the recording stand-in, is
        # what an unquoted start of the registered path runs.
        shutil.copyfile(self.s.appmgr_tool(), self.planted)
        rc, out = self.s.uia("winexec", '%s "probe"' % APPMGR)
        self.s.wait_ended("Program.exe")
        self.assertTrue(os.path.exists(self.planted_log),
                        "planted C:\\Program.exe recording an unquoted start (fixture)")
        os.unlink(self.planted_log)

        # Two more components: Gone.ini is no member (skipped), Empty.ini
        # names no CAB file (it goes over alone), RT.ini brings rt.cab.
        members = self.members("HandoffApp", also_install="Gone.ini,RT.ini,Empty.ini",
                               extra=[("RT.ini", RUNTIME_INI), ("rt.cab", CAB_RT),
                                      ("Empty.ini", b"")])
        run, wiz, workspace = self.run_to_final_next(members)
        self.assertEqual(run.wait(60), 0, "exit code after the hand-off")
        starts = self.starts()
        self.assertEqual(starts, [(self.expected_cmdline("HandoffApp",
                                                         ("Setup.ini", "RT.ini", "Empty.ini")),
                                   APPMGR)],
                         "starts of the Application Manager (command line with every INI "
                         "that arrived, in order; program) expected vs got")
        self.s.wait_ended("Program.exe")
        self.assertFalse(os.path.exists(self.planted_log),
                         "the planted C:\\Program.exe was started")
        self.assert_files(os.path.join(self.tools, "HandoffApp"),
                          {"Setup.ini": self.ini, "a.cab": CAB_A, "b.cab": CAB_B,
                           "RT.ini": RUNTIME_INI, "rt.cab": CAB_RT, "Empty.ini": b""},
                          "install folder")
        self.assertEqual(self.s.workspaces(), [],
                         "workspace folder after every member was consumed: %s"
                         % cases.describe(workspace))

    def test_quoted_expandable_registry_value(self):
        # A REG_EXPAND_SZ value with quotes around the path names the same
        # program once expanded: same install folder and command line as
        # the bare value above.
        value = '"%%SystemDrive%%%s"' % APPMGR[2:]
        harness.set_app_path_expandable(self.s, value)
        rc, text = self.s.app_paths_state()
        self.assertIn("REG_EXPAND_SZ", text, "the stored value's type (fixture)")
        self.assertIn(value, text, "the stored value, quoted and unexpanded (fixture)")
        run, wiz, workspace = self.run_to_final_next(self.members("QuotedApp"))
        self.assertEqual(run.wait(60), 0, "exit code after the hand-off")
        self.assertEqual(self.starts(), [(self.expected_cmdline("QuotedApp"), APPMGR)],
                         "starts of the Application Manager (command line, program) "
                         "expected vs got")
        self.assert_files(os.path.join(self.tools, "QuotedApp"),
                          {"Setup.ini": self.ini, "a.cab": CAB_A, "b.cab": CAB_B},
                          "install folder beside the program, as for the bare value")
        self.assertEqual(self.s.workspaces(), [], "workspace folder removed")

    def test_existing_folder_reused_and_unconsumed_member_kept(self):
        target = os.path.join(self.tools, "Reused")
        os.makedirs(target)
        for name, data in (("a.cab", b"old a.cab"), ("other.txt", b"left alone")):
            with open(os.path.join(target, name), "wb") as f:
                f.write(data)
        # ..\victim.txt names a file beside the workspace folder: no member
        victim = os.path.join(self.s.temp_dir(), "victim.txt")
        with open(victim, "wb") as f:
            f.write(b"not a member")
        try:
            members = self.members("Reused", cab_files="a.cab,b.cab,..\\victim.txt",
                                   extra=[("extra.dat", b"not listed anywhere")])
            run, wiz, workspace = self.run_to_final_next(members)
            self.assertEqual(run.wait(60), 0, "exit code after the hand-off")
            self.assertEqual(self.starts(), [(self.expected_cmdline("Reused"), APPMGR)])
            self.assert_files(target, {"Setup.ini": self.ini, "a.cab": CAB_A, "b.cab": CAB_B,
                                       "other.txt": b"left alone"},
                              "reused install folder (a.cab replaced, other.txt kept)")
            self.assert_files(workspace, {"extra.dat": b"not listed anywhere"},
                              "workspace folder kept for the unconsumed member")
            self.assertTrue(os.path.exists(victim),
                            "..\\victim.txt in CabFiles moved a file from outside the workspace")
            self.assertFalse(os.path.exists(os.path.join(self.tools, "victim.txt")),
                             "..\\victim.txt in CabFiles wrote beside the install folder")
        finally:
            if os.path.exists(victim):
                os.unlink(victim)


class Failures(HandoffCase):

    def test_nested_install_directory_with_missing_parent(self):
        members = self.members("Missing\\Nested", product="Nested Test")
        run, wiz, workspace = self.run_to_final_next(members)
        box = self.wait_box(run)
        self.assertEqual((box["caption"], box["text"]),
                         ("Nested Test 1.0 for Windows CE Setup",
                          "Error Code: 00000003\nError creating directory %s\\Missing\\Nested."
                          % TOOLS_DIR),
                         "error box (caption, text)")
        self.press(run, box)
        self.assertEqual(run.wait(60), 0, "exit code after a failed hand-off")
        self.assertFalse(os.path.exists(os.path.join(self.tools, "Missing")),
                         "no folder may be created")
        self.assert_files(workspace, {"Setup.ini": self.ini, "a.cab": CAB_A, "b.cab": CAB_B},
                          "nothing moved out of the workspace folder")
        self.assertEqual(self.starts(), [], "the Application Manager must not start")

    def test_listed_list_that_may_be_cut(self):
        # Long.ini's CabFiles fills its buffer: the setup program would hand
        # over part of that component, so it stops after Setup.ini's one.
        # RT.ini, listed after it, is not reached.
        long_ini = harness.component_ini("Long", "rt.cab," + "x" * 600)
        members = self.members("CutList", product="Cut Test", also_install="Long.ini,RT.ini",
                               extra=[("Long.ini", long_ini), ("rt.cab", CAB_RT),
                                      ("RT.ini", RUNTIME_INI)])
        run, wiz, workspace = self.run_to_final_next(members)
        box = self.wait_box(run)
        self.assertEqual((box["caption"], box["text"]),
                         ("Cut Test 1.0 for Windows CE Setup",
                          "Error Code: 0000007A\nError reading Long.ini."),
                         "error box (caption, text)")
        self.press(run, box)
        self.assertEqual(run.wait(60), 0, "exit code after a failed hand-off")
        self.assert_files(os.path.join(self.tools, "CutList"),
                          {"Setup.ini": self.ini, "a.cab": CAB_A, "b.cab": CAB_B},
                          "Setup.ini's component moved")
        self.assert_files(workspace, {"Long.ini": long_ini, "rt.cab": CAB_RT,
                                      "RT.ini": RUNTIME_INI},
                          "the rest stays in the workspace folder")
        self.assertEqual(read_starts(self.log), [], "the Application Manager must not start")

    def test_missing_program_and_second_next(self):
        self.s.set_app_path(TOOLS_DIR + "\\NOAPPMGR.EXE")
        members = self.members("LaunchFail", product="Launch Test")
        run, wiz, workspace = self.run_to_final_next(members)
        box = self.wait_box(run)
        self.assertEqual((box["caption"], box["text"]),
                         ("Launch Test 1.0 for Windows CE Setup", "Can not launch CeAppMgr.exe"),
                         "error box (caption, text)")
        # The box has no owner, so the wizard still takes commands. A second
        # Next, sent so that its handling is over when the call returns, must
        # not run the hand-off again (which would block in a second box for
        # good: the bound only ends the wait for that).
        returned = wiz.send_command(IDC_NEXT, timeout_ms=30000)
        boxes = wiz.message_boxes()
        self.assertTrue(returned, "a second Next while the box is open did not return: "
                                  "the hand-off ran again (boxes now: %s)"
                                  % [(b["text"], b["hwnd"]) for b in boxes])
        self.assertEqual([b["hwnd"] for b in boxes], [box["hwnd"]],
                         "exactly the one error box is open")
        self.press(run, box)
        self.assertEqual(run.wait(60), 0, "exit code after a failed launch")
        self.assert_files(os.path.join(self.tools, "LaunchFail"),
                          {"Setup.ini": self.ini, "a.cab": CAB_A, "b.cab": CAB_B},
                          "moved files stay in the install folder")
        self.assertEqual(self.s.workspaces(), [], "workspace folder removed")
        self.assertEqual(self.starts(), [], "nothing may start")


if __name__ == "__main__":
    unittest.main()
