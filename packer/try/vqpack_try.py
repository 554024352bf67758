"""vqpack try: runs an installer under Wine the way a user would and says
what the Application Manager, and so the device, would get.

vqpack starts this program as `python3 vqpack_try.py --vqpack VQPACK ARGS`.
The run: a throwaway copy of a template Wine prefix (made once, kept in
$XDG_CACHE_HOME/vqinstaller), a private Xvfb display, the stand-in
Application Manager registered under "C:\\Program Files\\CE Tools", the
wizard walked through welcome, Next, license, Accept, Next (or Decline or
Cancel, then Yes). Every process started is ended and the copy deleted, on
success, failure, time-out, SIGINT and SIGTERM.

Exit status: 0 the hand-off happened, every component (Setup.ini's and
each one its AlsoInstall lists: the INI and its CabFiles entries) arrived
intact and the Application Manager was given every INI in order; 1 the run
ended otherwise (the reason on the last line); 2 bad
usage; 3 Wine, Xvfb or another needed program is missing or cannot run.
"""

import argparse
import contextlib
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# Nothing written beside the installed files (they belong to the package).
sys.dont_write_bytecode = True

import vqtry  # noqa: E402

APPMGR_DIR = "C:\\Program Files\\CE Tools"
APPMGR = APPMGR_DIR + "\\CEAPPMGR.EXE"
DESKTOP = "vqtry"
# Bumped whenever the template's settings change, so that an older cached
# template is made again.
TEMPLATE_FORMAT = 1
# Program -> the Debian package that brings it.
NEEDED = [("wine", "wine"), ("wineserver", "wine"), ("wineboot", "wine"), ("Xvfb", "xvfb")]
INSTALL_HINT = ("on Debian: dpkg --add-architecture i386 && apt-get update && "
                "apt-get install wine wine32:i386 xvfb imagemagick")
# RTF a rich text control never shows: the header group or control words
# that every RTF writer emits. A plain license may hold backslashes (paths),
# so a lone backslash and letters is not taken as markup.
RTF_MARKUP = re.compile(r"\{\\rtf|\\(?:par|pard|ansi|deff\d*|fonttbl|colortbl|f\d+|fs\d+)"
                        r"(?![A-Za-z])")


class Stop(Exception):
    """Ends the run early: time-out or a signal."""


class Unavailable(Exception):
    """Something `try` needs is missing or cannot run here (exit 3)."""


# ---- the descriptor, read as the setup program reads it ---------------------

def read_ini(data):
    """{section: {key: value}} with lower-case names; the first of repeated
    sections and keys wins, values are trimmed and lose one pair of
    enclosing quotes, as GetPrivateProfileString gives them."""
    sections, current = {}, None
    for raw in data.decode("latin-1").splitlines():
        line = raw.strip()
        if line.startswith("[") and "]" in line:
            current = sections.setdefault(line[1:line.index("]")].strip().lower(), {})
        elif current is not None and "=" in line and not line.startswith(";"):
            key, value = line.split("=", 1)
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
                value = value[1:-1]
            current.setdefault(key.strip().lower(), value)
    return sections


def ini_value(ini, section, key, size, default="NO"):
    """The value, the default when it is missing, cut to what a buffer of
    size bytes holds."""
    return ini.get(section.lower(), {}).get(key.lower(), default)[:size - 1]


def cab_entries(value):
    """CabFiles items that the setup program moves: items split at commas,
    without those that are not plain file names (folders, drives, only
    dots and blanks, empty)."""
    out = []
    for item in value.split(","):
        if re.search(r"[\\/:]", item) or not item.strip(". "):
            continue
        out.append(item)
    return out


