#!/bin/sh
# Mutation check of the test suite: applies each mutant below (a realistic
# one-line fault of the library) to a scratch copy of the tree, builds it,
# runs the tests and reports whether they caught the mutant (killed) or not
# (survived). The repository's working tree is never modified.
#
#   sh scripts/mutate.sh             every mutant, the whole suite
#   MUTATE_ONLY='3 17' sh scripts/mutate.sh      mutants 3 and 17 alone
#   MUTATE_TESTS='Storage|Stream' sh scripts/mutate.sh   only tests matching the regex
#   MUTATE_KEEP=1 sh scripts/mutate.sh            keep the scratch copy
#   MUTATE_EXCLUDE=regex                          tests left out (default: the packaging and example tests)
#
# A pattern that no longer matches exactly once is an error before anything
# is built: the list must follow the code. Exit status: 0 when every mutant
# was killed, 1 when one survived, 2 on an error.
set -eu

JOBS=${JOBS:-2}
TEST_TIMEOUT=${TEST_TIMEOUT:-120}
ROOT=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/quil-mutate.XXXXXX")
TREE="$SCRATCH/tree"
BUILD="$SCRATCH/build"
LOG="$SCRATCH/log"
if [ "${MUTATE_KEEP:-0}" = 1 ]; then
    echo "mutate: scratch copy kept in $SCRATCH"
else
    trap 'rm -rf "$SCRATCH"' EXIT
fi

# The mutants: file, text to replace (exactly once), replacement, what a
# user would notice. The texts are plain, not patterns.
N=0
mutant() {
    N=$((N + 1))
    printf '%s\n' "$1" >"$SCRATCH/m$N.file"
    printf '%s' "$2" >"$SCRATCH/m$N.from"
    printf '%s' "$3" >"$SCRATCH/m$N.to"
    printf '%s\n' "$4" >"$SCRATCH/m$N.what"
}

mutant src/link/packet_reader.cpp \
    'channelCount_ = std::popcount(static_cast<unsigned>(p[0] & 0x0F));' \
    'channelCount_ = std::popcount(static_cast<unsigned>(p[0]));' \
    "stream: the channel count taken from the whole mask byte, not its low four bits"
mutant src/quil/storage.cpp \
    'if (r == QUIL_OK && lsStorage == 0 && stored)' \
    'if (lsStorage == 0 && stored)' \
    "storage watcher: calls back after a failed status read"
mutant src/quil/storage.cpp \
    'if (r == QUIL_ERROR_TIMEOUT || r == QUIL_ERROR_OPEN) break;' \
    'if (r == QUIL_ERROR_OPEN) break;' \
    "storage watcher: goes on polling a controller that stopped answering"
mutant src/quil/measure.cpp \
    '.check(OutNo >= 1 && OutNo <= kMaxOut, QUIL_ERROR_RANGE)' \
    '.check(OutNo >= 1 && OutNo <= kMaxOut + 1, QUIL_ERROR_RANGE)' \
    "measured values: the OUT range check off by one (OUT9 sent)"
mutant src/quil/control.cpp \
    '.check(ProgramNo >= 0 && ProgramNo <= kMaxProgram, QUIL_ERROR_PARAMETER)' \
    '.check(ProgramNo >= 0 && ProgramNo < kMaxProgram, QUIL_ERROR_PARAMETER)' \
    "program selection: program 7 refused (range check off by one)"
mutant src/quil/stored_values.cpp \
    'if (token.size() > kStoredTokenMax || !valueOf(token, &value)) return QUIL_ERROR_REPLY;' \
    'if (token.size() > kStoredTokenMax + 1 || !valueOf(token, &value)) return QUIL_ERROR_REPLY;' \
    "stored values: a 16-character value text accepted (length check off by one)"
mutant src/quil/communication.cpp \
    'return std::strcmp(fields[0], letters) == 0 ? QUIL_OK : QUIL_ERROR_REPLY;' \
    'return QUIL_OK;' \
    "command replies: a reply that does not repeat the command's letters accepted"
mutant src/quil/communication.cpp \
    'platform::Deadline(kReplyWaitMs)' \
    'platform::Deadline(kReplyWaitMs * 1000)' \
    "command replies: the 2 s bound per byte instead of for the whole reply (a dripping controller holds a call)"
