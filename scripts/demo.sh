#!/bin/sh
# The demo: builds the packer and the setup program, lays out the sample
# product, packs it with `vqpack build --from`, lists and verifies it, and
# runs it under Wine with `vqpack try` (--interactive: in a Wine window).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VQ_BUILD_DIR:-$top/build}
"$top/scripts/install-deps.sh" build test
"$top/scripts/build.sh"
vqpack=$build/packer/vqpack
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
VQPACK=$vqpack "$top/examples/make-product.sh" "$demo/product"
echo "== vqpack lint"
"$vqpack" lint "$demo/product/Setup.ini"
echo "== vqpack build --from"
"$vqpack" build -o "$demo/VQNotesSetup.exe" --from "$demo/product/Setup.ini"
echo "== vqpack list"
"$vqpack" list "$demo/VQNotesSetup.exe"
echo "== vqpack verify"
"$vqpack" verify "$demo/VQNotesSetup.exe"
if [ "${1:-}" = "--interactive" ]; then
    # A visible Wine window for a person to click through.
    if [ -z "${DISPLAY:-}" ]; then
        echo "demo: --interactive needs a desktop display (DISPLAY is not set)" >&2
        exit 1
    fi
    echo "== the installer in a Wine window; click through it"
    WINEPREFIX=$build/wineprefix-interactive WINEDEBUG=-all \
        exec sh "$top/packer/try/i386-run.sh" wine explorer /desktop=vq,800x600 \
        "$demo/VQNotesSetup.exe"
fi
# The installer run as a user would, with a picture of each page; the Wine
# prefix that try caches is kept in the build folder (the Wine tests share it).
echo "== vqpack try"
XDG_CACHE_HOME=$build/try-cache "$vqpack" try --shots "$demo/shots" "$demo/VQNotesSetup.exe"
