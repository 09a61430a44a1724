#!/bin/sh
# Runs the Windows build's tests under wine (make test-windows): the test
# programs of build-windows/, each case in a wine process of its own, the
# device tests and the examples against the Linux simulator build/quilsim
# (see scripts/wine-run.sh). One wine server is kept running for the whole
# run, so that each test process starts in a fraction of a second.
set -u
cd "$(dirname "$0")/.."
BUILD=${BUILD_WINDOWS:-build-windows}
JOBS=${JOBS:-2}
export WINEPREFIX="$PWD/$BUILD/wine" WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "test-windows: making the wine prefix $WINEPREFIX"
    timeout 300 wineboot --init >/dev/null 2>&1 || { echo "test-windows: wineboot failed" >&2; exit 1; }
fi
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null' EXIT INT TERM

ctest --test-dir "$BUILD" --output-on-failure -j"$JOBS"
