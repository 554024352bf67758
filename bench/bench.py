"""Measures the setup program, the packer and their references; prints one
table. Every figure comes from a run made here; nothing is assumed.

    python3 bench/bench.py --build BUILD_DIR [--quick] [--runs N]
"""

import argparse
import filecmp
import glob
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "wine"))

import payloads  # noqa: E402

MiB = 1 << 20
# What the setup program may take of its 32768-byte image: 2 KiB stay free,
# with .reloc kept for ASLR.
IMAGE_BUDGET = 30720
ROWS = []          # (section, what, payload, unit, values, ref_label, ratio, target, met)


def note(msg):
    sys.stderr.write("[bench] %s\n" % msg)
    sys.stderr.flush()


LAST_CPU = [0.0]


def _child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(cmd, **kw):
    """Wall seconds of one run; LAST_CPU[0] gets its user+system seconds."""
    kw.setdefault("stdout", subprocess.DEVNULL)
    c = _child_cpu()
    t = time.monotonic()
    subprocess.run(cmd, check=True, **kw)
    wall = time.monotonic() - t
    LAST_CPU[0] = _child_cpu() - c
    return wall


def mm(values):
    return min(values), statistics.median(values)


def row(section, what, payload, unit, values, ratio="", target="", met=""):
    ROWS.append((section, what, payload, unit, values, ratio, target, met))


# ---- installers ---------------------------------------------------------------

def vq_build(packer, folder, members, out, jobs=None, extra=()):
    cmd = [packer, "build", "-o", out] + list(extra)
    if jobs:
        cmd += ["--jobs", str(jobs)]
    return timed(cmd + [os.path.join(folder, m) for m in members])


def nsis_build(folder, members, out, work):
    script = os.path.join(work, os.path.basename(out) + ".nsi")
    lines = ['Name "Bench"', 'OutFile "%s"' % out, "SetCompressor zlib",
             "RequestExecutionLevel user", "SilentInstall silent",
             'InstallDir "$TEMP\\vqnsis"', "Section", 'SetOutPath "$TEMP\\vqnsis"']
    lines += ['File "%s"' % os.path.join(folder, m) for m in members]
    lines += ["SectionEnd", ""]
    with open(script, "w") as f:
        f.write("\n".join(lines))
    subprocess.run(["makensis", "-V1", script], check=True, stdout=subprocess.DEVNULL)


def header(path):
    with open(path, "rb") as f:
        f.seek(32768)
        h = f.read(28)
    u = [int.from_bytes(h[i:i + 4], "little") for i in range(0, 28, 4)]
    return {"compressed": u[1], "uncompressed": u[2], "entries": u[3]}


# ---- native -------------------------------------------------------------------