def components_of(lower):
    """The components the setup program hands over, from the members
    ({lower-case name: bytes}): Setup.ini's, then each AlsoInstall item that
    is a plain name, each once. Each: {"ini", "member" (the INI is one),
    "component" (the section its Component names), "cabfiles"}."""
    setup = read_ini(lower["setup.ini"])
    names = ["Setup.ini"] + cab_entries(ini_value(setup, "VQINSTALLER", "AlsoInstall", 512, ""))
    out, seen = [], set()
    for name in names:
        if name.lower() in seen:
            continue
        seen.add(name.lower())
        data = lower.get(name.lower())
        c = {"ini": name, "member": data is not None, "component": None, "cabfiles": []}
        if data is not None:
            ini = read_ini(data)
            c["component"] = ini_value(ini, "CEAppManager", "Component", 256)
            c["cabfiles"] = cab_entries(ini_value(ini, c["component"], "CabFiles", 512))
        out.append(c)
    return out


def license_format(shown, member):
    """How the license page showed the license: "raw RTF" when RTF markup
    is visible, "rich text" when an RTF license shows as formatted text,
    "plain text" otherwise."""
    if shown is None:
        return None
    if RTF_MARKUP.search(shown):
        return "raw RTF"
    if member is not None and member.lstrip()[:5] == b"{\\rtf":
        return "rich text"
    return "plain text"


# ---- Wine, the template prefix and the throwaway copy -------------------------

def cache_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "vqinstaller")


