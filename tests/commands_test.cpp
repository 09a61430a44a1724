// Measured values and control commands against the simulated controller.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "device_fixture.h"
#include "log_dir.h"

namespace {

using quil::test::DeviceTest;

class Commands : public DeviceTest {};

TEST_F(Commands, ArgumentErrorsSendNothing) {
    QuilCalcData d[4] = {};
    int32_t program = 0;
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"Single OUT 0", [&] { return QUIL_GetCalcDataSingle(kId, 0, d); }, QUIL_ERROR_RANGE},
        {"Single OUT 9", [&] { return QUIL_GetCalcDataSingle(kId, 9, d); }, QUIL_ERROR_RANGE},
        {"Single OUT 0 and null", [&] { return QUIL_GetCalcDataSingle(kId, 0, nullptr); }, QUIL_ERROR_RANGE},
        {"Single null", [&] { return QUIL_GetCalcDataSingle(kId, 8, nullptr); }, QUIL_ERROR_PARAMETER},
        {"Multi mask 0", [&] { return QUIL_GetCalcDataMulti(kId, 0, d); }, QUIL_ERROR_RANGE},
        {"Multi mask 16", [&] { return QUIL_GetCalcDataMulti(kId, 16, d); }, QUIL_ERROR_RANGE},
        {"Multi null", [&] { return QUIL_GetCalcDataMulti(kId, 3, nullptr); }, QUIL_ERROR_PARAMETER},
        {"ALL null", [&] { return QUIL_GetCalcDataALL(kId, nullptr); }, QUIL_ERROR_PARAMETER},
        {"SetMode 2", [&] { return QUIL_SetMode(kId, 2); }, QUIL_ERROR_PARAMETER},
        {"SetMode -1", [&] { return QUIL_SetMode(kId, -1); }, QUIL_ERROR_PARAMETER},
        {"TimingSingle 5", [&] { return QUIL_SetTimingSingle(kId, 5, 1); }, QUIL_ERROR_RANGE},
        {"TimingMulti 16", [&] { return QUIL_SetTimingMulti(kId, 16, 1); }, QUIL_ERROR_RANGE},
        {"ZeroSingle 5", [&] { return QUIL_SetZeroSingle(kId, 5, 1); }, QUIL_ERROR_RANGE},
        {"ZeroSingle 0", [&] { return QUIL_SetZeroSingle(kId, 0, 0); }, QUIL_ERROR_RANGE},
        {"ZeroMulti 0", [&] { return QUIL_SetZeroMulti(kId, 0, 1); }, QUIL_ERROR_RANGE},
        {"ResetSingle 5", [&] { return QUIL_SetResetSingle(kId, 5); }, QUIL_ERROR_RANGE},
        {"ResetMulti 16", [&] { return QUIL_SetResetMulti(kId, 16); }, QUIL_ERROR_RANGE},
        {"ProgramNo 8", [&] { return QUIL_SetProgramNo(kId, 8); }, QUIL_ERROR_PARAMETER},
        {"ProgramNo -1", [&] { return QUIL_SetProgramNo(kId, -1); }, QUIL_ERROR_PARAMETER},
        {"GetProgramNo null", [&] { return QUIL_GetProgramNo(kId, nullptr); }, QUIL_ERROR_PARAMETER},
        {"closed device", [&] { return QUIL_GetProgramNo(7, &program); }, QUIL_ERROR_OPEN},
        {"device 64", [&] { return QUIL_SetResetSync(64); }, QUIL_ERROR_DEVICE_ID},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    // Anything sent above would arrive before this line.
    ASSERT_EQ(QUIL_SetResetSync(kId), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"DA"});
    EXPECT_EQ(d[0].OutNo, 0) << "caller memory untouched";
}

TEST_F(Commands, ControlCommandsSendTheirExactText) {
    const struct {
        std::function<int32_t()> call;
        const char* line;
    } cases[] = {
        {[&] { return QUIL_SetTimingSingle(kId, 3, 1); }, "TS,1,03"},
        {[&] { return QUIL_SetTimingMulti(kId, 5, 0); }, "TM,0,1010"},
        {[&] { return QUIL_SetTimingSync(kId, -1); }, "TP,-1"},
        {[&] { return QUIL_SetZeroSingle(kId, 4, 7); }, "VS,04"},
        {[&] { return QUIL_SetZeroSingle(kId, 4, 0); }, "WS,04"},
        {[&] { return QUIL_SetZeroMulti(kId, 3, 1); }, "VM,1100"},
        {[&] { return QUIL_SetZeroMulti(kId, 3, 0); }, "WM,1100"},
        {[&] { return QUIL_SetZeroSync(kId, 2); }, "VA"},
        {[&] { return QUIL_SetZeroSync(kId, 0); }, "WA"},
        {[&] { return QUIL_SetResetSingle(kId, 1); }, "DS,01"},
        {[&] { return QUIL_SetResetMulti(kId, 8); }, "DM,0001"},
        {[&] { return QUIL_SetResetSync(kId); }, "DA"},
        {[&] { return QUIL_SetProgramNo(kId, 0); }, "PW,0"},
        {[&] { return QUIL_SetProgramNo(kId, 7); }, "PW,7"},
    };
    for (const auto& c : cases) {
        sim.clearReceived();
        EXPECT_EQ(c.call(), QUIL_OK) << c.line;
        EXPECT_EQ(sent(1), std::vector<std::string>{c.line});
    }
    int32_t program = -1;
    EXPECT_EQ(QUIL_GetProgramNo(kId, &program), QUIL_OK);
    EXPECT_EQ(program, 7);
}

