// "#J" register and batch-streaming messages, and the functions built on them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device_fixture.h"
#include "link/json.h"

namespace {

using quil::test::DeviceTest;

std::string regReadReply(const std::string& inner, const std::string& state = "0") {
    return "#J,{\"retState\":" + state + ",\"retValue\":{\"regRead\":{" + inner + "}}}\r\n";
}

TEST(JsonReplyHead, CodesOfTheReplyCheck) {
    const struct {
        const char* reply;
        int32_t code;
    } cases[] = {
        {"ER,#J,51", 51}, {"er,#j,51", 51}, {"Er,#J,07", 7},   {"ER,#J,5", -2}, {"ER,XY,51", -1},
        {"ER,#J;51", -1}, {"#J,{}", 0},     {"#j", 0},         {"#", -3},       {"", -3},
        {"MD,35", -2},    {"#K,{}", -2},    {"ER,#J,51x", -2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(quil::link::checkReplyHead("#J\r\n", c.reply, static_cast<int32_t>(std::strlen(c.reply))), c.code)
            << c.reply;
}

class Json : public DeviceTest {};

TEST_F(Json, RegisterReadReplies) {
    const struct {
        std::string reply;
        int32_t code;
        uint32_t value;  // 99: untouched
    } cases[] = {
        {regReadReply("\"ret\":0,\"Read\":4000000000"), 0, 4000000000u},
        {regReadReply("\"ret\":1,\"Read\":7"), -2, 7},
        {regReadReply("\"ret\":0"), -22, 99},
        {regReadReply("\"Read\":7"), -21, 99},
        {regReadReply("\"RET\":0,\"read\":8"), 0, 8},
        {"#J,{\"retState\":0,\"retValue\":{}}\r\n", -20, 99},
        {regReadReply("\"ret\":0,\"Read\":7", "3"), -1, 99},
        {"#J,{\"retValue\":{\"regRead\":{\"ret\":0,\"Read\":7}}}\r\n", -2, 99},
        {"#J,this is not json\r\n", -2, 99},
        {"er,#j,64\r\n", 64, 99},
        {"ER,#J,00\r\n", -1, 99},
        // "Read" is a whole number that fits 32 bits, or no value.
        {regReadReply("\"ret\":0,\"Read\":\"12\""), -22, 99},
        {regReadReply("\"ret\":0,\"Read\":-1"), 0, 4294967295u},
        {regReadReply("\"ret\":0,\"Read\":4294967296"), -22, 99},
        {regReadReply("\"ret\":1,\"Read\":3.5"), -22, 99},
        {"\r\n", -3, 99},
    };
    for (const auto& c : cases) {
        sim.script().replyOnce(c.reply);
        uint32_t v = 99;
        EXPECT_EQ(quil::link::jsonRegRead(kId, 1, 4108, &v), c.code) << c.reply;
        EXPECT_EQ(v, c.value) << c.reply;
    }
    // The request goes out as cJSON prints it, formatted.
    EXPECT_EQ(sent(1)[0], "#J,{\n\t\"regRead\":\t{\n\t\t\"head\":\t1,\n\t\t\"addr\":\t4108\n\t}\n}");
}

class RunningTime : public DeviceTest {
public:
    RunningTime() : DeviceTest(0) {}  // a four-head model
};

TEST_F(RunningTime, AddressPerHeadAndCodesPassedBack) {
    uint32_t t = 0;
    ASSERT_EQ(QUIL_GetDeviceRuningTime(kId, 0, &t), 0);
    EXPECT_EQ(t, 86400u) << "the controller's own, at its address";
    ASSERT_EQ(QUIL_GetDeviceRuningTime(kId, 4, &t), 0);
    EXPECT_EQ(t, 14400u) << "head 4's";
    sim.clearReceived();
    EXPECT_EQ(QUIL_GetDeviceRuningTime(kId, 5, &t), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_GetDeviceRuningTime(kId, -1, &t), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_GetDeviceRuningTime(kId, 1, nullptr), QUIL_ERROR_NULL_POINTER);
    EXPECT_EQ(QUIL_GetDeviceRuningTime(64, 1, &t), QUIL_ERROR_DEVICE_ID);
    sim.script().replyOnce("ER,#J,71\r\n");
    EXPECT_EQ(QUIL_GetDeviceRuningTime(kId, 1, &t), 71) << "the controller's number, not a QUIL_ code";
    EXPECT_EQ(sent(1).size(), 1u) << "the refused calls sent nothing";
}

class SpotType : public DeviceTest {
public:
    SpotType() : DeviceTest(12) {}
};

TEST_F(SpotType, TypeFromTheRegisterTextAfterItsPreparation) {
    const struct {
        const char* read;
        int32_t code;
        uint32_t type;
    } cases[] = {{"65", 0, 0},
                 {"66", 0, 1},
                 {"48", 0, 0},
                 {"49", 0, 1},
                 {"50", QUIL_ERROR_UNKNOWN, 9},
                 {" 65", QUIL_ERROR_UNKNOWN, 9},
                 {"6", QUIL_ERROR_UNKNOWN, 9},
                 {"", QUIL_ERROR_UNKNOWN, 9}};
    for (const auto& c : cases) {
        sim.clearReceived();
        sim.script().replyTo("#J,{\"regWrite\"", "#J,{\"retState\":0}\r\n");
        const std::string read =
            *c.read ? std::string(",\"retValue\":{\"regRead\":{\"ret\":0,\"Read\":") + c.read + "}}" : "";
        sim.script().replyTo("#J,{\"regRead\"", "#J,{\"retState\":0" + read + "}\r\n");
        uint32_t type = 9;
        EXPECT_EQ(QUIL_GetCameraSpotType(kId, &type), c.code) << c.read;
        EXPECT_EQ(type, c.type) << c.read;
        EXPECT_EQ(sent(3),
                  (std::vector<std::string>{"MD", "#J,{\"regWrite\":{\"head\":0,\"addr\":148,\"data\":3238135296}}",
                                            "#J,{\"regRead\":{\"head\":0,\"addr\":4164}}"}));
    }
    EXPECT_EQ(QUIL_GetCameraSpotType(kId, nullptr), QUIL_ERROR_PARAMETER);
}

TEST_F(SpotType, ModelsWithoutASpotTypeSendNoJson) {
    uint32_t type = 9;
    // A model code that is not a whole number is no model, not model 12.
    const struct {
        const char* md;
        int32_t code;
    } cases[] = {{"MD,20\r\n", QUIL_ERROR_UNSUPPORTED}, {"MD,12x\r\n", QUIL_ERROR_REPLY}, {"MD\r\n", QUIL_ERROR_REPLY}};
    for (const auto& c : cases) {
        sim.clearReceived();
        sim.script().replyOnce(c.md);
        EXPECT_EQ(QUIL_GetCameraSpotType(kId, &type), c.code) << c.md;
        quil::platform::sleepMs(50);
        EXPECT_EQ(sim.receivedLines(), std::vector<std::string>{"MD"}) << c.md;
    }
    EXPECT_EQ(type, 9u);
}

}  // namespace
