#!/bin/sh
# Checks the built setup program image:
#   - exactly 32768 bytes (the image region the container starts behind);
#   - it imports only from kernel32, user32, gdi32, advapi32 and msvcrt
#     (advapi32: the registry, and the process token and SDDL conversions
#     behind the workspace folder's security descriptor; comctl32 and
#     riched32 are loaded at run time from the system folder, and ntdll's
#     calls that create the workspace folder are looked up at run time, so
#     none of them may appear in the import table);
#   - no C runtime start-up traces: no TLS directory, no .CRT, .tls, .ctors
#     or .dtors section.
# Usage: stub_imports_test.sh OBJDUMP IMAGE [SIZE_FILE]
# SIZE_FILE, when given, holds the unpadded size; it is printed.
set -u

objdump=$1
image=$2
size_file=${3:-}
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if [ ! -f "$image" ]; then
    echo "FAIL: no image at $image" >&2
    exit 1
fi

size=$(wc -c < "$image" | tr -d ' ')
[ "$size" -eq 32768 ] || fail "image is $size bytes, not 32768"
if [ -n "$size_file" ] && [ -f "$size_file" ]; then
    echo "unpadded program size: $(cat "$size_file") bytes"
fi

headers=$("$objdump" -p "$image") || { echo "FAIL: $objdump -p failed" >&2; exit 1; }
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' |
       tr 'A-Z' 'a-z' | tr -d '\r')
[ -n "$dlls" ] || fail "no import table found"
for dll in $dlls; do
    case $dll in
    kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|msvcrt.dll)
        echo "imports $dll" ;;
    *)
        fail "imports $dll" ;;
    esac
done

# objdump -p lists data directories as "Entry 9 <rva> <size> Thread Storage
# Directory [.tls]"; an empty entry has size 0.
tls=$(printf '%s\n' "$headers" | awk '/Thread Storage Directory/ {print $4}')
case $tls in
""|00000000) ;;
*) fail "TLS directory present (size 0x$tls)" ;;
esac

sections=$("$objdump" -h "$image" | awk '$1 ~ /^[0-9]+$/ {print $2}')
for s in $sections; do
    case $s in
    .CRT*|.tls*|.ctors*|.dtors*) fail "section $s present" ;;
    esac
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $image" >&2
    exit 1
fi
echo "ok: $image"
