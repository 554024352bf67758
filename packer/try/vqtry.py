"""Runs a setup program under Wine and drives it through its windows.

The core shared by `vqpack try` (vqpack_try.py beside this file) and the
end-to-end tests (tests/wine/harness.py): a Session is one Wine prefix, one
Xvfb display and one persistent wineserver, both stopped at the end;
SetupRun is one setup process; Wizard and WizardView drive and read the
wizard through uia, the UI-automation helper, which serves a Session's
questions from one long-lived process. Every wait has a timeout; a setup
that hangs is killed.

Where the kernel runs no 32-bit programs, qemu-i386 runs Wine's 32-bit
loader, and every 32-bit Windows program then takes seconds to start.
Debian's `wine` command starts that loader whenever it is installed, also
for a 64-bit program, so a Session starts 64-bit programs (Wine's own reg
and cmd in a 64-bit prefix, uia64.exe) with 64-bit Wine's loader directly:
only the setup program, what it starts and the 32-bit fixtures are
emulated.
"""

import atexit
import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

APP_PATHS_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\CEAPPMGR.EXE"
ERROR_CAPTION = "VQ Installer Error"
WIZARD_TITLE_SUFFIX = " for Windows CE Setup"


def _resource_ids():
    """The setup program's resource identifiers, read from its resource.h:
    installed beside this file, or in the source tree's res/."""
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, "resource.h"),
                 os.path.join(here, "..", "..", "res", "resource.h")):
        if os.path.exists(path):
            with open(path) as f:
                return {m.group(1): int(m.group(2)) for m in
                        re.finditer(r"(?m)^#define\s+(ID[CDI]_\w+)\s+(\d+)", f.read())}
    raise RuntimeError("resource.h not found beside %s or in the source tree" % here)


globals().update(_resource_ids())  # IDC_NEXT, IDC_CANCEL, ... as the program has them
READY_MARK = ".vq-prefix-ready"
# Where the kernel runs no 32-bit programs, i386-run.sh has them emulated by
# qemu-i386: each 32-bit program then starts in seconds instead of a fraction
# of one. The waits here only bound states that must come, so they are
# stretched by this factor there.
SLOW = 4 if os.environ.get("VQ_I386") == "qemu" else 1
# The size of the Xvfb screen.
SCREEN = "1024x768"
# No Mono / Gecko installers, no crash dialog.
DLL_OVERRIDES = "mscoree,mshtml=;winedbg.exe=d"
# uia commands that a fresh process answers: temp-path reports the
# environment a program gets when it starts (which temp_folder changes),
# loadlib and winexec are fixtures of what a 32-bit program does.
UIA_ONCE = ("temp-path", "loadlib", "winexec")


def find_wine64():
    """64-bit Wine's loader, or None: on PATH, or where Debian keeps it."""
    for path in (shutil.which("wine64"), "/usr/lib/wine/wine64"):
        if path and os.access(path, os.X_OK):
            return path
    return None


