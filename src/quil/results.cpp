// Result code names and meanings, and the controller's error numbers.
#include "quil/results.h"

#include <cstddef>

#include "platform/platform.h"

namespace quil {

int32_t deviceErrorToCode(const char* numberText) {
    switch (platform::toInt(numberText ? numberText : "")) {
    case 50: return QUIL_ERROR_DEVICE_E50;
    case 51: return QUIL_ERROR_MODE;
    case 60: return QUIL_ERROR_DEVICE_E60;
    case 61: return QUIL_ERROR_PARAMETER;
    case 62: return QUIL_ERROR_VALUE;
    case 63: return QUIL_ERROR_DEVICE_E63;
    case 64: return QUIL_ERROR_RANGE;
    case 68: return QUIL_ERROR_VALUE;
    case 71: return QUIL_ERROR_DEVICE_E71;
    case 88: return QUIL_ERROR_DEVICE_E88;
    default: return QUIL_ERROR_UNKNOWN;  // 99, 0 (no number) and every unlisted number
    }
}

}  // namespace quil

namespace {

struct Code {
    int32_t code;
    const char* name;
    const char* message;
};

// The small codes of the plain functions, one table per family, from the
// lists in quil.h.
#define QUIL_CODE_ROW(name, value, text) {value, #name, text},
constexpr Code kLinkCodes[] = {QUIL_LINK_CODES(QUIL_CODE_ROW)};
constexpr Code kStreamCodes[] = {QUIL_STREAM_CODES(QUIL_CODE_ROW)};
constexpr Code kJsonCodes[] = {QUIL_JSON_CODES(QUIL_CODE_ROW)};
constexpr Code kSearchCodes[] = {QUIL_SEARCH_CODES(QUIL_CODE_ROW)};
#undef QUIL_CODE_ROW

template <std::size_t N>
const Code* find(const Code (&table)[N], int32_t code) {
    for (const Code& c : table)
        if (c.code == code) return &c;
    return nullptr;
}

const Code* findCode(int32_t family, int32_t code) {
    static const Code controllerError = {0, "QUIL_JSON_CONTROLLER_ERROR", "the controller's own error number"};
    switch (family) {
    case QUIL_FAMILY_LINK: return find(kLinkCodes, code);
    case QUIL_FAMILY_STREAM: return find(kStreamCodes, code);
    case QUIL_FAMILY_JSON: return code > 0 ? &controllerError : find(kJsonCodes, code);
    case QUIL_FAMILY_SEARCH: return find(kSearchCodes, code);
    default: return nullptr;
    }
}

}  // namespace

extern "C" {

QUIL_API const char* quil_result_name(int32_t code) {
#define QUIL_RESULT_NAME_CASE(name, value, text) \
    case value: return #name;
    switch (code) { QUIL_RESULT_CODES(QUIL_RESULT_NAME_CASE) }
#undef QUIL_RESULT_NAME_CASE
    return "QUIL_UNKNOWN_CODE";
}

QUIL_API const char* quil_result_message(int32_t code) {
#define QUIL_RESULT_TEXT_CASE(name, value, text) \
    case value: return text;
    switch (code) { QUIL_RESULT_CODES(QUIL_RESULT_TEXT_CASE) }
#undef QUIL_RESULT_TEXT_CASE
    return "unknown result code";
}

QUIL_API const char* quil_code_name(int32_t family, int32_t code) {
    if (family == QUIL_FAMILY_DEVICE) return quil_result_name(code);
    const Code* c = findCode(family, code);
    return c ? c->name : "QUIL_UNKNOWN_CODE";
}

QUIL_API const char* quil_code_message(int32_t family, int32_t code) {
    if (family == QUIL_FAMILY_DEVICE) return quil_result_message(code);
    const Code* c = findCode(family, code);
    return c ? c->message : "unknown result code";
}

}  // extern "C"
