#!/bin/sh
# Lays out the sample product in OUTDIR: Setup.ini, the license, the two
# pictures and two real CAB files made with gcab from the files in app/.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make-product.sh OUTDIR}
case $out in /*) ;; *) out=$PWD/$out ;; esac
mkdir -p "$out"
cp "$here/Setup.ini" "$here/license.rtf" "$out/"
python3 "$here/make_bitmaps.py" "$out"
# Fixed file times keep the CABs, and so the installer, reproducible.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$here/app/notes.txt" "$here/app/readme.txt" "$stage/"
touch -d '2024-01-01 00:00:00 UTC' "$stage"/*
(cd "$stage" && gcab -c -z "$out/VQNotes.ARM.CAB" notes.txt readme.txt &&
    gcab -c -z "$out/VQNotes.MIPS.CAB" readme.txt notes.txt)
