// Output settings against the simulated controller.
#include <gtest/gtest.h>

#include <climits>

#include "platform/platform.h"
#include "settings_fixture.h"

namespace quil::test {
namespace {

class OutputSettings : public SettingsTest {};

// The getters with one output and the highest OUT they reach.
const std::vector<IndexedGetter> kSingleGetters = {
    {"CalcTarget", QUIL_GetCalcTarget, 4},
    {"OutOperation", QUIL_GetOutOperation, 4},
    {"TriggerMode", QUIL_GetTriggerMode, 4},
    {"Offset", QUIL_GetOffset, 8},
    {"CalcMode", QUIL_GetCalcMode, 4},
    {"DisplayUnit", QUIL_GetDisplayUnit, 8},
    {"Synchronization", QUIL_GetSynchronization, 4},
    {"StorageTarget", QUIL_GetStorageTarget, 8},
};

TEST_F(OutputSettings, ArgumentErrorsSendNothing) {
    int32_t a = 0, b = 0, c = 0, d = 0;
    std::vector<Refusal> cases = {
        {"Tolerance OUT 5", [&] { return QUIL_SetTolerance(kId, 5, 1000, 0, 10); }, QUIL_ERROR_RANGE},
        {"Tolerance upper 7 digits", [&] { return QUIL_SetTolerance(kId, 1, 1000000, 0, 10); }, QUIL_ERROR_VALUE},
        {"Tolerance lower 7 digits", [&] { return QUIL_SetTolerance(kId, 1, 0, -1000000, 10); }, QUIL_ERROR_VALUE},
        {"Tolerance hysteresis 7 digits", [&] { return QUIL_SetTolerance(kId, 1, 999999, -999999, 1000000); },
         QUIL_ERROR_VALUE},
        {"Tolerance lower above upper", [&] { return QUIL_SetTolerance(kId, 1, 0, 1000, 0); }, QUIL_ERROR_VALUE},
        {"Tolerance hysteresis = band", [&] { return QUIL_SetTolerance(kId, 1, 1000, 0, 1000); }, QUIL_ERROR_VALUE},
        {"Tolerance extremes", [&] { return QUIL_SetTolerance(kId, 1, INT32_MAX, INT32_MIN, 0); }, QUIL_ERROR_VALUE},
        {"CalcMethod OUT 9", [&] { return QUIL_SetCalcMethod(kId, 9, 0, 1); }, QUIL_ERROR_RANGE},
        {"CalcMethod 8", [&] { return QUIL_SetCalcMethod(kId, 1, 8, 1); }, QUIL_ERROR_RANGE},
        {"CalcMethod -1", [&] { return QUIL_SetCalcMethod(kId, 1, -1, 1); }, QUIL_ERROR_RANGE},
        {"CalcTarget OUT 5", [&] { return QUIL_SetCalcTarget(kId, 5, 0); }, QUIL_ERROR_RANGE},
        {"CalcTarget 10", [&] { return QUIL_SetCalcTarget(kId, 1, 10); }, QUIL_ERROR_VALUE},
        {"AddSub OUT 0", [&] { return QUIL_SetOutAddSub(kId, 0, 1, 2); }, QUIL_ERROR_RANGE},
        {"AddSub 5", [&] { return QUIL_SetOutAddSub(kId, 8, 1, 5); }, QUIL_ERROR_VALUE},
        {"AddSub 0", [&] { return QUIL_SetOutAddSub(kId, 8, 0, 1); }, QUIL_ERROR_VALUE},
        {"OutOperation 0", [&] { return QUIL_SetOutOperation(kId, 1, 0); }, QUIL_ERROR_VALUE},
        {"OutOperation 16", [&] { return QUIL_SetOutOperation(kId, 1, 16); }, QUIL_ERROR_VALUE},
        {"OutOperation OUT 5", [&] { return QUIL_SetOutOperation(kId, 5, 5); }, QUIL_ERROR_RANGE},
        {"Scaling OUT 9", [&] { return QUIL_SetScaling(kId, 9, 0, 0, 100, 100); }, QUIL_ERROR_RANGE},
        {"Scaling 7 digits", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 100, 1000000); }, QUIL_ERROR_VALUE},
        {"Filter mode 1", [&] { return QUIL_SetFilter(kId, 1, 1, 0); }, QUIL_ERROR_VALUE},
        {"Filter para 10", [&] { return QUIL_SetFilter(kId, 1, 0, 10); }, QUIL_ERROR_VALUE},
        {"Filter OUT 5", [&] { return QUIL_SetFilter(kId, 5, 0, 0); }, QUIL_ERROR_RANGE},
        {"TriggerMode 2", [&] { return QUIL_SetTriggerMode(kId, 1, 2); }, QUIL_ERROR_VALUE},
        {"TriggerMode OUT 5", [&] { return QUIL_SetTriggerMode(kId, 5, 0); }, QUIL_ERROR_RANGE},
        {"Offset 7 digits", [&] { return QUIL_SetOffset(kId, 1, -1000000); }, QUIL_ERROR_VALUE},
        {"Offset OUT 9", [&] { return QUIL_SetOffset(kId, 9, 0); }, QUIL_ERROR_RANGE},
        {"CalcMode 5", [&] { return QUIL_SetCalcMode(kId, 1, 5); }, QUIL_ERROR_VALUE},
        {"CalcMode OUT 5", [&] { return QUIL_SetCalcMode(kId, 5, 0); }, QUIL_ERROR_RANGE},
        {"DisplayUnit 7", [&] { return QUIL_SetDisplayUnit(kId, 1, 7); }, QUIL_ERROR_VALUE},
        {"DisplayUnit OUT 9", [&] { return QUIL_SetDisplayUnit(kId, 9, 0); }, QUIL_ERROR_RANGE},
        {"Synchronization OUT 9", [&] { return QUIL_SetSynchronization(kId, 9, 0); }, QUIL_ERROR_RANGE},
        {"StorageTarget OUT 0", [&] { return QUIL_SetStorageTarget(kId, 0, 0); }, QUIL_ERROR_RANGE},
        {"GetTolerance OUT 5", [&] { return QUIL_GetTolerance(kId, 5, &a, &b, &c); }, QUIL_ERROR_RANGE},
        {"GetTolerance null", [&] { return QUIL_GetTolerance(kId, 4, &a, nullptr, &c); }, QUIL_ERROR_NULL_POINTER},
        {"GetCalcMethod OUT 9", [&] { return QUIL_GetCalcMethod(kId, 9, &a, &b); }, QUIL_ERROR_RANGE},
        {"GetCalcMethod null", [&] { return QUIL_GetCalcMethod(kId, 8, &a, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"GetOutAddSub OUT 9", [&] { return QUIL_GetOutAddSub(kId, 9, &a, &b); }, QUIL_ERROR_RANGE},
        {"GetOutAddSub null", [&] { return QUIL_GetOutAddSub(kId, 8, nullptr, &b); }, QUIL_ERROR_NULL_POINTER},
        {"GetScaling OUT 9", [&] { return QUIL_GetScaling(kId, 9, &a, &b, &c, &d); }, QUIL_ERROR_RANGE},
        {"GetScaling null", [&] { return QUIL_GetScaling(kId, 8, &a, &b, &c, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"GetFilter OUT 5", [&] { return QUIL_GetFilter(kId, 5, &a, &b); }, QUIL_ERROR_RANGE},
        {"GetFilter null", [&] { return QUIL_GetFilter(kId, 4, nullptr, &b); }, QUIL_ERROR_NULL_POINTER},
    };
    for (Refusal& r : indexRefusals(kSingleGetters, &a)) cases.push_back(std::move(r));
    expectRefused(cases);
}

TEST_F(OutputSettings, CommandsCarryTheirArguments) {
    int32_t a = 0, b = 0, c = 0, d = 0;
    expectSent({
        {[&] { return QUIL_SetTolerance(kId, 2, 1500, -200, 10); }, {"SW,LM,02,+001500,-000200,0000010"}},
        {[&] { return QUIL_GetTolerance(kId, 4, &a, &b, &c); }, {"SR,LM,04", "SR,OG,04"}},
        {[&] { return QUIL_SetCalcMethod(kId, 3, 0, 2); }, {"SW,OA,H,03,H02"}},
        {[&] { return QUIL_GetCalcMethod(kId, 8, &a, &b); }, {"SR,OA,H,08"}},
        {[&] { return QUIL_SetCalcTarget(kId, 4, 9); }, {"SW,OA,T,04,9"}},
        {[&] { return QUIL_GetCalcTarget(kId, 4, &a); }, {"SR,OA,T,04"}},
        {[&] { return QUIL_SetOutAddSub(kId, 8, 3, 4); }, {"SW,OA,C,08,03,04"}},
        {[&] { return QUIL_GetOutAddSub(kId, 8, &a, &b); }, {"SR,OA,C,08"}},
        {[&] { return QUIL_SetOutOperation(kId, 1, 5); }, {"SW,OA,M,01,1010"}},
        {[&] { return QUIL_GetOutOperation(kId, 1, &a); }, {"SR,OA,M,01"}},
        {[&] { return QUIL_SetScaling(kId, 7, 0, 0, 100, 200); }, {"SW,OB,07,+000000,+000000,+000100,+000200"}},
        {[&] { return QUIL_GetScaling(kId, 7, &a, &b, &c, &d); }, {"SR,OB,07", "SR,OG,07"}},
        {[&] { return QUIL_SetFilter(kId, 3, 0, 9); }, {"SW,OC,03,0,9"}},
        {[&] { return QUIL_GetFilter(kId, 3, &a, &b); }, {"SR,OC,03"}},
        {[&] { return QUIL_SetTriggerMode(kId, 2, 1); }, {"SW,OE,M,02,1"}},
        {[&] { return QUIL_GetTriggerMode(kId, 2, &a); }, {"SR,OE,M,02"}},
        {[&] { return QUIL_SetOffset(kId, 6, -999999); }, {"SW,OF,06,-999999"}},
        {[&] { return QUIL_GetOffset(kId, 6, &a); }, {"SR,OF,06", "SR,OG,06"}},
        {[&] { return QUIL_SetCalcMode(kId, 4, 4); }, {"SW,OD,04,4"}},
        {[&] { return QUIL_GetCalcMode(kId, 4, &a); }, {"SR,OD,04"}},
        {[&] { return QUIL_SetDisplayUnit(kId, 8, 6); }, {"SW,OG,08,6"}},
        {[&] { return QUIL_GetDisplayUnit(kId, 8, &a); }, {"SR,OG,08"}},
        {[&] { return QUIL_SetSynchronization(kId, 5, 1); }, {"SW,OJ,05,1"}},
        {[&] { return QUIL_GetSynchronization(kId, 4, &a); }, {"SR,OJ,04"}},
        {[&] { return QUIL_SetStorageTarget(kId, 8, 0); }, {"SW,OK,08,0"}},
        {[&] { return QUIL_GetStorageTarget(kId, 8, &a); }, {"SR,OK,08"}},
    });
}

TEST_F(OutputSettings, RepliesOfAnotherFieldCountAreRefused) {
    int32_t a = kUntouched, b = kUntouched, c = kUntouched, d = kUntouched;
    expectAnswers({
        {"SW,OA", [&] { return QUIL_SetCalcTarget(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OA,C,01", [&] { return QUIL_SetOutAddSub(kId, 1, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OA", [&] { return QUIL_SetOutOperation(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OB,01", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW", [&] { return QUIL_SetFilter(kId, 1, 0, 1); }, QUIL_ERROR_REPLY},
        {"SW,OE,M", [&] { return QUIL_SetTriggerMode(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OF,01", [&] { return QUIL_SetOffset(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OD,01", [&] { return QUIL_SetCalcMode(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OG,01", [&] { return QUIL_SetDisplayUnit(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OJ,01", [&] { return QUIL_SetSynchronization(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SW,OK,01", [&] { return QUIL_SetStorageTarget(kId, 1, 1); }, QUIL_ERROR_REPLY},
        {"SR,LM,01,1,2", [&] { return QUIL_GetTolerance(kId, 1, &a, &b, &c); }, QUIL_ERROR_REPLY},
        {"SR,OA,H,01", [&] { return QUIL_GetCalcMethod(kId, 1, &a, &b); }, QUIL_ERROR_REPLY},
        {"SR,OA,T,01,1,1", [&] { return QUIL_GetCalcTarget(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OA,C,01,01", [&] { return QUIL_GetOutAddSub(kId, 1, &a, &b); }, QUIL_ERROR_REPLY},
        {"SR,OA,M,01", [&] { return QUIL_GetOutOperation(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OB,01,1,2,3", [&] { return QUIL_GetScaling(kId, 1, &a, &b, &c, &d); }, QUIL_ERROR_REPLY},
        {"SR,OC,01,0", [&] { return QUIL_GetFilter(kId, 1, &a, &b); }, QUIL_ERROR_REPLY},
        {"SR,OE,M,01", [&] { return QUIL_GetTriggerMode(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OF,01,1,1", [&] { return QUIL_GetOffset(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OD,01", [&] { return QUIL_GetCalcMode(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OG,01,1,1", [&] { return QUIL_GetDisplayUnit(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OJ,01", [&] { return QUIL_GetSynchronization(kId, 1, &a); }, QUIL_ERROR_REPLY},
        {"SR,OK,01", [&] { return QUIL_GetStorageTarget(kId, 1, &a); }, QUIL_ERROR_REPLY},
        // The tolerance and the calculation method take any reply of theirs.
        {"SW", [&] { return QUIL_SetTolerance(kId, 1, 1, 0, 0); }, QUIL_OK},
        {"SW,OA,H,01,H01,x", [&] { return QUIL_SetCalcMethod(kId, 1, 0, 1); }, QUIL_OK},
    });
    EXPECT_EQ((std::vector<int32_t>{a, b, c, d}), (std::vector<int32_t>(4, kUntouched)));
}

TEST_F(OutputSettings, GettersParseTheirFields) {
    int32_t a = 0, b = 0;
    expectParsed({&a, &b}, {
                               {"SR,OA,T,01,7", [&] { return QUIL_GetCalcTarget(kId, 1, &a); }, {7, kUntouched}},
                               {"SR,OA,C,01,03,04", [&] { return QUIL_GetOutAddSub(kId, 1, &a, &b); }, {3, 4}},
                               {"SR,OA,M,01,0110", [&] { return QUIL_GetOutOperation(kId, 1, &a); }, {6, kUntouched}},
                               {"SR,OC,01,0,8", [&] { return QUIL_GetFilter(kId, 1, &a, &b); }, {0, 8}},
                               {"SR,OE,M,01,1", [&] { return QUIL_GetTriggerMode(kId, 1, &a); }, {1, kUntouched}},
                               {"SR,OD,01,3", [&] { return QUIL_GetCalcMode(kId, 1, &a); }, {3, kUntouched}},
                               {"SR,OG,01,5", [&] { return QUIL_GetDisplayUnit(kId, 1, &a); }, {5, kUntouched}},
                               {"SR,OJ,01,1", [&] { return QUIL_GetSynchronization(kId, 1, &a); }, {1, kUntouched}},
                               {"SR,OK,01,1", [&] { return QUIL_GetStorageTarget(kId, 1, &a); }, {1, kUntouched}},
                           });
}

TEST_F(OutputSettings, RefusedInMeasurementModeSwitchesAndSendsAgain) {
    expectModeRetry([&] { return QUIL_SetCalcMode(kId, 1, 2); }, "SW,OD,01,2");
    int32_t mode = kUntouched;
    expectModeRetry([&] { return QUIL_GetCalcMode(kId, 1, &mode); }, "SR,OD,01");
    EXPECT_EQ(mode, 2);
}

TEST_F(OutputSettings, ToleranceAndScalingChecksInTheirOrder) {
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"band 1000, hysteresis 999", [&] { return QUIL_SetTolerance(kId, 1, 1000, 0, 999); }, QUIL_OK},
        {"slope 2", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 100, 200); }, QUIL_OK},
        {"slope 2.99 truncates to 2", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 100, 299); }, QUIL_OK},
        {"slope 3", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 100, 300); }, QUIL_ERROR_PARAMETER},
        {"falling slope 3", [&] { return QUIL_SetScaling(kId, 1, 100, 300, 0, 0); }, QUIL_ERROR_PARAMETER},
        {"equal inputs", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 0, 100); }, QUIL_ERROR_PARAMETER},
        // The digit count comes first: equal inputs of seven digits are a bad value.
        {"equal 7-digit inputs", [&] { return QUIL_SetScaling(kId, 1, 1000000, 0, 1000000, 0); }, QUIL_ERROR_VALUE},
        {"steep 7-digit output", [&] { return QUIL_SetScaling(kId, 1, 0, 0, 1, -1000000); }, QUIL_ERROR_VALUE},
        {"widest points", [&] { return QUIL_SetScaling(kId, 1, -999999, -999999, 999999, 999999); }, QUIL_OK},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
}

TEST_F(OutputSettings, CalculationMethodTextBothWays) {
    const struct {
        int32_t method, number;
        const char* line;
    } sets[] = {
        {0, 2, "SW,OA,H,01,H02"},
        {1, 8, "SW,OA,H,01,O08"},
        {2, 99, "SW,OA,H,01,C01"},
        {7, 0, "SW,OA,H,01,C06"},
    };
    for (const auto& s : sets)
        EXPECT_EQ(linesOf([&] { return QUIL_SetCalcMethod(kId, 1, s.method, s.number); }, QUIL_OK, 1), Lines{s.line});
    int32_t method = 0, number = 0;
    const auto get = [&] { return QUIL_GetCalcMethod(kId, 1, &method, &number); };
    expectParsed({&method, &number}, {
                                         {"SR,OA,H,01,C03", get, {4, kUntouched}},
                                         {"SR,OA,H,01,C06", get, {7, kUntouched}},
                                         {"SR,OA,H,01,H03", get, {0, 3}},
                                         {"SR,OA,H,01,O08", get, {1, 8}},
                                         {"SR,OA,H,01,O12", get, {1, 2}},  // only the third character is read
                                         {"SR,OA,H,01,X01", get, {kUntouched, kUntouched}},
                                         {"SR,OA,H,01,H", get, {kUntouched, kUntouched}},
                                         {"SR,OA,H,01,H1x", get, {kUntouched, kUntouched}},
                                     });
}

TEST_F(OutputSettings, OperationMaskText) {
    for (int32_t mask = 1; mask <= 15; ++mask) {
        int32_t back = kUntouched;
        ASSERT_EQ(QUIL_SetOutOperation(kId, 4, mask), QUIL_OK);
        ASSERT_EQ(QUIL_GetOutOperation(kId, 4, &back), QUIL_OK);
        EXPECT_EQ(back, mask);
    }
    int32_t mask = kUntouched;
    for (const char* text : {"011", "01100"}) {
        sim.script().replyOnce(std::string("SR,OA,M,01,") + text + "\r\n");
        EXPECT_EQ(QUIL_GetOutOperation(kId, 1, &mask), QUIL_ERROR_FORMAT) << text;
    }
    EXPECT_EQ(mask, kUntouched);
}

TEST_F(OutputSettings, LengthsAreScaledByTheDisplayUnitInSinglePrecision) {
    const struct {
        const char* unit;
        const char* text;
        int32_t value;
    } cases[] = {
        {"0", "+012.34", 1234},   {"3", "+0.12345", 12345}, {"4", "-00123.4", -1234}, {"1", "+012.345", 12345},
        {"2", "+01.2345", 12345}, {"6", "-0.001", -1},      {"0", "0.53", 52},  // 0.53f * 100.0f is just below 53
        {"7", "+12.9", 12},  // a unit outside the table: factor 1, truncated
        {"-1", "-3.7", -3},
    };
    for (const auto& c : cases) {
        int32_t offset = kUntouched;
        sim.clearReceived();
        sim.script()
            .replyTo("SR,OF", std::string("SR,OF,02,") + c.text + "\r\n")
            .replyTo("SR,OG", std::string("SR,OG,02,") + c.unit + "\r\n");
        // The unit is read after the value, by a call of its own: with the
        // device lock still held it could not be sent at all.
        ASSERT_EQ(QUIL_GetOffset(kId, 2, &offset), QUIL_OK) << c.text;
        EXPECT_EQ(offset, c.value) << c.text << " unit " << c.unit;
        EXPECT_EQ(sent(2), (Lines{"SR,OF,02", "SR,OG,02"}));
    }

    int32_t v[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    sim.script().replyOnce("SR,LM,03,+012.34,-0.5,+000.01\r\n").replyTo("SR,OG", "SR,OG,03,0\r\n");
    ASSERT_EQ(QUIL_GetTolerance(kId, 3, &v[0], &v[1], &v[2]), QUIL_OK);
    EXPECT_EQ((std::vector<int32_t>(v, v + 3)), (std::vector<int32_t>{1234, -50, 1}));
    sim.script().replyOnce("SR,OB,03,+0.1,-0.2,+1.5,+2\r\n").replyTo("SR,OG", "SR,OG,03,4\r\n");
    ASSERT_EQ(QUIL_GetScaling(kId, 3, &v[0], &v[1], &v[2], &v[3]), QUIL_OK);
    EXPECT_EQ((std::vector<int32_t>(v, v + 4)), (std::vector<int32_t>{1, -2, 15, 20}));
}

TEST_F(OutputSettings, FailedDisplayUnitReadIsTheResultAndWritesNothing) {
    int32_t v[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    const std::function<int32_t()> getters[] = {
        [&] { return QUIL_GetTolerance(kId, 1, &v[0], &v[1], &v[2]); },
        [&] { return QUIL_GetScaling(kId, 1, &v[0], &v[1], &v[2], &v[3]); },
        [&] { return QUIL_GetOffset(kId, 1, &v[0]); },
    };
    for (const auto& get : getters) {
        sim.script().replyTo("SR,OG", "ER,SR,64\r\n");
        EXPECT_EQ(get(), QUIL_ERROR_RANGE);
        sim.script().replyTo("SR,OG", "SR,OG,01\r\n");
        EXPECT_EQ(get(), QUIL_ERROR_REPLY);
    }
    EXPECT_EQ((std::vector<int32_t>(v, v + 4)), (std::vector<int32_t>(4, kUntouched)));
}

TEST_F(OutputSettings, SynchronizationIsSetOnEveryOutAndReadOnFour) {
    EXPECT_EQ(QUIL_SetSynchronization(kId, 5, 1), QUIL_OK);
    int32_t on = kUntouched;
    EXPECT_EQ(QUIL_GetSynchronization(kId, 5, &on), QUIL_ERROR_RANGE);
    EXPECT_EQ(on, kUntouched);
}

}  // namespace
}  // namespace quil::test