mutant src/link/line_io.cpp \
    'if (got == Read::Timeout && len > 0) markCut(c, buf, len);' \
    '(void)len;' \
    "command replies: the tail of a reply cut by the wait taken as the next command's reply"
mutant src/quil/communication.cpp \
    '    drainSocket(c);' \
    '    (void)c;' \
    "command replies: bytes that arrived between exchanges not discarded before the next command"
mutant src/link/connection.cpp \
    'if (stillArriving) cutReply_.store(lastWasCr ? kCutAfterCr : kCut, std::memory_order_relaxed);' \
    '(void)stillArriving;' \
    "command replies: the rest of a dripping tail read as the next reply once one wait for it ran out"
mutant src/quil/storage.cpp \
    'const std::int32_t r = answers ? parse(reply, capacity, values, count) : QUIL_ERROR_REPLY;' \
    '(void)answers; const std::int32_t r = parse(reply, capacity, values, count);' \
    "stored values: a garbled line taken for the list (values from garbage, success)"
mutant src/link/json.cpp \
    'if (!value32(member(regRead, "Read"), &read)) return QUIL_JSON_NO_READ;' \
    'if (!member(regRead, "Read")) return QUIL_JSON_NO_READ;' \
    "register read: a \"Read\" that is not a number taken as the running time"
mutant src/quil/settings_save.cpp \
    '        r = QUIL_SetProgramNo(id, active);' \
    '        r = QUIL_OK;' \
    "settings save: the active program not selected again after the save"
mutant src/quil/settings_save.cpp \
    '        if (r != QUIL_OK) s.fail(r);' \
    '        (void)r;' \
    "settings save: a failed reselection of the active program reported as success"
mutant src/quil/settings_load.cpp \
    'if (const std::int32_t r = set.setProgramNo(id, active); linkFailure(r)) tally.failure = r;' \
    'if (const std::int32_t r = QUIL_OK; linkFailure(r)) tally.failure = r;' \
    "settings load: the active program not selected again after the load"
mutant src/quil/settings_load.cpp \
    'if (r != QUIL_OK) return;' \
    '(void)r;' \
    "settings load: a program's block written into whichever program is active when its selection fails"
mutant src/link/packet_reader.cpp \
    'if (values > capacity_ || retiredCount_ + 4 > kMaxRetired) return false;' \
    'if (values >= capacity_ || retiredCount_ + 4 > kMaxRetired) return false;' \
    "stream: a packet that fills the channel buffers exactly dropped as an overfill"
mutant src/platform/posix/files.cpp \
    'bool ok = std::fflush(file_) == 0 && syncToDisk(file_);' \
    'bool ok = std::fflush(file_) == 0;' \
    "settings save: the file put in place without its content synced to the disk"
mutant src/quil/exchange.cpp \
    'std::unique_lock<std::mutex> lock(deviceLock(id_));' \
    'std::mutex unshared; std::unique_lock<std::mutex> lock(bulk_ ? unshared : deviceLock(id_));' \
    "stored values: a read-out without the device's lock, racing the storage watcher on the same link"

mutant src/quil/head_settings.cpp \
    '.parse([&](const Reply& r) { r.integers(4, Max, Min); })' \
    '.parse([&](const Reply& r) { r.integers(4, Min, Max); })' \
    "head settings: the ABLE range read back with its minimum and maximum swapped"
mutant src/quil/head_settings.cpp \
    '.check(inRange(MeasureMode, 0, kMaxMeasureMode), QUIL_ERROR_PARAMETER)' \
    '.check(inRange(MeasureMode, 0, kMaxMeasureMode + 1), QUIL_ERROR_PARAMETER)' \
    "head settings: measure mode 5 sent (range check off by one)"
mutant src/quil/output_settings.cpp \
    '.check(UpperLimit >= LowerLimit, QUIL_ERROR_VALUE)' \
    '.check(true, QUIL_ERROR_VALUE)' \
    "output settings: a tolerance whose upper limit lies below the lower one sent"
