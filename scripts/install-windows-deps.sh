#!/bin/sh
# Installs what the Windows build and its tests need, when it is missing: the
# mingw-w64 i686 cross compiler (posix threads variant), wine with its 32-bit
# half, and what `apt-get source` needs to fetch the cJSON and TinyXML sources
# (a deb-src entry beside every deb entry the machine already has).
# Needs root (or sudo) only when something is missing.
set -e
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

PACKAGES="cmake make dpkg-dev xz-utils binutils binutils-mingw-w64-i686 gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix wine wine32:i386"
stale=""  # the package lists miss an architecture or the source entries

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    stale=1
fi

# Source entries: the same archives as the binary ones.
SRC_LIST=/etc/apt/sources.list.d/quil-deb-src.sources
if [ ! -e "$SRC_LIST" ] && ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] && sed -n 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/;p' "$f" >>"$tmp" && echo >>"$tmp"
    done
    if [ -e /etc/apt/sources.list ]; then
        # One-line entries become a deb822 stanza each.
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\)[[:space:]]\+\(.*\)$/Types: deb-src\nURIs: \2\nSuites: \3\nComponents: \4\n/p' \
            /etc/apt/sources.list >>"$tmp"
    fi
    $SUDO cp "$tmp" "$SRC_LIST"
    rm -f "$tmp"
    stale=1
fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] || [ -n "$stale" ]; then
    $SUDO apt-get update -qq
fi
if [ -n "$missing" ]; then
    echo "installing:$missing"
    $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
