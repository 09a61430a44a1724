#include "quil/codecs.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

#include "platform/platform.h"
#include "quil.h"

namespace quil {

namespace {

// Narrowing a double beyond the float range is only defined where float has
// infinities and rounds to nearest; the controller may send such text.
static_assert(std::numeric_limits<float>::is_iec559, "float must be IEEE 754 single precision");

// |v| without overflow: negating INT32_MIN is undefined in signed arithmetic,
// so the magnitude is computed in unsigned arithmetic, where it is 2^31.
std::uint32_t magnitudeOf(std::int32_t v) {
    return v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
}

}  // namespace

int parseSpecialValue(const char* text) {
    if (std::strcmp(text, "-FFFFFFF") == 0) return QUIL_VALUE_MINUS_FFFFFFF;
    if (std::strcmp(text, "+FFFFFFF") == 0) return QUIL_VALUE_PLUS_FFFFFFF;
    if (std::strcmp(text, "XXXXXXXX") == 0) return QUIL_VALUE_XXXXXXXX;
    return QUIL_VALUE_NORMAL;
}

float textToFloat(const char* text) {
    // Read as a double first and narrow afterwards, like atof followed by an
    // assignment to float: the double rounding can differ from reading the
    // text straight into a float, and applications compare against the
    // former. The platform call ignores the process locale, so a host that
    // uses "," as its decimal separator does not cut "12.5" down to 12.
    return static_cast<float>(platform::toDouble(text));
}

void parseMeasured(const char* text, std::int32_t* status, float* value) {
    const int special = parseSpecialValue(text);
    *status = special;
    *value = special == QUIL_VALUE_NORMAL ? textToFloat(text) : 0.0f;
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

std::int32_t modelGroupOf(const std::int32_t* type, std::int32_t* group) {
    struct Range {
        std::int32_t first, last, group;
    };
    static constexpr Range kGroups[] = {{0, 3, 3}, {4, 11, 5}, {34, 39, 7}};
    for (const Range& r : kGroups) {
        if (*type >= r.first && *type <= r.last) {
            *group = r.group;
            return QUIL_OK;
        }
    }
    return QUIL_ERROR_UNKNOWN;
}

bool isEncoderModel(std::int32_t type) {
    std::int32_t group = 0;
    return modelGroupOf(&type, &group) == QUIL_OK && group == kEncoderModelGroup;
}

std::int32_t scaledInteger(const char* text, std::int32_t scale) {
    // Both factors as floats and the product stored as a float: the getters
    // have always reported this rounding, so a wider type would change
    // results ("0.29" with scale 100 gives 29 here, 28 in double).
    const float product = static_cast<float>(scale) * textToFloat(text);
    // Converting a float outside the int32 range (or a NaN) to an integer is
    // undefined, so those are settled before the cast. 2^31 is exact in float;
    // -2^31 itself still converts.
    if (std::isnan(product)) return 0;
    if (product >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (product < -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(product);
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
