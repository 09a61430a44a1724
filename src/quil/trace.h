// Trace lines of the exported device functions: level 1, tag "NO_TAG",
// source file "quil", the exported function's name and the call's line.
#pragma once

#include "elog/elog.h"

#define QUIL_TRACE(func, ...) elog_output(ELOG_LVL_ERROR, "NO_TAG", "quil", func, __LINE__, __VA_ARGS__)
#define QUIL_TRACE_AT(level, func, ...) elog_output(level, "NO_TAG", "quil", func, __LINE__, __VA_ARGS__)
