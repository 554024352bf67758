#!/bin/sh
# Fetches a source package of the running Debian release and unpacks its
# upstream tarball into DIR, so that DIR/FILE exists: zlib's (inflate.c),
# from which the setup program's inflater is compiled, and pugixml's
# (src/pugixml.cpp), which the Windows packer is linked with since Debian
# has no mingw-w64 build of it. Nothing is copied into the repository.
#
# Usage: fetch-debian-source.sh PACKAGE DIR FILE
#
# Idempotent: does nothing when DIR/FILE already exists. Without a
# deb-src entry for bookworm main it adds one (root only) in its own file
# and refreshes the package lists; otherwise the lists are left alone.
set -eu

if [ $# -ne 3 ] || [ -z "$1" ] || [ -z "$2" ] || [ -z "$3" ]; then
    echo "usage: $0 PACKAGE DIR FILE" >&2
    exit 2
fi
package=$1 dir=$2 file=$3

if [ -f "$dir/$file" ]; then
    exit 0
fi

src_list=/etc/apt/sources.list.d/vq-deb-src.sources
debian_sources=/etc/apt/sources.list.d/debian.sources

# Is there already a source entry? deb822 files name it in "Types:",
# one-line lists start the line with "deb-src".
have_deb_src() {
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && grep -Eqs '^[[:space:]]*deb-src[[:space:]]' "$f" && return 0
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -Eiqs '^Types:.*deb-src' "$f" && return 0
    done
    return 1
}

if ! have_deb_src; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: no deb-src entry in the APT sources and not root;" \
             "add one for bookworm main and run again" >&2
        exit 1
    fi
    uris=
    signed_by=
    if [ -f "$debian_sources" ]; then
        # The first stanza is the main archive.
        uris=$(sed -n 's/^[Uu][Rr][Ii][Ss]:[[:space:]]*//p' "$debian_sources" | head -n 1)
        signed_by=$(sed -n 's/^[Ss]igned-[Bb]y:[[:space:]]*//p' "$debian_sources" | head -n 1)
    fi
    [ -n "$uris" ] || uris=http://deb.debian.org/debian
    {
        echo "Types: deb-src"
        echo "URIs: $uris"
        echo "Suites: bookworm"
        echo "Components: main"
        [ -z "$signed_by" ] || echo "Signed-By: $signed_by"
    } > "$src_list"
    echo "$0: added $src_list; refreshing package lists" >&2
    added=1
    # A mirror in the middle of a sync can fail one index (another
    # architecture's, say) while the source index comes through: try a few
    # times, then go on; apt-get source below tells whether it came.
    tries=0
    until apt-get update -qq; do
        tries=$((tries + 1))
        if [ "$tries" -ge 3 ]; then
            echo "$0: apt-get update failed $tries times; going on with the lists it fetched" >&2
            break
        fi
        sleep 10
    done
fi

tmp=$(mktemp -d)
# apt downloads as the _apt user when it can write the folder.
chmod 755 "$tmp"
trap 'rm -rf "$tmp"' EXIT INT TERM
if ! (cd "$tmp" && apt-get source --download-only -qq "$package"); then
    # Leave the sources as they were rather than an entry that does not work.
    if [ -n "${added:-}" ]; then
        rm -f "$src_list"
        echo "$0: apt-get source failed; removed $src_list" >&2
    fi
    exit 1
fi

orig=
for f in "$tmp"/"$package"_*.orig.tar.*; do
    [ -f "$f" ] && orig=$f && break
done
if [ -z "$orig" ]; then
    echo "$0: apt-get source gave no $package orig tarball" >&2
    exit 1
fi

mkdir -p "$dir"
tar -xf "$orig" -C "$dir" --strip-components=1 --no-same-owner
if [ ! -f "$dir/$file" ]; then
    echo "$0: $orig holds no $file" >&2
    exit 1
fi
echo "$0: $package source from $(basename "$orig") in $dir" >&2
