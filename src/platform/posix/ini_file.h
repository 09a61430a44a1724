// The INI reader behind iniReadInt, on a file that is already open: the
// fuzz target feeds it documents from memory.
#pragma once

#include <cstdio>

namespace quil::platform {

// iniReadInt's search on the lines of f, read from its current position to
// its end; def when the section or the key is missing. Does not close f.
int iniReadIntFrom(std::FILE* f, const char* section, const char* key, int def);

}  // namespace quil::platform
