#include <gtest/gtest.h>

#include <set>
#include <string>

#include "quil.h"
#include "quil/results.h"

namespace {

struct Code {
    int32_t value;
    const char* name;
};

// The codes applications compare against; their values are part of the ABI.
const Code kCodes[] = {
    {0, "QUIL_OK"},
    {4097, "QUIL_ERROR_DEVICE_E50"},
    {4098, "QUIL_ERROR_DEVICE_E60"},
    {4099, "QUIL_ERROR_TIMEOUT"},
    {4101, "QUIL_ERROR_MODE"},
    {4102, "QUIL_ERROR_UNKNOWN"},
    {4103, "QUIL_ERROR_PARAMETER"},
    {4104, "QUIL_ERROR_DEVICE_E63"},
    {4105, "QUIL_ERROR_RANGE"},
    {4106, "QUIL_ERROR_DEVICE_E71"},
    {8192, "QUIL_ERROR_OPEN"},
    {8194, "QUIL_ERROR_SEND"},
    {8195, "QUIL_ERROR_REPLY"},
    {8196, "QUIL_ERROR_DEVICE_E88"},
    {8197, "QUIL_ERROR_NO_DATA"},
    {8199, "QUIL_ERROR_CLOSE"},
    {8200, "QUIL_ERROR_OVERFLOW"},
    {8201, "QUIL_ERROR_DEVICE_ID"},
    {8202, "QUIL_ERROR_NO_LINK"},
    {8203, "QUIL_ERROR_IP_IN_USE"},
    {8204, "QUIL_ERROR_WAIT"},
    {8205, "QUIL_ERROR_NULL_POINTER"},
    {8206, "QUIL_ERROR_FORMAT"},
    {8207, "QUIL_ERROR_VALUE"},
    {8208, "QUIL_ERROR_UNSUPPORTED"},
};

TEST(ResultCodes, EveryCodeHasItsValueNameAndMeaning) {
    std::set<std::string> messages;
    for (const Code& c : kCodes) {
        EXPECT_STREQ(quil_result_name(c.value), c.name);
        messages.insert(quil_result_message(c.value));
    }
    EXPECT_EQ(messages.size(), std::size(kCodes)) << "every code has a message of its own";
    EXPECT_EQ(QUIL_ERROR_MODE, 4101);
    EXPECT_EQ(QUIL_ERROR_UNSUPPORTED, 8208);
    EXPECT_STREQ(quil_result_name(4100), "QUIL_UNKNOWN_CODE");
    EXPECT_STREQ(quil_result_name(-1), "QUIL_UNKNOWN_CODE");
    EXPECT_STREQ(quil_result_message(8193), "unknown result code");
}

TEST(ResultCodes, ControllerErrorNumbersMapLikeAtoi) {
    const struct {
        const char* field;
        int32_t code;
    } cases[] = {
        {"50", 4097},  {"51", 4101},  {"60", 4098},  {"61", 4103},    {"62", 8207},  {"63", 4104},  {"64", 4105},
        {"68", 8207},  {"71", 4106},  {"88", 8196},  {"99", 4102},    {"7", 4102},   {"0", 4102},   {"", 4102},
        {"062", 8207}, {" 51", 4101}, {"+64", 4105}, {"51abc", 4101}, {"abc", 4102}, {"-51", 4102}, {"5 1", 4102},
    };
    for (const auto& c : cases) EXPECT_EQ(quil::deviceErrorToCode(c.field), c.code) << '"' << c.field << '"';
    EXPECT_EQ(quil::deviceErrorToCode(nullptr), 4102);
}

}  // namespace