def ensure_i386():
    """Runs this driver again under i386-run.sh unless it already runs
    under it: Wine's 32-bit loader needs a kernel that runs 32-bit programs,
    or qemu-i386 where it runs 64-bit ones only. Execs, so that the process,
    its signals and its exit status stay the same."""
    if os.environ.get("VQ_I386"):
        return
    script = os.path.join(HERE, "i386-run.sh")
    p = subprocess.run(["sh", script, "--check"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
    if p.returncode != 0:
        raise Unavailable("%s (%s)" % (p.stderr.decode(errors="replace").strip(), INSTALL_HINT))
    sys.stdout.flush()
    os.execvp("sh", ["sh", script, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])


def check_programs(shots):
    needed = NEEDED + ([("import", "imagemagick")] if shots else [])
    missing = [(prog, pkg) for prog, pkg in needed if not shutil.which(prog)]
    if missing:
        raise Unavailable("not found: %s (Debian packages %s; %s)"
                          % (", ".join(p for p, _ in missing),
                             ", ".join(sorted({pkg for _, pkg in missing})), INSTALL_HINT))
    p = subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=60, env=dict(os.environ, WINEDEBUG="-all"))
    if p.returncode != 0:
        raise Unavailable("wine does not run here (wine --version: exit %d: %s); it must run "
                          "32-bit programs: wine32 on a system that runs 32-bit x86 programs "
                          "(%s)" % (p.returncode, p.stderr.decode(errors="replace").strip(),
                                    INSTALL_HINT))
    return p.stdout.decode(errors="replace").strip()


def clone_prefix(template, dest):
    """A copy of the template prefix. The large Windows libraries, which
    nothing in a run writes to, are hard links; everything else is copied.
    Wine is told not to update the copy, which could rewrite them."""
    windows = os.path.join(template, "drive_c", "windows")
    for folder, dirs, files in os.walk(template):
        rel = os.path.relpath(folder, template)
        target = os.path.normpath(os.path.join(dest, rel))
        os.makedirs(target, exist_ok=True)
        for name in dirs + files:
            src = os.path.join(folder, name)
            dst = os.path.join(target, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dst)
                if name in dirs:
                    dirs.remove(name)
            elif name in files:
                if folder.startswith(windows) and os.path.getsize(src) >= 65536:
                    try:
                        os.link(src, dst)
                        continue
                    except OSError:
                        pass
                shutil.copy2(src, dst)
    with open(os.path.join(dest, ".update-timestamp"), "w") as f:
        f.write("disable\n")


def ensure_template(root, tools, wine_version, progress):
    """The cached template prefix, made when missing or made by another
    Wine or an older vqpack: wineboot, no crash dialog, unmanaged windows,
    the virtual desktop, the Application Manager's App Paths entry.
    Returns (path, seconds spent making it or None)."""
    template = os.path.join(root, "wine-template")
    mark = os.path.join(template, ".vqtry-template")
    ident = "%s\nformat %d\n" % (wine_version, TEMPLATE_FORMAT)
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "wine-template.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with contextlib.suppress(OSError), open(mark) as f:
            if f.read() == ident:
                return template, None
        start = time.monotonic()
        progress("making the template Wine prefix in %s (once)" % template)
        building = template + ".new"
        for old in (template, building):
            shutil.rmtree(old, ignore_errors=True)
        work = tempfile.mkdtemp(prefix="template-", dir=root)
        s = vqtry.Session(vqtry.Config(tools, building, work, work), handle_signals=False)
        try:
            s.start()
            s.unmanaged_windows()
            s.virtual_desktop(DESKTOP, vqtry.SCREEN)
            s.set_app_path(APPMGR)
        finally:
            s.stop()
            shutil.rmtree(work, ignore_errors=True)
            with contextlib.suppress(OSError):
                os.unlink(building + ".lock")
        with open(os.path.join(building, ".vqtry-template"), "w") as f:
            f.write(ident)
        os.rename(building, template)
        return template, time.monotonic() - start


def prune_runs(runs):
    """Deletes run folders that a killed run left: idle for an hour and not
    locked by a live run."""
    for name in os.listdir(runs) if os.path.isdir(runs) else []:
        path = os.path.join(runs, name)
        with contextlib.suppress(OSError):
            if time.time() - os.path.getmtime(path) < 3600:
                continue
            with open(os.path.join(path, "prefix.lock"), "a") as f:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                shutil.rmtree(path, ignore_errors=True)


# ---- the run ------------------------------------------------------------------

class Try:
    def __init__(self, args):
        self.a = args
        self.s = None
        self.run = None
        self.shot_count = 0
        self.r = {
            "installer": os.path.abspath(args.installer),
            "members": None, "title": None, "welcome": None,
            "license": None, "error_boxes": [], "install_folder": None, "files": [],
            "components": [], "cabfiles": [], "missing": [], "left_in_workspace": [],
            "app_manager_command_line": None, "inis_given": [], "exit_code": None,
            "screenshots": [],
            "timings": {},
        }

    def progress(self, msg):
        if not self.a.json:
            sys.stderr.write("vqpack try: %s\n" % msg)
            sys.stderr.flush()

    # -- members --

    def extract(self, into):
        p = subprocess.run([self.a.vqpack, "extract", self.a.installer, into],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
        if p.returncode != 0:
            self.r["members_error"] = p.stderr.decode(errors="replace").strip()
            return {}
        members = {}
        for name in sorted(os.listdir(into)):
            with open(os.path.join(into, name), "rb") as f:
                members[name] = f.read()
        self.r["members"] = [{"name": n, "size": len(d)} for n, d in members.items()]
        return members

    # -- screenshots and boxes --

    def shot(self, name, rect=None):
        if not self.a.shots:
            return
        self.shot_count += 1
        path = self.s.screenshot("%d-%s" % (self.shot_count, name), rect)
        if path:
            self.r["screenshots"].append(path)

    def window_rect(self, hwnd):
        rc, out = self.run.uia("list", "--hwnd", hwnd)
        return out[0].get("screen") if out and "hwnd" in out[0] else None

    def take_box(self, timeout_ms=0, press="IDOK"):
        """Records an open message box of the setup (photographed), presses
        its button; None when there is none."""
        rc, out = self.run.uia("msgbox", "--timeout", timeout_ms)
        if rc != 0 or not out or "caption" not in out[0]:
            return None
        box = {"caption": out[0]["caption"], "text": out[0]["text"]}
        self.shot("message-box", self.window_rect(out[0]["hwnd"]))
        self.run.uia("msgbox", "--hwnd", out[0]["hwnd"], "--timeout", 5000, "--press", press)
        # The press is posted: until the setup has taken it, the box is
        # still there and must not be taken for a second one.
        self.run.uia("wait-gone", "--hwnd", out[0]["hwnd"], "--timeout", 10000)
        return box

    def wizard_or_end(self):
        """Until the wizard is open (returns it) or the setup has ended
        (None), recording and closing the error boxes on the way."""
        while self.run.running:
            w = self.run.wizard()
            if w:
                return w
            box = self.take_box()
            if box:
                self.r["error_boxes"].append(box)
            time.sleep(0.2)
        return None

    # -- the wizard --

    def walk(self, window):
        wiz = vqtry.Wizard(self.run, window)
        v = wiz.wait_page("welcome")
        self.r["title"] = v.title
        self.r["welcome"] = [t for t in v.welcome_statics if t.strip()]
        self.shot("welcome", v.top.get("screen"))
        wiz.click(vqtry.IDC_NEXT)
        v = wiz.wait_page("license", "license page after Next")
        self.r["license_shown"] = v.license_text
        self.shot("license", v.top.get("screen"))
        if self.a.decline or self.a.cancel:
            if self.a.decline:
                wiz.click(vqtry.IDC_DECLINE)
                v = wiz.wait(lambda v: v.checked(vqtry.IDC_DECLINE) == 1, "Decline checked")
                self.r["next_enabled_after_decline"] = v.enabled(vqtry.IDC_NEXT)
                self.shot("declined", v.top.get("screen"))
            wiz.post_click(vqtry.IDC_CANCEL)
            box = self.take_box(10000, press="IDYES")
            if not box:
                raise vqtry.SetupFailure("no Exit Setup question after Cancel")
            self.r["exit_question"] = box
        else:
            wiz.click(vqtry.IDC_ACCEPT)
            v = wiz.wait(lambda v: v.enabled(vqtry.IDC_NEXT), "Next enabled after Accept")
            self.shot("accepted", v.top.get("screen"))
            wiz.post_click(vqtry.IDC_NEXT)
        # The hand-off's own error boxes come after the final Next.
        while self.run.running:
            box = self.take_box()
            if box:
                self.r["error_boxes"].append(box)
            time.sleep(0.2)

    def run_setup(self, exe):
        self.run = self.s.start_setup(exe)
        # A plain run inside the prefix's own virtual desktop (so its exit
        # code is the setup's): uia looks at that desktop.
        self.run.desktop = DESKTOP
        window = self.wizard_or_end()
        if window:
            self.walk(window)
        self.r["exit_code"] = self.run.wait(30)

    # -- what arrived --

    def collect(self, members, appmgr_folder):
        ini = None
        for name, data in members.items():
            if name.lower() == "setup.ini":
                ini = read_ini(data)
        lic_member = None
        if ini is not None:
            lic = ini_value(ini, "VQINSTALLER", "LicenseFile", 256).lower()
            lic_member = next((d for n, d in members.items() if n.lower() == lic), None)
        shown = self.r.pop("license_shown", None)
        if shown is not None:
            lines = [l.rstrip() for l in shown.replace("\r\n", "\n").split("\n")]
            self.r["license"] = {"format": license_format(shown, lic_member),
                                 "first_lines": [l for l in lines if l.strip()][:5]}

        lower = {n.lower(): d for n, d in members.items()}
        if ini is not None:
            install = ini_value(ini, "VQINSTALLER", "InstallDirectory", 256)
            self.r["components"] = components_of(lower)
            for c in self.r["components"]:
                self.r["cabfiles"] += [e for e in c["cabfiles"] if e not in self.r["cabfiles"]]
        else:
            # No descriptor to read: whatever folder the setup made.
            made = [n for n in os.listdir(appmgr_folder)
                    if os.path.isdir(os.path.join(appmgr_folder, n))]
            install = made[0] if made else None
        if install is not None:
            self.r["install_folder"] = APPMGR_DIR + "\\" + install
            folder = self.s.unix_path(self.r["install_folder"])
            arrived = {}
            for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
                path = os.path.join(folder, name)
                if not os.path.isfile(path):
                    continue
                with open(path, "rb") as f:
                    data = f.read()
                member = lower.get(name.lower())
                state = ("not a member" if member is None else
                         "identical to the member" if member == data else
                         "differs from the member")
                self.r["files"].append({"name": name, "size": len(data), "member": state})
                arrived[name.lower()] = state
            for c in self.r["components"]:
                needed = c["cabfiles"] + [c["ini"]]
                c["missing"] = [e for e in needed if e.lower() not in arrived]
                c["differs"] = [e for e in needed
                                if arrived.get(e.lower()) == "differs from the member"]
                c["intact"] = not c["missing"] and not c["differs"]
                self.r["missing"] += [e for e in c["missing"] if e not in self.r["missing"]]
            if not self.r["components"] and "setup.ini" not in arrived:
                self.r["missing"].append("Setup.ini")

        for ws in self.s.workspaces():
            for folder, _, files in os.walk(ws):
                for name in files:
                    rel = os.path.relpath(os.path.join(folder, name), os.path.dirname(ws))
                    self.r["left_in_workspace"].append(rel.replace("/", "\\"))

        log = os.path.join(appmgr_folder, "cmdline.txt")
        if self.run is not None and not self.run.running:
            # WinExec returns before the started program has run; once every
            # stand-in the setup started has ended, the log holds them all.
            with contextlib.suppress(vqtry.SetupFailure):
                self.s.wait_ended("CEAPPMGR.EXE")
        if os.path.exists(log):
            with open(log, "rb") as f:
                for line in f.read().decode("latin-1").split("\r\n"):
                    if line.startswith("cmdline: "):
                        self.r["app_manager_command_line"] = line[len("cmdline: "):]
                        break
        # The INIs the Application Manager was given: the quoted arguments
        # after its own path; and each component's place among them.
        cmdline = self.r["app_manager_command_line"]
        given = re.findall(r'"([^"]*)"', cmdline or "")[1:]
        self.r["inis_given"] = given
        for c in self.r["components"]:
            path = "%s\\%s" % (self.r["install_folder"], c["ini"])
            c["on_command_line"] = path.lower() in (g.lower() for g in given)

    def verdict(self, stopped):
        r = self.r
        if stopped:
            return stopped
        differs = [f["name"] for f in r["files"] if f["member"] == "differs from the member"]
        if r["app_manager_command_line"] is None:
            if r["error_boxes"]:
                box = r["error_boxes"][-1]
                return "no hand-off: error box \"%s\": %s" % (box["caption"],
                                                              box["text"].replace("\n", " "))
            if self.a.cancel or self.a.decline:
                return "no hand-off: the wizard was cancelled"
            return "no hand-off: the Application Manager was not started"
        if r["missing"]:
            return "never arrived in the install folder: %s" % ", ".join(r["missing"])
        if differs:
            return "arrived but differ from the installer's members: %s" % ", ".join(differs)
        # Every component arrived: the Application Manager must be given
        # each INI, Setup.ini first, in the order of the components.
        expected = [("%s\\%s" % (r["install_folder"], c["ini"])).lower()
                    for c in r["components"]]
        if expected and [g.lower() for g in r["inis_given"]] != expected:
            return ("the Application Manager was not given every component's INI in order: "
                    "expected %s, got %s" % (", ".join(c["ini"] for c in r["components"]),
                                             ", ".join(r["inis_given"]) or "none"))
        if r["exit_code"] != 0:
            return "the setup program exited with %s" % r["exit_code"]
        return None

    # -- everything, with clean-up --

    def main(self):
        a = self.a
        if not os.path.isfile(a.installer):
            raise Unavailable("%s: no such file" % a.installer)
        ensure_i386()
        wine_version = check_programs(a.shots)
        tools = HERE
        for tool in ("uia.exe", "fakeappmgr.exe"):
            if not os.path.isfile(os.path.join(tools, tool)):
                raise Unavailable("%s is missing beside %s: this vqpack was built without "
                                  "its Windows helpers" % (tool, __file__))
        root = cache_root()
        runs = os.path.join(root, "runs")
        started = time.monotonic()
        run_root = None
        stopped = None
        self.arm_signals()
        try:
            template, made = ensure_template(root, tools, wine_version, self.progress)
            if made is not None:
                self.r["timings"]["template_s"] = round(made, 1)
            if a.timeout:
                signal.alarm(a.timeout)
            os.makedirs(runs, exist_ok=True)
            prune_runs(runs)
            run_root = tempfile.mkdtemp(prefix="run-", dir=runs)
            prefix = os.path.join(run_root, "prefix")
            t = time.monotonic()
            clone_prefix(template, prefix)
            self.r["timings"]["prefix_copy_s"] = round(time.monotonic() - t, 2)
            if a.shots:
                os.makedirs(a.shots, exist_ok=True)
            cfg = vqtry.Config(tools, prefix, os.path.join(run_root, "work"),
                               os.path.abspath(a.shots or os.path.join(run_root, "shots")))
            self.s = vqtry.Session(cfg, handle_signals=False)
            self.s.start(configure=False)
            appmgr_folder = self.s.unix_path(APPMGR_DIR)
            os.makedirs(appmgr_folder, exist_ok=True)
            shutil.copyfile(self.s.appmgr_tool(), self.s.unix_path(APPMGR))
            rc, out = self.s.uia("temp-path")
            if rc != 0:
                raise Unavailable("Wine does not run 32-bit Windows programs here (uia.exe "
                                  "exit %s): install wine32 (%s)" % (rc, INSTALL_HINT))
            members = self.extract(os.path.join(run_root, "members"))
            name = os.path.basename(a.installer)
            if not name.lower().endswith(".exe"):
                name += ".exe"
            exe = os.path.join(prefix, "drive_c", "users", "Public", "Downloads", name)
            os.makedirs(os.path.dirname(exe), exist_ok=True)
            shutil.copyfile(a.installer, exe)
            t = time.monotonic()
            try:
                self.run_setup(exe)
            except vqtry.SetupFailure as exc:
                stopped = "the run did not go as a user's would: %s" % exc
            self.r["timings"]["setup_s"] = round(time.monotonic() - t, 1)
            self.collect(members, appmgr_folder)
        except (Stop, KeyboardInterrupt) as exc:
            stopped = str(exc) or "interrupted"
        except (OSError, RuntimeError, subprocess.SubprocessError) as exc:
            # Wine, the display or a file of ours failed, not the installer.
            raise Unavailable("%s: %s" % (type(exc).__name__, exc))
        finally:
            self.clean_up(run_root)
        self.r["timings"]["total_s"] = round(time.monotonic() - started, 1)
        return self.verdict(stopped)

    def arm_signals(self):
        def stop(signum, frame):
            raise Stop({signal.SIGALRM: "timed out after %s s" % self.a.timeout,
                        signal.SIGTERM: "terminated",
                        signal.SIGINT: "interrupted"}.get(signum, "stopped"))
        for sig in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, stop)

    def clean_up(self, run_root):
        # Nothing may cut the clean-up short.
        signal.alarm(0)
        for sig in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, signal.SIG_IGN)
        if self.run is not None:
            self.run.kill()
        if self.s is not None:
            self.s.stop()
        if run_root:
            shutil.rmtree(run_root, ignore_errors=True)


