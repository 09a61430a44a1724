#!/bin/sh
# Starts the simulator on a loopback address of its own, runs a short session
# with quilctl against it, and stops the simulator again. DEMO_TRACE=1 also
# shows every line the simulator received and answered (a few thousand).
set -u
BUILD=${1:-build}
ADDR="127.77.$(( $$ % 250 + 1 )).$(( ($$ / 250) % 250 + 2 ))"
LOG=$(mktemp)
"$BUILD/quilsim" --address "$ADDR" --model 35 >"$LOG" 2>&1 &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null; rm -f "$LOG"' EXIT INT TERM
# quilsim prints its "serving" line once it listens.
for _ in $(seq 1 50); do
    grep -q "serving" "$LOG" && break
    sleep 0.1
done
if ! grep -q "serving" "$LOG"; then
    echo "the simulator did not start:"; cat "$LOG"; exit 1
fi

step() { printf '\n== %s\n$ quilctl %s\n' "$1" "$(echo "$2" | sed "s/--address $ADDR //")"; }
CTL="$BUILD/quilctl --address $ADDR"

echo "Simulated controller (model 35) at $ADDR"
step "Library version" "version"
$CTL version
step "Raw command link: connect, ask for the model code, switch modes, disconnect" "raw MD Q0 R0"
$CTL raw MD Q0 R0
step "An unknown command is answered with an error reply" "raw XY"
$CTL raw XY
step "Open the controller as device 0 and read its model code" "model"
$CTL model
step "Measured values of OUT1 to OUT4" "measure all"
$CTL measure all
step "OUT2 and OUT4 (mask 10)" "measure --mask 10"
$CTL measure --mask 10
step "Setting mode: measurement commands are refused, the library switches back and retries" "mode setting; measure 3"
$CTL mode setting
$CTL measure 3
step "Timing, zero and reset" "timing on 1; zero on --mask 3; reset"
$CTL timing on 1
$CTL zero on --mask 3
$CTL reset
step "Program selection" "program 5"
$CTL program 5
step "An OUT number out of range is refused before anything is sent" "measure 9"
$CTL measure 9 || true
step "A head setting written and read back (the library switches to setting mode by itself)" "head set able-range 2 10 90; head get able-range 2"
$CTL head set able-range 2 10 90
$CTL head get able-range 2
step "An OUT setting: tolerance of OUT1 in hundredths of the display unit" "out set tolerance 1 500 -500 10; out get tolerance 1"
$CTL out set tolerance 1 500 -500 10
$CTL out get tolerance 1
step "A value the controller refuses" "head set median 1 7"
$CTL head set median 1 7 || true
step "Every setting of OUT1" "out dump 1"
$CTL out dump 1
step "The settings of the whole program" "common dump"
$CTL common dump
step "Data storage: clear, record for a second, stop, show the status" "storage clear; storage start; storage stop; storage status"
$CTL storage clear; $CTL storage start; sleep 1; $CTL storage stop
$CTL storage status
CSV="${TMPDIR:-/tmp}/quil-demo-out1.csv"
step "Stored values of OUT1 (the first ones here, all of them in a CSV file) and of encoder channel 2" "storage read 1 --csv $CSV; storage encoder 2"
$CTL storage read 1 --csv "$CSV"
$CTL storage encoder 2
step "Controller registers: running times and a register read" "runtime; runtime 1; reg read 1 576"
$CTL runtime
$CTL runtime 1
$CTL reg read 1 576
SETTINGS="${TMPDIR:-/tmp}/quil-demo-settings.xml"
step "Settings file: the whole configuration saved into an XML file and loaded back" "settings save $SETTINGS; settings load $SETTINGS"
$CTL settings save "$SETTINGS"
$CTL settings load "$SETTINGS"
step "Data stream: five batches of 2000 values per channel over the roll link" "stream --batch 2000 --batches 5"
$CTL stream --batch 2000 --batches 5
echo
echo "(The sensor search is not shown: it broadcasts on every network of the machine. Its tests run it"
echo " inside private network namespaces; on your own network, try: quilctl search)"
if [ "${DEMO_TRACE:-0}" = 1 ]; then
    printf '\n== What the simulator saw\n'
    sed 's/^/  /' "$LOG"
else
    printf '\n(The simulator answered %s lines; DEMO_TRACE=1 make demo shows them all.)\n' \
        "$(grep -c -- ' -> ' "$LOG")"
fi
