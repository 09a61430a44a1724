// Result code names and meanings, and the controller's error numbers.
#include "quil/results.h"

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

}  // extern "C"