# ---- output ---------------------------------------------------------------------

def print_text(r, reason):
    out = []
    add = out.append
    add("== installer %s" % r["installer"])
    if r["members"] is None:
        add("  members: %s" % r.get("members_error", "not read"))
    else:
        add("  %d members: %s" % (len(r["members"]), ", ".join(m["name"] for m in r["members"])))
    add("== window title")
    add("  %s" % (r["title"] if r["title"] is not None else "(the wizard did not open)"))
    if r["welcome"] is not None:
        add("== welcome page")
        out.extend("  " + t.replace("\r\n", " ").replace("\n", " ") for t in r["welcome"])
    if r["license"] is not None:
        add("== license page (%s)" % r["license"]["format"])
        out.extend("  " + l for l in r["license"]["first_lines"])
    add("== error boxes")
    for box in r["error_boxes"]:
        add("  \"%s\": %s" % (box["caption"], box["text"].replace("\n", " / ")))
    if not r["error_boxes"]:
        add("  none")
    add("== install folder %s" % (r["install_folder"] or "(unknown)"))
    for f in r["files"]:
        add("  %-24s %10d bytes  %s" % (f["name"], f["size"], f["member"]))
    if not r["files"]:
        add("  (nothing arrived)")
    if r["components"]:
        add("== components")
    for i, c in enumerate(r["components"], 1):
        if not c["member"]:
            add("  %d. %s: not a member of the installer (the setup program skips it)"
                % (i, c["ini"]))
            continue
        files = ", ".join(c["cabfiles"] + [c["ini"]])
        state = ("arrived intact" if c.get("intact") else
                 "; ".join(part for part in (
                     "never arrived: " + ", ".join(c["missing"]) if c.get("missing") else "",
                     "differ: " + ", ".join(c["differs"]) if c.get("differs") else "") if part)
                 or "not checked")
        add("  %d. %s [%s]: %s %s%s" % (i, c["ini"], c["component"], files, state,
                                        ", given to the Application Manager"
                                        if c.get("on_command_line") else ""))
    add("== CabFiles entries that never arrived: %s" % (", ".join(
        e for e in r["missing"] if e in r["cabfiles"]) or "none"))
    inis = [e for e in r["missing"] if e not in r["cabfiles"]]
    if inis:
        add("  (nor did %s)" % ", ".join(inis))
    add("== left in the workspace: %s" % (", ".join(r["left_in_workspace"]) or "nothing"))
    add("== the Application Manager was started as")
    add("  %s" % (r["app_manager_command_line"] or "(it was not started)"))
    if r["screenshots"]:
        add("== screenshots")
        out.extend("  " + p for p in r["screenshots"])
    add("== exit code %s" % r["exit_code"])
    t = r["timings"]
    add("== %s s in all%s" % (t.get("total_s"), "; the template prefix was made in %s s"
                               % t["template_s"] if "template_s" in t else ""))
    add("OK: handed off, every component arrived intact" if reason is None
        else "FAILED: %s" % reason)
    print("\n".join(out))


