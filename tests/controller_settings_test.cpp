// The controller settings commands that the settings files use, against the
// simulated controller: the exact command lines, the reply fields they read,
// their argument checks and their failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "quil/controller_settings.h"

namespace {

using namespace quil;
using quil::test::DeviceTest;

class ControllerSettings : public DeviceTest {};

TEST(DottedAddress, TwelveDigitsThreePerByte) {
    char out[kDottedAddressSize] = "untouched";
    ASSERT_TRUE(dottedAddress("127000000042", out));
    EXPECT_STREQ(out, "127.0.0.42");
    ASSERT_TRUE(dottedAddress("999999999999", out));
    EXPECT_STREQ(out, "999.999.999.999") << "the widest text still fits";
    ASSERT_TRUE(dottedAddress("2552552550009", out));
    EXPECT_STREQ(out, "255.255.255.0") << "characters after the twelfth are not read";
    std::strcpy(out, "untouched");
    EXPECT_FALSE(dottedAddress("12700000004", out));
    EXPECT_FALSE(dottedAddress("", out));
    EXPECT_STREQ(out, "untouched");
}

// Each command against an exact reply: the line sent and what was read.
TEST_F(ControllerSettings, CommandLinesAndTheFieldsTheyRead) {
    char address[kDottedAddressSize] = {};
    int32_t a = 0, b = 0, c = 0;
    uint8_t type = 9;
    const struct {
        const char* reply;
        std::function<int32_t()> call;
        const char* line;
        std::function<bool()> read;
    } cases[] = {
        {"SR,EH,I,127000000042", [&] { return GetIPAddress(kId, address); }, "SR,EH,I",
         [&] { return std::string(address) == "127.0.0.42"; }},
        {"SR,EH,G,127000000001", [&] { return GetDefaultGateway(kId, address); }, "SR,EH,G",
         [&] { return std::string(address) == "127.0.0.1"; }},
        {"SR,EH,M,255255255000", [&] { return GetSubnetMask(kId, address); }, "SR,EH,M",
         [&] { return std::string(address) == "255.255.255.0"; }},
        {"SR,CJ,2,1", [&] { return GetRunModeDetDir(kId, &a, &b); }, "SR,CJ", [&] { return a == 2 && b == 1; }},
        {"SR,CI,3,0000000500,000020", [&] { return GetInputModeMinTimePoint(kId, &a, &b, &c); }, "SR,CI",
         [&] { return a == 3 && b == 500 && c == 20; }},
        {"SW,EH", [&] { return SetBaudRate(kId, 4, 3); }, "SW,EH,B,4,3", nullptr},
        {"SR,EH,B,2,1", [&] { return GetBaudRate(kId, &a, &b); }, "SR,EH,B", [&] { return a == 2 && b == 1; }},
        {"SW,EH", [&] { return SetAutosendIndex(kId, 1); }, "SW,EH,C,1", nullptr},
        {"SR,EH,C,1", [&] { return GetAutosendIndex(kId, &a); }, "SR,EH,C", [&] { return a == 1; }},
        {"PV", [&] { return SetInvalidData(kId, 1); }, "PV,1", nullptr},
        {"PI,1",
         [&] {
             a = 0;
             return GetInvalidData(kId, &a);
         },
         "PI,0", [&] { return a == 1; }},
        {"PI,0",
         [&] {
             a = 3;  // the entry value is the command's argument
             return GetInvalidData(kId, &a);
         },
         "PI,3", [&] { return a == 0; }},
        {"SW,CK", [&] { return SetInOut_In(kId, 3); }, "SW,CK,3", nullptr},
        {"SR,CK,3", [&] { return GetInOut_In(kId, &a); }, "SR,CK", [&] { return a == 3; }},
        {"SW,CL", [&] { return SetInOut_InDQ(kId, 1); }, "SW,CL,1", nullptr},
        {"SR,CL,1", [&] { return GetInOut_InDQ(kId, &a); }, "SR,CL", [&] { return a == 1; }},
        {"SW,CM", [&] { return SetInOut_DataOut(kId, 2); }, "SW,CM,2", nullptr},
        {"SR,CM,2", [&] { return GetInOut_DataOut(kId, &a); }, "SR,CM", [&] { return a == 2; }},
        {"SW,CN", [&] { return SetInOut_MONIOut(kId, 0); }, "SW,CN,0", nullptr},
        {"SR,CN,4", [&] { return GetInOut_MONIOut(kId, &a); }, "SR,CN", [&] { return a == 4; }},
        {"SW,OA,M", [&] { return SetAVEOUTSelectState(kId, 2, "1010"); }, "SW,OA,M,02,1010", nullptr},
        {"SW,OI", [&] { return SetMeasurementTypeIndex(kId, 3, 2); }, "SW,OI,03,2", nullptr},
        {"SW,VK", [&] { return SetMoNiModeIndex(kId, 4, 1); }, "SW,VK,04,01", nullptr},
        {"SW,VJ", [&] { return SetMoNiMeasUpDown(kId, 1, 10.0, -5.5); }, "SW,VJ,01,+001000,-000550", nullptr},
        {"SW,VI", [&] { return SetMoNiVol(kId, 3, 1.0, 5.0); }, "SW,VI,03,001000,005000", nullptr},
        {"SW,OL", [&] { return SetReflactor(kId, 8, 1, 1.5); }, "SW,OL,08,1,+015000", nullptr},
        {"SW,OL", [&] { return SetReflactor(kId, 1, 0, -0.25); }, "SW,OL,01,0,-002500", nullptr},
        // Decimals meant as whole units reach them, whatever the binary double.
        {"SW,VJ", [&] { return SetMoNiMeasUpDown(kId, 1, 0.29, -0.57); }, "SW,VJ,01,+000029,-000057", nullptr},
        {"SW,VI", [&] { return SetMoNiVol(kId, 3, 1.005, 8.2); }, "SW,VI,03,001005,008200", nullptr},
        {"SW,OL", [&] { return SetReflactor(kId, 2, 1, 0.0029); }, "SW,OL,02,1,+000029", nullptr},
        {"SR,CP,0", [&] { return GetOUTNum(kId, &type); }, "SR,CP", [&] { return type == 0; }},
        {"SR,CP,2", [&] { return GetOUTNum(kId, &type); }, "SR,CP", [&] { return type == 1; }},
    };
    for (const auto& k : cases) {
        sim.clearReceived();
        sim.script().replyOnce(std::string(k.reply) + "\r\n");
        EXPECT_EQ(k.call(), QUIL_OK) << k.line;
        EXPECT_EQ(sent(1), std::vector<std::string>{k.line});
        if (k.read) {
            EXPECT_TRUE(k.read()) << k.line;
        }
    }
}

TEST_F(ControllerSettings, ArgumentChecksSendNothing) {
    const std::string longText(kMaxSelectionText + 1, '1');
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"baud 5", [&] { return SetBaudRate(kId, 5, 0); }, QUIL_ERROR_PARAMETER},
        {"baud -1", [&] { return SetBaudRate(kId, -1, 0); }, QUIL_ERROR_PARAMETER},
        {"parity 4", [&] { return SetBaudRate(kId, 0, 4); }, QUIL_ERROR_PARAMETER},
        {"selection OUT 5", [&] { return SetAVEOUTSelectState(kId, 5, "1"); }, QUIL_ERROR_RANGE},
        {"selection OUT 0", [&] { return SetAVEOUTSelectState(kId, 0, "1"); }, QUIL_ERROR_RANGE},
        {"selection with a line end", [&] { return SetAVEOUTSelectState(kId, 1, "1\r\nSW,CA,3"); },
         QUIL_ERROR_PARAMETER},
        {"selection too long", [&] { return SetAVEOUTSelectState(kId, 1, longText.c_str()); }, QUIL_ERROR_PARAMETER},
        {"selection null", [&] { return SetAVEOUTSelectState(kId, 1, nullptr); }, QUIL_ERROR_PARAMETER},
        {"type OUT 5", [&] { return SetMeasurementTypeIndex(kId, 5, 0); }, QUIL_ERROR_RANGE},
        {"type 3", [&] { return SetMeasurementTypeIndex(kId, 1, 3); }, QUIL_ERROR_VALUE},
        {"type -1", [&] { return SetMeasurementTypeIndex(kId, 1, -1); }, QUIL_ERROR_VALUE},
        {"monitor mode OUT 5", [&] { return SetMoNiModeIndex(kId, 5, 0); }, QUIL_ERROR_RANGE},
        {"monitor mode 3", [&] { return SetMoNiModeIndex(kId, 4, 3); }, QUIL_ERROR_VALUE},
        {"range OUT 9", [&] { return SetMoNiMeasUpDown(kId, 9, 1.0, 0.0); }, QUIL_ERROR_RANGE},
        {"range OUT 0", [&] { return SetMoNiMeasUpDown(kId, 0, 1.0, 0.0); }, QUIL_ERROR_RANGE},
        {"range equal", [&] { return SetMoNiMeasUpDown(kId, 1, 10.0, 10.0); }, QUIL_ERROR_VALUE},
        {"range reversed", [&] { return SetMoNiMeasUpDown(kId, 1, -1.0, 1.0); }, QUIL_ERROR_VALUE},
        {"range 7 digits", [&] { return SetMoNiMeasUpDown(kId, 1, 10000.0, 0.0); }, QUIL_ERROR_VALUE},
        {"range not a number", [&] { return SetMoNiMeasUpDown(kId, 1, NAN, 0.0); }, QUIL_ERROR_VALUE},
        {"range beyond int", [&] { return SetMoNiMeasUpDown(kId, 1, 1e300, 0.0); }, QUIL_ERROR_VALUE},
        {"volt OUT 9", [&] { return SetMoNiVol(kId, 9, 0.0, 1.0); }, QUIL_ERROR_RANGE},
        {"volt reversed", [&] { return SetMoNiVol(kId, 1, 5.0, 1.0); }, QUIL_ERROR_VALUE},
        {"volt 7 digits", [&] { return SetMoNiVol(kId, 1, 0.0, 1000.0); }, QUIL_ERROR_VALUE},
        {"reflector OUT 9", [&] { return SetReflactor(kId, 9, 1, 0.0); }, QUIL_ERROR_RANGE},
        {"reflector 7 digits", [&] { return SetReflactor(kId, 1, 1, 100.0); }, QUIL_ERROR_VALUE},
        {"reflector infinite", [&] { return SetReflactor(kId, 1, 1, INFINITY); }, QUIL_ERROR_VALUE},
        {"closed device", [&] { return SetInvalidData(5, 1); }, QUIL_ERROR_OPEN},
        {"device 64", [&] { return SetInOut_In(64, 1); }, QUIL_ERROR_DEVICE_ID},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    // Anything sent above would arrive before this line.
    sim.script().replyOnce("PV\r\n");
    ASSERT_EQ(SetInvalidData(kId, 0), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"PV,0"});
}

