"""Common ground of the wizard, hand-off and fault modules: one Session per
module, a fresh case folder per test, setup files written by container.py."""

import json
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))  # tests/: the container writer

import container  # noqa: E402
import harness  # noqa: E402

SESSION = None
TIMINGS = {}
_MODULE = None
_STARTED = None


def start_session(module):
    """setUpModule of a test module."""
    global SESSION, _MODULE, _STARTED
    cfg = harness.Config()
    for tool in ("uia.exe", "fakeappmgr.exe"):
        if not os.path.exists(cfg.tool(tool)):
            raise unittest.SkipTest("Windows test tools not built (%s missing)" % cfg.tool(tool))
    _MODULE = module
    _STARTED = time.monotonic()
    SESSION = harness.Session(cfg).start()
    TIMINGS.update(SESSION.timings)


def stop_session():
    """tearDownModule of a test module."""
    global SESSION
    if SESSION:
        SESSION.clean_workspaces()
        SESSION.stop()
        TIMINGS.update(SESSION.counts)
        SESSION = None
    if _STARTED is not None:
        TIMINGS["module_s"] = round(time.monotonic() - _STARTED, 1)
        sys.stderr.write("[wine] %s timings: %s\n" % (_MODULE, json.dumps(TIMINGS, sort_keys=True)))
        path = os.path.join(harness.Config().work, "%s-timings.json" % _MODULE)
        with open(path, "w") as f:
            json.dump(TIMINGS, f, indent=1, sort_keys=True)


def remove_in_background(path):
    """Moves a folder out of the way and deletes it in the background: tens
    of thousands of folders take minutes to delete on some disks."""
    if not os.path.lexists(path):
        return
    trash = path
    if ".trash-" not in os.path.basename(path):
        trash = "%s.trash-%d-%d" % (path, os.getpid(), time.monotonic_ns())
        os.rename(path, trash)
    # sh leaves rm running on its own and returns at once
    subprocess.run(["sh", "-c", 'rm -rf "$1" </dev/null >/dev/null 2>&1 &', "sh", trash],
                   check=True)


def files_in(folder):
    """{name: bytes} of the files in folder ({} when it does not exist)."""
    if not os.path.isdir(folder):
        return {}
    out = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                out[name] = f.read()
    return out


def describe(folder):
    """Short text of what a folder holds, for messages and tables."""
    if not os.path.isdir(folder):
        return "(no folder)"
    items = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            items.append(name + "/")
        else:
            items.append("%s(%d)" % (name, os.path.getsize(path)))
    return ", ".join(items) if items else "(empty)"


class SetupCase(unittest.TestCase):
    """A fresh case folder, the fake Application Manager registered, no
    workspace folders left from earlier cases."""

    def setUp(self):
        self.s = SESSION
        self.cfg = self.s.cfg
        if not os.path.exists(self.cfg.stub):
            self.skipTest("setup image not built yet: %s" % self.cfg.stub)
        self.image = harness.read_stub(self.cfg)
        self.assertEqual(len(self.image), container.IMAGE_SIZE,
                         "setup image %s must be exactly %d bytes"
                         % (self.cfg.stub, container.IMAGE_SIZE))
        self.case = self.id().rsplit(".", 2)[-2] + "_" + self._testMethodName
        self.dir = self.s.case_dir(self.case)
        self.s.clean_workspaces()
        self.appmgr = self.s.fake_app_manager()
        self.s.set_app_path(self.appmgr)
        self.runs = []
        self.t0 = time.monotonic()

    def tearDown(self):
        for run in self.runs:
            if run.running:
                run.kill()
        TIMINGS[self.case + "_s"] = round(time.monotonic() - self.t0, 1)

    def write_setup(self, members, name=None):
        name = name or ("vq_%s.exe" % self.case)[:60]
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(container.build(self.image, members))
        return path

    def start(self, members_or_path, env=None, desktop=None, name=None):
        path = (members_or_path if isinstance(members_or_path, str)
                else self.write_setup(members_or_path, name))
        run = self.s.start_setup(path, env=env, desktop=desktop)
        self.runs.append(run)
        return run

    def open_wizard(self, run, timeout=60):
        state, value = run.wait_exit_or_wizard(timeout)
        if state != "wizard":
            self.fail("expected the wizard to open, got: program exited with %s" % value)
        return harness.Wizard(run, value)

    def one_workspace(self):
        spaces = self.s.workspaces()
        self.assertEqual(len(spaces), 1,
                         "expected exactly one _VQIxxxx workspace folder in %s, found %s"
                         % (self.s.temp_dir(), [os.path.basename(p) for p in spaces]))
        return spaces[0]

    def assert_files(self, folder, expected, what):
        """The folder holds exactly the files of expected ({name: bytes})."""
        got = files_in(folder)
        self.assertEqual(sorted(got), sorted(expected),
                         "%s: files expected vs got (folder %s)" % (what, folder))
        for name, data in expected.items():
            self.assertTrue(got[name] == data,
                            "%s: content of %s differs (expected %d bytes, got %d)"
                            % (what, name, len(data), len(got[name])))

    def wait_box(self, run, timeout_ms=20000):
        """The one message box of the run: (caption, text, buttons)."""
        rc, out = run.uia("msgbox", "--timeout", timeout_ms)
        if rc != 0 or not out or "caption" not in out[0]:
            self.fail("expected a message box from %s, got none (%s)" % (run.name, out))
        return out[0]

    def press(self, run, box, button="IDOK"):
        run.uia("msgbox", "--hwnd", box["hwnd"], "--press", button)
        rc, out = run.uia("wait-gone", "--hwnd", box["hwnd"])
        self.assertEqual(rc, 0, "message box %r still open after pressing %s"
                         % (box["caption"], button))
