// Trace log core: filter, per-level header masks, the output lock and line
// building. Each line is built in one static buffer and handed to the file
// back end in a single write, so no line is ever allocated or interleaved.
#include "elog/elog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "elog/elog_file.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kTagWidth = 8;
constexpr std::size_t kLevelCount = ELOG_LVL_VERBOSE + 1;
const char* const kLevelText[kLevelCount] = {"A/", "E/", "W/", "I/", "D/", "V/"};

// Read on every call without the lock, hence atomic. Masks are written during
// set-up and only read afterwards, but another thread may already log then.
std::atomic<bool> coreInitialised{false};
std::atomic<bool> outputEnabled{false};
std::atomic<std::uint8_t> filterLevel{ELOG_LVL_ASSERT};
std::atomic<std::uint32_t> fmtMasks[kLevelCount];

std::mutex outputMutex;
// Lets a failed check inside a locked section write its line without locking
// the (non-recursive) output mutex a second time.
thread_local bool holdsOutputLock = false;

// Touched only under outputMutex.
char lineBuf[ELOG_LINE_BUF_SIZE];
char timeBuf[24];
char pidBuf[10];  // "pid:" and at most five digits
char tidBuf[10];
char lineNumBuf[5];  // line number text, cut to four characters

std::size_t buildHeader(std::uint8_t level, const char* tag, const char* file, const char* func, long line) {
    std::size_t len = 0;
    auto put = [&len](const char* text) { len += elog_strcpy(len, lineBuf + len, text); };

    if (get_fmt_enabled(level, ELOG_FMT_LEVEL)) put(kLevelText[level]);
    if (get_fmt_enabled(level, ELOG_FMT_TAG)) {
        put(tag);
        for (std::size_t n = std::strlen(tag); n < kTagWidth; ++n) put(" ");
        put(" ");
    }
    if (get_fmt_enabled(level, ELOG_FMT_TIME | ELOG_FMT_PROCESS | ELOG_FMT_THREAD)) {
        put("[");
        if (get_fmt_enabled(level, ELOG_FMT_TIME)) {
            const quil::platform::LocalTime t = quil::platform::localTime();
            std::snprintf(timeBuf, sizeof timeBuf, "%02d-%02d %02d:%02d:%02d.%03d", t.month, t.day, t.hour, t.minute,
                          t.second, t.millisecond);
            put(timeBuf);
            if (get_fmt_enabled(level, ELOG_FMT_PROCESS | ELOG_FMT_THREAD)) put(" ");
        }
        if (get_fmt_enabled(level, ELOG_FMT_PROCESS)) {
            // Cut to the buffer: a six-digit id shows its first five digits.
            std::snprintf(pidBuf, sizeof pidBuf, "pid:%04ld", quil::platform::processId());
            put(pidBuf);
            if (get_fmt_enabled(level, ELOG_FMT_THREAD)) put(" ");
        }
        if (get_fmt_enabled(level, ELOG_FMT_THREAD)) {
            std::snprintf(tidBuf, sizeof tidBuf, "tid:%04ld", quil::platform::threadId());
            put(tidBuf);
        }
        put("] ");
    }
    if (get_fmt_enabled(level, ELOG_FMT_FILE | ELOG_FMT_FUNC | ELOG_FMT_LINE)) {
        put("(");
        if (get_fmt_enabled(level, ELOG_FMT_FILE)) {
            put(file);
            if (get_fmt_enabled(level, ELOG_FMT_FUNC))
                put(" ");
            else if (get_fmt_enabled(level, ELOG_FMT_LINE))
                put(":");
        }
        if (get_fmt_enabled(level, ELOG_FMT_FUNC)) {
            put(func);
            if (get_fmt_enabled(level, ELOG_FMT_LINE)) put(":");
        }
        if (get_fmt_enabled(level, ELOG_FMT_LINE)) {
            std::snprintf(lineNumBuf, sizeof lineNumBuf, "%ld", line);
            put(lineNumBuf);
        }
        put(")");
    }
    return len;
}