TEST_F(ControllerSettings, RepliesThatDoNotFitWriteNothing) {
    char address[kDottedAddressSize] = "untouched";
    int32_t a = -7, b = -7;
    uint8_t type = 9;
    const struct {
        const char* reply;
        std::function<int32_t()> call;
    } cases[] = {
        {"SR,EH,I", [&] { return GetIPAddress(kId, address); }},                     // no address field
        {"SR,EH,I,12700000004", [&] { return GetIPAddress(kId, address); }},         // eleven digits
        {"SR,EH,M,127,000", [&] { return GetSubnetMask(kId, address); }},            // five fields
        {"SR,EH,B,2", [&] { return GetBaudRate(kId, &a, &b); }},                     // parity missing
        {"SR,CJ,1", [&] { return GetRunModeDetDir(kId, &a, &b); }},                  // direction missing
        {"SR,CK,1,2", [&] { return GetInOut_In(kId, &a); }},                         // one field too many
        {"SR,CP", [&] { return GetOUTNum(kId, &type); }},                            // type missing
        {"SR,CP,x", [&] { return GetOUTNum(kId, &type); }},                          // type not a number
        {"SR,EH,I,127000x00042", [&] { return GetIPAddress(kId, address); }},        // a group not a number
        {"PI", [&] { return GetInvalidData(kId, &a); }},                             // value missing
        {"SR,EH,C,1,1", [&] { return GetAutosendIndex(kId, &a); }},                  // one field too many
        {"SR,CI,0,100", [&] { return GetInputModeMinTimePoint(kId, &a, &b, &b); }},  // point count missing
    };
    for (const auto& c : cases) {
        sim.script().replyOnce(std::string(c.reply) + "\r\n");
        EXPECT_EQ(c.call(), QUIL_ERROR_REPLY) << c.reply;
    }
    EXPECT_STREQ(address, "untouched");
    EXPECT_EQ(a, -7);
    EXPECT_EQ(b, -7);
    EXPECT_EQ(type, 9);
}

TEST_F(ControllerSettings, RefusedInMeasurementModeRetriedInSettingMode) {
    int32_t v = 0;
    sim.script().replyTo("SR,CK", "ER,SR,51\r\n").replyTo("SR,CK", "SR,CK,6\r\n");
    ASSERT_EQ(GetInOut_In(kId, &v), QUIL_OK);
    EXPECT_EQ(v, 6);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"SR,CK", "Q0", "SR,CK"}));

    // Another error is the result, without a second try.
    sim.clearReceived();
    sim.script().replyOnce("ER,SR,61\r\n");
    EXPECT_EQ(GetInOut_In(kId, &v), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(v, 6);
    EXPECT_EQ(sent(1), std::vector<std::string>{"SR,CK"});
}

}  // namespace
