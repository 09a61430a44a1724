#!/bin/bash
# Runs one Windows test program under wine for ctest (the build's
# CROSSCOMPILING_EMULATOR), and says whether it passed.
#
#   wine-run.sh --prefix DIR [--native-sim MODEL] [--quilsim PATH] [--expect TEXT]
#               [--timeout SECONDS] PROGRAM.exe [ARGS...]
#
# wine can exit with 0 after a program crashed, so a run passes only when the
# program exits with 0 AND its output has the line TEXT (default
# "QUIL_TESTS_PASSED", which the test programs print last). A listing of the
# tests (--gtest_list_tests) only passes its output through.
#
# --native-sim MODEL starts the Linux simulator (PATH, default build/quilsim)
# on a loopback address of its own for the run, gives the address to the
# program as QUIL_TEST_SIM_ADDRESS and in place of any argument "@sim@", and
# stops it afterwards.
set -u
here=$(cd "$(dirname "$0")" && pwd)
prefix="" model="" quilsim="$here/../build/quilsim" expect="QUIL_TESTS_PASSED" limit=100
while [ $# -gt 0 ]; do
    case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --native-sim) model=$2; shift 2 ;;
    --quilsim) quilsim=$2; shift 2 ;;
    --expect) expect=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] && [ -n "$prefix" ] || { echo "usage: wine-run.sh --prefix DIR [options] PROGRAM [ARGS...]" >&2; exit 2; }

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32
unset DISPLAY WAYLAND_DISPLAY
# The first run makes the prefix; parallel first runs wait for each other.
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        [ -f "$prefix/system.reg" ] || timeout 300 wineboot --init >/dev/null 2>&1
    ) 9>"$prefix.lock"
fi

sim_pid="" sim_log=""
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
        sim_pid=""
    fi
    [ -n "$sim_log" ] && rm -f "$sim_log"
}
trap stop_sim EXIT
trap 'stop_sim; exit 143' INT TERM

if [ -n "$model" ]; then
    [ -x "$quilsim" ] || { echo "wine-run: the Linux simulator $quilsim is not built" >&2; exit 1; }
    sim_log=$(mktemp)
    # An address of this run's own, from the process id; another one when
    # its ports turn out to be taken.
    for try in 0 1 2 3 4 5 6 7; do
        n=$(($$ + try * 7919))
        addr="127.79.$((n % 250 + 1)).$(((n / 250) % 250 + 2))"
        # Bounded, so that it cannot outlive a run that was killed.
        timeout $((limit + 60)) "$quilsim" --address "$addr" --model "$model" --signal constant --quiet >"$sim_log" 2>&1 &
        sim_pid=$!
        for _ in $(seq 1 100); do
            grep -q serving "$sim_log" && break
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.05
        done
        grep -q serving "$sim_log" && break
        wait "$sim_pid" 2>/dev/null
        sim_pid=""
    done
    if [ -z "$sim_pid" ]; then
        echo "wine-run: the Linux simulator did not start:" >&2
        cat "$sim_log" >&2
        exit 1
    fi
    export QUIL_TEST_SIM_ADDRESS="$addr"
    args=()
    for a in "$@"; do [ "$a" = "@sim@" ] && args+=("$addr") || args+=("$a"); done
    set -- "${args[@]}"
    echo "wine-run: Linux quilsim (model $model) at $addr"
fi

listing=0
for a in "$@"; do [ "$a" = "--gtest_list_tests" ] && listing=1; done

out=$(mktemp)
# Into a file, not a pipe: the wine services the first program of a session
# starts inherit its output and would hold a pipe open for as long as they
# run. Windows console output ends its lines in CR LF; ctest and the test
# listing want plain LF.
timeout -k 5 "$limit" wine "$@" </dev/null >"$out" 2>&1
status=$?
# wine's own client lost its wine server (it prints "wine client error"
# before the program could finish): that says nothing about the program, so
# it runs once more.
if [ "$listing" = 0 ] && grep -q "^wine client error" "$out" && ! tr -d '\r' <"$out" | grep -qxF "$expect"; then
    echo "wine-run: wine lost its server, running the program again:"
    tr -d '\r' <"$out"
    timeout -k 5 "$limit" wine "$@" </dev/null >"$out" 2>&1
    status=$?
fi
tr -d '\r' <"$out"
if [ "$listing" = 1 ]; then
    rm -f "$out"
    exit "$status"
fi
passed=0
tr -d '\r' <"$out" | grep -qxF "$expect" && passed=1
rm -f "$out"
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "wine-run: no result within ${limit}s"
    exit 1
fi
if [ "$status" != 0 ] || [ "$passed" != 1 ]; then
    echo "wine-run: failed (exit status $status, pass line \"$expect\" $([ $passed = 1 ] && echo seen || echo missing))"
    exit 1
fi
exit 0
