// Output setting commands of the simulated controller: the O groups of "SR"
// and "SW", the tolerance ("LM") and the analog monitor ("VK", "VJ", "VI"),
// one setting per OUT. The judgement, filter, trigger and calculation
// settings, the measurement type and the monitor mode exist for OUT1 to
// OUT4 only.
//
// Lengths (tolerance limits, scaling points, offset) are kept as the integer
// counts "SW" sends and printed by "SR" in the OUT's display unit ("OG"):
// 12345 reads "+0123.45" in unit 0 (hundredths) and "+012.345" in unit 1.
#include <cstdlib>

#include "sim/commands.h"
#include "sim/setting_table.h"

namespace quil::sim {
namespace {

constexpr int kControlOuts = 4;
constexpr int kMaxLength = 999999;
constexpr int kMaxScalingSlope = 2;
constexpr int kMaxMillivolts = 10000;

using V = SettingValue;

V length(int initial = 0) { return {V::In::Signed6, V::Out::Length, -kMaxLength, kMaxLength, initial, 0}; }

// Upper limit, lower limit, hysteresis: the limits in order and the
// hysteresis smaller than the band between them.
int toleranceFits(const std::vector<int>& v) { return v[0] >= v[1] && v[2] < v[0] - v[1] ? 0 : Model::kErrValue; }

// Input 1, output 1, input 2, output 2: two distinct inputs, and outputs at
// most twice as far apart as the inputs (integer quotient).
int scalingFits(const std::vector<int>& v) {
    const int in = std::abs(v[2] - v[0]);
    return in != 0 && std::abs(v[3] - v[1]) / in <= kMaxScalingSlope ? 0 : Model::kErrParameter;
}

// Two values of a range, the upper first or the lower first: the lower one
// below the upper one.
int upperFirstFits(const std::vector<int>& v) { return v[1] < v[0] ? 0 : Model::kErrValue; }
int lowerFirstFits(const std::vector<int>& v) { return v[0] < v[1] ? 0 : Model::kErrValue; }

}  // namespace

void installOutputCommands(Model& model) {
    installSettings(model,
                    {
                        // Upper and lower limit; the hysteresis comes as seven plain digits.
                        {"LM",
                         kControlOuts,
                         {length(100000), length(-100000), {V::In::Decimal, V::Out::Length, 0, kMaxLength, 0, 0}},
                         2,
                         toleranceFits},
                        {"OA,H", Model::kOutCount, {{V::In::Method, V::Out::Method, 0, 0, 1, 0}}},  // "H01"
                        {"OA,T", kControlOuts, {V::number(0, 9, 0)}, 3},
                        {"OA,C", Model::kOutCount, {V::number(1, 4, 1, 2), V::number(1, 4, 2, 2)}, 3},
                        {"OA,M", kControlOuts, {{V::In::Mask, V::Out::Mask, 1, 15, 1, 0}}, 3},
                        {"OB", Model::kOutCount, {length(), length(), length(100000), length(100000)}, 2, scalingFits},
                        // Only the averaging filter (mode 0), parameter 0 to 9.
                        {"OC", kControlOuts, {V::number(0, 0, 0), V::number(0, 9, 0)}},
                        {"OE,M", kControlOuts, {V::number(0, 1, 0)}},
                        {"OF", Model::kOutCount, {length()}},
                        {"OD", kControlOuts, {V::number(0, 4, 0)}},
                        {"OG", Model::kOutCount, {V::number(0, 6, 0)}},
                        {"OJ", Model::kOutCount, {V::number(0, 1, 0)}},
                        {"OK", Model::kOutCount, {V::number(0, 1, 1)}},
                        // Measurement type and analog monitor mode of OUT1 to OUT4.
                        {"OI", kControlOuts, {V::number(0, 2, 0)}},
                        {"VK", kControlOuts, {V::number(0, 2, 0, 2)}},
                        // Monitor measuring range in hundredths, upper first.
                        {"VJ",
                         Model::kOutCount,
                         {{V::In::Signed6, V::Out::Hundredths, -kMaxLength, kMaxLength, 100000, 0},
                          {V::In::Signed6, V::Out::Hundredths, -kMaxLength, kMaxLength, -100000, 0}},
                         2,
                         upperFirstFits},
                        // Monitor voltage range in millivolts, lower first.
                        {"VI",
                         Model::kOutCount,
                         {V::number(-kMaxMillivolts, kMaxMillivolts, -5000, 6),
                          V::number(-kMaxMillivolts, kMaxMillivolts, 5000, 6)},
                         2,
                         lowerFirstFits},
                        // Reflector correction: on or off, and its value in ten-thousandths.
                        {"OL",
                         Model::kOutCount,
                         {V::number(0, 1, 0), {V::In::Signed6, V::Out::Decimal, -kMaxLength, kMaxLength, 0, 0}}},
                    },
                    "OG");
}

}  // namespace quil::sim
