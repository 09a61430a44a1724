#include "quil/stored_values.h"

#include <array>
#include <cfloat>
#include <cstring>

#include "platform/platform.h"
#include "quil.h"
#include "quil/codecs.h"
#include "quil/results.h"

namespace quil {
namespace {

// The decimal fast path divides two exactly representable doubles and relies
// on that one division being rounded once, to nearest, in double precision.
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must not use wider intermediates");

// Powers of ten that a double holds exactly (all of them up to 1e22); a token
// has at most 15 characters, so at most 15 fraction digits.
constexpr std::array<double, kStoredTokenMax + 1> kPow10 = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

constexpr std::array<signed char, 256> makeHexDigits() {
    std::array<signed char, 256> t{};
    for (auto& d : t) d = -1;
    for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'a' + 10);
    return t;
}
constexpr std::array<signed char, 256> kHexDigits = makeHexDigits();

// The token as a C string for the C-library conversions and the special-text
// test; every caller has checked the length against kStoredTokenMax.
struct TokenText {
    TokenText(const char* token, std::size_t length) {
        std::memcpy(text, token, length);
        text[length] = '\0';
    }
    char text[kStoredTokenMax + 1];
};

bool isSpecialText(const char* token, std::size_t length) {
    // Every special text is eight characters long: the common tokens of other
    // lengths need no comparison at all.
    return length == 8 && parseSpecialValue(TokenText(token, length).text) != QUIL_VALUE_NORMAL;
}

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
    // Every token that will be read is checked first, so that a refused
    // list leaves the caller's array as it was.
    std::size_t pos = 3;
    std::int32_t n = 0;
    for (; pos < length && n < capacity; ++n) {
        const void* comma = std::memchr(text + pos, ',', length - pos);
        const std::size_t end = comma ? static_cast<std::size_t>(static_cast<const char*>(comma) - text) : length;
        if (end - pos > kStoredTokenMax) return QUIL_ERROR_REPLY;
        pos = end + 1;
    }
    pos = 3;
    for (std::int32_t i = 0; i < n; ++i) {
        const char* token = text + pos;
        const void* comma = std::memchr(token, ',', length - pos);
        const std::size_t tokenLength =
            comma ? static_cast<std::size_t>(static_cast<const char*>(comma) - token) : length - pos;
        values[i] =
            isSpecialText(token, tokenLength) ? static_cast<T>(kStoredSpecialValue) : convert(token, tokenLength);
        pos += tokenLength + 1;
    }
    *count = n;
    return QUIL_OK;
}

}  // namespace

float storedDecimal(const char* token, std::size_t length) {
    // A read-out holds up to a million tokens, nearly all of the controller's
    // plain form ("+012.345"). For those the value is computed directly: at
    // most 15 digits make an integer that a double holds exactly, and one
    // division by an exact power of ten is rounded once, to nearest, which is
    // exactly the C library's correctly rounded result. Everything else
    // (exponents, blanks, "inf", a trailing text) goes to the C library.
    std::size_t i = 0;
    const bool negative = length > 0 && token[0] == '-';
    if (length > 0 && (token[0] == '-' || token[0] == '+')) ++i;
    std::uint64_t mantissa = 0;
    std::size_t digits = 0, fraction = 0;
    bool point = false;
    for (; i < length; ++i) {
        const char c = token[i];
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
            fraction += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (i == length && digits > 0) {
        const double v = static_cast<double>(mantissa) / kPow10[fraction];
        return static_cast<float>(negative ? -v : v);
    }
    if (length == 0) return 0.0f;
    return static_cast<float>(platform::toDouble(TokenText(token, length).text));
}

std::int32_t storedHex(const char* token, std::size_t length) {
    // At most 15 hexadecimal digits fit in 64 bits without overflow, so a
    // token of digits only is read directly; signs, blanks and "0x" prefixes
    // go to the C library.
    std::uint64_t v = 0;
    std::size_t i = 0;
    for (; i < length; ++i) {
        const int d = kHexDigits[static_cast<unsigned char>(token[i])];
        if (d < 0) break;
        v = v << 4 | static_cast<std::uint64_t>(d);
    }
    if (i < length) v = static_cast<std::uint64_t>(platform::toLongLong(TokenText(token, length).text, 16));
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

std::int32_t parseStoredFloats(const char* text, std::int32_t capacity, float* values, std::int32_t* count) {
    return parseStored(text, capacity, values, count, storedDecimal);
}

std::int32_t parseStoredHex(const char* text, std::int32_t capacity, std::int32_t* values, std::int32_t* count) {
    return parseStored(text, capacity, values, count, storedHex);
}

}  // namespace quil
