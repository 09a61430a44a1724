#!/bin/sh
# Puts the sources of cJSON and TinyXML, as the distribution ships them (its
# own patches applied), under DEST for the Windows build, which compiles them
# with the cross compiler:
#   DEST/cjson/     cJSON.c, cJSON.h, ...
#   DEST/tinyxml/   tinyxml.cpp, tinyxml.h, ...
#   DEST/include/cjson/cJSON.h   (the header where the code looks for it)
# Nothing is fetched when DEST already holds them.
set -e
DEST=${1:?usage: windows-sources.sh DEST}
if [ -f "$DEST/cjson/cJSON.c" ] && [ -f "$DEST/tinyxml/tinyxml.cpp" ] && [ -f "$DEST/include/cjson/cJSON.h" ]; then
    exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
mkdir -p "$DEST"
work=$(mktemp -d "$DEST/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
fetch() {
    (cd "$work" && apt-get -qq -o APT::Sandbox::User=root source cjson tinyxml >/dev/null)
}
if ! fetch; then
    # The source lists may not have been read since the deb-src entries came.
    $SUDO apt-get update -qq
    fetch
fi
rm -rf "$DEST/cjson" "$DEST/tinyxml" "$DEST/include"
for d in "$work"/cjson-*/ "$work"/tinyxml-*/; do
    [ -d "$d" ] || { echo "windows-sources: apt-get source gave no $d" >&2; exit 1; }
done
mv "$work"/cjson-*/ "$DEST/cjson"
mv "$work"/tinyxml-*/ "$DEST/tinyxml"
mkdir -p "$DEST/include/cjson"
cp "$DEST/cjson/cJSON.h" "$DEST/include/cjson/cJSON.h"
echo "windows-sources: cJSON and TinyXML sources in $DEST"
