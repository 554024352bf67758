#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS.
#
# Usage: fuzz.sh SECONDS [TARGET...]
#   TARGET: fuzz_reader, fuzz_descriptor, fuzz_cablist, fuzz_ce_script,
#           fuzz_inf (default: all of them)
#
# The fuzz build lives in fuzz/ under VQ_BUILD_DIR (default: build/ of the
# repository). Each target first replays its saved regression inputs
# (tests/fuzz/regressions/TARGET), then runs on a working corpus copied from
# the generated seeds and those inputs, in fuzz/run/TARGET. One line per
# target gives executions, corpus size and crashes; inputs that crashed are
# kept in fuzz/run/TARGET/artifacts. Exit status 1 if any target crashed.
set -eu

if [ $# -lt 1 ]; then
    echo "usage: fuzz.sh SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
case $seconds in
    ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number" >&2; exit 2 ;;
esac
targets=${*:-fuzz_reader fuzz_descriptor fuzz_cablist fuzz_ce_script fuzz_inf}

top=$(cd "$(dirname "$0")/.." && pwd)
build=${VQ_BUILD_DIR:-$top/build}/fuzz
cc=${VQ_FUZZ_CC:-clang-14}
cxx=${VQ_FUZZ_CXX:-clang++-14}
command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found" >&2; exit 2; }

gen=
command -v ninja >/dev/null && gen="-G Ninja"
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
    # shellcheck disable=SC2086
    cmake -S "$top" -B "$build" $gen -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVQ_FUZZ=ON -DVQ_BUILD_STUB=OFF -DVQ_WINE_TESTS=OFF \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$build/configure.log" 2>&1 || {
        cat "$build/configure.log" >&2
        exit 2
    }
fi
# shellcheck disable=SC2086
cmake --build "$build" --target fuzz_seeds $targets -j"$(nproc)" >"$build/build.log" 2>&1 || {
    cat "$build/build.log" >&2
    exit 2
}

# Longest input each target is given, and its dictionary if it has one.
max_len() {
    case $1 in
        fuzz_reader) echo 16384 ;;
        fuzz_descriptor|fuzz_inf) echo 4096 ;;
        fuzz_ce_script) echo 8192 ;;
        *) echo 1024 ;;
    esac
}

failed=0
for t in $targets; do
    bin=$build/tests/fuzz/$t
    [ -x "$bin" ] || { echo "fuzz.sh: no target $t" >&2; exit 2; }
    work=$build/run/$t
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$build/tests/fuzz/seeds/$t/"* "$work/corpus/" 2>/dev/null || true
    crashes=0

    # Inputs that once broke the code must keep passing.
    reg=$top/tests/fuzz/regressions/$t
    if [ -d "$reg" ] && [ -n "$(ls -A "$reg")" ]; then
        if ! (cd "$work" && "$bin" -runs=1 "$reg"/* >"$work/regressions.log" 2>&1); then
            echo "$t: a regression input fails, see $work/regressions.log" >&2
            crashes=$((crashes + 1))
        fi
        cp "$reg"/* "$work/corpus/"
    fi

    set -- -max_total_time="$seconds" -jobs=1 -timeout=30 -max_len="$(max_len "$t")" \
        -artifact_prefix="$work/artifacts/"
    [ -f "$top/tests/fuzz/$t.dict" ] && set -- "$@" -dict="$top/tests/fuzz/$t.dict"
    # With -jobs the fuzzer runs in a worker whose output goes to fuzz-0.log.
    status=0
    (cd "$work" && "$bin" "$@" corpus >"$work/driver.log" 2>&1) || status=$?
    log=$work/fuzz-0.log
    [ -f "$log" ] || log=$work/driver.log

    execs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
    if [ -z "$execs" ]; then
        # Stopped early (a crash): the last status line has the count.
        execs=$(sed -n 's/^#\([0-9]*\)[[:space:]].*/\1/p' "$log" | tail -n 1)
    fi
    corpus=$(find "$work/corpus" -type f | wc -l)
    found=$(find "$work/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' \
        -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
    crashes=$((crashes + found))
    if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then
        # The fuzzer stopped with an error but left no input behind.
        crashes=$((crashes + 1))
        echo "$t: fuzzer exited with status $status, see $log" >&2
    fi
    echo "$t: executions ${execs:-0}, corpus $corpus, crashes $crashes"
    if [ "$crashes" -ne 0 ]; then
        failed=1
        [ "$found" -eq 0 ] || echo "$t: inputs kept in $work/artifacts" >&2
        tail -n 40 "$log" >&2
    fi
done
exit $failed