def pe_machine(path):
    """The Machine field of a PE file (0x14c i386, 0x8664 x86-64), None when
    it is not one or cannot be read."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if head[:2] != b"MZ" or len(head) < 64:
        return None
    at = struct.unpack_from("<I", head, 0x3C)[0]
    if at + 6 > len(head) or head[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", head, at + 4)[0]


class Config:
    """Where a Session finds its helpers and keeps its files:
    tools        folder of uia.exe and fakeappmgr.exe (and their 64-bit builds)
    prefix       the Wine prefix folder (created on first use)
    work         scratch folder for logs
    screenshots  where screenshots go"""

    def __init__(self, tools, prefix, work, screenshots):
        self.tools = tools
        self.prefix = prefix
        self.work = work
        self.screenshots = screenshots

    def tool(self, name):
        return os.path.join(self.tools, name)


class SetupFailure(AssertionError):
    pass


def log(msg):
    sys.stderr.write("[wine] %s\n" % msg)
    sys.stderr.flush()


class Session:
    """Display, wineserver and prefix for one driver run.

    handle_signals: stop on SIGTERM and at exit (the tests); a caller that
    handles signals and clean-up itself passes False."""

    def __init__(self, config, handle_signals=True):
        self.cfg = config
        self.handle_signals = handle_signals
        self.xvfb = None
        self.display = None
        self.env = None
        self.started_server = False
        self._temp_unix = None
        self._lock = None
        self.timings = {}
        self.wine64 = None
        self.uia_server = None
        self._uia_lock = threading.Lock()
        # Windows processes started and questions put to the uia server.
        self.counts = {"processes": 0, "uia_served": 0}

    # ---- lifetime -------------------------------------------------------

    def start(self, configure=True):
        """configure=False skips the prefix settings that a prepared
        (copied) prefix already has."""
        os.makedirs(self.cfg.work, exist_ok=True)
        os.makedirs(self.cfg.screenshots, exist_ok=True)
        # One driver at a time per prefix, also outside ctest.
        self._lock = open(self.cfg.prefix.rstrip("/") + ".lock", "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        self._start_display()
        # ctest ends a driver that runs past its TIMEOUT with SIGTERM: stop
        # the display and the wineserver of this session on the way out.
        if self.handle_signals:
            atexit.register(self.stop)
            signal.signal(signal.SIGTERM, self._terminated)
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.cfg.prefix,
            "WINEDEBUG": "-all",
            "DISPLAY": self.display,
            "WINEDLLOVERRIDES": DLL_OVERRIDES,
        })
        self.env.pop("WINELOADERNOEXEC", None)
        # From here on a wineserver may run, also when the start stops
        # half-way (wineboot starts one, with Wine's background programs).
        self.started_server = True
        # A wineserver left running by a driver that was killed would refuse
        # a persistent one below (this session holds the prefix's lock, so
        # no live session uses it).
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.ensure_prefix()
        # 64-bit programs go to 64-bit Wine's loader where the prefix is a
        # 64-bit one (it has a 32-bit side beside it).
        if os.path.isdir(os.path.join(self.cfg.prefix, "drive_c", "windows", "syswow64")):
            self.wine64 = find_wine64()
        # A persistent wineserver makes each wine start cheap.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Start Wine's background programs now, with no handles of ours.
        subprocess.run(self.command("cmd", ["/c", "exit"]), env=self.env, timeout=120 * SLOW,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if configure:
            self.ensure_crash_dialog_off()
            self.unmanaged_windows()
        return self

    def _terminated(self, signum, frame):
        log("terminated: stopping Wine and the display")
        self.stop()
        os._exit(1)

    def stop(self):
        if self.uia_server is not None:
            self.uia_server.close()
            self.uia_server = None
        if self.started_server:
            with contextlib.suppress(Exception):
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)
            self.started_server = False
        if self.xvfb is not None:
            with contextlib.suppress(Exception):
                self.xvfb.terminate()
                self.xvfb.wait(timeout=10)
            if self.xvfb.poll() is None:
                self.xvfb.kill()
            self.xvfb = None
        if self._lock:
            self._lock.close()
            self._lock = None

    def _start_display(self):
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", SCREEN + "x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise RuntimeError("Xvfb did not report a display")
        self.display = ":" + number.decode().strip()

    def ensure_prefix(self):
        mark = os.path.join(self.cfg.prefix, READY_MARK)
        if os.path.exists(mark):
            return
        start = time.monotonic()
        log("creating Wine prefix %s" % self.cfg.prefix)
        # 64-bit Wine's loader makes a 64-bit prefix without starting the
        # 32-bit one first.
        wineboot = [find_wine64() or "wine", "wineboot", "-i"]
        subprocess.run(wineboot, env=self.env, check=True, timeout=300 * SLOW,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=300)
        self.timings["prefix_creation_s"] = time.monotonic() - start
        with open(mark, "w") as f:
            f.write("%.1f\n" % self.timings["prefix_creation_s"])
        log("prefix ready in %.1f s" % self.timings["prefix_creation_s"])

    def reg(self, args, check=False):
        """Wine's reg with args, on the registry view that 32-bit programs
        (the setup program) see, whichever reg runs. check: the registry
        must end up so (a case's starting state); a reg that failed is run
        once more before that fails, as every change made so is one that
        may be made twice (about one reg start in some thousands has ended
        with exit 1 and no output in the Wine tests)."""
        if self.wine64:
            args = list(args) + ["/reg:32"]
        p = self.wine(["reg"] + list(args))
        if check and p.returncode != 0:
            log("reg %s ended with %d (%r); once more" % (args[0], p.returncode,
                                                          (p.stdout + p.stderr)[-200:]))
            p = self.wine(["reg"] + list(args), check=True)
        return p

    def ensure_crash_dialog_off(self):
        # A crashing setup must end, not wait in a crash dialog.
        self.reg(["add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                  "/t", "REG_DWORD", "/d", "0", "/f"])

    def unmanaged_windows(self):
        """Wine maps its windows unmanaged: with no window manager on the
        display it would otherwise wait 2 s for one at each framed window
        that closes (the progress window)."""
        self.reg(["add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                 check=True)

    def virtual_desktop(self, name, size):
        """Every program started from now on runs inside Wine's virtual
        desktop NAME of SIZE ("800x600"): Wine draws the title bars, and
        `wine PROGRAM` still returns the program's own exit code (unlike
        `wine explorer /desktop=...`)."""
        self.reg(["add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", name, "/f"],
                 check=True)
        self.reg(["add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", name, "/d", size,
                  "/f"], check=True)

    # ---- running Windows programs ---------------------------------------

    def command(self, program, args=()):
        """The command line that runs program (a Windows or Unix path, or the
        name of one of Wine's own programs) with args: 64-bit Wine's loader
        for a 64-bit program, `wine` for the rest."""
        loader = "wine"
        if self.wine64:
            path = program
            if re.match(r"^[A-Za-z]:\\", program):
                path = self.unix_path(program)
            if "/" in path or "\\" in path:
                if pe_machine(path) == 0x8664:
                    loader = self.wine64
            else:
                loader = self.wine64  # reg, cmd, explorer: 64-bit in a 64-bit prefix
        self.counts["processes"] += 1
        return [loader, program] + [str(a) for a in args]

    def wine(self, args, timeout=60, env=None, check=False):
        timeout *= SLOW
        e = dict(self.env)
        if env:
            e.update(env)
        # Output goes to files, not pipes: Wine's background programs
        # (services, explorer) inherit the handles and would keep a pipe
        # open after the program itself has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(self.command(args[0], args[1:]), env=e, stdout=out,
                                    stderr=err, stdin=subprocess.DEVNULL,
                                    start_new_session=True)
            try:
                rc = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=10)
                raise
            out.seek(0)
            err.seek(0)
            p = subprocess.CompletedProcess(proc.args, rc, out.read(), err.read())
        if check and p.returncode != 0:
            raise RuntimeError("wine %s failed (%d): %s%s" % (args, p.returncode,
                                                              p.stdout.decode(errors="replace"),
                                                              p.stderr.decode(errors="replace")))
        return p

    def processes(self, program):
        """PIDs of the live Wine processes of this prefix that run the
        Windows program whose file name is `program` (any case)."""
        mark = ("WINEPREFIX=" + self.cfg.prefix).encode()
        want = ("\\" + program.lower()).encode()
        pids = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if mark not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    args = f.read().lower().split(b"\0")
            except OSError:
                continue
            if any(a.endswith(want) for a in args):
                pids.append(int(pid))
        return pids

    def wait_ended(self, program, timeout=30):
        """Until no process of this prefix runs `program`. A program that a
        setup started exists from the moment the start returned, so once the
        setup has ended and this has passed, such programs have written all
        they write."""
        until(lambda: not self.processes(program), "every %s ended" % program, timeout)

    def native_tool(self, name):
        """The helper NAME.exe, or NAME64.exe where 64-bit Wine runs it."""
        tool = self.cfg.tool(name + "64.exe")
        return tool if self.wine64 and os.path.exists(tool) else self.cfg.tool(name + ".exe")

    def uia_tool(self):
        return self.native_tool("uia")

    def appmgr_tool(self):
        """The stand-in Application Manager. What the setup program starts
        may be a 64-bit program: it hands over a command line either way."""
        return self.native_tool("fakeappmgr")

    def uia(self, *args, timeout_ms=10000):
        """Asks uia; returns (exit code, list of JSON objects). The Session's
        uia server answers all but UIA_ONCE, which a uia process of their
        own answers (the 32-bit uia.exe for the fixtures)."""
        args = [str(a) for a in args]
        if "--timeout" in args:
            at = args.index("--timeout") + 1
            timeout_ms = max(timeout_ms, int(args[at]))
            args[at] = str(int(args[at]) * SLOW)
        elif args[0] in ("wait", "wait-gone", "msgbox"):
            args += ["--timeout", str(timeout_ms * SLOW)]
        timeout = (timeout_ms / 1000.0 + 30) * SLOW
        if args[0] not in UIA_ONCE:
            with self._uia_lock:
                if self.uia_server is None:
                    self.uia_server = UiaServer(self, self.uia_tool())
                try:
                    try:
                        answer = self.uia_server.ask(args, timeout)
                    except UiaServer.NotAsked as gone:
                        # The server ended before it took the question, so
                        # nothing was asked: a new one is asked once.
                        log("uia serve %s; asking a new one" % gone)
                        self.uia_server.close()
                        self.uia_server = UiaServer(self, self.uia_tool())
                        answer = self.uia_server.ask(args, timeout)
                except UiaServer.Unsendable:
                    answer = None
                except (OSError, subprocess.TimeoutExpired):
                    # hung or gone: the next question gets a new server
                    self.uia_server.close()
                    self.uia_server = None
                    raise
                if answer is not None:
                    self.counts["uia_served"] += 1
                    return answer
        fixture = args[0] in ("loadlib", "winexec")
        tool = self.cfg.tool("uia.exe") if fixture else self.uia_tool()
        p = self.wine([tool] + args, timeout=timeout / SLOW)
        return p.returncode, parse_reports(p.stdout)

    # ---- registry ---------------------------------------------------------

    def set_app_path(self, value):
        self.reg(["add", APP_PATHS_KEY, "/ve", "/d", value, "/f"], check=True)

    def app_paths_key_without_default(self):
        self.delete_app_paths_key()
        self.reg(["add", APP_PATHS_KEY, "/f"], check=True)
        self.reg(["delete", APP_PATHS_KEY, "/ve", "/f"])

    def delete_app_paths_key(self):
        self.reg(["delete", APP_PATHS_KEY, "/f"])

    def app_paths_state(self):
        p = self.reg(["query", APP_PATHS_KEY])
        return p.returncode, p.stdout.decode("latin-1")

    @contextlib.contextmanager
    def temp_folder(self, windows_path):
        """Points TEMP and TMP of newly started programs at windows_path."""
        old = {}
        for name in ("TEMP", "TMP"):
            p = self.reg(["query", r"HKCU\Environment", "/v", name])
            for line in p.stdout.decode("latin-1").splitlines():
                parts = line.split(None, 2)
                if len(parts) == 3 and parts[0] == name:
                    old[name] = (parts[1], parts[2])
        try:
            for name in ("TEMP", "TMP"):
                self.reg(["add", r"HKCU\Environment", "/v", name, "/d", windows_path, "/f"],
                         check=True)
            self._temp_unix = None
            yield
        finally:
            for name in ("TEMP", "TMP"):
                if name in old:
                    self.reg(["add", r"HKCU\Environment", "/v", name, "/t", old[name][0],
                              "/d", old[name][1], "/f"])
                else:
                    self.reg(["delete", r"HKCU\Environment", "/v", name, "/f"])
            self._temp_unix = None

    # ---- paths ------------------------------------------------------------

    def unix_path(self, windows_path):
        """Maps a C:\\ (or other drive) path to the prefix's Unix path."""
        drive = windows_path[0].lower()
        rest = windows_path[2:].replace("\\", "/").lstrip("/")
        root = os.path.realpath(os.path.join(self.cfg.prefix, "dosdevices", drive + ":"))
        return os.path.join(root, rest)

    def windows_path(self, unix_path):
        drive_c = os.path.realpath(os.path.join(self.cfg.prefix, "drive_c"))
        full = os.path.abspath(unix_path)
        if full.startswith(drive_c + "/") or full == drive_c:
            return "C:\\" + os.path.relpath(full, drive_c).replace("/", "\\").lstrip(".")
        return "Z:" + full.replace("/", "\\")

    def temp_dir(self):
        """Unix path of the temporary folder that GetTempPathA gives."""
        if self._temp_unix is None:
            rc, out = self.uia("temp-path")
            if rc != 0 or not out:
                raise RuntimeError("uia temp-path failed")
            self._temp_unix = self.unix_path(out[0]["temp"].rstrip("\\"))
            os.makedirs(self._temp_unix, exist_ok=True)
        return self._temp_unix

    def workspaces(self):
        d = self.temp_dir()
        return sorted(os.path.join(d, n) for n in os.listdir(d)
                      if n.upper().startswith("_VQI") and len(n) == 8)

    def clean_workspaces(self):
        for path in self.workspaces():
            if os.path.islink(path):
                os.unlink(path)
            else:
                shutil.rmtree(path, ignore_errors=True)

    def case_dir(self, case):
        """A fresh folder C:\\vqcases\\<case> in the prefix."""
        path = os.path.join(self.cfg.prefix, "drive_c", "vqcases", case)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def fake_app_manager(self):
        """Installs the stand-in Application Manager; returns its Windows path."""
        folder = os.path.join(self.cfg.prefix, "drive_c", "vqappmgr")
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(self.appmgr_tool(), os.path.join(folder, "CeAppMgr.exe"))
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(folder, "cmdline.txt"))
        return "C:\\vqappmgr\\CeAppMgr.exe"

    # ---- screenshots ------------------------------------------------------

    def screenshot(self, name, rect=None):
        """The display as NAME.png in the screenshot folder; rect [left, top,
        right, bottom] (a window's "screen" rectangle) keeps that part."""
        path = os.path.join(self.cfg.screenshots, name + ".png")
        crop = []
        if rect and rect[2] > rect[0] and rect[3] > rect[1]:
            crop = ["-crop", "%dx%d+%d+%d" % (rect[2] - rect[0], rect[3] - rect[1],
                                              max(rect[0], 0), max(rect[1], 0)), "+repage"]
        try:
            subprocess.run(["import", "-display", self.display, "-window", "root"] + crop
                           + [path], timeout=30, capture_output=True)
        except (OSError, subprocess.TimeoutExpired) as exc:
            log("screenshot %s failed: %s" % (name, exc))
            return None
        return path if os.path.exists(path) else None

    # ---- the setup program ------------------------------------------------

    def start_setup(self, exe_unix_path, env=None, desktop=None):
        return SetupRun(self, exe_unix_path, env, desktop)


