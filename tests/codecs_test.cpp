#include "quil/codecs.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "quil.h"
#include "quil/model.h"

namespace quil {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(CodecsSpecialValue, OnlyExactSpecialTextsHaveAStatus) {
    struct Row {
        const char* text;
        int status;
    };
    const Row rows[] = {
        {"-FFFFFFF", QUIL_VALUE_MINUS_FFFFFFF},
        {"+FFFFFFF", QUIL_VALUE_PLUS_FFFFFFF},
        {"XXXXXXXX", QUIL_VALUE_XXXXXXXX},
        {"xxxxxxxx", QUIL_VALUE_NORMAL},  // case matters
        {"+ffffffF", QUIL_VALUE_NORMAL},
        {"+FFFFFFFF", QUIL_VALUE_NORMAL},  // eight F: a prefix match is not enough
        {"-FFFFFFFF", QUIL_VALUE_NORMAL},
        {"+FFFFFF", QUIL_VALUE_NORMAL},
        {"XXXXXXX", QUIL_VALUE_NORMAL},
        {"XXXXXXXXX", QUIL_VALUE_NORMAL},
        {" XXXXXXXX", QUIL_VALUE_NORMAL},
        {"XXXXXXXX ", QUIL_VALUE_NORMAL},
        {"FFFFFFF", QUIL_VALUE_NORMAL},
        {"", QUIL_VALUE_NORMAL},
        {"12.5", QUIL_VALUE_NORMAL},
    };
    for (const Row& r : rows) EXPECT_EQ(parseSpecialValue(r.text), r.status) << '"' << r.text << '"';
}

// The reply number forms: what reads, to which value, and what is refused
// with the outputs left alone.
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
        {"-0012", true, -12, true, 0, -12.0f},
        {"+5", true, 5, true, 0, 5.0f},
        {"2147483647", true, kMax, true, 0, 2147483647.0f},
        {"-2147483648", true, kMin, true, 0, -2147483648.0f},
        {"12.345", false, 0, true, 0, 12.345f},
        {"-0.0015", false, 0, true, 0, -0.0015f},
        {"+001.500", false, 0, true, 0, 1.5f},
        {"5.", false, 0, true, 0, 5.0f},
        {".5", false, 0, true, 0, 0.5f},
        {"+FFFFFFF", false, 0, true, QUIL_VALUE_PLUS_FFFFFFF, 0.0f},
        {"-FFFFFFF", false, 0, true, QUIL_VALUE_MINUS_FFFFFFF, 0.0f},
        {"XXXXXXXX", false, 0, true, QUIL_VALUE_XXXXXXXX, 0.0f},
        {"2147483648", false, 0, true, 0, 2147483648.0f},
        {"99999999999", false, 0, true, 0, 99999999999.0f},
        {"-2147483649", false, 0, true, 0, -2147483649.0f},
        // Refused by both.
        {"", false, 0, false, 0, 0},
        {"abc", false, 0, false, 0, 0},
        {"nan", false, 0, false, 0, 0},
        {"inf", false, 0, false, 0, 0},
        {"0x10", false, 0, false, 0, 0},
        {"1e30", false, 0, false, 0, 0},
        {"1e3", false, 0, false, 0, 0},
        {" 5", false, 0, false, 0, 0},
        {"5 ", false, 0, false, 0, 0},
        {"5abc", false, 0, false, 0, 0},
        {"3.5mm", false, 0, false, 0, 0},
        {"0,5", false, 0, false, 0, 0},  // "," is never a decimal point
        {"1.2.3", false, 0, false, 0, 0},
        {"+", false, 0, false, 0, 0},
        {"-", false, 0, false, 0, 0},
        {".", false, 0, false, 0, 0},
        {"--1", false, 0, false, 0, 0},
        {"+FFFFFFFF", false, 0, false, 0, 0},
        {"xxxxxxxx", false, 0, false, 0, 0},
        {" XXXXXXXX", false, 0, false, 0, 0},
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
}

float decimal(const char* text) {
    float v = -99.0f;
    EXPECT_TRUE(readDecimal(text, &v)) << text;
    return v;
}

