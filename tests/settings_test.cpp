// The settings families against a simulated controller in setting mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "platform/platform.h"
#include "quil/controller_settings.h"
#include "sim/model.h"

namespace quil::test {
namespace {

using quil::sim::Model;

using Call = std::function<int32_t()>;
using Lines = std::vector<std::string>;

constexpr int32_t kUntouched = 4242;

struct Case {
    const char* what;
    Call call;
    int32_t code;
};

class Settings : public DeviceTest {
protected:
    explicit Settings(int model = 35) : DeviceTest(model) {}

    void SetUp() override {
        DeviceTest::SetUp();
        sim.model().setMode(Model::kSetting);
    }

    // Each call ends with its code before anything is sent.
    void expectRefused(const std::vector<Case>& cases) {
        for (const Case& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
        // Anything sent above would arrive before this mode switch.
        ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);
        EXPECT_EQ(sent(1), Lines{"Q0"});
    }

    // The lines call sent (waiting for n of them), its result checked.
    Lines linesOf(const Call& call, int32_t expected, std::size_t n) {
        sim.clearReceived();
        EXPECT_EQ(call(), expected);
        return sent(n);
    }

    Lines settled() {
        platform::sleepMs(50);
        return sim.receivedLines();
    }
};

// The argument checks of every family; the encoder family gives 4103 for
// every bad argument, a null output included.
TEST_F(Settings, ArgumentErrorsSendNothing) {
    int32_t a = kUntouched, b = 0, c = 0;
    constexpr int32_t kBad = QUIL_ERROR_PARAMETER;
    const std::string longText(kMaxSelectionText + 1, '1');
    expectRefused({
        {"head 0", [&] { return QUIL_SetAbleMode(kId, 0, 1); }, QUIL_ERROR_RANGE},
        {"head 5 before the value", [&] { return QUIL_SetAbleMode(kId, 5, 2); }, QUIL_ERROR_RANGE},
        {"AbleMode 2", [&] { return QUIL_SetAbleMode(kId, 1, 2); }, QUIL_ERROR_PARAMETER},
        {"AbleMinMax Max 100", [&] { return QUIL_SetAbleMinMax(kId, 1, 10, 100); }, QUIL_ERROR_PARAMETER},
        {"MeasureMode 5", [&] { return QUIL_SetMeasureMode(kId, 4, 5); }, QUIL_ERROR_PARAMETER},
        {"NumAlarm 10000", [&] { return QUIL_SetNumAlarm(kId, 1, 10000); }, QUIL_ERROR_VALUE},
        {"ReflectionMode 2", [&] { return QUIL_SetReflectionMode(kId, 1, 2); }, QUIL_ERROR_VALUE},
        {"Mask P1 seven digits", [&] { return QUIL_SetMask(kId, 1, 1, 1000000, 0); }, QUIL_ERROR_VALUE},
        {"Mask P2 INT32_MIN", [&] { return QUIL_SetMask(kId, 1, 1, 0, INT32_MIN); }, QUIL_ERROR_VALUE},
        {"Median 4", [&] { return QUIL_SetMedian(kId, 1, 4); }, QUIL_ERROR_VALUE},
        {"GetMedian head 5, null", [&] { return QUIL_GetMedian(kId, 5, nullptr); }, QUIL_ERROR_RANGE},
        {"GetMask null", [&] { return QUIL_GetMask(kId, 1, &a, &b, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"closed device", [&] { return QUIL_SetMedian(3, 1, 1); }, QUIL_ERROR_OPEN},
        {"Tolerance OUT 5", [&] { return QUIL_SetTolerance(kId, 5, 1000, 0, 10); }, QUIL_ERROR_RANGE},
        {"Tolerance hysteresis 7 digits", [&] { return QUIL_SetTolerance(kId, 1, 9, -9, 1000000); }, QUIL_ERROR_VALUE},
        {"Tolerance hysteresis = band", [&] { return QUIL_SetTolerance(kId, 1, 1000, 0, 1000); }, QUIL_ERROR_VALUE},
        // A hysteresis below the (negative) band: only the order of the limits refuses it.
        {"Tolerance upper below lower", [&] { return QUIL_SetTolerance(kId, 1, 0, 1000, -2000); }, QUIL_ERROR_VALUE},
        {"Tolerance extremes", [&] { return QUIL_SetTolerance(kId, 1, INT32_MAX, INT32_MIN, 0); }, QUIL_ERROR_VALUE},
        {"CalcMethod 8", [&] { return QUIL_SetCalcMethod(kId, 1, 8, 1); }, QUIL_ERROR_RANGE},
        {"CalcTarget 10", [&] { return QUIL_SetCalcTarget(kId, 1, 10); }, QUIL_ERROR_VALUE},
        {"AddSub 5", [&] { return QUIL_SetOutAddSub(kId, 8, 1, 5); }, QUIL_ERROR_VALUE},
        {"OutOperation 16", [&] { return QUIL_SetOutOperation(kId, 1, 16); }, QUIL_ERROR_VALUE},
        {"Scaling equal inputs", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 0, 100); }, QUIL_ERROR_PARAMETER},
        {"Scaling slope 3", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 100, 300); }, QUIL_ERROR_PARAMETER},
        // The digit count comes first: equal inputs of seven digits are a bad value.
        {"Scaling equal 7 digits", [&] { return QUIL_SetScaling(kId, 1, 1000000, 0, 1000000, 0); }, QUIL_ERROR_VALUE},
        {"Filter mode 1", [&] { return QUIL_SetFilter(kId, 1, 1, 0); }, QUIL_ERROR_VALUE},
        {"Offset 7 digits", [&] { return QUIL_SetOffset(kId, 1, -1000000); }, QUIL_ERROR_VALUE},
        {"DisplayUnit 7", [&] { return QUIL_SetDisplayUnit(kId, 1, 7); }, QUIL_ERROR_VALUE},
        {"Synchronization OUT 9", [&] { return QUIL_SetSynchronization(kId, 9, 0); }, QUIL_ERROR_RANGE},
        {"GetSynchronization OUT 5", [&] { return QUIL_GetSynchronization(kId, 5, &a); }, QUIL_ERROR_RANGE},
        {"GetTolerance null", [&] { return QUIL_GetTolerance(kId, 4, &a, nullptr, &c); }, QUIL_ERROR_NULL_POINTER},
        {"cycle 16", [&] { return QUIL_SetSamplingCycle(kId, 16); }, QUIL_ERROR_VALUE},
        {"storage number first", [&] { return QUIL_SetDataStorage(kId, 1200001, 11); }, QUIL_ERROR_PARAMETER},
        {"running mode, model 35", [&] { return QUIL_SetRunningMode(kId, 1, 1); }, QUIL_ERROR_UNSUPPORTED},
        {"model before interval", [&] { return QUIL_SetEncoderMode(kId, 1, 5, 0); }, QUIL_ERROR_UNSUPPORTED},
        {"get storage null", [&] { return QUIL_GetDataStorage(kId, &a, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"reset channel 4", [&] { return QUIL_EncoderReset(kId, 4); }, kBad},
        {"number 0", [&] { return QUIL_SetEncoderNumber(kId, 0); }, kBad},
        {"InputMode 4", [&] { return QUIL_SetEncoderParameters(kId, 1, 4, 5, 20, 1, 1); }, kBad},
        {"interval 10001", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 10001, 1, 1); }, kBad},
        {"DetectionDirection 3", [&] { return QUIL_SetEncoderParameters(kId, 1, 1, 5, 20, 1, 3); }, kBad},
        {"get parameters null", [&] { return QUIL_GetEncoderParameters(kId, 1, &a, &a, &a, &a, nullptr); }, kBad},
        {"analog OutputChannel 4", [&] { return QUIL_SetAnalogOutput(kId, 1, 4); }, kBad},
        {"digital Level -1", [&] { return QUIL_SetIODigitalOutput(kId, 1, -1); }, kBad},
        {"baud 5", [&] { return SetBaudRate(kId, 5, 0); }, QUIL_ERROR_PARAMETER},
        {"parity 4", [&] { return SetBaudRate(kId, 0, 4); }, QUIL_ERROR_PARAMETER},
        {"selection OUT 5", [&] { return SetAVEOUTSelectState(kId, 5, "1"); }, QUIL_ERROR_RANGE},
        {"selection line end", [&] { return SetAVEOUTSelectState(kId, 1, "1\r\nSW,CA,3"); }, QUIL_ERROR_PARAMETER},
        {"selection too long", [&] { return SetAVEOUTSelectState(kId, 1, longText.c_str()); }, QUIL_ERROR_PARAMETER},
        {"selection null", [&] { return SetAVEOUTSelectState(kId, 1, nullptr); }, QUIL_ERROR_PARAMETER},
        {"range equal", [&] { return SetMoNiMeasUpDown(kId, 1, 10.0, 10.0); }, QUIL_ERROR_VALUE},
        {"range not a number", [&] { return SetMoNiMeasUpDown(kId, 1, NAN, 0.0); }, QUIL_ERROR_VALUE},
        {"range beyond int", [&] { return SetMoNiMeasUpDown(kId, 1, 1e300, 0.0); }, QUIL_ERROR_VALUE},
        {"reflector infinite", [&] { return SetReflactor(kId, 1, 1, INFINITY); }, QUIL_ERROR_VALUE},
        {"get analog 0", [&] { return QUIL_GetAnalogOutputChannel(kId, 0, &a); }, kBad},
    });
    EXPECT_EQ(a, kUntouched);
}

