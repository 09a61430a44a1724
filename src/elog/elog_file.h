// File back end of the trace log: appends finished lines to the live log file
// and rotates it once it has grown past its size limit. It has no lock of its
// own: every call is made under the output lock of the core (elog.h).
#pragma once

#include <cstddef>
#include <cstdint>

struct ElogFileCfg {
    char name[256];            // full path of the live log file; empty: no file
    std::uint32_t max_size;    // bytes a file may reach before the next line rotates it
    std::uint32_t max_rotate;  // rotated files kept: name.0 (newest) .. name.<max_rotate-1>
};

// Configures "<directory>/QUILLinkFile.log", 100 MiB, 20 rotated files. Runs once.
void elog_file_init(const char* directory);
// Closes the live file and takes cfg->name as the file to append to; the file
// is opened (and so created) by the first line written, never before. A name
// whose longest rotated form would not fit in ElogFileCfg::name opens nothing,
// so all lines are dropped rather than written under a cut path.
void elog_file_config(const ElogFileCfg* cfg);
// Appends one line of size bytes (no terminator needed) and flushes it.
void elog_file_write(const char* log, std::size_t size);
// Shifts name.<n-1> to name.<n> (dropping the oldest) and the live file to
// name.0, then reopens the live file. False when a rename failed.
bool elog_file_rotate();

// True when path names something that can be opened and read as a file (a
// directory of that name does not count).
bool elog_file_readable(const char* path);
