"""End-to-end tests of the setup wizard under Wine: title, page contents and
navigation, license acceptance, the close requests it ignores, Cancel with
its clean-up of the workspace folder, license text and pictures, values at
their limits.

Run by ctest (tests/wine/CMakeLists.txt) or directly:
    VQ_BUILD_DIR=build python3 tests/wine/test_wizard.py -v
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import harness  # noqa: E402
from harness import (IDC_ACCEPT, IDC_BACK, IDC_BODY_BITMAP, IDC_CANCEL,  # noqa: E402
                     IDC_DECLINE, IDC_HEAD_BITMAP, IDC_LICENSE_TEXT, IDC_NEXT,
                     IDC_WELCOME_BODY, IDC_WELCOME_TITLE, LICENSE_CONTROLS, VK_ESCAPE)

EXIT_TEXT = ("Setup is not complete. If you quit now, the program will not be installed\n\n"
             "You may run the Setup program again at another time to complete the "
             "installation.\n\nExit Setup?")
BODY_FORMAT = ("Setup will install %s version %s onto your PocketPC.\n"
               "Please ensure your PocketPC is connected and turned on.")
TITLE_FORMAT = "Welcome to %s for Windows CE Setup"

RTF_LICENSE = (rb"{\rtf1\ansi\deff0{\fonttbl{\f0\fswiss Arial;}}\f0\fs20 "
               rb"Terms of \b use\b0  for the product.\par Second paragraph.}")
# rich text in a file whose name does not end in rtf: shown as it is
TXT_LICENSE = b"{\\rtf1 Plain \\b license\\b0}\r\nSecond line.\r\n"

CAB_A = b"cab A " * 200
CAB_B = b"cab B " * 300


def setUpModule():
    cases.start_session("wizard")


def tearDownModule():
    cases.stop_session()


class WizardCase(cases.SetupCase):

    def members(self, ini, **extra):
        m = [("Setup.ini", ini), ("a.cab", CAB_A), ("b.cab", CAB_B)]
        m += list(extra.items())
        return m

    def check_welcome(self, v, name, version):
        with self.subTest("welcome page"):
            self.assertEqual(v.title, "%s %s for Windows CE Setup" % (name, version),
                             "wizard title")
            self.assertEqual(v.page, "welcome", "page shown at opening")
            self.assertFalse(v.visible(IDC_BACK), "Back is hidden on the welcome page")
            self.assertTrue(v.visible(IDC_NEXT) and v.enabled(IDC_NEXT),
                            "Next visible and enabled on the welcome page")
            self.assertTrue(v.visible(IDC_CANCEL), "Cancel visible")
            for cid in LICENSE_CONTROLS:
                self.assertFalse(v.visible(cid), "license control %d hidden on the welcome page"
                                 % cid)
            self.assertEqual(v.welcome_controls[IDC_WELCOME_TITLE]["text"], TITLE_FORMAT % name,
                             "welcome title text")
            self.assertEqual(v.welcome_controls[IDC_WELCOME_BODY]["text"],
                             BODY_FORMAT % (name, version), "welcome body text")
            self.assertEqual((v.checked(IDC_ACCEPT), v.checked(IDC_DECLINE)), (0, 1),
                             "radio buttons at opening (accept, decline)")
            self.assertEqual(v.focus_id, IDC_NEXT, "focus at opening")

    def check_license_page(self, v, next_enabled):
        with self.subTest("license page", next_enabled=next_enabled):
            self.assertEqual(v.page, "license")
            self.assertTrue(v.visible(IDC_BACK), "Back visible on the license page")
            self.assertTrue(v.visible(IDC_NEXT), "Next visible on the license page")
            for cid in LICENSE_CONTROLS:
                self.assertTrue(v.visible(cid), "license control %d visible" % cid)
            self.assertEqual(v.enabled(IDC_NEXT), next_enabled, "Next enabled")
            self.assertEqual(v.focus_id, IDC_LICENSE_TEXT, "focus on the license page")

    def check_picture(self, page_controls, cid, size, flush_right_of=None):
        pic = page_controls[cid]
        self.assertEqual(tuple(pic["client_size"]), size,
                         "picture control %d size expected vs got" % cid)
        left, top, right, bottom = pic["in_parent"]
        if flush_right_of is None:
            self.assertEqual((left, top), (0, 0), "picture control %d at the top left" % cid)
        else:
            self.assertEqual((right, top), (flush_right_of, 0),
                             "picture control %d flush with the strip's right edge, at its "
                             "top (right, top) expected vs got" % cid)

    def cancel_yes(self, run, wizard):
        wizard.post_click(IDC_CANCEL)
        box = self.wait_box(run)
        self.assertEqual((box["caption"], box["text"]), ("Exit Setup", EXIT_TEXT),
                         "Cancel confirmation (caption, text)")
        self.press(run, box, "IDYES")
        return run.wait(60)


class Navigation(WizardCase):
    """One run through every page state, with the requests the wizard must
    ignore, a Cancel answered No and finally one answered Yes."""

    def test_pages_acceptance_and_cancel(self):
        ini = harness.descriptor(product_name="Wizard Test", product_version="2.5",
                                 cab_files="a.cab,b.cab", license_file="license.rtf",
                                 body_bitmap="body.bmp", head_bitmap="head.bmp")
        members = self.members(ini, **{"license.rtf": RTF_LICENSE,
                                       "body.bmp": harness.bmp(640, 480),
                                       "head.bmp": harness.bmp(600, 40)})
        run = self.start(members)
        wiz = self.open_wizard(run)
        v = wiz.view()
        self.check_welcome(v, "Wizard Test", "2.5")
        workspace = self.one_workspace()
        kept = {"Setup.ini": ini, "a.cab": CAB_A, "b.cab": CAB_B}
        with self.subTest("displayed members deleted at opening"):
            self.assert_files(workspace, kept, "workspace with the wizard open (license and "
                                               "bitmaps must be gone)")
        with self.subTest("rich text license"):
            text = v.license_text
            self.assertIsNotNone(text, "license text not readable")
            self.assertIn("Terms of use for the product.", text)
            self.assertIn("Second paragraph.", text)
            for word in ("\\", "{", "}", "rtf1", "fs20", "fonttbl", "Arial"):
                self.assertNotIn(word, text, "control words in the shown license %r" % text)
        with self.subTest("body picture 640x480"):
            self.check_picture(v.welcome_controls, IDC_BODY_BITMAP, (500, 314))
        with self.subTest("head picture 600x40"):
            self.check_picture(v.header_controls, IDC_HEAD_BITMAP, (500, 55),
                               flush_right_of=v.header["client_size"][0])

        # Escape, WM_CLOSE and SC_CLOSE arrive as IDCANCEL and are ignored.
        # The Next/Back round trip behind them proves they were processed:
        # the clicks are posted, so they queue behind the requests, and
        # WM_CLOSE posts its IDCANCEL, which the second click follows. A box
        # opened by one of them would exist by the time Back is handled.
        wiz.key(VK_ESCAPE, IDC_NEXT)
        wiz.close()
        wiz.close(syscommand=True)
        wiz.post_click(IDC_NEXT)
        wiz.wait_page("license", "license page after Escape, close requests and Next")
        wiz.key(VK_ESCAPE, IDC_LICENSE_TEXT)
        wiz.post_click(IDC_BACK)
        wiz.wait_page("welcome", "welcome page after Escape and Back")
        wiz.sync("Back")
        v = wiz.view()
        with self.subTest("Escape and close requests ignored"):
            boxes = [(b["text"], b["hwnd"]) for b in wiz.message_boxes()]
            self.assertEqual(boxes, [], "no box may open for Escape or close (expected none, "
                                        "got these)")
            self.assertTrue(run.running, "the wizard must stay open")
            self.assertEqual(v.page, "welcome")

        wiz.click(IDC_NEXT)
        v = wiz.wait_page("license", "license page after Next")
        self.check_license_page(v, next_enabled=False)

        wiz.click(IDC_ACCEPT)
        v = wiz.wait(lambda v: v.enabled(IDC_NEXT), "Next enabled after Accept")
        with self.subTest("after Accept"):
            self.assertEqual((v.checked(IDC_ACCEPT), v.checked(IDC_DECLINE)), (1, 0))

        wiz.click(IDC_BACK)
        v = wiz.wait_page("welcome", "welcome page after Back")
        with self.subTest("Back after Accept"):
            self.assertTrue(v.enabled(IDC_NEXT), "Next enabled on the welcome page")
            self.assertFalse(v.visible(IDC_BACK), "Back hidden again")
            self.assertEqual(v.welcome_controls[IDC_WELCOME_BODY]["text"],
                             BODY_FORMAT % ("Wizard Test", "2.5"), "texts kept after Back")

        wiz.click(IDC_NEXT)
        v = wiz.wait_page("license", "license page again")
        self.check_license_page(v, next_enabled=True)
        with self.subTest("acceptance kept across pages"):
            self.assertEqual((v.checked(IDC_ACCEPT), v.checked(IDC_DECLINE)), (1, 0))

        wiz.click(IDC_DECLINE)
        v = wiz.wait(lambda v: not v.enabled(IDC_NEXT), "Next disabled at once by Decline")
        self.assertEqual((v.checked(IDC_ACCEPT), v.checked(IDC_DECLINE)), (0, 1))
        wiz.click(IDC_ACCEPT)
        wiz.wait(lambda v: v.enabled(IDC_NEXT), "Next enabled after Accept again")

        # Cancel answered No: posted as a command so that no button press
        # moves the focus by itself.
        before = wiz.view()
        wiz.command(IDC_CANCEL)
        box = self.wait_box(run)
        with self.subTest("Cancel confirmation"):
            self.assertEqual(box["caption"], "Exit Setup")
            self.assertEqual(box["text"], EXIT_TEXT)
            self.assertEqual(sorted(box["buttons"]), [6, 7], "Yes and No")
        self.press(run, box, "IDNO")
        # the box is gone: once the wizard's thread is back in its loop, the
        # Cancel handler has returned and the focus is restored
        wiz.sync("Cancel answered No")
        after = wiz.view()
        with self.subTest("Cancel answered No changes nothing"):
            self.assertEqual(after.state(), before.state())
            self.assertEqual(before.focus_id, IDC_ACCEPT, "focus on Accept after its click")
            self.assertEqual((after.focus_id, after.top.get("focus")),
                             (before.focus_id, before.top.get("focus")), "focus (id, window)")
            self.assert_files(workspace, kept, "workspace after Cancel answered No")

        code = self.cancel_yes(run, wiz)
        self.assertEqual(code, 0, "exit code after Cancel")
        self.assertEqual(self.s.workspaces(), [],
                         "Cancel with a.cab,b.cab removes the members, Setup.ini and the "
                         "folder; left: %s" % cases.describe(workspace))


class MissingValues(WizardCase):
    """Missing name and version read NO; a .txt license is plain text; small
    pictures keep their size; CabFiles a.cab, repeats a.cab."""

    def test_defaults_plain_text_small_pictures(self):
        ini = harness.descriptor(product_name=None, product_version=None, cab_files="a.cab,",
                                 license_file="license.txt", body_bitmap="body.bmp",
                                 head_bitmap="head.bmp")
        members = self.members(ini, **{"license.txt": TXT_LICENSE,
                                       "body.bmp": harness.bmp(200, 100),
                                       "head.bmp": harness.bmp(120, 40)})
        run = self.start(members)
        wiz = self.open_wizard(run)
        v = wiz.view()
        self.check_welcome(v, "NO", "NO")
        workspace = self.one_workspace()
        with self.subTest("displayed members deleted at opening"):
            self.assert_files(workspace, {"Setup.ini": ini, "a.cab": CAB_A, "b.cab": CAB_B},
                              "workspace with the wizard open")
        with self.subTest("plain text license"):
            self.assertEqual(v.license_text, TXT_LICENSE.decode("latin-1"),
                             "a .txt license shows as it is, control words included")
        with self.subTest("body picture 200x100"):
            self.check_picture(v.welcome_controls, IDC_BODY_BITMAP, (200, 100))
        with self.subTest("head picture 120x40"):
            self.check_picture(v.header_controls, IDC_HEAD_BITMAP, (120, 55),
                               flush_right_of=v.header["client_size"][0])
        code = self.cancel_yes(run, wiz)
        self.assertEqual(code, 0, "exit code after Cancel")
        self.assert_files(workspace, {"b.cab": CAB_B},
                          "after Cancel with CabFiles a.cab, (only a.cab and Setup.ini go)")


class CancelCleanup(WizardCase):
    """How Cancel walks unusual CabFiles lists."""

    def run_cancel(self, cab_files, also_install=None, **extra):
        ini = harness.descriptor(cab_files=cab_files, also_install=also_install)
        run = self.start(self.members(ini, **extra))
        wiz = self.open_wizard(run)
        workspace = self.one_workspace()
        code = self.cancel_yes(run, wiz)
        self.assertEqual(code, 0, "exit code after Cancel")
        return workspace

    def test_empty_item_and_item_with_folder_part(self):
        # ..\victim.txt names a file in the temporary folder, the workspace's
        # parent: it is no member and must never be deleted
        victim = os.path.join(self.s.temp_dir(), "victim.txt")
        with open(victim, "wb") as f:
            f.write(b"not a member")
        # A second component goes too: its CAB files and its INI.
        second = harness.component_ini("Second", "c.cab,..\\victim.txt")
        try:
            workspace = self.run_cancel("a.cab,,b.cab,..\\victim.txt", also_install="C2.ini,,",
                                        **{"C2.ini": second, "c.cab": CAB_A})
            self.assertTrue(os.path.exists(victim),
                            "..\\victim.txt in CabFiles deleted a file outside the workspace")
            self.assertFalse(os.path.exists(workspace),
                             "a.cab,,b.cab and C2.ini's c.cab: every member, both INIs and the "
                             "folder go; left: %s" % cases.describe(workspace))
        finally:
            if os.path.exists(victim):
                os.unlink(victim)

    def test_blank_after_comma(self):
        workspace = self.run_cancel("a.cab, b.cab")
        self.assert_files(workspace, {"b.cab": CAB_B},
                          "after Cancel with 'a.cab, b.cab' (' b.cab' names no member, so "
                          "b.cab and the folder stay)")


class UnusualValues(WizardCase):
    """Values at the limits: name and version of the greatest length the
    wizard reads, and display members named with a folder part."""

    def test_longest_name_and_version(self):
        # 255 characters each, the most the 256-byte buffers hold; the last
        # character of each differs so that a cut shows where it fell
        name, version = "n" * 254 + "N", "v" * 254 + "V"
        ini = harness.descriptor(product_name=name, product_version=version,
                                 install_directory="LongApp")
        members = self.members(ini)
        run = self.start(members)
        # The title is cut to 255 characters, before its " for Windows CE
        # Setup": the wizard is found by the whole cut title.
        title = ("%s %s for Windows CE Setup" % (name, version))[:255]

        def wizard_with_cut_title():
            rc, out = run.uia("list", "--class", "#32770", "--title", title, "--visible")
            return out[0] if out and "hwnd" in out[0] else None
        wiz = harness.Wizard(run, harness.until(wizard_with_cut_title,
                                                "wizard titled with the cut title", 60))
        v = wiz.view()
        with self.subTest("welcome texts cut to their buffers"):
            self.assertEqual(v.welcome_controls[IDC_WELCOME_TITLE]["text"], TITLE_FORMAT % name,
                             "welcome title: fits whole")
            self.assertEqual(v.welcome_controls[IDC_WELCOME_BODY]["text"],
                             (BODY_FORMAT % (name, version))[:511], "welcome body: 511 characters")
        wiz.accept_and_finish()
        self.assertEqual(run.wait(60), 0, "exit code after the hand-off")
        log = self.s.unix_path("C:\\vqappmgr\\cmdline.txt")
        self.s.wait_ended("CeAppMgr.exe")  # then every start is recorded
        with open(log, "rb") as f:
            starts = [l for l in f.read().decode("latin-1").split("\r\n")
                      if l.startswith("cmdline: ")]
        self.assertEqual(starts, ['cmdline: "%s" "C:\\vqappmgr\\LongApp\\Setup.ini"'
                                  % self.appmgr], "the hand-off still starts the Application Manager")
        self.assert_files(self.s.unix_path("C:\\vqappmgr\\LongApp"), dict(members),
                          "install folder")

    def test_display_members_with_folder_part(self):
        # Files planted where the names point, relative to the workspace
        # folder: none may be shown or deleted.
        temp = self.s.temp_dir()
        planted = {os.path.join(temp, "vqvictim.rtf"): RTF_LICENSE,
                   self.s.unix_path("C:\\vqvictim.bmp"): harness.bmp(77, 33),
                   os.path.join(temp, "vqvictim.bmp"): harness.bmp(66, 22)}
        for path, data in planted.items():
            with open(path, "wb") as f:
                f.write(data)
        try:
            ini = harness.descriptor(license_file="..\\vqvictim.rtf",
                                     body_bitmap="C:\\vqvictim.bmp",
                                     head_bitmap="..\\vqvictim.bmp")
            run = self.start(self.members(ini))
            wiz = self.open_wizard(run)
            v = wiz.view()
            with self.subTest("nothing outside the workspace shown"):
                self.assertEqual(v.license_text, "", "license text")
                self.assertNotEqual(tuple(v.welcome_controls[IDC_BODY_BITMAP]["client_size"]),
                                    (77, 33), "body picture control sized to C:\\vqvictim.bmp")
                self.assertNotEqual(tuple(v.header_controls[IDC_HEAD_BITMAP]["client_size"]),
                                    (66, 55), "head picture control sized to ..\\vqvictim.bmp")
            self.assertEqual(self.cancel_yes(run, wiz), 0, "exit code after Cancel")
            for path, data in planted.items():
                self.assertTrue(os.path.exists(path), "%s was deleted" % path)
                with open(path, "rb") as f:
                    self.assertTrue(f.read() == data, "%s was changed" % path)
        finally:
            for path in planted:
                if os.path.exists(path):
                    os.unlink(path)


class Screenshots(WizardCase):
    """Both pages and an error box under the wizard title, photographed in
    Wine's virtual desktop so that title bars show."""

    def test_screenshots(self):
        folder = os.path.join(self.cfg.prefix, "drive_c", "vqnoappmgr")
        os.makedirs(folder, exist_ok=True)
        self.s.set_app_path("C:\\vqnoappmgr\\CEAPPMGR.EXE")  # no such program
        license_text = (rb"{\rtf1\ansi\deff0{\fonttbl{\f0\fswiss Arial;}}\f0\fs20"
                        rb"{\b END USER LICENSE AGREEMENT}\par\par "
                        rb"This is a {\i sample} license for the screenshot.\par "
                        + b"".join(rb"Clause %d: the licensee reads this text.\par " % i
                                   for i in range(1, 15)) + b"}")
        ini = harness.descriptor(product_name="Shot Product", product_version="3.1",
                                 license_file="license.rtf", body_bitmap="body.bmp",
                                 head_bitmap="head.bmp", install_directory="ShotApp")
        members = self.members(ini, **{
            "license.rtf": license_text,
            "body.bmp": harness.bmp(180, 314, ((20, 60, 160), (60, 120, 200), (120, 180, 230))),
            "head.bmp": harness.bmp(60, 50, ((230, 140, 20), (250, 200, 60)))})
        run = self.start(members, desktop="vq,800x600")
        wiz = harness.Wizard(run, harness.until(run.wizard, "wizard in the virtual desktop", 60))
        wiz.view()
        shots = {"welcome": self.s.screenshot("wizard_welcome")}
        wiz.click(IDC_NEXT)
        wiz.wait_page("license", "license page")
        shots["license"] = self.s.screenshot("wizard_license")
        wiz.click(IDC_ACCEPT)
        wiz.wait(lambda v: v.enabled(IDC_NEXT), "Next enabled after Accept")
        shots["accepted"] = self.s.screenshot("wizard_license_accepted")
        wiz.post_click(IDC_NEXT)
        box = self.wait_box(run)
        shots["error"] = self.s.screenshot("wizard_launch_error")
        self.assertEqual((box["caption"], box["text"]),
                         ("Shot Product 3.1 for Windows CE Setup", "Can not launch CeAppMgr.exe"),
                         "error box after the wizard opened (caption, text)")
        self.press(run, box)
        run.wait(60)  # explorer's exit code, not the program's
        harness.log("screenshots: %s" % shots)
        for name, path in shots.items():
            self.assertTrue(path and os.path.getsize(path) > 0, "screenshot %s missing" % name)


if __name__ == "__main__":
    unittest.main()
