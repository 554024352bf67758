#!/usr/bin/env python3
"""Runs a built installer under Wine the way a user would: the stand-in
Application Manager registered under "C:\\Program Files\\CE Tools", the
wizard walked through welcome, license, Accept and Next, a screenshot of
each page. Prints where the screenshots are, what landed in the install
folder and the command line the Application Manager received.

Usage: demo_run.py INSTALLER [--interactive]"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import harness  # noqa: E402

APPMGR_DIR = r"C:\Program Files\CE Tools"
DESKTOP = "vq,800x600"


def install_fake_app_manager(s):
    folder = s.unix_path(APPMGR_DIR)
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(s.cfg.tool("fakeappmgr.exe"), os.path.join(folder, "CEAPPMGR.EXE"))
    for stale in ("cmdline.txt", "VQ Notes"):
        p = os.path.join(folder, stale)
        if os.path.isdir(p):
            shutil.rmtree(p)
        elif os.path.exists(p):
            os.unlink(p)
    s.set_app_path(APPMGR_DIR + r"\CEAPPMGR.EXE")
    return folder


def walk(s, exe):
    shots = []
    run = s.start_setup(exe, desktop=DESKTOP)
    wiz = harness.Wizard(run)
    wiz.wait_page("welcome")
    shots.append(s.screenshot("demo_1_welcome"))
    wiz.click(harness.IDC_NEXT)
    wiz.wait_page("license", next_enabled=False)
    shots.append(s.screenshot("demo_2_license"))
    wiz.click(harness.IDC_ACCEPT)
    wiz.wait(lambda v: v.enabled(harness.IDC_NEXT), "Next enabled after Accept")
    shots.append(s.screenshot("demo_3_accepted"))
    wiz.click(harness.IDC_NEXT)
    harness.until(lambda: not run.running or None, "the setup to end", 60)
    run.wait(30)
    return [p for p in shots if p]


def interactive(exe):
    cfg = harness.Config()
    if not os.environ.get("DISPLAY"):
        sys.exit("demo: --interactive needs a desktop display (DISPLAY is not set)")
    env = dict(os.environ, WINEPREFIX=cfg.prefix, WINEDEBUG="-all")
    print("Running %s in a Wine window; click through it." % exe)
    return subprocess.call(["wine", "explorer", "/desktop=" + DESKTOP, exe], env=env)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("installer")
    ap.add_argument("--interactive", action="store_true",
                    help="run in a visible Wine window for a person to click through")
    a = ap.parse_args()
    if a.interactive:
        return interactive(os.path.abspath(a.installer))

    s = harness.Session().start()
    try:
        folder = install_fake_app_manager(s)
        s.clean_workspaces()
        case = s.case_dir("demo")
        exe = os.path.join(case, os.path.basename(a.installer))
        shutil.copyfile(a.installer, exe)
        shots = walk(s, exe)
        print("== screenshots")
        for p in shots:
            print("  " + p)
        print("== install folder %s\\VQ Notes" % APPMGR_DIR)
        inst = os.path.join(folder, "VQ Notes")
        for name in sorted(os.listdir(inst)) if os.path.isdir(inst) else []:
            print("  %-20s %8d bytes" % (name, os.path.getsize(os.path.join(inst, name))))
        print("== left in the temporary folder: %s" % (", ".join(s.workspaces()) or "nothing"))
        print("== the Application Manager was started as")
        log = os.path.join(folder, "cmdline.txt")
        if not os.path.exists(log):
            print("  (it was not started)")
            return 1
        with open(log, encoding="latin-1") as f:
            for line in f:
                if line.startswith("cmdline: "):
                    print("  " + line[len("cmdline: "):].rstrip())
        return 0
    finally:
        s.stop()


if __name__ == "__main__":
    sys.exit(main())
