#!/bin/sh
# Lays out the sample product in OUTDIR: Setup.ini, the license, the two
# pictures and the two CE cabinets that `vqpack cab` makes from VQNotes.inf
# and the files in app/; and its second component, VQRuntime.ini with the
# two cabinets made from VQRuntime.inf and the files in runtime/.
#
# vqpack: $VQPACK if set; else, in the source tree, the one in the build
# folder ($VQ_BUILD_DIR, default build/); else, once installed, the one in
# bin/ beside share/; else the one on PATH.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make-product.sh OUTDIR}
case $out in /*) ;; *) out=$PWD/$out ;; esac
if [ -z "${VQPACK:-}" ]; then
    if [ -f "$here/../CMakeLists.txt" ]; then
        VQPACK=${VQ_BUILD_DIR:-$here/../build}/packer/vqpack
    elif [ -x "$here/../../../bin/vqpack" ]; then
        VQPACK=$here/../../../bin/vqpack
    else
        VQPACK=vqpack
    fi
fi
mkdir -p "$out"
cp "$here/Setup.ini" "$here/license.rtf" "$here/VQRuntime.ini" "$out/"
python3 "$here/make_bitmaps.py" "$out"
# A fixed time for the cabinets' files keeps them, and so the installer,
# reproducible.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1704067200} \
    "$VQPACK" cab "$here/VQNotes.inf" --cpu ARM --cpu MIPS -o "$out" >/dev/null
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1704067200} \
    "$VQPACK" cab "$here/VQRuntime.inf" --cpu ARM --cpu MIPS -o "$out" >/dev/null
