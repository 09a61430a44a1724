#!/bin/sh
# scripts/wine-run.sh's verdicts, with a stand-in for wine: a program passes
# only with exit status 0 and its pass line; a run in which wine lost its
# server is made once more; a program's own failure is never run again.
#
#   sh tests/wine_run_test.sh SOURCE_DIR
set -u
src=${1:?source directory}
dir=$(mktemp -d "${TMPDIR:-/tmp}/quil-wine-run.XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/bin" "$dir/prefix"
touch "$dir/prefix/system.reg"
failed=0

# The stand-in answers its first run from run1 and every later one from
# run2: the first line is printed, the second is the exit status.
cat >"$dir/bin/wine" <<SCRIPT
#!/bin/sh
echo run >>"$dir/runs"
answer="$dir/run2"
[ \$(wc -l <"$dir/runs") -eq 1 ] && answer="$dir/run1"
sed -n 1p "\$answer"
exit \$(sed -n 2p "\$answer")
SCRIPT
chmod +x "$dir/bin/wine"

# case WHAT RUN1_TEXT RUN1_STATUS RUN2_TEXT RUN2_STATUS EXPECTED_STATUS EXPECTED_RUNS
case_() {
    printf '%s\n%s\n' "$2" "$3" >"$dir/run1"
    printf '%s\n%s\n' "$4" "$5" >"$dir/run2"
    rm -f "$dir/runs"
    PATH="$dir/bin:$PATH" bash "$src/scripts/wine-run.sh" --prefix "$dir/prefix" program.exe >"$dir/out" 2>&1
    status=$?
    runs=$(wc -l <"$dir/runs")
    if [ "$status" != "$6" ] || [ "$runs" != "$7" ]; then
        echo "FAILED: $1: status $status (expected $6), runs $runs (expected $7)"
        cat "$dir/out"
        failed=1
    fi
}

lost="wine client error:0: recvmsg: Connection reset by peer"
case_ "a passing program" QUIL_TESTS_PASSED 0 QUIL_TESTS_PASSED 0 0 1
case_ "wine lost its server, then the program passed" "$lost" 1 QUIL_TESTS_PASSED 0 0 2
case_ "wine lost its server twice" "$lost" 1 "$lost" 1 1 2
case_ "the program failed" "Expected equality" 1 QUIL_TESTS_PASSED 0 1 1
case_ "exit status 0 without the pass line" "crashed" 0 QUIL_TESTS_PASSED 0 1 1
exit $failed
