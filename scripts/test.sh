#!/bin/sh
# Runs every test: unit tests, packer tests, the fuzz smoke run and the
# end-to-end tests under Wine. Installs what it needs first.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VQ_BUILD_DIR:-$top/build}
"$top/scripts/install-deps.sh" build test fuzz
"$top/scripts/build.sh"
cd "$build"
ctest --output-on-failure -j1 "$@"