TEST_F(Commands, WrongFieldCountsAreRefused) {
    sim.script().replyOnce("DA,1\r\n");
    EXPECT_EQ(QUIL_SetResetSync(kId), QUIL_ERROR_REPLY);
    sim.script().replyOnce("TS,1\r\n");
    EXPECT_EQ(QUIL_SetTimingSingle(kId, 1, 1), QUIL_ERROR_REPLY);
    int32_t program = 42;
    sim.script().replyOnce("PR\r\n");
    EXPECT_EQ(QUIL_GetProgramNo(kId, &program), QUIL_ERROR_REPLY);
    EXPECT_EQ(program, 42);
    QuilCalcData d[4] = {{9, 9, 9.0f}, {9, 9, 9.0f}, {9, 9, 9.0f}, {9, 9, 9.0f}};
    for (const char* reply : {"MA,1,2,3\r\n", "MA,1,2,3,4,5\r\n"}) {
        sim.script().replyOnce(reply);
        EXPECT_EQ(QUIL_GetCalcDataALL(kId, d), QUIL_ERROR_REPLY) << reply;
    }
    sim.script().replyOnce("MM,1111,1,2,3\r\n");
    EXPECT_EQ(QUIL_GetCalcDataMulti(kId, 15, d), QUIL_ERROR_REPLY);
    for (const auto& r : d) EXPECT_EQ(r.OutNo, 9);
    // A reply in answer to another command is not taken.
    sim.script().replyOnce("MM,1,2\r\n");
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 1, d), QUIL_ERROR_REPLY);
}

TEST_F(Commands, MeasuredValuesAndSpecialTexts) {
    auto& m = sim.model();
    m.setOutValue(1, "+0012.345");
    m.setOutValue(2, "XXXXXXXX");
    m.setOutValue(3, "+FFFFFFF");
    m.setOutValue(4, "-FFFFFFF");
    m.setOutValue(8, "-0000.500");
    QuilCalcData one{};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 8, &one), QUIL_OK);
    EXPECT_EQ(one.OutNo, 8);
    EXPECT_EQ(one.status, QUIL_VALUE_NORMAL);
    EXPECT_FLOAT_EQ(one.value, -0.5f);

    QuilCalcData all[4] = {};
    ASSERT_EQ(QUIL_GetCalcDataALL(kId, all), QUIL_OK);
    const int32_t status[4] = {QUIL_VALUE_NORMAL, QUIL_VALUE_XXXXXXXX, QUIL_VALUE_PLUS_FFFFFFF,
                               QUIL_VALUE_MINUS_FFFFFFF};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(all[i].OutNo, i + 1);
        EXPECT_EQ(all[i].status, status[i]);
    }
    EXPECT_FLOAT_EQ(all[0].value, 12.345f);
    EXPECT_EQ(all[1].value, 0.0f);

    // Mask 10 selects OUT2 and OUT4: two records, packed.
    QuilCalcData multi[4] = {{0, 0, 0}, {0, 0, 0}, {77, 77, 77}, {77, 77, 77}};
    sim.clearReceived();
    ASSERT_EQ(QUIL_GetCalcDataMulti(kId, 10, multi), QUIL_OK);
    EXPECT_EQ(sent(1), std::vector<std::string>{"MM,0101"});
    EXPECT_EQ(multi[0].OutNo, 2);
    EXPECT_EQ(multi[0].status, QUIL_VALUE_XXXXXXXX);
    EXPECT_EQ(multi[1].OutNo, 4);
    EXPECT_EQ(multi[1].status, QUIL_VALUE_MINUS_FFFFFFF);
    EXPECT_EQ(multi[2].OutNo, 77);
    // Mask 8 fills only the first record, with OUT4.
    ASSERT_EQ(QUIL_GetCalcDataMulti(kId, 8, multi), QUIL_OK);
    EXPECT_EQ(multi[0].OutNo, 4);
    EXPECT_EQ(multi[1].OutNo, 4);

    // A reply without the value field carries no value: nothing is written.
    sim.script().replyOnce("MS,01\r\n");
    one = {5, 5, 5.0f};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 1, &one), QUIL_ERROR_REPLY);
    EXPECT_EQ(one.OutNo, 5);
    EXPECT_EQ(one.status, 5);
    EXPECT_EQ(one.value, 5.0f);
}

