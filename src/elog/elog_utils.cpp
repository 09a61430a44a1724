// Small helpers shared by the trace log's core and file back end.
#include <cstdio>

#include "elog/elog.h"
#include "elog/elog_file.h"

std::size_t elog_strcpy(std::size_t cur_len, char* dst, const char* src) {
    ELOG_ASSERT(dst);
    ELOG_ASSERT(src);
    const char* const start = src;
    while (*src != '\0' && cur_len < ELOG_LINE_BUF_SIZE) {
        *dst++ = *src++;
        ++cur_len;
    }
    return static_cast<std::size_t>(src - start);
}

bool elog_file_readable(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    // Opening a directory for reading succeeds on POSIX; reading it does not.
    std::fgetc(f);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}
