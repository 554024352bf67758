#!/bin/sh
# i386-run.sh COMMAND [ARG...]: runs COMMAND so that the 32-bit x86 Linux
# programs it starts can run. Debian's Wine runs 32-bit Windows programs
# (the setup program is one) with its 32-bit loader, an i386 Linux program.
#
# - Where the kernel runs i386 programs (the usual case), COMMAND runs as it
#   is.
# - Where it runs 64-bit programs only (IA-32 emulation off, as on some
#   virtual machines: execve of an i386 program fails with "Exec format
#   error"), COMMAND runs in a private user and mount namespace with its own
#   binfmt_misc, in which qemu-i386-static (package qemu-user-static) runs
#   every i386 program. Nothing is registered for the rest of the machine.
#   Where no user namespace can be made (inside a chroot), and only as root,
#   the same entry is registered in the machine's binfmt_misc instead: on
#   such a kernel no i386 program can run without it, so it changes nothing
#   that worked.
#
# i386-run.sh --check prints how 32-bit programs will run and exits 0, or
# says why they cannot and exits 125, as a run does in that case.
#
# Everything that talks to one wineserver must run under one i386-run.sh:
# a program started outside the namespace cannot run the i386 loader.
set -u

fail() {
    echo "i386-run.sh: $*" >&2
    exit 125
}

# A 96-byte static i386 program that exits with status 7.
can_run_i386() {
    probe=$(mktemp "${TMPDIR:-/tmp}/i386-probe.XXXXXX") || return 1
    printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\007\000\000\000\315\200' >"$probe"
    chmod 700 "$probe"
    "$probe" 2>/dev/null
    rc=$?
    rm -f "$probe"
    [ "$rc" -eq 7 ]
}

QEMU=/usr/bin/qemu-i386-static
# Magic and mask of an i386 ELF executable or shared object; F: the
# interpreter is opened now, so that it is found from any root and namespace.
ENTRY=':vq-qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU"':F'

register() {
    mis=/proc/sys/fs/binfmt_misc
    [ -e "$mis/register" ] || mount -t binfmt_misc binfmt_misc "$mis" 2>/dev/null ||
        return 1
    [ -e "$mis/vq-qemu-i386" ] || printf '%s' "$ENTRY" >"$mis/register" 2>/dev/null
}

# 32-bit Wine reserves the address space above 2 GiB in 64 KiB steps at
# start-up, one system call each, which takes qemu minutes; a guest space
# ending just above 2 GiB makes that search short (start-up about 4 s).
export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0x81000000}"

if [ "${VQ_I386_INNER:-}" = 1 ]; then
    # Inside the new namespace: a binfmt_misc of its own, then the command.
    # It is mounted here even when the machine's is mounted already: that
    # one, seen through the copied mount table, would take the entry for
    # the whole machine.
    unset VQ_I386_INNER
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null
    register || fail "cannot register qemu-i386 in the namespace's binfmt_misc"
    export VQ_I386=qemu
    exec "$@"
fi

# How i386 programs run when they do: natively, or through a qemu-i386
# entry of binfmt_misc (ours, or one that binfmt-support registered). The
# entries can only be seen where binfmt_misc is mounted: as root, mount it
# to look.
i386_mode() {
    [ -e /proc/sys/fs/binfmt_misc/status ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null
    for entry in /proc/sys/fs/binfmt_misc/vq-qemu-i386 /proc/sys/fs/binfmt_misc/qemu-i386; do
        if [ -e "$entry" ] && grep -qx enabled "$entry" 2>/dev/null; then
            echo qemu
            return
        fi
    done
    echo native
}

if [ "${VQ_I386:-}" != "" ] || can_run_i386; then
    mode=${VQ_I386:-$(i386_mode)}
    if [ "${1:-}" = --check ]; then
        echo "32-bit programs run: $mode"
        exit 0
    fi
    export VQ_I386="$mode"
    exec "$@"
fi

[ -x "$QEMU" ] || fail "this kernel runs no 32-bit x86 programs and $QEMU is missing" \
    "(Debian package qemu-user-static)"
if unshare --user --map-root-user --mount true 2>/dev/null; then
    if [ "${1:-}" = --check ]; then
        echo "32-bit programs run: under qemu-i386, in a namespace of their own"
        exit 0
    fi
    exec unshare --user --map-root-user --mount env VQ_I386_INNER=1 "$0" "$@"
fi
[ "$(id -u)" = 0 ] && register && can_run_i386 ||
    fail "this kernel runs no 32-bit x86 programs, no user namespace can be made" \
        "here, and qemu-i386 could not be registered in binfmt_misc (needs root)"
if [ "${1:-}" = --check ]; then
    echo "32-bit programs run: under qemu-i386 (registered in binfmt_misc)"
    exit 0
fi
export VQ_I386=qemu
exec "$@"
