"""The Wine end-to-end tests' side of the setup-program driver: the
configuration from the environment, the files the cases are made of and
the progress hook. The Session, the runs and the wizard driving come
from vqtry (packer/try), the core that `vqpack try` uses as well.

Configuration comes from the environment (tests/wine/CMakeLists.txt sets it):
    VQ_STUB         the setup program image (32768 bytes)
    VQ_PACKER       the vqpack tool (optional)
    VQ_TRYTOOLS     folder of uia.exe and fakeappmgr.exe
    VQ_WINETOOLS    folder of the test-only helpers (dacl.exe, rawreg.exe, plant/*.dll,
                    progresshook.dll, hang.exe)
    VQ_WINEPREFIX   the prefix folder
    VQ_WINE_WORK    scratch folder for generated setup files and logs
    VQ_SCREENSHOTS  where screenshots go
"""

import contextlib
import json
import os
import select
import signal
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "packer", "try"))

import vqtry  # noqa: E402
from vqtry import *  # noqa: E402,F401,F403  (the tests name the core through harness)


def _default(name, fallback):
    value = os.environ.get(name)
    return os.path.abspath(value) if value else fallback


class Config(vqtry.Config):
    def __init__(self):
        build = os.path.abspath(os.environ.get("VQ_BUILD_DIR",
                                               os.path.join(HERE, "..", "..", "build")))
        self.build = build
        self.stub = _default("VQ_STUB", os.path.join(build, "stub", "vqstub.exe"))
        self.packer = _default("VQ_PACKER", os.path.join(build, "packer", "vqpack"))
        self.testtools = _default("VQ_WINETOOLS", os.path.join(build, "winetools"))
        self.plant = os.path.join(self.testtools, "plant")
        super().__init__(
            tools=_default("VQ_TRYTOOLS", os.path.join(build, "packer", "try")),
            prefix=_default("VQ_WINEPREFIX", os.path.join(build, "wineprefix")),
            work=_default("VQ_WINE_WORK", os.path.join(build, "wine-work")),
            screenshots=_default("VQ_SCREENSHOTS", os.path.join(build, "screenshots")))

    def test_tool(self, name):
        """A test-only helper (tests/wine/tools), not one of vqpack try's."""
        return os.path.join(self.testtools, name)


def set_app_path_raw(session, value):
    """Stores the App Paths value byte for byte, without the NUL that
    reg add appends (rawreg.exe); returns the size the registry reports."""
    subkey = APP_PATHS_KEY.split("\\", 1)[1]
    p = session.wine([session.cfg.test_tool("rawreg.exe"), subkey, value], check=True)
    for line in p.stdout.decode("latin-1").splitlines():
        if line.startswith("{"):
            return json.loads(line)["stored"]
    raise RuntimeError("rawreg.exe reported no size: %r" % p.stdout)


def set_app_path_expandable(session, value):
    """Stores the App Paths value as REG_EXPAND_SZ, %variables% unexpanded."""
    session.reg(["add", APP_PATHS_KEY, "/ve", "/t", "REG_EXPAND_SZ", "/d", value, "/f"],
                check=True)


def component_ini(component, cab_files):
    """The Application Manager INI of one more component."""
    return descriptor(product_name=None, product_version=None, cab_files=cab_files,
                      install_directory=None, component=component)


