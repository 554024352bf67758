#!/bin/sh
# Installs the Debian packages that building and testing need. Idempotent
# and quick when everything is present: apt is only called for what is
# missing. Run as root on Debian 12.
#
# Usage: install-deps.sh [build|test|bench|fuzz]...   (default: build)
set -eu

groups=${*:-build}
pkgs=""
for g in $groups; do
    case $g in
    build) pkgs="$pkgs cmake make g++ zlib1g-dev libgtest-dev libcli11-dev libpugixml-dev python3 bzip2
                 mingw-w64 libz-mingw-w64-dev
                 dpkg-dev file git" ;;  # cpack -G DEB: dpkg-shlibdeps, file, the last commit's time
    test)  # A kernel without IA-32 emulation runs no i386 program, Wine's
           # 32-bit loader included: packer/try/i386-run.sh then runs them
           # under qemu-i386.
           sh "$(dirname "$0")/../packer/try/i386-run.sh" --check >/dev/null 2>&1 ||
               pkgs="$pkgs qemu-user-static"
           # osslsigncode, openssl: signed installers (sign, verify, a test
           # CA); cabextract and gcab: an independent reader and writer of
           # cabinets.
           pkgs="$pkgs wine wine32:i386 wine64 xvfb xauth xdotool imagemagick
                 osslsigncode openssl cabextract gcab" ;;
    fuzz)  pkgs="$pkgs clang-14 libfuzzer-14-dev libclang-rt-14-dev" ;;
    bench) pkgs="$pkgs nsis gzip time twm gcab" ;;  # gcab: the payloads' CAB files
    *) echo "install-deps.sh: unknown group '$g' (build, test, bench, fuzz)" >&2; exit 2 ;;
    esac
done

missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
case "$missing" in
*:i386*)
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
export DEBIAN_FRONTEND=noninteractive
echo "installing:$missing"
# A mirror in the middle of a sync can serve an index that does not match
# its Release file; apt then fails the update but keeps every index it could
# fetch. Try a few times, then go on with those: apt-get install below says
# plainly if a package cannot be had.
upd_err=$(mktemp)
alt=$(mktemp -d)
trap 'rm -rf "$upd_err" "$alt"' EXIT
tries=0
until apt-get update -q >/dev/null 2>"$upd_err"; do
    tries=$((tries + 1))
    if [ "$tries" -ge 3 ]; then
        echo "install-deps.sh: apt-get update failed $tries times; going on with the package lists it fetched" >&2
        break
    fi
    sleep 10
done
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing >/dev/null && exit 0

# The install failed. Where a suite's index did not arrive (a broken
# bookworm-security i386 index, say), the machine's amd64 libraries may be at
# that suite's versions while their i386 twins, which must match, are only at
# the other suites' ones: apt then reports "held broken packages". Install
# again from the suites whose indexes all arrived.
failed=$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$upd_err" | sort -u)
if [ -z "$failed" ]; then
    echo "install-deps.sh: apt-get install failed (every package index arrived)" >&2
    exit 1
fi
echo "install-deps.sh: the index of" $failed "did not arrive; installing again without that suite" >&2
mkdir -p "$alt/parts"
: >"$alt/list"
# One-line lists: drop the lines of a failed suite.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v failed=" $(echo $failed) " '
        /^[ \t]*deb/ { s = $2; for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i ~ /:\/\//) { s = $(i + 1); break }
                       if (index(failed, " " s " ")) next }
        { print }' "$f" >>"$alt/list"
done
# deb822 files: take a failed suite out of Suites:, and a stanza left without one.
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v failed=" $(echo $failed) " '
        function flush() { if (n && keep) for (i = 1; i <= n; i++) print st[i]; if (n) print ""; n = 0; keep = 1 }
        BEGIN { keep = 1 }
        /^[ \t]*$/ { flush(); next }
        tolower($1) == "suites:" { line = "Suites:"; k = 0
                                   for (i = 2; i <= NF; i++) if (!index(failed, " " $i " ")) { line = line " " $i; k++ }
                                   if (!k) keep = 0; $0 = line }
        { st[++n] = $0 }
        END { flush() }' "$f" >"$alt/parts/$(basename "$f")"
done
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends \
    -o Dir::Etc::SourceList="$alt/list" -o Dir::Etc::SourceParts="$alt/parts" $missing >/dev/null
echo "install-deps.sh: installed without" $failed >&2
