#!/bin/sh
# Benchmark of the setup program (under Wine), the packer and their
# references; prints one table. Not part of the tests.
#   scripts/bench.sh [--quick] [--runs N]
# BUILD (default build-bench) is configured and built first.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build-bench}
"$here/scripts/install-deps.sh" build test bench
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
for tool in gcab makensis gzip xvfb-run wine twm /usr/bin/time g++; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "bench: $tool is missing (apt-get install -y gcab nsis time twm xvfb wine g++)" >&2
        exit 1
    }
done
exec python3 "$here/bench/bench.py" --build "$build" "$@"
