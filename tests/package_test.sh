#!/bin/sh
# The installed package as another project uses it: install the build into a
# temporary prefix, build examples/consumer against it with CMake and with
# pkg-config, and build the README's C program with the README's own command
# line; each program then talks to a simulated controller.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -eu
BUILD=$1
SRC=$2
WORK=$(mktemp -d)
ADDR="127.88.$(( $$ % 250 + 1 )).$(( ($$ / 250) % 250 + 2 ))"
SIM=""
trap '[ -n "$SIM" ] && kill $SIM 2>/dev/null; rm -rf "$WORK"' EXIT INT TERM

cmake --install "$BUILD" --prefix "$WORK/prefix" >/dev/null
"$WORK/prefix/bin/quilsim" --address "$ADDR" --signal constant >"$WORK/sim.log" 2>&1 &
SIM=$!
for _ in $(seq 1 50); do grep -q serving "$WORK/sim.log" && break; sleep 0.1; done
grep -q serving "$WORK/sim.log" || { echo "the installed quilsim did not start"; cat "$WORK/sim.log"; exit 1; }

echo "== CMake: find_package(quil), quil::quil"
cmake -S "$SRC/examples/consumer" -B "$WORK/cmake" -DCMAKE_PREFIX_PATH="$WORK/prefix" >/dev/null
cmake --build "$WORK/cmake" >/dev/null
"$WORK/cmake/consumer" "$ADDR" | tee "$WORK/out"
grep -q "compiled with quil \(.*\), running with quil \1$" "$WORK/out"
grep -q "model code 35" "$WORK/out"

echo "== pkg-config quil"
PKG_CONFIG_PATH="$WORK/prefix/lib/pkgconfig" pkg-config --exists quil
cc "$SRC/examples/consumer/main.c" -o "$WORK/pc" $(PKG_CONFIG_PATH="$WORK/prefix/lib/pkgconfig" pkg-config --cflags --libs quil) \
    -Wl,-rpath,"$WORK/prefix/lib"
"$WORK/pc" "$ADDR" | grep -q "model code 35"

echo "== the README's build line, from the source tree"
mkdir -p "$WORK/readme/build"
cp "$SRC/examples/measure.c" "$WORK/readme/app.c"
cp -P "$BUILD"/libquil.so* "$WORK/readme/build/"
( cd "$WORK/readme" && cc app.c -I"$SRC/include" -Lbuild -Wl,-rpath,"$PWD/build" -lquil && ./a.out "$ADDR" ) | grep -q "OUT1 ="

echo "== installed quilctl finds the library beside it"
"$WORK/prefix/bin/quilctl" --address "$ADDR" model | grep -q "model code 35"
echo "package: all passed"
