#!/bin/sh
# Installs the Debian packages the build, the tests and the benchmarks need,
# when they are missing, and the packages named as arguments (make fuzz adds
# clang and its fuzzer runtime). Needs root (or sudo) only when something is
# missing.
set -e
# tmux: the terminal of quilctl watch's test. python3-pip, -setuptools and
# -wheel: the Python tests install the package with pip, building it without
# a download.
PACKAGES="cmake make g++ pkg-config binutils libcjson-dev libtinyxml-dev libgtest-dev libbenchmark-dev iproute2 util-linux locales tmux
          python3 python3-pip python3-setuptools python3-wheel $*"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
# A locale whose decimal separator is a comma: the tests check that number
# conversions do not depend on the locale the host application has set.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 2>/dev/null || echo "note: could not generate de_DE.UTF-8"
fi
# Chromium draws the Python live view's page in its test; where it cannot be
# installed, that test skips and says so.
if ! command -v chromium >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq --no-install-recommends chromium; } ||
        echo "note: could not install chromium; the browser test of the live view will skip"
fi
