"""Benchmark payloads: folders of real .cab files (gcab over system
binaries) plus Setup.ini and a license text, cached in the build folder.

kind "cab"  : gcab -c -z (MSZIP, already compressed, as products ship them)
kind "text" : gcab -c without -z (stored binaries: compressible)
"""

import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "wine"))

import harness  # noqa: E402

SOURCES = ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/lib")
MiB = 1 << 20
LICENSE = (b"{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}\\f0\\fs20 "
           b"Benchmark license.\\par}")


def _source_files():
    seen = set()
    for root in SOURCES:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                try:
                    st = os.lstat(path)
                except OSError:
                    continue
                if not os.path.isfile(path) or os.path.islink(path):
                    continue
                if st.st_size < 4096 or st.st_size > 32 * MiB:
                    continue
                key = (st.st_dev, st.st_ino)
                if key in seen or not os.access(path, os.R_OK):
                    continue
                seen.add(key)
                yield path, st.st_size


def make(folder, size_mib, kind):
    """Creates (or reuses) the payload; returns its manifest."""
    manifest_path = os.path.join(folder, "manifest.json")
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            return json.load(f)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    target = size_mib * MiB
    ratio = 2.6 if kind == "cab" else 1.0   # input bytes per cab byte, roughly
    files = _source_files()
    cabs, total, index = [], 0, 0
    while total < target:
        want_in = max(256 * 1024, min(8 * MiB * ratio, (target - total) * ratio))
        batch, got = [], 0
        for path, size in files:
            batch.append(path)
            got += size
            if got >= want_in:
                break
        if not batch:
            raise RuntimeError("ran out of source files for %s" % folder)
        name = "part%03d.cab" % index
        index += 1
        args = ["gcab", "-c", "-n"] + (["-z"] if kind == "cab" else [])
        subprocess.run(args + [os.path.join(folder, name)] + batch, check=True,
                       stdout=subprocess.DEVNULL)
        size = os.path.getsize(os.path.join(folder, name))
        cabs.append(name)
        total += size
        if kind == "cab":   # adapt the estimate to what gcab achieved
            ratio = max(1.0, got / float(size))
    with open(os.path.join(folder, "license.rtf"), "wb") as f:
        f.write(LICENSE)
    ini = harness.descriptor(product_name="Bench %d MiB" % size_mib, product_version="1.0",
                             cab_files=",".join(cabs), license_file="license.rtf",
                             install_directory="BenchApp")
    with open(os.path.join(folder, "Setup.ini"), "wb") as f:
        f.write(ini)
    members = ["Setup.ini", "license.rtf"] + cabs
    manifest = {"kind": kind, "size_mib": size_mib, "members": members,
                "bytes": sum(os.path.getsize(os.path.join(folder, m)) for m in members)}
    with open(manifest_path, "w") as f:
        json.dump(manifest, f)
    return manifest
