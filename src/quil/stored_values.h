// Stored-value lists: the long replies of the storage read-outs ("AO" for an
// OUT's stored values, "AR" for an encoder channel's), walked straight out of
// the device's bulk reply buffer into the caller's array.
//
// A list is the command letters, a comma and comma-separated value tokens;
// an error reply ("ER,xx,nn") is recognised here, because the bulk exchange
// does not split or check what it reads. One walk serves both read-outs; they
// differ only in how a token becomes a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quil {

// Longest value token; anything longer makes the whole read fail.
inline constexpr std::size_t kStoredTokenMax = 15;
// What a special text ("+FFFFFFF", "-FFFFFFF", "XXXXXXXX") is stored as.
inline constexpr std::int32_t kStoredSpecialValue = -999;

// Token conversions, for a token (at most kStoredTokenMax characters) that
// is not a special text; false, value untouched, for a token that is not
// the number it should be.
//
// A decimal token in the controller's decimal form (readDecimal), narrowed
// to a 32-bit float; the empty token is 0.0.
bool storedDecimal(std::string_view token, float* value);
// A hexadecimal token without prefix (readHex), keeping the low 32 bits:
// "FFFFFFF0" is -16. A token without digits, the empty one included, is
// refused.
bool storedHex(std::string_view token, std::int32_t* value);

// Walks a stored-value list (the reply text without its CR LF) into values,
// at most capacity of them, from element 0 on; count receives the number
// written. Returns:
//  - QUIL_OK, also for a list without tokens ("AO", "AO,") or a capacity of 0;
//  - for an error reply, its number translated as every controller error is,
//    or QUIL_ERROR_UNKNOWN when it has no number field (fewer than three
//    fields); count is left alone;
//  - QUIL_ERROR_REPLY for a token longer than kStoredTokenMax, or one that is
//    not the number it should be, among those that would be read; count and
//    values are left alone.
// The command letters are not compared with the command.
std::int32_t parseStoredFloats(const char* text, std::int32_t capacity, float* values, std::int32_t* count);
std::int32_t parseStoredHex(const char* text, std::int32_t capacity, std::int32_t* values, std::int32_t* count);

}  // namespace quil