def parse_reports(data):
    """The JSON objects of uia's output, one a line."""
    out = []
    for line in data.decode("latin-1").splitlines():
        line = line.strip()
        if line.startswith("{"):
            with contextlib.suppress(ValueError):
                out.append(json.loads(line))
    return out


class UiaServer:
    """One `uia serve` process of a Session: each question is a line of
    tab-separated arguments, each answer the reports up to {"exit": CODE}."""

    class Unsendable(ValueError):
        """An argument that a line of the protocol cannot carry."""

    class NotAsked(OSError):
        """The server had ended before the question reached it."""

    def __init__(self, session, tool):
        self.proc = subprocess.Popen(session.command(tool, ["serve"]), env=session.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.pending = b""

    def ask(self, args, timeout):
        """(exit code, reports); TimeoutExpired after timeout seconds, OSError
        when the server is gone."""
        if any(c in a for a in args for c in "\t\r\n"):
            raise self.Unsendable(args)
        try:
            line = "\t".join(args).encode("latin-1")
        except UnicodeEncodeError:
            raise self.Unsendable(args)
        try:
            self.proc.stdin.write(line + b"\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            raise self.NotAsked("ended (exit %s) before the question %r"
                                % (self.proc.wait(timeout=10), args[0]))
        deadline = time.monotonic() + timeout
        out = []
        fd = self.proc.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                raw, self.pending = self.pending.split(b"\n", 1)
                reports = parse_reports(raw)
                if reports and list(reports[0]) == ["exit"]:
                    return reports[0]["exit"], out
                out.extend(reports)
            left = deadline - time.monotonic()
            if left <= 0:
                raise subprocess.TimeoutExpired(self.proc.args, timeout)
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise OSError("uia serve ended (exit %s)" % self.proc.poll())
                self.pending += chunk

    def close(self):
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=5 * SLOW)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        self.proc.stdout.close()


