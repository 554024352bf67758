"""The Wine end-to-end tests' side of the setup-program driver: the
configuration from the environment, the files the cases are made of and
the progress watcher. The Session, the runs and the wizard driving come
from vqtry (packer/try), the core that `vqpack try` uses as well.

Configuration comes from the environment (tests/wine/CMakeLists.txt sets it):
    VQ_STUB         the setup program image (32768 bytes)
    VQ_PACKER       the vqpack tool (optional)
    VQ_TRYTOOLS     folder of uia.exe and fakeappmgr.exe
    VQ_WINETOOLS    folder of the test-only helpers (dacl.exe, rawreg.exe, plant/*.dll)
    VQ_WINEPREFIX   the prefix folder
    VQ_WINE_WORK    scratch folder for generated setup files and logs
    VQ_SCREENSHOTS  where screenshots go
"""

import json
import os
import struct
import subprocess
import sys
import threading
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


class ProgressWatcher(threading.Thread):
    """Follows the progress bar of the program exe_name in the background
    (uia progress-watch --dump) and keeps every reading, and the window with
    its controls as they were once it showed (dump). Started before the
    program: ready is set once uia watches, so that nothing is missed."""

    def __init__(self, session, exe_name, timeout_ms=180000, on_appear=None):
        super().__init__(daemon=True)
        self.s = session
        self.exe_name = exe_name
        self.timeout_ms = timeout_ms * vqtry.SLOW
        self.on_appear = on_appear
        self.ready = threading.Event()
        self.readings = []
        self.dump = []
        self.appeared = None
        self.gone = None
        self.error = None
        self.lines = []

    def run(self):
        s = self.s
        cmd = s.command(s.uia_tool(), ["progress-watch", "--exe", self.exe_name, "--dump",
                                       "--timeout", self.timeout_ms, "--interval", "5"])
        try:
            p = subprocess.Popen(cmd, env=s.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            for raw in p.stdout:
                line = raw.decode("latin-1").strip()
                self.lines.append(line)
                try:
                    obj = json.loads(line)
                except ValueError:
                    continue
                if "watching" in obj:
                    self.ready.set()
                elif "appeared" in obj:
                    self.appeared = time.monotonic()
                    if self.on_appear:
                        self.on_appear(obj)
                elif "kind" in obj:
                    self.dump.append(obj)
                elif "pos" in obj:
                    self.readings.append(obj)
                elif "gone" in obj:
                    self.gone = time.monotonic()
                elif "error" in obj:
                    self.error = obj["error"]
            p.wait(timeout=self.timeout_ms / 1000.0 + 30)
            p.stdout.close()
        except Exception as exc:  # reported by the test through .error
            self.error = repr(exc)
        finally:
            self.ready.set()


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
