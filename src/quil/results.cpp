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

// The small codes of the plain functions, one table per family.
constexpr Code kLinkCodes[] = {
    {0, "QUIL_LINK_OK", "success"},
    {-1, "QUIL_LINK_FAILED", "out of range, connection failed, the line could not be sent or the first read failed"},
    {-2, "QUIL_LINK_BAD_LINE", "the line does not end in CR, the answer did not fit, or a later read failed"},
    {-3, "QUIL_LINK_EXISTS", "the device number already has such a link"},
    {-10, "QUIL_LINK_TIMEOUT", "no answer within the wait"},
    {-100, "QUIL_LINK_NO_LINK", "the device number has no such link"},
};
constexpr Code kStreamCodes[] = {
    {0, "QUIL_STREAM_OK", "success"},
    {-1, "QUIL_STREAM_FAILED", "a link could not be opened, a switch failed, or the wait failed"},
    {-2, "QUIL_STREAM_TIMEOUT", "nothing arrived within the wait, or the discard is done"},
    {-3, "QUIL_STREAM_CLOSED", "the roll connection failed or was closed"},
    {-5, "QUIL_STREAM_OVERSIZE", "a packet's payload is larger than 25,165,824 bytes"},
    {-987, "QUIL_STREAM_RUNNING", "the device number already has a roll link (a run not yet stopped)"},
    {-997, "QUIL_STREAM_BAD_ARGUMENT", "bad device number, address, callback or batch count"},
};
constexpr Code kJsonCodes[] = {
    {0, "QUIL_JSON_OK", "accepted"},
    {-1, "QUIL_JSON_REFUSED", "error reply to another message, or \"retState\" not 0"},
    {-2, "QUIL_JSON_BAD_REPLY", "the reply is not a JSON answer, or \"ret\" is not 0"},
    {-3, "QUIL_JSON_SHORT_REPLY", "the reply is shorter than 2 characters"},
    {-10, "QUIL_JSON_NO_REPLY", "no link, send failure or no reply within 1200 ms"},
    {-20, "QUIL_JSON_NO_OBJECT", "no \"regRead\"/\"regWrite\" in the reply"},
    {-21, "QUIL_JSON_NO_RET", "no \"ret\" in \"regRead\""},
    {-22, "QUIL_JSON_NO_READ", "no numeric \"Read\" in the reply"},
};
constexpr Code kSearchCodes[] = {
    {0, "QUIL_SEARCH_DONE", "search done"},
    {-1, "QUIL_SEARCH_NO_SOCKETS", "the socket library failed to start"},
    {-2, "QUIL_SEARCH_NO_CALLBACK", "no search callback set"},
    {-100, "QUIL_SEARCH_RUNNING", "a search is already running"},
};

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
