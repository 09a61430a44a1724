#include "quil/stored_values.h"

#include <cstring>
#include <string_view>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/results.h"

namespace quil {
namespace {

// The number of an error reply ("ER,xx,nn"), the third field. The number is
// read like atoi, which stops at the comma after it, so the field is read in
// place: replies with more fields or longer ones than the controller sends
// need no buffer.
std::int32_t errorReplyCode(const char* text) {
    const char* first = std::strchr(text, ',');
    const char* second = first ? std::strchr(first + 1, ',') : nullptr;
    // A reply of one or two fields carries no number. A comma at the very end
    // does not start a field.
    if (!second || second[1] == '\0') return QUIL_ERROR_UNKNOWN;
    return deviceErrorToCode(second + 1);
}

template <class T, class Convert>
std::int32_t parseStored(const char* text, std::int32_t capacity, T* values, std::int32_t* count, Convert convert) {
    if (text[0] == 'E' && text[1] == 'R') return errorReplyCode(text);
    const std::size_t length = std::strlen(text);
    // The list starts after the command letters and their comma. Each comma
    // ends a token, an empty one too; the end of the text ends the last token
    // unless the text ends in a comma.
    auto tokenAt = [&](std::size_t pos) {
        const void* comma = std::memchr(text + pos, ',', length - pos);
        const std::size_t end = comma ? static_cast<std::size_t>(static_cast<const char*>(comma) - text) : length;
        return std::string_view(text + pos, end - pos);
    };
    auto valueOf = [&](std::string_view token, T* value) {
        if (parseSpecialValue(token) != QUIL_VALUE_NORMAL) {
            *value = static_cast<T>(kStoredSpecialValue);
            return true;
        }
        return convert(token, value);
    };
    // Every token that will be read is checked first, so that a refused
    // list leaves the caller's array as it was.
    std::size_t pos = 3;
    std::int32_t n = 0;
    for (; pos < length && n < capacity; ++n) {
        const std::string_view token = tokenAt(pos);
        T value{};
        if (token.size() > kStoredTokenMax || !valueOf(token, &value)) return QUIL_ERROR_REPLY;
        pos += token.size() + 1;
    }
    pos = 3;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::string_view token = tokenAt(pos);
        valueOf(token, &values[i]);
        pos += token.size() + 1;
    }
    *count = n;
    return QUIL_OK;
}

}  // namespace

bool storedDecimal(std::string_view token, float* value) {
    if (token.empty()) {
        *value = 0.0f;
        return true;
    }
    return readDecimal(token, value);
}

bool storedHex(std::string_view token, std::int32_t* value) { return readHex(token, value); }

std::int32_t parseStoredFloats(const char* text, std::int32_t capacity, float* values, std::int32_t* count) {
    return parseStored(text, capacity, values, count, storedDecimal);
}

std::int32_t parseStoredHex(const char* text, std::int32_t capacity, std::int32_t* values, std::int32_t* count) {
    return parseStored(text, capacity, values, count, storedHex);
}

}  // namespace quil
