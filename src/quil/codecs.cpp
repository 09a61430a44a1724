#include "quil/codecs.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "platform/platform.h"
#include "quil.h"

namespace quil {

namespace {

// Narrowing a double beyond the float range is only defined where float has
// infinities and rounds to nearest; the controller may send such text.
static_assert(std::numeric_limits<float>::is_iec559, "float must be IEEE 754 single precision");
// The decimal reading divides two exactly representable doubles and relies
// on that one division being rounded once, to nearest, in double precision.
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must not use wider intermediates");

// Decimal digits whose integer a double holds exactly (10^15 < 2^53), and the
// powers of ten up to that, all exact in a double.
constexpr std::size_t kExactDigits = 15;
constexpr std::array<double, kExactDigits + 1> kPow10 = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// |v| without overflow: negating INT32_MIN is undefined in signed arithmetic,
// so the magnitude is computed in unsigned arithmetic, where it is 2^31.
std::uint32_t magnitudeOf(std::int32_t v) {
    return v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
}

}  // namespace

int parseSpecialValue(std::string_view text) {
    if (text == "-FFFFFFF") return QUIL_VALUE_MINUS_FFFFFFF;
    if (text == "+FFFFFFF") return QUIL_VALUE_PLUS_FFFFFFF;
    if (text == "XXXXXXXX") return QUIL_VALUE_XXXXXXXX;
    return QUIL_VALUE_NORMAL;
}

bool readInteger(std::string_view text, std::int32_t* out) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++i;
    if (i == text.size()) return false;
    // 2^31 is the largest magnitude (of INT32_MIN); stop before it overflows.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 31;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!isDigit(text[i])) return false;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > kLimit) return false;
    }
    if (!negative && magnitude == kLimit) return false;
    *out = negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(magnitude))
                    : static_cast<std::int32_t>(magnitude);
    return true;
}

bool readDecimal(std::string_view text, float* out) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++i;
    std::uint64_t mantissa = 0;
    std::size_t digits = 0, fraction = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (isDigit(c)) {
            if (digits < kExactDigits) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
            fraction += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    double v = 0;
    if (digits <= kExactDigits) {
        // The controller prints at most a few digits: an integer that a double
        // holds exactly, divided once by an exact power of ten, is rounded
        // once, to nearest, which is the C library's correctly rounded reading.
        v = static_cast<double>(mantissa) / kPow10[fraction];
        if (negative) v = -v;
    } else {
        // Longer texts (no controller sends them) go to the C library, which
        // reads this form alike in every locale through the platform.
        v = platform::toDouble(std::string(text).c_str());
    }
    const auto narrowed = static_cast<float>(v);
    if (std::isinf(narrowed)) return false;
    *out = narrowed;
    return true;
}

bool readHex(std::string_view text, std::int32_t* out) {
    // At most 15 digits fit 64 bits without overflow.
    if (text.empty() || text.size() > kExactDigits) return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        const int d = hexDigit(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<std::uint64_t>(d);
    }
    *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
}

bool readMeasured(std::string_view text, std::int32_t* status, float* value) {
    const int special = parseSpecialValue(text);
    float v = 0.0f;
    if (special == QUIL_VALUE_NORMAL && !readDecimal(text, &v)) return false;
    *status = special;
    *value = v;
    return true;
}

void formatSigned6(std::int32_t v, char* out) {
    const unsigned long magnitude = magnitudeOf(v);
    std::snprintf(out, kSigned6TextSize, v >= 0 ? "+%06lu" : "-%06lu", magnitude);
}

int digitCount(std::int32_t v) {
    // The controller's setters test the width of abs(v) as printed with
    // "%d". abs(INT32_MIN) wraps to INT32_MIN itself, whose text keeps its
    // minus sign: 11 characters, which every six-digit limit refuses.
    if (v == std::numeric_limits<std::int32_t>::min()) return 11;
    std::uint32_t rest = magnitudeOf(v);
    int digits = 1;
    while (rest >= 10) {
        rest /= 10;
        ++digits;
    }
    return digits;
}

int outMaskToText(char* text, std::int32_t mask) {
    int selected = 0;
    for (int i = 0; i < 4; ++i) {
        const bool on = (mask >> i) & 1;
        text[i] = on ? '1' : '0';
        selected += on;
    }
    text[4] = '\0';
    return selected;
}

std::int32_t outTextToMask(const char* text, std::int32_t* mask) {
    if (std::strlen(text) != 4) return QUIL_ERROR_FORMAT;
    std::int32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        if (text[i] == '1') result |= 1 << i;
    }
    *mask = result;
    return QUIL_OK;
}

std::int32_t unitScale(std::uint32_t index, std::int32_t* scale) {
    static constexpr std::int32_t kScales[] = {100, 1000, 10000, 100000, 10, 100, 1000};
    if (index < std::size(kScales)) *scale = kScales[index];
    return QUIL_OK;
}

bool scaledInteger(float value, std::int32_t scale, std::int32_t* out) {
    // Both factors as floats and the product stored as a float: the getters
    // have always reported this rounding, so a wider type would change
    // results (0.29 with scale 100 gives 29 here, 28 in double).
    const float product = static_cast<float>(scale) * value;
    // Converting a float outside the int32 range to an integer is undefined,
    // so those are refused before the cast. 2^31 is exact in float; -2^31
    // itself still converts.
    if (!(product < 2147483648.0f && product >= -2147483648.0f)) return false;
    *out = static_cast<std::int32_t>(product);
    return true;
}

bool exactScaled(const char* text, std::int32_t scale, std::int32_t* out) {
    // The scale's resolution in decimal places: display units scale by
    // powers of ten.
    int places = 0;
    for (; scale >= 10 && scale % 10 == 0; scale /= 10) ++places;
    if (scale != 1) return false;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    constexpr long long kLimit = 2147483648LL;  // |INT32_MIN|
    long long magnitude = 0;
    int digits = 0, fraction = -1;  // fraction: decimal places read, -1 before the point
    for (; *text; ++text) {
        if (*text == '.' && fraction < 0) {
            fraction = 0;
            continue;
        }
        if (*text < '0' || *text > '9') return false;
        ++digits;
        if (fraction >= places) continue;  // beyond the resolution: truncated
        if (fraction >= 0) ++fraction;
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > kLimit) return false;  // only grows from here
    }
    if (digits == 0) return false;
    for (int i = fraction < 0 ? 0 : fraction; i < places; ++i) magnitude *= 10;
    if (magnitude > (negative ? kLimit : kLimit - 1)) return false;
    *out = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return true;
}

double wholeUnits(double v) {
    constexpr double kNear = 1e-6;
    const double nearest = std::round(v);
    return std::fabs(v - nearest) <= kNear ? nearest : std::trunc(v);
}

}  // namespace quil
