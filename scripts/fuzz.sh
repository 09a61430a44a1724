#!/bin/sh
# Runs every fuzz target of a QUIL_FUZZ build for a bounded time, each on a
# scratch copy of its seeds (fuzz/corpus/<target>/), and reports per target
# the executions and whether it found a crash. Inputs that crash are kept
# in <build>/fuzz-findings/<target>/; an input that runs longer than 10 s
# counts as a crash too. Exits 1 when any target crashed.
#
#   sh scripts/fuzz.sh BUILD_DIR SECONDS
set -u
build=${1:?build directory}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
findings="$build/fuzz-findings"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quil-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM

# Longest input per target: what the parser sees in practice and a little
# more. A longer input mostly costs time per execution.
max_len() {
    case $1 in
    fuzz_reply) echo 600 ;;           # past 128 one-character fields
    fuzz_stored_values) echo 400 ;;   # tokens of up to 15 characters, arrays of up to 63
    fuzz_json) echo 600 ;;
    fuzz_stream) echo 1024 ;;         # a few packets and the bytes between them
    fuzz_search) echo 600 ;;          # a datagram fills 512 bytes
    fuzz_ini) echo 1400 ;;            # lines of more than 1023 bytes are read in pieces
    fuzz_settings_load) echo 1536 ;;  # a block or two of a program
    *) echo 1024 ;;
    esac
}

# A small quarantine keeps the allocator's memory resident: with the default
# one, page faults take a quarter of the time of the allocating targets.
ASAN_OPTIONS="quarantine_size_mb=16${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export ASAN_OPTIONS

failed=0
printf '%-22s %14s  %s\n' target executions result
for seeds in "$root"/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    binary="$build/$target"
    if [ ! -x "$binary" ]; then
        printf '%-22s %14s  %s\n' "$target" - "missing: $binary not built"
        failed=1
        continue
    fi
    corpus="$scratch/$target"
    mkdir -p "$corpus" "$findings/$target"
    cp "$seeds"* "$corpus"/
    log="$scratch/$target.log"
    QUIL_QUIET=1 "$binary" "$corpus" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$findings/$target/" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ $rc -eq 0 ]; then
        result="no crash"
    else
        result="CRASH (exit $rc), input in $findings/$target/"
        failed=1
        grep -E 'ERROR: |runtime error|expectation failed|SUMMARY' "$log" | head -n 5 | sed 's/^/    /'
    fi
    printf '%-22s %14s  %s\n' "$target" "${runs:--}" "$result"
done
exit $failed