// A sample of each family written to the controller and read back.
TEST_F(Settings, EachFamilyReadsBackWhatItWrote) {
    const auto readsBack = [](const std::function<int32_t(const int32_t*)>& set,
                              const std::function<int32_t(int32_t*)>& get, std::vector<int32_t> values) {
        std::vector<int32_t> got(values.size(), kUntouched);
        EXPECT_EQ(set(values.data()), QUIL_OK) << ::testing::PrintToString(values);
        EXPECT_EQ(get(got.data()), QUIL_OK) << ::testing::PrintToString(values);
        EXPECT_EQ(got, values);
    };
    readsBack([](auto v) { return QUIL_SetAbleMinMax(kId, 2, v[0], v[1]); },
              [](auto v) { return QUIL_GetAbleMinMax(kId, 2, &v[0], &v[1]); }, {20, 80});
    readsBack([](auto v) { return QUIL_SetMask(kId, 2, v[0], v[1], v[2]); },
              [](auto v) { return QUIL_GetMask(kId, 2, &v[0], &v[1], &v[2]); }, {1, -999999, 1234});
    readsBack([](auto v) { return QUIL_SetTolerance(kId, 2, v[0], v[1], v[2]); },
              [](auto v) { return QUIL_GetTolerance(kId, 2, &v[0], &v[1], &v[2]); }, {1500, -200, 1699});
    readsBack([](auto v) { return QUIL_SetScaling(kId, 2, v[0], v[1], v[2], v[3]); },
              [](auto v) { return QUIL_GetScaling(kId, 2, &v[0], &v[1], &v[2], &v[3]); }, {-999999, 0, 0, 299});
    readsBack([](auto v) { return QUIL_SetSamplingCycle(kId, v[0]); },
              [](auto v) { return QUIL_GetSamplingCycle(kId, &v[0]); }, {33});
    readsBack([](auto v) { return QUIL_SetEncoderParameters(kId, 1, v[0], v[1], v[2], v[3], v[4]); },
              [](auto v) { return QUIL_GetEncoderParameters(kId, 3, &v[0], &v[1], &v[2], &v[3], &v[4]); },
              {3, 20000, 10000, 1, 2});
    readsBack([](auto v) { return QUIL_SetAnalogOutput(kId, 2, v[0]); },
              [](auto v) { return QUIL_GetAnalogOutputChannel(kId, 2, &v[0]); }, {3});
    // Every OUT selection and every display unit.
    for (int32_t mask = 1; mask <= 15; ++mask) {
        int32_t back = kUntouched;
        ASSERT_EQ(QUIL_SetOutOperation(kId, 4, mask), QUIL_OK);
        ASSERT_EQ(QUIL_GetOutOperation(kId, 4, &back), QUIL_OK);
        EXPECT_EQ(back, mask);
    }
    for (int32_t unit = 0; unit <= 6; ++unit) {
        ASSERT_EQ(QUIL_SetDisplayUnit(kId, 3, unit), QUIL_OK);
        for (int32_t offset : {12345, -999999, 1}) {
            int32_t back = 0;
            ASSERT_EQ(QUIL_SetOffset(kId, 3, offset), QUIL_OK);
            ASSERT_EQ(QUIL_GetOffset(kId, 3, &back), QUIL_OK);
            EXPECT_EQ(back, offset) << "unit " << unit;
        }
    }
}

