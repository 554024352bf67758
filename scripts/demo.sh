#!/bin/sh
# The demo: builds the packer and the setup program, lays out the sample
# product, packs it with `vqpack build --from`, lists and verifies it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VQ_BUILD_DIR:-$top/build}
"$top/scripts/install-deps.sh" build test
"$top/scripts/build.sh"
vqpack=$build/packer/vqpack
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
"$top/examples/make-product.sh" "$demo/product"
echo "== vqpack lint"
"$vqpack" lint "$demo/product/Setup.ini"
echo "== vqpack build --from"
"$vqpack" build -o "$demo/VQNotesSetup.exe" --from "$demo/product/Setup.ini"
echo "== vqpack list"
"$vqpack" list "$demo/VQNotesSetup.exe"
echo "== vqpack verify"
"$vqpack" verify "$demo/VQNotesSetup.exe"
echo "== the installer under Wine"
if [ "${1:-}" = "--interactive" ]; then
    exec python3 "$top/scripts/demo_run.py" --interactive "$demo/VQNotesSetup.exe"
fi
VQ_BUILD_DIR=$build python3 "$top/scripts/demo_run.py" "$demo/VQNotesSetup.exe"
