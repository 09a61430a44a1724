#include "quil/codecs.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <tuple>

#include "quil.h"
#include "quil/model.h"

namespace quil {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// The reply number forms: what reads, to which value, and what is refused.
TEST(CodecsReplyNumbers, WholeTextsOnly) {
    struct Row {
        const char* text;
        bool integer;  // readInteger accepts it, with value ivalue
        std::int32_t ivalue;
        bool measured;  // readMeasured accepts it, with status and value
        std::int32_t status;
        float value;
    };
    const Row rows[] = {
        {"7", true, 7, true, 0, 7.0f},
        {"+5", true, 5, true, 0, 5.0f},
        {"2147483647", true, kMax, true, 0, 2147483647.0f},
        {"-2147483648", true, kMin, true, 0, -2147483648.0f},
        {"-0.0015", false, 0, true, 0, -0.0015f},
        {".5", false, 0, true, 0, 0.5f},
        {"+FFFFFFF", false, 0, true, QUIL_VALUE_PLUS_FFFFFFF, 0.0f},
        {"XXXXXXXX", false, 0, true, QUIL_VALUE_XXXXXXXX, 0.0f},
        {"2147483648", false, 0, true, 0, 2147483648.0f},
    };
    for (const Row& r : rows) {
        std::int32_t i = 99;
        EXPECT_EQ(readInteger(r.text, &i), r.integer) << '"' << r.text << '"';
        EXPECT_EQ(i, r.integer ? r.ivalue : 99) << '"' << r.text << '"';
        std::int32_t status = -1;
        float value = 99.0f;  // a special text must overwrite a stale value
        EXPECT_EQ(readMeasured(r.text, &status, &value), r.measured) << '"' << r.text << '"';
        EXPECT_EQ(status, r.measured ? r.status : -1) << '"' << r.text << '"';
        EXPECT_EQ(value, r.measured ? r.value : 99.0f) << '"' << r.text << '"';
    }
    // Refused by both, the outputs left alone ("," is never a decimal point).
    for (const char* text :
         {"", "abc", "nan", "0x10", "1e30", " 5", "5 ", "3.5mm", "0,5", "1.2.3", "-", "+FFFFFFFF", " XXXXXXXX"}) {
        std::int32_t i = 99, status = -1;
        float value = 99.0f;
        EXPECT_FALSE(readInteger(text, &i) || readMeasured(text, &status, &value)) << '"' << text << '"';
        EXPECT_EQ(std::make_tuple(i, status, value), std::make_tuple(99, -1, 99.0f)) << '"' << text << '"';
    }
}

float decimal(const char* text) {
    float v = -99.0f;
    EXPECT_TRUE(readDecimal(text, &v)) << text;
    return v;
}

TEST(CodecsReplyNumbers, DecimalsNarrowTheDoubleReading) {
    // Exactly as a double then narrowed, not a float read of its own.
    EXPECT_EQ(decimal("0.1"), static_cast<float>(0.1));
    // Just above the midpoint between 1 and the next float: a float reading
    // rounds up, the double reading lands on the midpoint and rounds to even.
    EXPECT_EQ(decimal("1.0000000596046448"), 1.0f);
    EXPECT_NE(std::strtof("1.0000000596046448", nullptr), 1.0f);
    // Beyond the float range there is no value to give.
    float v = 5.0f;
    EXPECT_FALSE(readDecimal("1000000000000000000000000000000000000000", &v));
    EXPECT_EQ(v, 5.0f);
}

TEST(CodecsReplyNumbers, UnaffectedByACommaDecimalLocale) {
    const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8"};
    const char* chosen = nullptr;
    for (const char* name : candidates) {
        if (std::setlocale(LC_ALL, name) != nullptr && std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
            chosen = name;
            break;
        }
    }
    if (chosen == nullptr) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a comma decimal separator is installed";
    }
    // The locale really is in effect for the C library's own conversion.
    EXPECT_EQ(std::atof("0.5"), 0.0) << chosen;
    EXPECT_EQ(std::atof("0,5"), 0.5) << chosen;

    EXPECT_EQ(decimal("12.345"), 12.345f);
    EXPECT_EQ(decimal("1.0000000596046448"), 1.0f);
    float v = 0.0f;
    EXPECT_FALSE(readDecimal("0,5", &v));
    std::setlocale(LC_ALL, "C");
}

// Types 0 to 3, 4 to 11 and 34 to 39 (the encoder models) make the groups;
// any other type is unknown and leaves the output alone.
TEST(CodecsModelGroup, GroupsAndGaps) {
    for (std::int32_t type : {kMin, -1, 0, 3, 4, 11, 12, 33, 34, 39, 40}) {
        const std::int32_t expected = type >= 0 && type <= 3     ? 3
                                      : type >= 4 && type <= 11  ? 5
                                      : type >= 34 && type <= 39 ? 7
                                                                 : -7;
        std::int32_t group = -7;
        EXPECT_EQ(modelGroupOf(&type, &group), expected == -7 ? QUIL_ERROR_UNKNOWN : QUIL_OK) << type;
        EXPECT_EQ(group, expected) << type;
        EXPECT_EQ(isEncoderModel(type), expected == 7) << type;
    }
}

TEST(CodecsScaledInteger, FloatProductTruncatedTowardZeroOrRefused) {
    struct Row {
        const char* text;
        std::int32_t scale;
        bool ok;
        std::int32_t result;
    };
    const Row rows[] = {
        {"0.53", 100, true, 52},    // the float reading of 0.53 lies below it
        {"-0.53", 100, true, -52},  // toward zero, not down
        {"0.29", 100, true, 29},    // the float product rounds up to 29 (28 in double)
        {"123.456", 1000, true, 123456},
        {"-2147483648", 1, true, kMin},  // exactly representable, converts as is
        // Beyond the 32-bit range no setting can hold it.
        {"10000000000", 1, false, 0},
        {"30000", 100000, false, 0},
        {"2147483647", 1, false, 0},  // rounds to 2^31 as a float
    };
    for (const Row& r : rows) {
        std::int32_t out = 77;
        EXPECT_EQ(scaledInteger(decimal(r.text), r.scale, &out), r.ok) << r.text << " x" << r.scale;
        EXPECT_EQ(out, r.ok ? r.result : 77) << r.text << " x" << r.scale;
    }
}

}  // namespace
}  // namespace quil