def parse(argv):
    ap = argparse.ArgumentParser(
        prog="vqpack try",
        description="Runs an installer under Wine as a user would and reports what the "
                    "Application Manager would get.")
    ap.add_argument("--vqpack", required=True, help=argparse.SUPPRESS)
    ap.add_argument("installer", metavar="INSTALLER", help="the installer (SETUP.EXE)")
    ap.add_argument("--shots", metavar="DIR", help="save a screenshot of each page in DIR")
    choice = ap.add_mutually_exclusive_group()
    choice.add_argument("--decline", action="store_true",
                        help="on the license page, Decline, then Cancel and Yes")
    choice.add_argument("--cancel", action="store_true",
                        help="on the license page, Cancel and Yes")
    ap.add_argument("--timeout", type=int, default=180, metavar="SECONDS",
                    help="stop the run after SECONDS (default 180; making the template "
                         "prefix on a first run is not counted)")
    ap.add_argument("--json", action="store_true", help="print one JSON object")
    a = ap.parse_args(argv)
    if a.timeout < 1:
        ap.error("--timeout takes a number of seconds from 1")
    return a


def main(argv):
    a = parse(argv)
    t = Try(a)
    try:
        reason = t.main()
    except Unavailable as exc:
        if a.json:
            print(json.dumps({"installer": t.r["installer"], "result": "unavailable",
                              "reason": str(exc), "exit_status": 3}))
        sys.stderr.write("vqpack try: %s\n" % exc)
        return 3
    status = 0 if reason is None else 1
    if a.json:
        t.r.update(result="ok" if reason is None else "failed", reason=reason,
                   exit_status=status)
        print(json.dumps(t.r, indent=1))
    else:
        print_text(t.r, reason)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
