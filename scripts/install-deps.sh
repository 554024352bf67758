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
    build) pkgs="$pkgs cmake make g++ zlib1g-dev libgtest-dev libcli11-dev python3 bzip2
                 mingw-w64 gcab libz-mingw-w64-dev
                 dpkg-dev file" ;;  # cpack -G DEB: dpkg-shlibdeps and file
    test)  # A kernel without IA-32 emulation runs no i386 program, Wine's
           # 32-bit loader included: packer/try/i386-run.sh then runs them
           # under qemu-i386.
           sh "$(dirname "$0")/../packer/try/i386-run.sh" --check >/dev/null 2>&1 ||
               pkgs="$pkgs qemu-user-static"
           pkgs="$pkgs wine wine32:i386 wine64 xvfb xauth xdotool imagemagick
                 osslsigncode openssl" ;;  # signed installers: sign, verify, a test CA
    fuzz)  pkgs="$pkgs clang-14 libfuzzer-14-dev libclang-rt-14-dev" ;;
    bench) pkgs="$pkgs nsis gzip time twm" ;;
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
tries=0
until apt-get update -q >/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -ge 3 ]; then
        echo "install-deps.sh: apt-get update failed $tries times; going on with the package lists it fetched" >&2
        break
    fi
    sleep 10
done
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing >/dev/null
