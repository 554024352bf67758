#!/bin/sh
# Configures and builds everything (packer, setup program, test tools) in
# build/ of the repository. Extra arguments go to the CMake configure step.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VQ_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
