// Result codes: their names and messages, and the controller's error numbers.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "quil.h"
#include "quil/results.h"

namespace {

TEST(ResultCodes, EveryCodeHasANameAndAMessageOfItsOwn) {
    std::set<std::string> names, messages;
    int known = 0;
    for (int32_t code = -1; code <= 8300; ++code) {
        const std::string name = quil_result_name(code);
        if (name == "QUIL_UNKNOWN_CODE") {
            EXPECT_STREQ(quil_result_message(code), "unknown result code") << code;
            continue;
        }
        ++known;
        names.insert(name);
        messages.insert(quil_result_message(code));
    }
    EXPECT_EQ(known, 25);
    EXPECT_EQ(names.size(), 25u);
    EXPECT_EQ(messages.size(), 25u);
    EXPECT_STREQ(quil_result_name(QUIL_ERROR_MODE), "QUIL_ERROR_MODE");
    EXPECT_EQ(QUIL_ERROR_MODE, 4101);
}

TEST(ResultCodes, ControllerErrorNumbersMapLikeAtoi) {
    const struct {
        const char* field;
        int32_t code;
    } cases[] = {
        {"50", 4097},  {"51", 4101},  {"60", 4098},    {"61", 4103},  {"62", 8207},  {"63", 4104},  {"64", 4105},
        {"68", 8207},  {"71", 4106},  {"88", 8196},    {"99", 4102},  {"7", 4102},   {"", 4102},    {"062", 8207},
        {" 51", 4101}, {"+64", 4105}, {"51abc", 4101}, {"abc", 4102}, {"-51", 4102}, {"5 1", 4102},
    };
    for (const auto& c : cases) EXPECT_EQ(quil::deviceErrorToCode(c.field), c.code) << '"' << c.field << '"';
    EXPECT_EQ(quil::deviceErrorToCode(nullptr), 4102);
}

}  // namespace