class SetupRun:
    """One setup process started in the background."""

    def __init__(self, session, exe_unix_path, env=None, desktop=None):
        """desktop "NAME,WxH" runs the program inside Wine's virtual desktop
        (title bars drawn by Wine, for screenshots). Its exit code is then
        explorer's, not the program's: use plain runs for exit codes."""
        self.s = session
        self.desktop = desktop.split(",")[0] if desktop else None
        self.exe = exe_unix_path
        self.name = os.path.basename(exe_unix_path)
        self.win_path = session.windows_path(exe_unix_path)
        e = dict(session.env)
        if env:
            e.update(env)
        self.log_path = os.path.join(session.cfg.work, self.name + ".log")
        self._log = open(self.log_path, "wb")
        self.started = time.monotonic()
        cmd = session.command(self.win_path)
        if desktop:
            cmd = session.command("explorer", ["/desktop=" + desktop, self.win_path])
        self.proc = subprocess.Popen(cmd, env=e,
                                     stdout=self._log, stderr=subprocess.STDOUT,
                                     cwd=os.path.dirname(exe_unix_path),
                                     start_new_session=True)
        self.ended = None
        self.killed = False

    @property
    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        """Exit code (255 for -1); kills the process and fails when it has
        not ended after timeout seconds (stretched by SLOW)."""
        timeout *= SLOW
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise SetupFailure("%s did not exit within %d s (killed)" % (self.name, timeout))
        self.ended = self.ended or time.monotonic()
        self._log.close()
        return rc

    def kill(self):
        if self.proc.poll() is None:
            self.killed = True
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            with contextlib.suppress(Exception):
                self.proc.wait(timeout=10)
        self._log.close()

    def uia(self, cmd, *args, timeout_ms=10000):
        extra = ("--desktop", self.desktop) if self.desktop else ()
        return self.s.uia(cmd, "--exe", self.name, *extra, *args, timeout_ms=timeout_ms)

    def wait_error_box(self, timeout_ms=30000, screenshot=None):
        """Waits for the message box, optionally photographs it, presses OK
        and returns (caption, text, exit code)."""
        rc, out = self.uia("msgbox", "--timeout", timeout_ms)
        if rc != 0 or not out or "caption" not in out[0]:
            exited = self.proc.poll()
            self.kill()
            raise SetupFailure("no message box from %s within %d ms (process %s)"
                               % (self.name, timeout_ms,
                                  "exited with %s" % exited if exited is not None else "was running"))
        box = out[0]
        if screenshot:
            self.s.screenshot(screenshot)
        self.uia("msgbox", "--timeout", 5000, "--press", "IDOK")
        code = self.wait(60)
        return box["caption"], box["text"], code

    def wizard(self):
        rc, out = self.uia("list", "--class", "#32770", "--title-suffix", WIZARD_TITLE_SUFFIX,
                           "--visible")
        return out[0] if out and "hwnd" in out[0] else None

    def wait_exit_or_wizard(self, timeout):
        """Until the process has exited or its wizard is open, for at most
        timeout seconds (stretched by SLOW). Returns ("exited", code) or
        ("wizard", window)."""
        timeout *= SLOW
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.running:
                return "exited", self.wait(10)
            w = self.wizard()
            if w:
                return "wizard", w
            # a message box here means the run failed
            rc, out = self.uia("msgbox", "--timeout", 0)
            if rc == 0 and out and "caption" in out[0]:
                box = out[0]
                self.kill()
                raise SetupFailure("unexpected message box %r: %r" % (box["caption"], box["text"]))
            time.sleep(0.2)
        self.kill()
        raise SetupFailure("%s neither exited nor opened its wizard within %d s"
                           % (self.name, timeout))

    def cancel_wizard(self, timeout=30):
        """Cancel, confirm with Yes, and return the exit code."""
        rc, out = self.uia("click", "--class", "#32770", "--title-suffix",
                           WIZARD_TITLE_SUFFIX, "--id", IDC_CANCEL)
        if rc != 0:
            self.kill()
            raise SetupFailure("could not press Cancel: %s" % out)
        rc, out = self.uia("msgbox", "--title", "Exit Setup", "--timeout", 10000,
                           "--press", "IDYES")
        if rc != 0:
            self.kill()
            raise SetupFailure("no Exit Setup confirmation after Cancel")
        return self.wait(timeout)

    def finish(self, timeout=120):
        """Brings the run to its end, whatever state it is in: cancels an open
        wizard. Returns the exit code."""
        state, value = self.wait_exit_or_wizard(timeout)
        if state == "exited":
            return value
        return self.cancel_wizard()


