// Trace log: leveled lines with time, process and thread ids, written under one
// process-wide lock to a size-rotated file (elog_file.h). Internal to the
// library; nothing here is exported from the shared object.
#pragma once

#include <cstddef>
#include <cstdint>

enum : std::uint8_t {
    ELOG_LVL_ASSERT = 0,
    ELOG_LVL_ERROR,
    ELOG_LVL_WARN,
    ELOG_LVL_INFO,
    ELOG_LVL_DEBUG,
    ELOG_LVL_VERBOSE
};
enum : std::uint32_t {
    ELOG_FMT_LEVEL = 1,
    ELOG_FMT_TAG = 2,
    ELOG_FMT_TIME = 4,
    ELOG_FMT_PROCESS = 8,
    ELOG_FMT_THREAD = 16,
    ELOG_FMT_FILE = 32,
    ELOG_FMT_FUNC = 64,
    ELOG_FMT_LINE = 128
};

// Longest line including its newline; longer lines are cut to fit.
inline constexpr std::size_t ELOG_LINE_BUF_SIZE = 512;

// Opens the log file "QUILLinkFile.log" in directory and sets the filter level
// to ELOG_LVL_VERBOSE. Runs once; later calls do nothing. Always 0.
int elog_init(const char* directory);
void elog_set_fmt(std::uint8_t level, std::uint32_t mask);
void elog_set_filter_lvl(std::uint8_t level);
void elog_set_output_enabled(bool enabled);
// Switch output on or off; ignored until elog_init has run.
void elog_start();
void elog_stop();
// Writes one line of level with the header fields of that level's mask. Lines
// are dropped while output is off or when level is above the filter level.
void elog_output(std::uint8_t level, const char* tag, const char* file, const char* func, long line, const char* format,
                 ...) __attribute__((format(printf, 6, 7)));
// True when a line of level would be written now: callers that format a
// message of their own first skip that work for lines that would be dropped.
bool elog_would_output(std::uint8_t level);
// True when the mask of level has any of bits.
bool get_fmt_enabled(std::uint8_t level, std::uint32_t bits);
// Appends src at dst, copying only while cur_len plus the count copied stays
// below ELOG_LINE_BUF_SIZE; returns the count copied. Writes no terminator.
std::size_t elog_strcpy(std::size_t cur_len, char* dst, const char* src);

// The one output lock. Held while a line is built and written, so the shared
// line buffer and the file back end are only ever touched under it.
void elog_output_lock();
void elog_output_unlock();

// A broken invariant inside the logger: writes a level-0 line with tag "elog"
// naming the condition, then aborts the process. Never returns.
[[noreturn]] void elog_assert_failed(const char* expr, const char* func, long line);

#define ELOG_ASSERT(EXPR)                                           \
    do {                                                            \
        if (!(EXPR)) elog_assert_failed(#EXPR, __func__, __LINE__); \
    } while (0)