mutant src/quil/output_settings.cpp \
    '.check(int64_t{Hystersys} < int64_t{UpperLimit} - LowerLimit, QUIL_ERROR_VALUE)' \
    '.check(int64_t{Hystersys} <= int64_t{UpperLimit} - LowerLimit, QUIL_ERROR_VALUE)' \
    "output settings: a hysteresis as wide as the tolerance band sent"
mutant src/quil/codecs.cpp \
    '{100, 1000, 10000, 100000, 10, 100, 1000}' \
    '{100, 1000, 10000, 100000, 100, 100, 1000}' \
    "codecs: display unit 4 scaled by 100 instead of 10 (lengths ten times too large)"
mutant src/quil/codecs.cpp \
    'text[i] = on ? '"'"'1'"'"' : '"'"'0'"'"';' \
    'text[3 - i] = on ? '"'"'1'"'"' : '"'"'0'"'"';' \
    "codecs: the OUT selection text written in reverse (OUT4 selected for OUT1)"
mutant src/quil/codecs.cpp \
    '        if (negative) v = -v;' \
    '        (void)negative;' \
    "codecs: decimal replies lose their minus sign"
mutant src/quil/common_settings.cpp \
    'if (cycle >= c.first && cycle <= c.last) return cycle - c.first;' \
    'if (cycle >= c.first && cycle <= c.last) return cycle - c.first + 1;' \
    "common settings: the sampling cycle sent as the next code"
mutant src/quil/encoder_io.cpp \
    '.check(inRange(OutputChannel, 0, kMaxAnalogChannel), QUIL_ERROR_PARAMETER)' \
    '.check(inRange(OutputChannel, 0, kMaxAnalogChannel + 1), QUIL_ERROR_PARAMETER)' \
    "encoder and I/O: an analog channel past the last one sent"
mutant src/quil/controller_settings.cpp \
    '"%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]' \
    '"%d.%d.%d.%d", bytes[3], bytes[2], bytes[1], bytes[0]' \
    "controller settings: the network address read back in reverse byte order"
mutant src/quil/controller_settings.cpp \
    '.check(within(baud, kMaxBaud) && within(parity, kMaxParity), QUIL_ERROR_PARAMETER)' \
    '.check(within(baud, kMaxBaud + 1) && within(parity, kMaxParity), QUIL_ERROR_PARAMETER)' \
    "controller settings: a baud-rate index past the table sent"
mutant src/search/search.cpp \
    'b[60], b[61], b[62], b[63], b[64], b[65]);' \
    'b[59], b[60], b[61], b[62], b[63], b[64]);' \
    "search: the MAC address taken one byte early"
mutant src/search/search.cpp \
    'out->value = static_cast<std::int32_t>(wordAt(b + 12));' \
    'out->value = static_cast<std::int32_t>(wordAt(b + 4));' \
    "search: the answer's value read from the wrong offset"
mutant src/elog/elog.cpp \
    '    if (level > filterLevel.load(std::memory_order_relaxed)) return;
    ELOG_ASSERT(tag != nullptr);' \
    '    ELOG_ASSERT(tag != nullptr);' \
    "trace log: lines above the configured level written all the same"
mutant src/link/stream.cpp \
    'if (batchCount == 0 || batchCount > kMaxBatchCount ||' \
    'if (batchCount == 0 || batchCount >= kMaxBatchCount ||' \
    "stream: the largest batch (1,200,000 values) refused"
mutant src/link/line_io.cpp \
    'while (lf < count && buf[lf] == '"'"'\n'"'"') ++lf;' \
    'while (false) ++lf;' \
    "command replies: an LF left over from the previous reply read as the start of the next one"
mutant src/link/buffer.cpp \
    'if (capacity_ > 0) std::memcpy(fresh, data_, capacity_);' \
    '(void)0;' \
    "buffers: a reply that outgrows its buffer loses what had arrived"
mutant src/platform/posix/socket.cpp \
    'do n = ::send(fdOf(s), data, len, MSG_NOSIGNAL);' \
    'do n = ::send(fdOf(s), data, len, 0);' \
    "platform: a send to a controller that closed its connection raises SIGPIPE and kills the application"
mutant src/quil/settings_diff.cpp \
    'if (where.metadata && !all) return;' \
    'if (where.metadata && all) return;' \
    "settings comparison: the save time reported by default and left out when asked for"
