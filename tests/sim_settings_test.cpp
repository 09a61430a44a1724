// The simulated controller's head and output settings: its exact answers, and
// that what the library writes it keeps per program and gives back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "settings_fixture.h"
#include "sim/client.h"
#include "sim_fixture.h"

namespace {

using quil::sim::SimConnected;
using quil::test::SettingsTest;

class SimSettingAnswers : public SimConnected {};

TEST_F(SimSettingAnswers, HeadSettings) {
    expectAnswers({
        {"SR,HG,01", "ER,SR,51"},  // setting commands only in setting mode
        {"Q0", "Q0"},
        {"SR,HA,M,01", "SR,HA,M,01,0"},
        {"SR,HA,R,02", "SR,HA,R,02,90,10"},
        {"SW,HA,R,02,99,01", "SW,HA"},
        {"SR,HA,R,02", "SR,HA,R,02,99,01"},
        {"SW,HA,R,02,100,01", "ER,SW,62"},
        {"SR,HC,N,01", "SR,HC,N,01,0007,0003"},
        {"SW,HC,N,01,0012,0345", "SW,HC"},
        {"SR,HC,N,01", "SR,HC,N,01,0012,0345"},
        {"SR,HF,01", "SR,HF,01,0,+0000.00,+0000.00"},
        {"SW,HF,01,1,+001234,-000050", "SW,HF"},
        {"SR,HF,01", "SR,HF,01,1,+0012.34,-0000.50"},
        {"SW,HF,01,1,+1234,-000050", "ER,SW,61"},
        {"SW,HF,01,2,+001234,-000050", "ER,SW,62"},
        {"SW,HF,05,1,+001234,-000050", "ER,SW,64"},
        {"SW,HF,01,1,+001234", "ER,SW,61"},
        {"SW,HH,03,1", "SW,HH,03"},
        {"SR,HH,03", "SR,HH,03,1"},
        {"SW,HJ,01,3", "ER,SW,62"},
        {"SR,HA,X,01", "ER,SR,61"},
        {"SR,HZ,01", "ER,SR,99"},
        {"SW,HD,S,04", "SW,HD"},
        {"SW,HD,S,05", "ER,SW,64"},
        {"SW,HD,P", "SW,HD"},
        {"SW,HD,X", "ER,SW,61"},
        {"SW,HD,P,01", "ER,SW,61"},
    });
}

TEST_F(SimSettingAnswers, OutputSettings) {
    expectAnswers({
        {"Q0", "Q0"},
        {"SR,LM,01", "SR,LM,01,+1000.00,-1000.00,+0000.00"},
        {"SW,LM,01,+001500,-000200,0000010", "SW,LM"},
        {"SR,LM,01", "SR,LM,01,+0015.00,-0002.00,+0000.10"},
        // Lengths print in the OUT's display unit.
        {"SW,OG,01,1", "SW,OG"},
        {"SR,LM,01", "SR,LM,01,+001.500,-000.200,+000.010"},
        {"SW,OG,01,3", "SW,OG"},
        {"SR,LM,01", "SR,LM,01,+0.01500,-0.00200,+0.00010"},
        {"SW,OG,01,7", "ER,SW,62"},
        {"SW,LM,01,+000005,+000005,-000001", "ER,SW,62"},
        {"SW,LM,01,+000005,+000006,0000000", "ER,SW,62"},
        {"SW,LM,01,+000010,+000000,0000010", "ER,SW,62"},
        {"SW,LM,05,+000010,+000000,0000001", "ER,SW,64"},
        {"SR,OA,H,01", "SR,OA,H,01,H01"},
        {"SW,OA,H,01,C03", "SW,OA"},
        {"SR,OA,H,01", "SR,OA,H,01,C03"},
        {"SW,OA,H,01,H05", "ER,SW,62"},
        {"SW,OA,H,01,C07", "ER,SW,62"},
        {"SW,OA,H,01,Z01", "ER,SW,61"},
        {"SW,OA,T,04,9", "SW,OA,T"},
        {"SR,OA,T,04", "SR,OA,T,04,9"},
        {"SR,OA,T,05", "ER,SR,64"},
        {"SW,OA,C,08,03,04", "SW,OA,C"},
        {"SR,OA,C,08", "SR,OA,C,08,03,04"},
        {"SW,OA,M,01,1010", "SW,OA,M"},
        {"SR,OA,M,01", "SR,OA,M,01,1010"},
        {"SW,OA,M,01,0000", "ER,SW,64"},
        {"SR,OB,02", "SR,OB,02,+0000.00,+0000.00,+1000.00,+1000.00"},
        {"SW,OB,02,+000000,+000000,+000100,+000300", "ER,SW,61"},
        {"SW,OB,02,+000100,+000000,+000100,+000100", "ER,SW,61"},
        {"SW,OB,02,+000000,+000000,+000100,+000299", "SW,OB"},
        {"SR,OC,04", "SR,OC,04,0,0"},
        {"SW,OC,04,1,0", "ER,SW,62"},
        {"SR,OC,05", "ER,SR,64"},
        {"SW,OF,08,-000007", "SW,OF"},
        {"SR,OF,08", "SR,OF,08,-0000.07"},
        {"SR,OK,08", "SR,OK,08,1"},
        {"SW,OK,08,2", "ER,SW,62"},
        {"SR,OK,09", "ER,SR,64"},
    });
}

class SimSettings : public SettingsTest {};

// A setter and getter pair of the library and two sets of values to write.
struct RoundTrip {
    const char* name;
    std::function<int32_t(const std::vector<int32_t>&)> set;
    std::function<int32_t(std::vector<int32_t>&)> get;
    std::vector<int32_t> first, second;
};

TEST_F(SimSettings, EverySettingIsKeptPerProgram) {
    const RoundTrip settings[] = {
        {"AbleMode",
         [](auto& v) { return QUIL_SetAbleMode(kId, 1, v[0]); },
         [](auto& v) { return QUIL_GetAbleMode(kId, 1, &v[0]); },
         {1},
         {0}},
        {"AbleMinMax",
         [](auto& v) { return QUIL_SetAbleMinMax(kId, 2, v[0], v[1]); },
         [](auto& v) { return QUIL_GetAbleMinMax(kId, 2, &v[0], &v[1]); },
         {20, 80},
         {5, 99}},
        {"MeasureMode",
         [](auto& v) { return QUIL_SetMeasureMode(kId, 3, v[0]); },
         [](auto& v) { return QUIL_GetMeasureMode(kId, 3, &v[0]); },
         {3},
         {4}},
        {"BasicPoint",
         [](auto& v) { return QUIL_SetBasicPoint(kId, 4, v[0]); },
         [](auto& v) { return QUIL_GetBasicPoint(kId, 4, &v[0]); },
         {1},
         {0}},
        {"NumAlarm and NumRecovery",
         [](auto& v) {
             const int32_t r = QUIL_SetNumAlarm(kId, 1, v[0]);
             return r != QUIL_OK ? r : QUIL_SetNumRecovery(kId, 1, v[1]);
         },
         [](auto& v) {
             const int32_t r = QUIL_GetNumAlarm(kId, 1, &v[0]);
             return r != QUIL_OK ? r : QUIL_GetNumRecovery(kId, 1, &v[1]);
         },
         {12, 34},
         {9999, 0}},
        {"AlarmLevel",
         [](auto& v) { return QUIL_SetAlarmLevel(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetAlarmLevel(kId, 2, &v[0]); },
         {9},
         {1}},
        {"ReflectionMode",
         [](auto& v) { return QUIL_SetReflectionMode(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetReflectionMode(kId, 2, &v[0]); },
         {1},
         {0}},
        {"Mask",
         [](auto& v) { return QUIL_SetMask(kId, 2, v[0], v[1], v[2]); },
         [](auto& v) { return QUIL_GetMask(kId, 2, &v[0], &v[1], &v[2]); },
         {1, 1234, -50},
         {0, -999999, 999999}},
        {"Median",
         [](auto& v) { return QUIL_SetMedian(kId, 3, v[0]); },
         [](auto& v) { return QUIL_GetMedian(kId, 3, &v[0]); },
         {3},
         {1}},
        {"LaserCtrlGroup",
         [](auto& v) { return QUIL_SetLaserCtrlGroup(kId, 3, v[0]); },
         [](auto& v) { return QUIL_GetLaserCtrlGroup(kId, 3, &v[0]); },
         {1},
         {0}},
        {"MutualInterferencePreventionGroup",
         [](auto& v) { return QUIL_SetMutualInterferencePreventionGroup(kId, 4, v[0]); },
         [](auto& v) { return QUIL_GetMutualInterferencePreventionGroup(kId, 4, &v[0]); },
         {2},
         {1}},
        {"Tolerance",
         [](auto& v) { return QUIL_SetTolerance(kId, 2, v[0], v[1], v[2]); },
         [](auto& v) { return QUIL_GetTolerance(kId, 2, &v[0], &v[1], &v[2]); },
         {1500, -200, 10},
         {999999, -999999, 0}},
        {"CalcMethod",
         [](auto& v) { return QUIL_SetCalcMethod(kId, 5, v[0], v[1]); },
         [](auto& v) { return QUIL_GetCalcMethod(kId, 5, &v[0], &v[1]); },
         {0, 3},
         {1, 7}},
        {"CalcTarget",
         [](auto& v) { return QUIL_SetCalcTarget(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetCalcTarget(kId, 2, &v[0]); },
         {9},
         {0}},
        {"OutAddSub",
         [](auto& v) { return QUIL_SetOutAddSub(kId, 6, v[0], v[1]); },
         [](auto& v) { return QUIL_GetOutAddSub(kId, 6, &v[0], &v[1]); },
         {3, 4},
         {2, 1}},
        {"OutOperation",
         [](auto& v) { return QUIL_SetOutOperation(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetOutOperation(kId, 2, &v[0]); },
         {5},
         {15}},
        {"Scaling",
         [](auto& v) { return QUIL_SetScaling(kId, 2, v[0], v[1], v[2], v[3]); },
         [](auto& v) { return QUIL_GetScaling(kId, 2, &v[0], &v[1], &v[2], &v[3]); },
         {0, 0, 100, 200},
         {-1000, -500, 1000, 1500}},
        {"Filter",
         [](auto& v) { return QUIL_SetFilter(kId, 2, v[0], v[1]); },
         [](auto& v) { return QUIL_GetFilter(kId, 2, &v[0], &v[1]); },
         {0, 9},
         {0, 3}},
        {"TriggerMode",
         [](auto& v) { return QUIL_SetTriggerMode(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetTriggerMode(kId, 2, &v[0]); },
         {1},
         {0}},
        {"Offset",
         [](auto& v) { return QUIL_SetOffset(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetOffset(kId, 2, &v[0]); },
         {12345},
         {-7}},
        {"CalcMode",
         [](auto& v) { return QUIL_SetCalcMode(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetCalcMode(kId, 2, &v[0]); },
         {4},
         {2}},
        // Another OUT than the lengths above, which are read in hundredths.
        {"DisplayUnit",
         [](auto& v) { return QUIL_SetDisplayUnit(kId, 8, v[0]); },
         [](auto& v) { return QUIL_GetDisplayUnit(kId, 8, &v[0]); },
         {6},
         {3}},
        {"Synchronization",
         [](auto& v) { return QUIL_SetSynchronization(kId, 2, v[0]); },
         [](auto& v) { return QUIL_GetSynchronization(kId, 2, &v[0]); },
         {1},
         {0}},
        {"StorageTarget",
         [](auto& v) { return QUIL_SetStorageTarget(kId, 7, v[0]); },
         [](auto& v) { return QUIL_GetStorageTarget(kId, 7, &v[0]); },
         {0},
         {1}},
    };
    constexpr int32_t kFirstProgram = 0, kSecondProgram = 5;
    auto writeAll = [&](int32_t program, bool first) {
        ASSERT_EQ(QUIL_SetProgramNo(kId, program), QUIL_OK);
        for (const auto& s : settings) EXPECT_EQ(s.set(first ? s.first : s.second), QUIL_OK) << s.name;
    };
    auto expectAll = [&](int32_t program, bool first) {
        ASSERT_EQ(QUIL_SetProgramNo(kId, program), QUIL_OK);
        for (const auto& s : settings) {
            const std::vector<int32_t>& expected = first ? s.first : s.second;
            std::vector<int32_t> got(expected.size(), -1);
            EXPECT_EQ(s.get(got), QUIL_OK) << s.name;
            EXPECT_EQ(got, expected) << s.name << " in program " << program;
        }
    };
    writeAll(kFirstProgram, true);
    writeAll(kSecondProgram, false);
    expectAll(kFirstProgram, true);
    expectAll(kSecondProgram, false);
}

TEST_F(SimSettings, LengthsRoundTripInEveryDisplayUnit) {
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

TEST_F(SimSettings, ValuesTheControllerRefusesGiveTheMappedCode) {
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"mask switch 2", [] { return QUIL_SetMask(kId, 1, 2, 0, 0); }, QUIL_ERROR_VALUE},
        {"synchronization 2", [] { return QUIL_SetSynchronization(kId, 1, 2); }, QUIL_ERROR_VALUE},
        {"storage target -1", [] { return QUIL_SetStorageTarget(kId, 1, -1); }, QUIL_ERROR_VALUE},
        {"method on head 9", [] { return QUIL_SetCalcMethod(kId, 1, 0, 9); }, QUIL_ERROR_VALUE},
        {"method on OUT 123", [] { return QUIL_SetCalcMethod(kId, 1, 1, 123); }, QUIL_ERROR_PARAMETER},
        {"hysteresis below 0", [] { return QUIL_SetTolerance(kId, 1, 5, 5, -1); }, QUIL_ERROR_VALUE},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    // Nothing refused was kept.
    int32_t on = -1, p1 = -1, p2 = -1;
    ASSERT_EQ(QUIL_GetMask(kId, 1, &on, &p1, &p2), QUIL_OK);
    EXPECT_EQ(on, 0);
    ASSERT_EQ(QUIL_GetCalcMethod(kId, 1, &on, &p1), QUIL_OK);
    EXPECT_EQ(std::vector<int32_t>({on, p1}), std::vector<int32_t>({0, 1}));
    ASSERT_EQ(QUIL_GetTolerance(kId, 1, &on, &p1, &p2), QUIL_OK);
    EXPECT_EQ(std::vector<int32_t>({on, p1, p2}), std::vector<int32_t>({100000, -100000, 0}));
}

}  // namespace