TEST(CodecsReplyNumbers, DecimalsNarrowTheDoubleReading) {
    // Exactly as a double then narrowed, not a float read of its own.
    EXPECT_EQ(decimal("0.1"), static_cast<float>(0.1));
    // Just above the midpoint between 1 and the next float: a direct float
    // reading rounds up, while the double reading lands on the midpoint and
    // then rounds to even, 1.0. (17 digits: longer than the exact reading.)
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

TEST(CodecsSigned6, SignAndAtLeastSixDigits) {
    struct Row {
        std::int32_t v;
        const char* text;
    };
    const Row rows[] = {
        {123, "+000123"},    {-1500, "-001500"},   {0, "+000000"},        {1, "+000001"},        {-1, "-000001"},
        {999999, "+999999"}, {-999999, "-999999"}, {1000000, "+1000000"}, {kMax, "+2147483647"}, {kMin, "-2147483648"},
    };
    for (const Row& r : rows) {
        char out[16];
        std::memset(out, '#', sizeof out);
        formatSigned6(r.v, out);
        EXPECT_STREQ(out, r.text) << r.v;
        // Nothing is written past the documented size.
        for (std::size_t i = kSigned6TextSize; i < sizeof out; ++i) EXPECT_EQ(out[i], '#') << r.v;
    }
}

TEST(CodecsSigned6, DigitCountOfTheAbsoluteValue) {
    struct Row {
        std::int32_t v;
        int digits;
    };
    const Row rows[] = {
        {0, 1},       {-5, 1},      {9, 1},        {10, 2},    {-10, 2},       {999999, 6},
        {-999999, 6}, {1000000, 7}, {-1000000, 7}, {kMax, 10}, {kMin + 1, 10}, {kMin, 11},
    };
    for (const Row& r : rows) EXPECT_EQ(digitCount(r.v), r.digits) << r.v;
}

TEST(CodecsOutMask, MaskToText) {
    struct Row {
        std::int32_t mask;
        const char* text;
        int selected;
    };
    const Row rows[] = {
        {5, "1010", 2},  {8, "0001", 1}, {15, "1111", 4},
        {0, "0000", 0},  {1, "1000", 1}, {0x31, "1000", 1},  // bits above bit 3 are ignored
        {-1, "1111", 4},
    };
    for (const Row& r : rows) {
        char text[8];
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(outMaskToText(text, r.mask), r.selected) << r.mask;
        EXPECT_STREQ(text, r.text) << r.mask;
        EXPECT_EQ(text[kOutMaskTextSize], '#') << r.mask;
    }
}

TEST(CodecsOutMask, TextToMask) {
    struct Row {
        const char* text;
        std::int32_t result;
        std::int32_t mask;  // expected mask; the preset 77 when refused
    };
    const Row rows[] = {
        {"1001", QUIL_OK, 9},
        {"1a0b", QUIL_OK, 1},
        {"0000", QUIL_OK, 0},
        {"1111", QUIL_OK, 15},
        {"0110", QUIL_OK, 6},
        {"2222", QUIL_OK, 0},
        {"10010", QUIL_ERROR_FORMAT, 77},
        {"100", QUIL_ERROR_FORMAT, 77},
        {"", QUIL_ERROR_FORMAT, 77},
    };
    for (const Row& r : rows) {
        std::int32_t mask = 77;
        EXPECT_EQ(outTextToMask(r.text, &mask), r.result) << '"' << r.text << '"';
        EXPECT_EQ(mask, r.mask) << '"' << r.text << '"';
    }
}

TEST(CodecsOutMask, RoundTripsEveryMask) {
    for (std::int32_t m = 0; m < 16; ++m) {
        char text[kOutMaskTextSize];
        outMaskToText(text, m);
        std::int32_t back = -1;
        ASSERT_EQ(outTextToMask(text, &back), QUIL_OK) << m;
        EXPECT_EQ(back, m);
    }
}

TEST(CodecsUnitScale, TableAndUntouchedPreset) {
    const std::int32_t expected[] = {100, 1000, 10000, 100000, 10, 100, 1000};
    for (std::uint32_t i = 0; i < 7; ++i) {
        std::int32_t scale = 1;
        EXPECT_EQ(unitScale(i, &scale), QUIL_OK);
        EXPECT_EQ(scale, expected[i]) << i;
    }
    // Out-of-table indices, a negative one among them, keep whatever preset.
    const std::uint32_t others[] = {7, 8, 100, static_cast<std::uint32_t>(-1)};
    for (std::int32_t preset : {1, 42}) {
        for (std::uint32_t i : others) {
            std::int32_t scale = preset;
            EXPECT_EQ(unitScale(i, &scale), QUIL_OK);
            EXPECT_EQ(scale, preset) << i;
        }
    }
}

TEST(CodecsModelGroup, GroupsAndGaps) {
    struct Row {
        std::int32_t type;
        std::int32_t result;
        std::int32_t group;  // expected group; the preset -7 when refused
    };
    const Row rows[] = {
        {0, QUIL_OK, 3},
        {3, QUIL_OK, 3},
        {4, QUIL_OK, 5},
        {11, QUIL_OK, 5},
        {34, QUIL_OK, 7},
        {39, QUIL_OK, 7},
        {-1, QUIL_ERROR_UNKNOWN, -7},
        {12, QUIL_ERROR_UNKNOWN, -7},
        {33, QUIL_ERROR_UNKNOWN, -7},
        {40, QUIL_ERROR_UNKNOWN, -7},
        {kMin, QUIL_ERROR_UNKNOWN, -7},
    };
    for (const Row& r : rows) {
        std::int32_t group = -7;
        EXPECT_EQ(modelGroupOf(&r.type, &group), r.result) << r.type;
        EXPECT_EQ(group, r.group) << r.type;
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
        {"0.53", 100, true, 52},  // the float reading of 0.53 lies below it
        {"0.251", 1000, true, 250},
        {"-0.53", 100, true, -52},  // toward zero, not down
        {"0.29", 100, true, 29},    // the float product rounds up to 29 (28 in double)
        {"12.5", 10, true, 125},
        {"123.456", 1000, true, 123456},
        {"-1.5", 1, true, -1},
        {"-2147483648", 1, true, kMin},  // exactly representable, converts as is
        // Beyond the 32-bit range no setting can hold it.
        {"10000000000", 1, false, 0},
        {"-10000000000", 1, false, 0},
        {"30000", 100000, false, 0},
        {"-30000", 100000, false, 0},
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
