#pragma once

#include <cstdint>

#include "quil.h"

namespace quil {

// Translates the number field of an error reply ("ER,xx,nn") into a result
// code. The text is read like atoi: a missing or non-numeric field is 0.
// Never returns QUIL_OK.
std::int32_t deviceErrorToCode(const char* numberText);

}  // namespace quil
