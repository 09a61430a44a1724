#!/bin/sh
# The example programs against two simulated controllers, each on a loopback
# address of this run's own: every C example (and, given an interpreter, the
# Python ones) runs and its output is checked.
#   examples_test.sh BUILD_DIR SOURCE_DIR [PYTHON]
set -eu
BUILD=$1
SRC=$2
PYTHON=${3:-}
WORK=$(mktemp -d)
SUFFIX="$(( $$ % 250 + 1 )).$(( ($$ / 250) % 250 + 2 ))"
A1="127.89.$SUFFIX"
A2="127.90.$SUFFIX"
SIMS=""
trap 'for p in $SIMS; do kill "$p" 2>/dev/null; done; rm -rf "$WORK"' EXIT INT TERM
# The examples' trace-log INI and file go here, not beside the programs.
export QUIL_LOG_DIR="$WORK"

for a in "$A1" "$A2"; do
    "$BUILD/quilsim" --address "$a" --signal constant --quiet >"$WORK/sim-$a.log" 2>&1 &
    SIMS="$SIMS $!"
done
for a in "$A1" "$A2"; do
    for _ in $(seq 1 50); do grep -q serving "$WORK/sim-$a.log" && break; sleep 0.1; done
    grep -q serving "$WORK/sim-$a.log" || { echo "quilsim did not start on $a"; cat "$WORK/sim-$a.log"; exit 1; }
done

fail() { echo "FAILED: $*"; exit 1; }
# run NAME COMMAND...: runs the command, keeps its output in $WORK/NAME.out.
run() {
    name=$1
    shift
    echo "== $name"
    "$@" >"$WORK/$name.out" 2>&1 || { cat "$WORK/$name.out"; fail "$name exited with $?"; }
    cat "$WORK/$name.out"
}
expect() { grep -q -- "$2" "$WORK/$1.out" || fail "$1: no line matching '$2'"; }
# CSV rows below the header line.
rows() { echo $(( $(wc -l <"$1") - 1 )); }

run measure "$BUILD/example_measure" "$A1"
expect measure "^OUT1 = 1.000000$"
expect measure "^OUT4 = 4.000000$"

run raw_link "$BUILD/example_raw_link" "$A1"
expect raw_link "^MD -> MD,35$"

# Several controllers, one thread and device number each.
check_several() {
    expect "$1" "^device 0 $A1: 3 reads, 0 failed$"
    expect "$1" "^device 1 $A2: 3 reads, 0 failed$"
    expect "$1" "^device 1 $A2: read 3: OUT1=1.000 OUT2=2.000 OUT3=3.000 OUT4=4.000$"
}
run read_several "$BUILD/example_read_several" --reads 3 "$A1" "$A2"
check_several read_several

# Storage to CSV: a header with the OUTs, as many rows as the longest OUT.
check_storage() {
    expect "$1" "^OUT8: [1-9][0-9]* values$"
    head -1 "$2" | grep -q "^index,OUT1,OUT2,OUT3,OUT4,OUT5,OUT6,OUT7,OUT8$" || fail "$1: CSV header"
    sed -n 2p "$2" | grep -q "^0,1,2,3,4,5,6,7,8$" || fail "$1: first CSV row"
    n=$(sed -n 's/.*wrote \([0-9]*\) rows to .*/\1/p' "$WORK/$1.out")
    [ -n "$n" ] && [ "$n" -gt 0 ] && [ "$(rows "$2")" -eq "$n" ] || fail "$1: $n rows reported, $(rows "$2") written"
}
run storage_csv "$BUILD/example_storage_csv" "$A1" "$WORK/storage.csv" 200
check_storage storage_csv "$WORK/storage.csv"