// Builds and writes one line; the caller holds the output lock.
void writeLineLocked(std::uint8_t level, const char* tag, const char* file, const char* func, long line,
                     const char* format, std::va_list args) {
    std::size_t len = buildHeader(level, tag, file, func, line);
    const std::size_t room = ELOG_LINE_BUF_SIZE - len;
    const int msgLen = std::vsnprintf(lineBuf + len, room, format, args);
    if (msgLen < 0 || static_cast<std::size_t>(msgLen) >= room)
        len = ELOG_LINE_BUF_SIZE;
    else
        len += static_cast<std::size_t>(msgLen);
    // A cut line keeps its first 511 bytes so the newline still fits.
    if (len + 1 > ELOG_LINE_BUF_SIZE) len = ELOG_LINE_BUF_SIZE - 1;
    lineBuf[len++] = '\n';
    elog_file_write(lineBuf, len);
}

void writeLine(std::uint8_t level, const char* tag, const char* file, const char* func, long line, const char* format,
               ...) __attribute__((format(printf, 6, 7)));

void writeLine(std::uint8_t level, const char* tag, const char* file, const char* func, long line, const char* format,
               ...) {
    std::va_list args;
    va_start(args, format);
    writeLineLocked(level, tag, file, func, line, format, args);
    va_end(args);
}

}  // namespace

int elog_init(const char* directory) {
    if (coreInitialised.load(std::memory_order_relaxed)) return 0;
    // Opening the file under the lock publishes the back end's state to every
    // thread that later writes under it.
    elog_output_lock();
    elog_file_init(directory);
    elog_output_unlock();
    elog_set_filter_lvl(ELOG_LVL_VERBOSE);
    coreInitialised.store(true, std::memory_order_relaxed);
    return 0;
}

void elog_set_fmt(std::uint8_t level, std::uint32_t mask) {
    ELOG_ASSERT(level <= ELOG_LVL_VERBOSE);
    fmtMasks[level].store(mask, std::memory_order_relaxed);
}

void elog_set_filter_lvl(std::uint8_t level) { filterLevel.store(level, std::memory_order_relaxed); }

void elog_set_output_enabled(bool enabled) { outputEnabled.store(enabled, std::memory_order_relaxed); }

void elog_start() {
    if (coreInitialised.load(std::memory_order_relaxed)) elog_set_output_enabled(true);
}

void elog_stop() {
    if (coreInitialised.load(std::memory_order_relaxed)) elog_set_output_enabled(false);
}

bool get_fmt_enabled(std::uint8_t level, std::uint32_t bits) {
    ELOG_ASSERT(level <= ELOG_LVL_VERBOSE);
    return (fmtMasks[level].load(std::memory_order_relaxed) & bits) != 0;
}

void elog_output_lock() {
    outputMutex.lock();
    holdsOutputLock = true;
}

void elog_output_unlock() {
    holdsOutputLock = false;
    outputMutex.unlock();
}

bool elog_would_output(std::uint8_t level) {
    return outputEnabled.load(std::memory_order_relaxed) && level <= filterLevel.load(std::memory_order_relaxed);
}

void elog_output(std::uint8_t level, const char* tag, const char* file, const char* func, long line, const char* format,
                 ...) {
    if (!outputEnabled.load(std::memory_order_relaxed)) return;
    ELOG_ASSERT(level <= ELOG_LVL_VERBOSE);
    // Filtered lines cost this one comparison and never wait for the lock.
    if (level > filterLevel.load(std::memory_order_relaxed)) return;
    ELOG_ASSERT(tag != nullptr);

    elog_output_lock();
    std::va_list args;
    va_start(args, format);
    writeLineLocked(level, tag, file, func, line, format, args);
    va_end(args);
    elog_output_unlock();
}

void elog_assert_failed(const char* expr, const char* func, long line) {
    // A check that fails again while its own line is written (the back end
    // itself is broken) must not recurse forever.
    static thread_local bool failing = false;
    if (!failing && outputEnabled.load(std::memory_order_relaxed)) {
        failing = true;
        if (!holdsOutputLock) elog_output_lock();
        writeLine(ELOG_LVL_ASSERT, "elog", __FILE__, func, line, "(%s) has assert failed at %s:%ld.", expr, func, line);
    }
    std::abort();
}