TEST_F(Commands, RefusedInTheWrongModeRecoversOnce) {
    ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);  // the controller now refuses measurement commands
    sim.clearReceived();
    sim.model().setOutValue(3, "1.000");
    QuilCalcData d{};
    ASSERT_EQ(QUIL_GetCalcDataSingle(kId, 3, &d), QUIL_OK);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"MS,03", "R0", "MS,03"}));
    EXPECT_FLOAT_EQ(d.value, 1.0f);

    // Refused twice: the second refusal is the result, with no third try.
    sim.clearReceived();
    sim.script().replyTo("MS", "ER,MS,51\r\n", 2);
    EXPECT_EQ(QUIL_GetCalcDataSingle(kId, 3, &d), QUIL_ERROR_MODE);
    EXPECT_EQ(sent(3), (std::vector<std::string>{"MS,03", "R0", "MS,03"}));
    quil::platform::sleepMs(50);
    EXPECT_EQ(sim.receivedLines().size(), 3u);

    // Other controller errors are not retried.
    sim.clearReceived();
    sim.script().replyTo("DA", "ER,DA,64\r\n");
    EXPECT_EQ(QUIL_SetResetSync(kId), QUIL_ERROR_RANGE);
    EXPECT_EQ(sent(1), std::vector<std::string>{"DA"});
}

TEST_F(Commands, TwoThreadsOnOneDeviceNeverSeeEachOthersReplies) {
    sim.model().setOutValue(1, "1.500");
    sim.model().setOutValue(2, "-2.250");
    std::atomic<int> wrong{0};
    auto worker = [&](int32_t out, float expected) {
        for (int i = 0; i < 300; ++i) {
            QuilCalcData d{};
            if (QUIL_GetCalcDataSingle(kId, out, &d) != QUIL_OK || d.value != expected || d.OutNo != out) ++wrong;
        }
    };
    std::thread a(worker, 1, 1.5f), b(worker, 2, -2.25f);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The first open of the process sets up the trace log from the INI file
// beside the application.
class TraceLines : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(logDir.ok()); }
    quil::test::LogDir logDir;
};

TEST_F(TraceLines, CommandFunctionsTraceEntryFailureAndSuccess) {
    logDir.writeIni(1, 3);
    quil::sim::Simulator sim(quil::sim::Options{.model = 36});
    ASSERT_TRUE(sim.start());
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "FILE FIND enableLog:1 levelLog:3\r\n");
    QuilCalcData d{};
    sim.model().setOutValue(3, "2.500");
    ASSERT_EQ(QUIL_GetCalcDataSingle(0, 3, &d), QUIL_OK);
    sim.script().silence();
    EXPECT_EQ(QUIL_GetCalcDataSingle(0, 3, &d), QUIL_ERROR_TIMEOUT);
    EXPECT_EQ(QUIL_GetCalcDataSingle(0, 9, &d), QUIL_ERROR_RANGE);
    ASSERT_EQ(QUIL_CloseDevice(0), QUIL_OK);

    const std::string text = logDir.log();
    for (const char* expected : {
             "(QUIL_OpenDeviceETHER:",
             ") DeviceID:0\n",
             ") success DeviceID:0 s_server:",
             "(QUIL_GetDeviceType:",
             ") Success DeviceID:0 deviceType:36\n",
             "I/NO_TAG   [",
             "(writeTCP:",
             ")writeTCP send success command:MS,03\r\n",
             ") Success DeviceID:0 OutNo:3 value:2.500000\n",
             ") send command MS fail DeviceID:0 OutNo:3  rc:4099\n",
             "(QUIL_CloseDevice:",
             ") success DeviceID:0\n",
         })
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
    // Every line carries the header, and the failed range check only its entry line.
    std::istringstream lines(text);
    std::string line;
    int entries = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line == "\r" || line.rfind("MS,03", 0) == 0) continue;  // a logged command's CR LF
        EXPECT_TRUE(line.rfind("E/NO_TAG   [", 0) == 0 || line.rfind("I/NO_TAG   [", 0) == 0) << line;
        if (line.find("(QUIL_GetCalcDataSingle:") != std::string::npos &&
            line.find(") DeviceID:0") != std::string::npos)
            ++entries;
    }
    EXPECT_EQ(entries, 3);
}

TEST_F(TraceLines, NothingIsWrittenWhileTheIniSwitchesLoggingOff) {
    quil::sim::Simulator sim;
    ASSERT_TRUE(sim.start());
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "FILE FIND enableLog:0 levelLog:1\r\n");
    QuilCalcData d{};
    EXPECT_EQ(QUIL_GetCalcDataSingle(0, 1, &d), QUIL_OK);
    EXPECT_EQ(QUIL_CloseDevice(0), QUIL_OK);
    EXPECT_EQ(logDir.log(), "");
    EXPECT_EQ(logDir.read("EnableLogout.ini").substr(0, 24), "[EnableOutput]\r\nEnable=0") << "created, logging off";
}

}  // namespace