# ---- the wizard -------------------------------------------------------------

LICENSE_CONTROLS = (IDC_LICENSE_RULE, IDC_LICENSE_PROMPT, IDC_LICENSE_TEXT, IDC_ACCEPT,
                    IDC_DECLINE)
VK_ESCAPE = 0x1B


def until(probe, what, timeout=20.0, interval=0.1):
    """Calls probe() until it returns something true and returns that; fails
    with `what` and the last value seen when timeout seconds pass first. The
    timeout only bounds a wait for a state that must come; no case measures
    time."""
    deadline = time.monotonic() + timeout * SLOW
    last = None
    while True:
        last = probe()
        if last:
            return last
        if time.monotonic() >= deadline:
            raise SetupFailure("%s: not reached within %.0f s (last seen: %r)"
                               % (what, timeout * SLOW, last))
        time.sleep(interval)


class WizardView:
    """One snapshot of the wizard window and all its descendants (uia dump):
    the frame's own controls by id, the two page dialogs and their controls."""

    def __init__(self, objects):
        self.top = objects[0]
        self.hwnd = self.top["hwnd"]
        children = objects[1:]
        self.controls = {c["id"]: c for c in children
                         if c["parent"] == self.hwnd and c["id"] >= 1000}
        pages = {c["hwnd"]: c for c in children
                 if c["parent"] == self.hwnd and c["class"] == "#32770"}
        self.welcome = self.header = None
        self.welcome_controls, self.header_controls = {}, {}
        self.welcome_statics = []
        for hwnd, page in pages.items():
            inner = [c for c in children if c["parent"] == hwnd]
            ids = {c["id"] for c in inner}
            if IDC_WELCOME_BODY in ids:
                self.welcome = page
                self.welcome_controls = {c["id"]: c for c in inner if c["id"] >= 1000}
                self.welcome_statics = [c["text"] for c in inner if c["class"] == "Static"]
            elif IDC_HEADER_TITLE in ids:
                self.header = page
                self.header_controls = {c["id"]: c for c in inner if c["id"] >= 1000}

    @property
    def title(self):
        return self.top["text"]

    def visible(self, cid):
        return self.controls[cid]["visible"]

    def enabled(self, cid):
        return self.controls[cid]["enabled"]

    def checked(self, cid):
        return self.controls[cid].get("checked")

    @property
    def license_text(self):
        return self.controls[IDC_LICENSE_TEXT].get("value")

    @property
    def page(self):
        """"welcome" or "license" when everything that shows agrees with one
        page, else a description of the mix."""
        lic = [self.visible(c) for c in LICENSE_CONTROLS]
        welcome_page = bool(self.welcome and self.welcome["visible"])
        header = bool(self.header and self.header["visible"])
        back = self.visible(IDC_BACK)
        if welcome_page and not header and not back and not any(lic):
            return "welcome"
        if header and not welcome_page and back and all(lic):
            return "license"
        return "mixed(welcome page %s, header %s, Back %s, license controls %s)" % (
            welcome_page, header, back, lic)

    @property
    def focus_id(self):
        """Control id of the keyboard focus (None when it is not one of the
        frame's controls)."""
        for cid, c in self.controls.items():
            if c["hwnd"] == self.top.get("focus"):
                return cid
        return None

    def state(self):
        """What a Cancel answered No must leave alone."""
        return {"page": self.page, "next_enabled": self.enabled(IDC_NEXT),
                "accept": self.checked(IDC_ACCEPT), "decline": self.checked(IDC_DECLINE),
                "title": self.title}