class ProgressHook:
    """Records the progress bar of a setup run from inside the program, and
    can make the program hold still while its bar shows a position.

    progresshook.dll (tests/wine/tools) is installed for the session's
    programs by the 32-bit `uia hook`, which keeps it while the hook is
    entered. A program started with env (start_setup(..., env=hook.env))
    appends every range and position its bar is given, read back from the
    bar as it handled them, to a log; with hold=N it stops inside the hook
    the first time the position reaches N, until release(). Nothing is
    sampled, so nothing depends on how fast the program runs; and it works
    where qemu-i386 runs the program too, as the DLL runs inside it.

        with harness.ProgressHook(session, folder, hold=50) as hook:
            run = session.start_setup(path, env=hook.env)
            held = hook.wait_held(run)    # the program stands still now
            ...                           # read its windows
            hook.release()
            ...
        hook.records()
    """

    def __init__(self, session, folder, hold=None):
        self.s = session
        self.hold = hold
        self.log = os.path.join(folder, "progress.log")
        self.release_path = os.path.join(folder, "progress.release")
        for path in (self.log, self.release_path):
            if os.path.exists(path):
                os.unlink(path)
        self.env = {"VQ_PROGRESS_LOG": session.windows_path(self.log)}
        if hold is not None:
            self.env.update({"VQ_PROGRESS_HOLD": str(hold),
                             "VQ_PROGRESS_RELEASE": session.windows_path(self.release_path)})
        self.proc = None

    def __enter__(self):
        s = self.s
        dll = s.windows_path(s.cfg.test_tool("progresshook.dll"))
        # the DLL is a 32-bit one, as the setup program is: the 32-bit uia
        # installs it
        self.proc = subprocess.Popen(
            s.command(s.cfg.tool("uia.exe"), ["hook", "--dll", dll, "--proc", "ProgressHook"]),
            env=s.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, start_new_session=True)
        first = b""
        deadline = time.monotonic() + 60 * vqtry.SLOW
        fd = self.proc.stdout.fileno()
        while b"\n" not in first and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], deadline - time.monotonic())
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                break
            first += chunk
        if b'"hooked":true' not in first:
            self.__exit__(None, None, None)
            raise SetupFailure("uia hook did not install progresshook.dll: %r" % first)
        return self

    def __exit__(self, *exc):
        self.release()
        if self.proc is None:
            return False
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30 * vqtry.SLOW)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.proc = None
        return False

    def records(self):
        """The log's objects so far, in order."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return vqtry.parse_reports(f.read())

    def wait_held(self, run, timeout=120):
        """The {"held": POS} record once the program holds still; fails when
        the program ends first or the hold does not come."""
        def probe():
            held = [r for r in self.records() if "held" in r]
            if held:
                return held[0]
            if not run.running:
                raise SetupFailure("%s ended (exit %s) before its bar reached %s; recorded: %s"
                                   % (run.name, run.proc.poll(), self.hold, self.records()[-3:]))
            return None
        try:
            return until(probe, "%s holding at progress %s" % (run.name, self.hold), timeout)
        except SetupFailure as exc:
            if "not reached" not in str(exc):
                raise
            raise SetupFailure("%s; recorded: %s" % (exc, self.records()[-3:]))

    def release(self):
        """Lets a held program go on."""
        if self.hold is not None and not os.path.exists(self.release_path):
            open(self.release_path, "w").close()


def bmp(width, height, colours=((200, 40, 40), (40, 40, 200))):
    """A 24-bit bottom-up BMP file: vertical stripes of the colours, so that
    a picture that is cut or scaled looks different from one that is not."""
    row = bytearray()
    for x in range(width):
        r, g, b = colours[(x * len(colours)) // max(width, 1)]
        row += bytes((b, g, r))
    row += b"\0" * ((-len(row)) % 4)
    data = bytes(row) * height
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(info) + len(data), 0, 0, 14 + len(info)) + info + data


def descriptor(product_name="Test Product", product_version="1.0", cab_files="a.cab,b.cab",
               install_directory="TestApp", license_file=None, body_bitmap=None,
               head_bitmap=None, component="TestApp", also_install=None):
    """Setup.ini text; a value of None leaves its key out. With
    install_directory, product_name etc. None and only component and
    cab_files given, it is a plain Application Manager INI of one more
    component (what also_install lists)."""
    lines = ["[CEAppManager]", "Version=1.0"]
    if component is not None:
        lines.append("Component=%s" % component)
    lines += ["", "[%s]" % (component or "NO"), "Description=Wine test component"]
    if cab_files is not None:
        lines.append("CabFiles=%s" % cab_files)
    lines += ["", "[VQINSTALLER]"]
    for key, value in (("ProductName", product_name), ("ProductVersion", product_version),
                       ("LicenseFile", license_file), ("BodyBitmap", body_bitmap),
                       ("HeadBitmap", head_bitmap), ("InstallDirectory", install_directory),
                       ("AlsoInstall", also_install)):
        if value is not None:
            lines.append("%s=%s" % (key, value))
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def read_stub(cfg):
    with open(cfg.stub, "rb") as f:
        return f.read()


def main(argv):
    """`harness.py --prepare`: create the prefix (ctest fixture)."""
    if argv[1:] == ["--prepare"]:
        s = Session(Config())
        start = time.monotonic()
        try:
            s.start()
        finally:
            s.stop()
        print("prefix %s ready (%.1f s)" % (s.cfg.prefix, time.monotonic() - start))
        return 0
    sys.stderr.write("usage: harness.py --prepare\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