mutant src/quil/settings_diff.cpp \
    'if (it->second->value != l.value) report(l, &l, it->second);' \
    'if (it->second->value == l.value) report(l, &l, it->second);' \
    "settings comparison: equal settings reported, different ones not"

# A plain copy of the tree as it is now, committed or not (tracked and new
# files, not the ignored build directories).
mkdir -p "$TREE"
(cd "$ROOT" && git ls-files -co --exclude-standard -z | xargs -0 tar cf - 2>/dev/null) | (cd "$TREE" && tar xf -)

# Every mutant must apply exactly once to the current code.
apply() {  # apply N [check]: replaces in the scratch copy (only counts with check)
    python3 - "$TREE/$(cat "$SCRATCH/m$1.file")" "$SCRATCH/m$1.from" "$SCRATCH/m$1.to" "${2:-}" <<'PY'
import sys
path, frm, to, check = sys.argv[1], open(sys.argv[2]).read(), open(sys.argv[3]).read(), sys.argv[4]
text = open(path).read()
count = text.count(frm)
if count != 1:
    sys.stderr.write("mutate: the text of this mutant occurs %d times in %s, not once:\n  %s\n" % (count, path, frm))
    sys.exit(2)
if not check:
    open(path, "w").write(text.replace(frm, to))
PY
}
bad=0
i=1
while [ $i -le $N ]; do
    apply $i check || bad=1
    i=$((i + 1))
done
[ $bad = 0 ] || { echo "mutate: the mutant list no longer matches the code" >&2; exit 2; }

# The packaging and example tests build other projects and say nothing
# about the library's behaviour that the suites do not.
ctest_args="--output-on-failure -j$JOBS --timeout $TEST_TIMEOUT --stop-on-failure -E ${MUTATE_EXCLUDE:-^(package_consumer|examples)\$}"
[ -n "${MUTATE_TESTS:-}" ] && ctest_args="$ctest_args -R $MUTATE_TESTS"

echo "mutate: building the unchanged copy in $BUILD"
cmake -S "$TREE" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUIL_TESTS=ON -DQUIL_BENCH=OFF >"$LOG" 2>&1 ||
    { cat "$LOG"; exit 2; }
cmake --build "$BUILD" -j"$JOBS" >"$LOG" 2>&1 || { tail -40 "$LOG"; exit 2; }
echo "mutate: the unchanged copy must pass its tests first"
# shellcheck disable=SC2086
ctest --test-dir "$BUILD" $ctest_args >"$LOG" 2>&1 || { tail -40 "$LOG"; echo "mutate: tests fail without a mutant" >&2; exit 2; }

killed=0
survived=0
summary=""
i=1
while [ $i -le $N ]; do
    case " $(echo "${MUTATE_ONLY:-$i}" | tr ',' ' ') " in *" $i "*) ;; *) i=$((i + 1)); continue ;; esac
    file=$(cat "$SCRATCH/m$i.file")
    what=$(cat "$SCRATCH/m$i.what")
    cp "$TREE/$file" "$SCRATCH/original"
    apply $i
    start=$(date +%s)
    if ! cmake --build "$BUILD" -j"$JOBS" >"$LOG" 2>&1; then
        tail -20 "$LOG"
        cp "$SCRATCH/original" "$TREE/$file"
        echo "mutate: mutant $i does not build: $what" >&2
        exit 2
    fi
    # shellcheck disable=SC2086
    if ctest --test-dir "$BUILD" $ctest_args >"$LOG" 2>&1; then
        verdict="SURVIVED"
        survived=$((survived + 1))
    else
        verdict="killed by $(grep -m1 -E '\*\*\*(Failed|Timeout|Exception)' "$LOG" | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: //; s/ \.+.*//')"
        killed=$((killed + 1))
    fi
    line=$(printf '%2d  %-9s %s  (%ss)\n      %s' $i "$([ "$verdict" = SURVIVED ] && echo SURVIVED || echo killed)" "$what" $(( $(date +%s) - start )) "$verdict")
    echo "$line"
    summary="$summary$line
"
    cp "$SCRATCH/original" "$TREE/$file"
    i=$((i + 1))
done
echo
echo "mutate: $killed killed, $survived survived of $((killed + survived))"
[ $survived = 0 ]