# The stream to a file: a rate line a second, the statistics, and as many
# rows as values reported. The simulator's values count up per channel.
check_stream() {
    expect "$1" "^ 1 s: [0-9]* values per channel, [0-9]* values/s"
    expect "$1" "^statistics: packets [1-9]"
    head -2 "$2" | tr '\n' ' ' | grep -q "^channel1,channel2,channel3,channel4 100000000,200000000,300000000,400000000 $" ||
        fail "$1: CSV start"
    n=$(sed -n 's/.*wrote \([0-9]*\) rows to .*/\1/p' "$WORK/$1.out")
    [ -n "$n" ] && [ "$n" -gt 0 ] && [ "$(rows "$2")" -eq "$n" ] || fail "$1: $n rows reported, $(rows "$2") written"
    last=$(tail -1 "$2" | cut -d, -f1)
    [ "$last" -eq $((100000000 + n - 1)) ] || fail "$1: last value $last after $n rows"
}
run stream_to_file "$BUILD/example_stream_to_file" "$A2" "$WORK/stream.csv" 2 1000
check_stream stream_to_file "$WORK/stream.csv"
# The C program writes the values of the stop's last callback too: the rows
# are every value the run unpacked.
expect stream_to_file "values $(rows "$WORK/stream.csv")/"

# Settings backed up, changed, restored: the restore brings the backed-up
# value back, and the backup sets up the second controller the same way.
alarm_count() { "$BUILD/quilctl" --address "$1" head "$2" alarm-count 1 ${3:-} >"$WORK/quilctl.out" 2>&1 ||
    { cat "$WORK/quilctl.out"; fail "quilctl head $2 alarm-count on $1"; }; }
check_alarm_count() {
    alarm_count "$1" get
    grep -q "^HEAD 1: alarm-count count=$2$" "$WORK/quilctl.out" || fail "$1: alarm count $(cat "$WORK/quilctl.out"), not $2"
}
# check_settings NAME COMMAND...: backs up and restores with the example
# COMMAND; its outputs are kept as NAME_backup and NAME_restore.
check_settings() {
    # Not "name": run sets that.
    which=$1
    shift
    alarm_count "$A1" set 17
    run "${which}_backup" "$@" backup "$A1" "$WORK/settings.xml"
    expect "${which}_backup" "^backed up the settings of $A1 into $WORK/settings.xml ([1-9][0-9]* bytes)$"
    alarm_count "$A1" set 300
    run "${which}_restore" "$@" restore "$A1" "$WORK/settings.xml"
    expect "${which}_restore" "^restored the settings of $A1 from $WORK/settings.xml$"
    expect "${which}_restore" "^active program: 0$"
    check_alarm_count "$A1" 17
    alarm_count "$A2" set 300
    run "${which}_restore" "$@" restore "$A2" "$WORK/settings.xml"
    check_alarm_count "$A2" 17
    # A file that is no settings file is refused with the code.
    echo "no settings" >"$WORK/not-settings.xml"
    if "$@" restore "$A1" "$WORK/not-settings.xml" >"$WORK/refused.out" 2>&1; then
        fail "$which restored a file that is no settings file"
    fi
    grep -q "QUIL_ERROR_PARAMETER (4103)" "$WORK/refused.out" || fail "$which: $(cat "$WORK/refused.out")"
    rm "$WORK/settings.xml"
}
check_settings settings "$BUILD/example_settings_backup"

if [ -n "$PYTHON" ]; then
    export QUIL_LIBRARY="$BUILD/libquil.so"
    PY="$SRC/examples/python"
    run py_read_several "$PYTHON" "$PY/read_several.py" --reads 3 "$A1" "$A2"
    check_several py_read_several
    run py_storage_csv "$PYTHON" "$PY/storage_csv.py" "$A1" "$WORK/py-storage.csv" 200
    check_storage py_storage_csv "$WORK/py-storage.csv"
    run py_stream_to_file "$PYTHON" "$PY/stream_to_file.py" "$A2" "$WORK/py-stream.csv" 2 1000
    check_stream py_stream_to_file "$WORK/py-stream.csv"
    check_settings py_settings "$PYTHON" "$PY/settings_backup.py"
fi
echo "examples: all passed"
