#!/bin/sh
# Runs the tests. Installs what they need first (quick when it is there)
# and builds into build/ (VQ_BUILD_DIR).
#
#   test.sh                every test: the native group (unit, packer, signing,
#                          release checks, the fuzz smoke run) side by side
#                          with the Wine group (end-to-end under Wine)
#   test.sh --quick        the native group only: no Wine, a few minutes
#   test.sh --wine MODULE  one Wine module: launcher, wizard, handoff, faults,
#                          try, signing or packer
#
# Further arguments go to ctest (-R NAME, --repeat until-fail:3, ...). At the
# end: each group's test time (ctest's label summary) and each Wine
# module's time with its slowest case.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VQ_BUILD_DIR:-$top/build}

mode=all
case ${1:-} in
--quick) mode=quick; shift ;;
--wine)
    [ $# -ge 2 ] || { echo "usage: test.sh --wine MODULE [CTEST-ARG...]" >&2; exit 2; }
    mode=wine; module=$2; shift 2 ;;
-h|--help) sed -n '2,14p' "$0" | cut -c3-; exit 0 ;;
esac

"$top/scripts/install-deps.sh" build test fuzz
"$top/scripts/build.sh"
cd "$build"
if [ "$mode" = wine ] && ! ctest -N -R "^wine\.$module\$" | grep -q "wine\.$module\$"; then
    echo "test.sh: no Wine module '$module' (ctest -N -L wine lists them)" >&2
    exit 2
fi

# The Wine modules take turns on one prefix (RESOURCE_LOCK); the native
# tests share nothing with them and run in the other slot.
jobs=$(nproc)
[ "$jobs" -ge 2 ] || jobs=2
rm -f "$build"/wine-work/*-timings.json
status=0
case $mode in
all) ctest --output-on-failure -j"$jobs" "$@" || status=$? ;;
quick) ctest --output-on-failure -j"$jobs" -L native "$@" || status=$? ;;
wine) ctest --output-on-failure -R "^wine\.$module\$" "$@" || status=$? ;;
esac

# What the Wine modules recorded (tests/wine/cases.py): whole module, slowest case.
python3 - "$build/wine-work" <<'PY'
import glob, json, os, sys
rows = []
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*-timings.json"))):
    with open(path) as f:
        t = json.load(f)
    cases = {k[:-2]: v for k, v in t.items() if k.endswith("_s") and "_test_" in k}
    slowest = max(cases, key=cases.get) if cases else None
    rows.append("  %-9s %6.1f s  %2d cases, slowest %s (%.1f s)"
                % (os.path.basename(path)[:-len("-timings.json")], t.get("module_s", 0),
                   len(cases), slowest, cases.get(slowest, 0)))
if rows:
    print("Wine modules:")
    print("\n".join(rows))
PY
exit $status