class Wizard:
    """Drives the open wizard of one run. A click returns once the wizard has
    handled it, so that what is read next is the state it left, never a
    page half changed; the clicks that open a box or end the wizard are
    posted instead, as a user's would be queued. States are awaited with
    until()."""

    def __init__(self, run, window=None):
        self.run = run
        window = window or until(run.wizard, "wizard window of %s" % run.name, 60)
        self.hwnd = window["hwnd"]
        # The wizard shows once its opening has run; its focus and the rest
        # are final once its thread is back in the dialog's message loop.
        self.sync("the opening of the wizard")

    def sync(self, what="the wizard's last step"):
        """Until the wizard's thread is back in its message loop: what it
        was doing has ended."""
        rc, out = self.run.uia("sync", "--hwnd", self.hwnd, "--timeout", 20000,
                               timeout_ms=20000)
        if rc != 0:
            raise SetupFailure("%s: the wizard did not come back to its message loop: %s"
                               % (what, out))

    def view(self):
        rc, out = self.run.uia("dump", "--hwnd", self.hwnd)
        if rc != 0 or not out or "hwnd" not in out[0]:
            return None
        return WizardView(out)

    def wait(self, predicate, what, timeout=20.0):
        def probe():
            v = self.view()
            return v if v is not None and predicate(v) else None
        return until(probe, what, timeout)

    def wait_page(self, page, what=None, next_enabled=None):
        def ok(v):
            return v.page == page and (next_enabled is None or v.enabled(IDC_NEXT) == next_enabled)
        return self.wait(ok, what or "%s page" % page)

    def click(self, cid):
        """Clicks control cid and returns once the wizard has handled the
        click to its end (the page shown, the focus and the buttons as it
        left them). Not for a click that opens a box or ends the wizard:
        post_click."""
        rc, out = self.run.uia("click", "--hwnd", self.hwnd, "--id", cid, "--send",
                               "--timeout", 20000, timeout_ms=20000)
        if rc != 0:
            raise SetupFailure("click on control %d not handled: %s" % (cid, out))

    def post_click(self, cid):
        """Clicks control cid without waiting for its handling: it queues
        behind the input posted before it, and may open a modal box."""
        rc, out = self.run.uia("click", "--hwnd", self.hwnd, "--id", cid)
        if rc != 0:
            raise SetupFailure("click on control %d failed: %s" % (cid, out))

    def command(self, cid):
        """WM_COMMAND with the id, posted to the wizard (no button press, so
        the focus does not move)."""
        rc, out = self.run.uia("click", "--hwnd", self.hwnd, "--id", cid, "--command")
        if rc != 0:
            raise SetupFailure("WM_COMMAND %d failed: %s" % (cid, out))

    def send_command(self, cid, timeout_ms=10000):
        """WM_COMMAND sent (not posted): True when the wizard's procedure
        returned within timeout_ms, False when it did not (it is then
        blocked, e.g. in a message box of its own)."""
        rc, out = self.run.uia("click", "--hwnd", self.hwnd, "--id", cid, "--command",
                               "--send", "--timeout", timeout_ms, timeout_ms=timeout_ms)
        return rc == 0

    def key(self, vk, cid=None):
        args = ["key", "--hwnd", self.hwnd, "--vk", vk]
        if cid is not None:
            args += ["--id", cid]
        rc, out = self.run.uia(*args)
        if rc != 0:
            raise SetupFailure("key %d failed: %s" % (vk, out))

    def close(self, syscommand=False):
        args = ["close", "--hwnd", self.hwnd] + (["--syscommand"] if syscommand else [])
        rc, out = self.run.uia(*args)
        if rc != 0:
            raise SetupFailure("close request failed: %s" % out)

    def message_boxes(self):
        """Every top-level dialog of this run but the wizard that is open now
        (the error boxes carry the wizard's title as their caption), shown
        or not yet: a box shows only once its own message loop is idle."""
        rc, out = self.run.uia("list", "--class", "#32770")
        return [w for w in out if "hwnd" in w and w["hwnd"] != self.hwnd]

    def accept_and_finish(self):
        """Next, Accept, final Next (each step awaited; the final Next is
        posted, as the hand-off may open a box)."""
        self.click(IDC_NEXT)
        self.wait_page("license", "license page after Next")
        self.click(IDC_ACCEPT)
        self.wait(lambda v: v.enabled(IDC_NEXT), "Next enabled after Accept")
        self.post_click(IDC_NEXT)