def clear(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def peak_rss_and_time(cmd):
    """(wall seconds, peak RSS KiB) from /usr/bin/time -v."""
    with tempfile.NamedTemporaryFile("r") as tf:
        t = time.monotonic()
        subprocess.run(["/usr/bin/time", "-v", "-o", tf.name] + cmd, check=True,
                       stdout=subprocess.DEVNULL)
        wall = time.monotonic() - t
        m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", tf.read())
    return wall, int(m.group(1))


def bench_native(args, installers, floor_exe):
    out = os.path.join(args.work, "extract-out")
    for name, inst in installers.items():
        size = header(inst)["uncompressed"]
        floor_t, vq_t, vq_rss = [], [], []
        for _ in range(args.runs):
            clear(out)
            # timed from outside like vqpack: process start-up included
            floor_t.append(peak_rss_and_time([floor_exe, inst, out])[0])
            clear(out)
            wall, rss = peak_rss_and_time([args.packer, "extract", inst, out])
            vq_t.append(wall)
            vq_rss.append(rss)
        fmin, fmed = mm(floor_t)
        vmin, vmed = mm(vq_t)
        mib = size / MiB
        row("3 native", "floor: inflate+adler+spool+members", name, "MiB/s",
            [mib / t for t in floor_t])
        r = (mib / vmed) / (mib / fmed)
        row("3 native", "vqpack extract", name, "MiB/s", [mib / t for t in vq_t],
            "%.3fx floor (med)" % r, ">=0.8x", "yes" if r >= 0.8 else "NO")
        row("4 memory", "vqpack extract peak RSS", name, "KiB", vq_rss)
        yield name, max(vq_rss)
    clear(out)


def bench_packer(args, sets):
    work = os.path.join(args.work, "pack")
    os.makedirs(work, exist_ok=True)
    for name, (folder, manifest) in sets.items():
        members = manifest["members"]
        # gzip gets the very bytes vqpack compresses: the inflated stream.
        raw = os.path.join(work, name + ".stream")
        with open(raw, "wb") as f:
            for m in members:
                f.write(m.encode() + b"\0")
                with open(os.path.join(folder, m), "rb") as src:
                    shutil.copyfileobj(src, f, 1 << 20)
        size = os.path.getsize(raw)
        mib = size / MiB
        res, cpu, outs = {}, {}, {}
        cab = manifest["kind"] == "cab"
        for label, jobs, extra in (("gzip -9", None, ()), ("1", None, ()), ("2", 2, ()),
                                   ("auto", "auto", ()), ("8", 8, ()),
                                   ("level9-all", None, ("--level9-all",))):
            ts, cs = [], []
            for i in range(args.runs):
                out = os.path.join(work, "%s-j%s.exe" % (name, label.replace(" ", "")))
                if label == "gzip -9":
                    ts.append(_gzip(raw, out))
                else:
                    ts.append(vq_build(args.packer, folder, members, out, jobs, extra))
                cs.append(LAST_CPU[0])
                outs[label] = out
            res[label], cpu[label] = ts, cs
        g = mib / statistics.median(res["gzip -9"])
        one = mib / statistics.median(res["1"])
        row("5 packer", "gzip -9 (one core)", name, "MiB/s", [mib / t for t in res["gzip -9"]])
        r = one / g
        # The targets are for CAB files, which the level policy stores.
        tgt, met = (">=4x", "yes" if r >= 4 else "NO") if cab else ("", "")
        row("5 packer", "vqpack build (one core)", name, "MiB/s", [mib / t for t in res["1"]],
            "%.3fx gzip-9" % r, tgt, met)
        l9 = mib / statistics.median(res["level9-all"])
        row("5 packer", "vqpack build --level9-all (one core)", name, "MiB/s",
            [mib / t for t in res["level9-all"]], "%.3fx gzip-9" % (l9 / g))
        for label in ("2", "auto", "8"):
            sp = (mib / statistics.median(res[label])) / one
            tgt, met = ("", "")
            if label == "2" and not cab:
                tgt, met = ">=1.8x", "yes" if sp >= 1.8 else "NO"
            row("5 packer", "vqpack build --jobs %s" % label, name, "MiB/s",
                [mib / t for t in res[label]], "%.3fx one core" % sp, tgt, met)
            # cores the run actually got: CPU seconds over wall seconds
            row("5 packer", "  cores used by --jobs %s (cpu s / wall s)" % label, name, "x",
                [c / t for c, t in zip(cpu[label], res[label])])
        row("5 packer", "  CPU s per run: gzip -9 / build one core / --level9-all", name, "s",
            [], "%.2f / %.2f / %.2f" % (statistics.median(cpu["gzip -9"]),
                                        statistics.median(cpu["1"]),
                                        statistics.median(cpu["level9-all"])))
        same = all(filecmp.cmp(outs["1"], outs[j], shallow=False) for j in ("2", "auto", "8"))
        row("5 packer", "--jobs 1 == 2 == auto == 8 output", name, "", [],
            "identical" if same else "DIFFERENT", "identical", "yes" if same else "NO")
        c1 = os.path.getsize(outs["1"])
        c9 = os.path.getsize(outs["level9-all"])
        gz = os.path.getsize(outs["gzip -9"])
        r = c1 / c9
        tgt, met = ("<=1.005x", "yes" if r <= 1.005 else "NO") if cab else ("", "")
        row("5 packer", "installer size: default %d, level9-all %d, gzip %d" % (c1, c9, gz),
            name, "", [], "%.4fx level9-all" % r, tgt, met)
        os.unlink(raw)
        for out in outs.values():
            if os.path.exists(out):
                os.unlink(out)


def _gzip(raw, out):
    with open(out, "wb") as f:
        return timed(["gzip", "-9", "-c", raw], stdout=f)


# ---- Wine ---------------------------------------------------------------------

def proc_tree_hwm(sid, needle):
    """Largest VmHWM (KiB) among the processes of session sid whose command
    line holds needle."""
    best = None
    for d in glob.glob("/proc/[0-9]*"):
        try:
            with open(d + "/stat") as f:
                stat = f.read()
            fields = stat[stat.rindex(")") + 2:].split()
            if int(fields[3]) != sid:
                continue
            with open(d + "/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode("latin-1")
            if needle.lower() not in cmd.lower():
                continue
            with open(d + "/status") as f:
                m = re.search(r"VmHWM:\s+(\d+)", f.read())
            if m:
                best = max(best or 0, int(m.group(1)))
        except (OSError, ValueError):
            continue
    return best


DESKTOP = "vqbench,1024x768"


def wizard_time(session, harness, exe, desktop=None):
    """Seconds from the setup's start to its visible wizard window, and the
    peak RSS of the setup's and of the waiting uia's Wine process.

    Plain runs need a window manager on the display: without one, Wine
    waits 2 s for it when the progress window is destroyed. Runs inside
    Wine's virtual desktop (desktop) do not wait, but pay for starting
    explorer and its desktop window."""
    name = os.path.basename(exe)
    cmd = ["wine", session.cfg.tool("uia.exe"), "wait", "--exe", name, "--class", "#32770",
           "--title-suffix", harness.WIZARD_TITLE_SUFFIX, "--visible", "--interval", "2",
           "--timeout", "300000"]
    if desktop:
        cmd += ["--desktop", desktop.split(",")[0]]
    def start_waiter():
        return subprocess.Popen(cmd, env=session.env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                start_new_session=True)

    line = []
    if not desktop:
        waiter = start_waiter()
        time.sleep(2.0)   # let the waiter's own Wine start-up finish first
        run = session.start_setup(exe)
        line.append(waiter.stdout.readline())
    else:
        # the desktop exists only once the setup's explorer made it; the
        # waiter (about 0.07 s to start) is ready long before the wizard
        run = session.start_setup(exe, desktop=desktop)
        for _ in range(200):
            waiter = start_waiter()
            got = waiter.stdout.readline()
            if b"not usable" not in got:
                line.append(got)
                break
            waiter.wait(10)
            waiter.stdout.close()
            time.sleep(0.01)
    t_wizard = time.monotonic()
    if not line or b"hwnd" not in line[0]:
        run.kill()
        waiter.kill()
        raise RuntimeError("no wizard from %s: %r (log %s)" % (name, line, run.log_path))
    hwm = proc_tree_hwm(run.proc.pid, name)
    uia_hwm = proc_tree_hwm(waiter.pid, "uia.exe")
    waiter.wait(30)
    waiter.stdout.close()
    elapsed = t_wizard - run.started
    rc = run.cancel_wizard()
    if rc != 0:
        note("%s ended with %d after Cancel" % (name, rc))
    return elapsed, hwm, uia_hwm


def bench_wine(args, installers, nsis):
    import harness
    cfg = harness.Config()
    cfg.build = args.build
    cfg.stub = os.path.join(args.build, "stub", "vqstub.exe")
    cfg.packer = args.packer
    cfg.tools = os.path.join(args.build, "packer", "try")
    cfg.prefix = os.path.join(args.build, "wineprefix")
    cfg.work = os.path.join(args.work, "wine-work")
    cfg.screenshots = os.path.join(args.work, "screenshots")
    s = harness.Session(cfg).start()
    wm = None
    try:
        # A real window manager, as on any desktop: plain runs then show
        # what a user would see, without Wine's wait for a missing one.
        twmrc = os.path.join(args.work, "twmrc")
        with open(twmrc, "w") as f:
            f.write("RandomPlacement\nNoTitle\n")
        wm = subprocess.Popen(["twm", "-f", twmrc], env=s.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
        time.sleep(1.0)
        appmgr = s.fake_app_manager()
        s.set_app_path(appmgr)
        tiny = []
        cmd_exit = []
        for _ in range(args.runs + 2):
            t = time.monotonic()
            s.wine([cfg.tool("fakeappmgr.exe")])
            tiny.append(time.monotonic() - t)
            t = time.monotonic()
            s.wine(["cmd", "/c", "exit"])
            cmd_exit.append(time.monotonic() - t)
        tiny, cmd_exit = tiny[2:], cmd_exit[2:]   # first starts warm the cache
        row("1 wine", "wine fakeappmgr.exe (tiny exe, start->exit)", "-", "s", tiny)
        row("1 wine", "wine cmd /c exit", "-", "s", cmd_exit)
        temp = s.temp_dir()
        stub_med, nsis_med = {}, {}
        for name, inst in installers.items():
            ts, dts, hwms, uhwms = [], [], [], []
            for _ in range(args.runs):
                s.clean_workspaces()
                e, h, u = wizard_time(s, harness, inst)
                ts.append(e)
                if h:
                    hwms.append(h)
                if u:
                    uhwms.append(u)
                s.clean_workspaces()
                dts.append(wizard_time(s, harness, inst, DESKTOP)[0])
            s.clean_workspaces()
            stub_med[name] = statistics.median(ts)
            row("1 wine", "stub start->wizard, Xvfb + window manager", name, "s", ts)
            row("1 wine", "stub start->wizard, Wine virtual desktop", name, "s", dts)
            if hwms:
                row("4 memory", "stub under Wine VmHWM at wizard", name, "KiB", hwms)
            if uhwms:
                row("4 memory", "uia.exe (tiny Wine GUI program) VmHWM", name, "KiB", uhwms)
        for name, inst in nsis.items():
            ts = []
            for _ in range(args.runs):
                shutil.rmtree(os.path.join(temp, "vqnsis"), ignore_errors=True)
                t = time.monotonic()
                p = s.wine([s.windows_path(inst), "/S"], timeout=600)
                ts.append(time.monotonic() - t)
                got = os.listdir(os.path.join(temp, "vqnsis")) if os.path.isdir(
                    os.path.join(temp, "vqnsis")) else []
                if p.returncode != 0 or not got:
                    raise RuntimeError("NSIS %s failed (%d, %d files)" % (name, p.returncode,
                                                                          len(got)))
            shutil.rmtree(os.path.join(temp, "vqnsis"), ignore_errors=True)
            nsis_med[name] = statistics.median(ts)
            row("2 peer", "NSIS zlib /S start->exit", name, "s", ts)
        for name in installers:
            if name in nsis_med:
                r = stub_med[name] / nsis_med[name]
                big = name.startswith(("64", "256"))
                row("1 wine", "stub vs NSIS, medians (both plain, same display)", name, "", [],
                    "%.2fx NSIS" % r, "<=0.5x" if big else "",
                    ("yes" if r <= 0.5 else "NO") if big else "")
        # What the payload itself costs: each program's time above its own
        # 1 MiB run, so that the fixed costs (process, windows, desktop)
        # drop out; and what the 0.5x target leaves once the stub's fixed
        # cost is paid.
        small = "1MiB-cab"
        if small in stub_med and small in nsis_med:
            for name in installers:
                if name == small or name not in nsis_med:
                    continue
                mib = (header(installers[name])["uncompressed"] -
                       header(installers[small])["uncompressed"]) / MiB
                ds = stub_med[name] - stub_med[small]
                dn = nsis_med[name] - nsis_med[small]
                r = ds / dn
                tgt, met = ("<=0.7x", "yes" if r <= 0.7 else "NO") if name == "64MiB-cab" \
                    else ("", "")
                row("1 wine", "payload cost above the 1 MiB run: stub / NSIS", name, "s", [],
                    "%.3f / %.3f = %.2fx" % (ds, dn, r), tgt, met)
                row("1 wine", "  extraction rate above the 1 MiB run: stub / NSIS", name,
                    "MiB/s", [], "%.0f / %.0f" % (mib / ds, mib / dn))
                left = 0.5 * nsis_med[name] - stub_med[small]
                row("1 wine", "  0.5x NSIS minus the stub's 1 MiB run: rate needed", name,
                    "MiB/s", [], ("%.0f" % (mib / left)) if left > 0 else "none left")
    finally:
        if wm:
            wm.kill()
            wm.wait()
        s.stop()


# ---- main -----------------------------------------------------------------------

def fmt(v, unit):
    if unit == "KiB":
        return "%d" % v
    if unit in ("s", "x"):
        return "%.3f" % v if unit == "s" else "%.2f" % v
    return "%.1f" % v


def print_table(args):
    head = ("what", "payload", "unit", "min", "median", "n", "ratio", "target", "met")
    lines = []
    section = None
    for sec, what, payload, unit, values, ratio, target, met in sorted(ROWS, key=lambda r: r[0]):
        if sec != section:
            lines.append(("[%s]" % sec,) + ("",) * 8)
            section = sec
        if values:
            # for throughput the best run is the largest figure
            best = max(values) if unit == "MiB/s" else min(values)
            lo, med = fmt(best, unit), fmt(statistics.median(values), unit)
        else:
            lo = med = ""
        lines.append((what, payload, unit, lo, med, str(len(values)) if values else "",
                      ratio, target, met))
    widths = [max(len(l[i]) for l in lines + [head]) for i in range(len(head))]
    out = [" | ".join(h.ljust(w) for h, w in zip(head, widths)),
           "-+-".join("-" * w for w in widths)]
    for l in lines:
        out.append(" | ".join(c.ljust(w) for c, w in zip(l, widths)))
    print("\n".join(out))
    print("\n'min' is the best run (largest MiB/s, smallest s/KiB). Machine: %d cores, "
          "load average at the end %.2f %.2f %.2f; page cache warm (payloads just read)."
          % (((os.cpu_count() or 0),) + tuple(os.getloadavg())))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int, default=0)
    ap.add_argument("--skip", default="", help="comma list of: wine,native,packer")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.runs = args.runs or 3
    args.packer = os.path.join(args.build, "packer", "vqpack")
    args.work = os.path.join(args.build, "bench")
    skip = set(filter(None, args.skip.split(",")))
    os.makedirs(args.work, exist_ok=True)

    floor_exe = os.path.join(args.work, "floor")
    subprocess.run(["g++", "-O2", "-o", floor_exe, os.path.join(HERE, "floor.cpp"), "-lz"],
                   check=True)

    specs = [("1MiB-cab", 1, "cab"), ("64MiB-cab", 64, "cab"), ("64MiB-text", 64, "text")]
    if not args.quick:
        specs.append(("256MiB-cab", 256, "cab"))
    sets = {}
    for name, mib, kind in specs:
        note("payload %s" % name)
        folder = os.path.join(args.work, "payloads", name)
        sets[name] = (folder, payloads.make(folder, mib, kind))

    inst_dir = os.path.join(args.work, "installers")
    os.makedirs(inst_dir, exist_ok=True)
    installers, nsis = {}, {}
    for name, (folder, manifest) in sets.items():
        note("installers %s" % name)
        installers[name] = os.path.join(inst_dir, "vq_%s.exe" % name)
        vq_build(args.packer, folder, manifest["members"], installers[name])
        nsis[name] = os.path.join(inst_dir, "nsis_%s.exe" % name)
        if not os.path.exists(nsis[name]) or os.path.getmtime(nsis[name]) < os.path.getmtime(
                os.path.join(folder, "manifest.json")):
            nsis_build(folder, manifest["members"], nsis[name], inst_dir)

    if "wine" not in skip:
        note("Wine runs")
        bench_wine(args, installers, nsis)
    if "native" not in skip:
        note("native extraction")
        # The reader the setup program runs, on the same CAB payload packed
        # with every member deflated: what storing saves at extraction.
        native = dict(installers)
        if "64MiB-cab" in sets:
            folder, manifest = sets["64MiB-cab"]
            native["64MiB-cab --level9-all"] = os.path.join(inst_dir, "vq_64MiB-cab-l9.exe")
            vq_build(args.packer, folder, manifest["members"],
                     native["64MiB-cab --level9-all"], extra=("--level9-all",))
        peaks = dict(bench_native(args, native, floor_exe))
        lo, hi = peaks.get("1MiB-cab"), peaks.get("256MiB-cab") or peaks.get("64MiB-cab")
        if lo and hi:
            d = hi - lo
            row("4 memory", "vqpack extract peak growth 1 MiB -> largest", "-", "KiB", [],
                "%+d KiB" % d, "<=1024 KiB", "yes" if d <= 1024 else "NO")
    if "packer" not in skip:
        note("packer")
        bench_packer(args, {k: v for k, v in sets.items() if k.startswith("64")})
    with open(os.path.join(args.build, "stub", "vqstub.size")) as f:
        size = int(f.read().split()[0])
    row("6 image", "stub bytes before padding (of 32768)", "-", "bytes", [],
        "%d" % size, "<=%d" % IMAGE_BUDGET, "yes" if size <= IMAGE_BUDGET else "NO")
    print_table(args)


if __name__ == "__main__":
    main()