// One setter and one getter of each family against a reply of another field
// count; the outputs stay as they were. Some setters take any reply of theirs.
TEST_F(Settings, RepliesOfAnotherShapeAreRefused) {
    int32_t a = kUntouched, b = kUntouched, c = kUntouched;
    char address[kDottedAddressSize] = "untouched";
    const Case cases[] = {
        {"SW,HG,01", [&] { return QUIL_SetMedian(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,HH,xx", [&] { return QUIL_SetLaserCtrlGroup(kId, 1, 0); }, QUIL_OK},
        {"SR,CF,1", [&] { return QUIL_GetDataStorage(kId, &a, &b); }, QUIL_ERROR_REPLY},
        {"SR,EH,I,12700000004", [&] { return GetIPAddress(kId, address); }, QUIL_ERROR_REPLY},
        {"SR,OA,M,01,011", [&] { return QUIL_GetOutOperation(kId, 1, &c); }, QUIL_ERROR_FORMAT},
    };
    for (const Case& k : cases) {
        sim.script().replyOnce(std::string(k.what) + "\r\n");
        EXPECT_EQ(k.call(), k.code) << k.what;
    }
    EXPECT_EQ((std::vector<int32_t>{a, b, c}), std::vector<int32_t>(3, kUntouched));
    EXPECT_STREQ(address, "untouched");
}

// Refused in measurement mode, a command is sent again in setting mode,
// except by three encoder members.
TEST_F(Settings, ModeRefusalIsRetriedInSettingMode) {
    sim.model().setMode(Model::kMeasurement);
    EXPECT_EQ(linesOf([&] { return QUIL_SetMedian(kId, 2, 1); }, QUIL_OK, 3),
              (Lines{"SW,HG,02,1", "Q0", "SW,HG,02,1"}));
    int32_t v = kUntouched;
    const Case noRetry[] = {
        {"CX,01", [&] { return QUIL_GetEncoderCurrentValue(kId, 1, &v); }, QUIL_ERROR_MODE},
        {"CD,02", [&] { return QUIL_EncoderReset(kId, 2); }, QUIL_ERROR_MODE},
        {"SR,CU,03", [&] { return QUIL_GetIOOutputChannel(kId, 3, &v); }, QUIL_ERROR_MODE},
    };
    for (const Case& c : noRetry) {
        sim.script().replyOnce("ER," + std::string(c.what).substr(0, 2) + ",51\r\n");
        EXPECT_EQ(linesOf(c.call, c.code, 1), Lines{c.what});
        EXPECT_EQ(settled(), Lines{c.what});
    }
    // Another error is the result, without a second try.
    sim.script().replyOnce("ER,SR,61\r\n");
    EXPECT_EQ(linesOf([&] { return GetInOut_In(kId, &v); }, QUIL_ERROR_PARAMETER, 1), Lines{"SR,CK"});
    EXPECT_EQ(settled(), Lines{"SR,CK"});
}

TEST_F(Settings, AlarmSettersReadTheOtherNumberFirst) {
    ASSERT_EQ(QUIL_SetNumRecovery(kId, 2, 7), QUIL_OK);
    EXPECT_EQ(linesOf([&] { return QUIL_SetNumAlarm(kId, 2, 5); }, QUIL_OK, 2),
              (Lines{"SR,HC,N,02", "SW,HC,N,02,0005,0007"}));
    EXPECT_EQ(linesOf([&] { return QUIL_SetNumRecovery(kId, 2, 9999); }, QUIL_OK, 2),
              (Lines{"SR,HC,N,02", "SW,HC,N,02,0005,9999"}));
    // A failed read is the result and nothing more is sent.
    for (const auto& set : {QUIL_SetNumAlarm, QUIL_SetNumRecovery}) {
        sim.clearReceived();
        sim.script().replyTo("SR,HC,N", "ER,SR,64\r\n");
        EXPECT_EQ(set(kId, 3, 1), QUIL_ERROR_RANGE);
        sim.script().replyTo("SR,HC,N", "SR,HC,N,03,0001\r\n");
        EXPECT_EQ(set(kId, 3, 1), QUIL_ERROR_REPLY);
        EXPECT_EQ(settled(), (Lines{"SR,HC,N,03", "SR,HC,N,03"}));
    }
    // The read runs its own mode recovery before the write runs its own.
    sim.model().setMode(Model::kMeasurement);
    EXPECT_EQ(linesOf([&] { return QUIL_SetNumAlarm(kId, 1, 3); }, QUIL_OK, 4),
              (Lines{"SR,HC,N,01", "Q0", "SR,HC,N,01", "SW,HC,N,01,0003,0003"}));
}

// The getters' own readings: only known values, lengths in hundredths of the
// display unit read after them (single precision, truncated), method texts.
TEST_F(Settings, GettersReadTheirOwnForms) {
    int32_t v[4] = {};
    const struct {
        const char* reply;
        Call get;
        std::vector<int32_t> values;  // v[0..] after the call
    } cases[] = {
        {"SR,HB,B,01,2", [&] { return QUIL_GetBasicPoint(kId, 1, &v[0]); }, {kUntouched}},
        {"SR,HA,M,01,3", [&] { return QUIL_GetAbleMode(kId, 1, &v[0]); }, {1}},
        {"SR,HF,01,1,0.53,-0.53", [&] { return QUIL_GetMask(kId, 1, &v[0], &v[1], &v[2]); }, {1, 52, -52}},
        {"SR,OA,H,01,C03", [&] { return QUIL_GetCalcMethod(kId, 1, &v[0], &v[1]); }, {4, kUntouched}},
        {"SR,OA,H,01,O12", [&] { return QUIL_GetCalcMethod(kId, 1, &v[0], &v[1]); }, {1, 2}},
        {"SR,OA,H,01,X01", [&] { return QUIL_GetCalcMethod(kId, 1, &v[0], &v[1]); }, {kUntouched, kUntouched}},
        {"SR,CU,01,+FFFFFFF", [&] { return QUIL_GetIOOutputChannel(kId, 1, &v[0]); }, {0}},
    };
    for (const auto& c : cases) {
        std::fill(v, v + 4, kUntouched);
        sim.script().replyOnce(std::string(c.reply) + "\r\n");
        EXPECT_EQ(c.get(), QUIL_OK) << c.reply;
        EXPECT_EQ(std::vector<int32_t>(v, v + c.values.size()), c.values) << c.reply;
    }
    const struct {
        const char* unit;
        const char* text;
        int32_t value;
    } lengths[] = {
        {"0", "+012.34", 1234}, {"3", "+0.12345", 12345}, {"4", "-00123.4", -1234},
        {"6", "-0.001", -1},    {"7", "+12.9", 12},  // a unit outside the table: factor 1, truncated
    };
    for (const auto& c : lengths) {
        sim.script()
            .replyTo("SR,OF", std::string("SR,OF,02,") + c.text + "\r\n")
            .replyTo("SR,OG", std::string("SR,OG,02,") + c.unit + "\r\n");
        EXPECT_EQ(linesOf([&] { return QUIL_GetOffset(kId, 2, &v[0]); }, QUIL_OK, 2), (Lines{"SR,OF,02", "SR,OG,02"}));
        EXPECT_EQ(v[0], c.value) << c.text << " unit " << c.unit;
    }
    // A failed read of the unit is the result and writes nothing.
    std::fill(v, v + 4, kUntouched);
    sim.script().replyTo("SR,OG", "ER,SR,64\r\n");
    EXPECT_EQ(QUIL_GetScaling(kId, 1, &v[0], &v[1], &v[2], &v[3]), QUIL_ERROR_RANGE);
    sim.script().replyTo("SR,OG", "SR,OG,01\r\n");
    EXPECT_EQ(QUIL_GetTolerance(kId, 1, &v[0], &v[1], &v[2]), QUIL_ERROR_REPLY);
    EXPECT_EQ(std::vector<int32_t>(v, v + 4), std::vector<int32_t>(4, kUntouched));
}

// The texts sent where the library turns a value into a code of the controller.
TEST_F(Settings, ValuesBecomeTheControllersCodes) {
    const struct {
        Call call;
        const char* line;
    } cases[] = {
        {[&] { return QUIL_SetCalcMethod(kId, 1, 7, 0); }, "SW,OA,H,01,C06"},
        {[&] { return QUIL_SetSamplingCycle(kId, 30); }, "SW,CA,0"},
        {[&] { return SetAVEOUTSelectState(kId, 2, "1010"); }, "SW,OA,M,02,1010"},
        // Decimals meant as whole units reach them, whatever the binary double.
        {[&] { return SetMoNiMeasUpDown(kId, 1, 0.29, -0.57); }, "SW,VJ,01,+000029,-000057"},
        {[&] { return SetMoNiVol(kId, 3, 1.005, 8.2); }, "SW,VI,03,001005,008200"},
        {[&] { return SetReflactor(kId, 2, 1, 0.0029); }, "SW,OL,02,1,+000029"},
    };
    for (const auto& c : cases) EXPECT_EQ(linesOf(c.call, QUIL_OK, 1), Lines{c.line}) << c.line;
    char address[kDottedAddressSize] = {};
    sim.script().replyOnce("SR,EH,M,255255255000\r\n");
    ASSERT_EQ(GetSubnetMask(kId, address), QUIL_OK);
    EXPECT_STREQ(address, "255.255.255.0");
    ASSERT_EQ(GetIPAddress(kId, address), QUIL_OK);
    EXPECT_EQ(std::string(address), sim.address());
    uint8_t type = 9;
    sim.script().replyOnce("SR,CP,2\r\n");
    ASSERT_EQ(GetOUTNum(kId, &type), QUIL_OK);
    EXPECT_EQ(type, 1);
    int32_t invalid = 3;  // the entry value is the command's argument
    EXPECT_EQ(linesOf([&] { return GetInvalidData(kId, &invalid); }, QUIL_OK, 1), Lines{"PI,3"});
}

// The controller's code 2 by the model read after it, whose failure is the result.
TEST_F(Settings, SamplingCycleReadBackByModelGroup) {
    const struct {
        const char* model;
        int32_t code, cycle;
    } cases[] = {
        {"MD,39", QUIL_OK, 32},
        {"MD,0", QUIL_OK, 2},
        {"ER,MD,62", QUIL_ERROR_VALUE, kUntouched},
        {"MD,12", QUIL_ERROR_UNKNOWN, kUntouched},
    };
    for (const auto& c : cases) {
        int32_t v = kUntouched;
        sim.script().replyTo("SR,CA", "SR,CA,2\r\n").replyTo("MD", std::string(c.model) + "\r\n");
        EXPECT_EQ(linesOf([&] { return QUIL_GetSamplingCycle(kId, &v); }, c.code, 2), (Lines{"SR,CA", "MD"}))
            << c.model;
        EXPECT_EQ(v, c.cycle) << c.model;
    }
}

// A model with a single encoder input.
class SettingsModel5 : public Settings {
protected:
    SettingsModel5() : Settings(5) {}
};

// Only the encoder models are served: elsewhere every member gives 8208
// before looking at its arguments, and sends nothing.
TEST_F(SettingsModel5, EncoderMembersNeedAnEncoderModel) {
    int32_t v = 0;
    expectRefused({
        {"current", [&] { return QUIL_GetEncoderCurrentValue(kId, 0, nullptr); }, QUIL_ERROR_UNSUPPORTED},
        {"reset", [&] { return QUIL_EncoderReset(kId, 1); }, QUIL_ERROR_UNSUPPORTED},
        {"parameters", [&] { return QUIL_SetEncoderParameters(kId, 1, 9, 0, 0, 9, 9); }, QUIL_ERROR_UNSUPPORTED},
        {"analog", [&] { return QUIL_GetAnalogOutputChannel(kId, 1, &v); }, QUIL_ERROR_UNSUPPORTED},
        {"digital", [&] { return QUIL_SetIODigitalOutput(kId, 4, 0); }, QUIL_ERROR_UNSUPPORTED},
        {"encoder mode interval", [&] { return QUIL_SetEncoderMode(kId, 1, 5, 10001); }, QUIL_ERROR_PARAMETER},
    });
}

// The encoder parameters: three commands per group under one lock, the
// group's outcome that of channel 3.
TEST_F(Settings, ParametersGoToEveryChannelAndChannelThreeDecides) {
    const auto set = [] { return QUIL_SetEncoderParameters(kId, 2, 1, 500, 20, 2, 0); };
    sim.script().replyTo("SW,CS,01", "ER,SW,62\r\n").replyTo("SW,CQ,02", "ER,SW,61\r\n");
    EXPECT_EQ(linesOf(set, QUIL_OK, 6),
              (Lines{"SW,CS,01,1,0000000500,000020", "SW,CS,02,1,0000000500,000020", "SW,CS,03,1,0000000500,000020",
                     "SW,CQ,01,2,0", "SW,CQ,02,2,0", "SW,CQ,03,2,0"}));
    const struct {
        const char* line;
        const char* reply;
        int32_t code;
        std::size_t linesSent;
    } cases[] = {
        {"SW,CS,03", "ER,SW,62\r\n", QUIL_ERROR_VALUE, 3},
        {"SW,CQ,03", "ER,SW,64\r\n", QUIL_ERROR_RANGE, 6},
    };
    for (const auto& c : cases) {
        sim.script().replyTo(c.line, c.reply);
        EXPECT_EQ(linesOf(set, c.code, c.linesSent).size(), c.linesSent) << c.line << c.reply;
        EXPECT_EQ(settled().size(), c.linesSent) << c.line << c.reply;
    }
    // Each command has its own mode recovery.
    sim.model().setMode(Model::kMeasurement);
    EXPECT_EQ(linesOf(set, QUIL_OK, 8).at(1), "Q0");
    // The getter keeps the first half when the second exchange fails.
    int32_t p[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    sim.script().replyOnce("SR,CS,02,3,0000000500,000020\r\n").replyOnce("ER,SR,62\r\n");
    EXPECT_EQ(QUIL_GetEncoderParameters(kId, 2, &p[0], &p[1], &p[2], &p[3], &p[4]), QUIL_ERROR_VALUE);
    EXPECT_EQ(std::vector<int32_t>(p, p + 5), (std::vector<int32_t>{3, 500, 20, kUntouched, kUntouched}));
}

TEST_F(Settings, NoOtherCommandComesBetweenTheChannelsOfAGroup) {
    sim.script().delayTo("SW,C", 20, 6);  // slow answers open a window between the channels
    std::atomic<bool> done{false};
    std::thread other([&] {
        int32_t v = 0;
        while (!done) EXPECT_EQ(QUIL_GetEncoderNumber(kId, &v), QUIL_OK);
    });
    EXPECT_EQ(QUIL_SetEncoderParameters(kId, 2, 1, 500, 20, 2, 0), QUIL_OK);
    done = true;
    other.join();
    const Lines lines = sim.receivedLines();
    for (const char* group : {"SW,CS,0", "SW,CQ,0"}) {
        const auto first =
            std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(group, 0) == 0; });
        ASSERT_GE(lines.end() - first, 3) << group;
        for (int i = 1; i <= 2; ++i) EXPECT_EQ(first[i].substr(0, 8), group + std::to_string(i + 1)) << group;
    }
}

}  // namespace
}  // namespace quil::test
