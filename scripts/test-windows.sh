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

# Some machines (sandboxed kernels among them) run 64-bit programs only; there
# wine's 32-bit half cannot start, and no Windows test can run. The DLL is
# built all the same, its import table is checked, and the run says plainly
# that its tests did not run, rather than failing on the machine.
if wine --version 2>&1 | grep -q "Exec format error"; then
    echo "test-windows: this machine cannot run 32-bit programs (wine: Exec format error):"
    echo "test-windows: quil.dll and the test programs are built; only the DLL's import table is checked here"
    cmake -DOBJDUMP=i686-w64-mingw32-objdump -DDLL="$BUILD/quil.dll" \
        "-DALLOWED=KERNEL32.dll,msvcrt.dll,WS2_32.dll,IPHLPAPI.DLL" -P tests/win/dll_imports.cmake || exit 1
    echo "test-windows: import table ok; Windows tests not run on this machine"
    exit 0
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "test-windows: making the wine prefix $WINEPREFIX"
    timeout 300 wineboot --init >/dev/null 2>&1 || { echo "test-windows: wineboot failed" >&2; exit 1; }
fi
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null' EXIT INT TERM

ctest --test-dir "$BUILD" --output-on-failure -j"$JOBS"
