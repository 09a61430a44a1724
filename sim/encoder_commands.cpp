// Encoder inputs, analog outputs and digital outputs of the simulated
// controller: only the encoder models (34 to 39) have them; the others
// answer every one of these commands with error 99.
//
// The current value ("CX") and the reset ("CD") are plain commands, answered
// in either mode, as is the read of a digital output's level ("SR,CU"); the
// other groups are setting commands. The parameters are kept per channel,
// not per program.
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sim/commands.h"
#include "sim/setting_table.h"

namespace quil::sim {
namespace {

constexpr int kDigitalOutputs = 4;
constexpr int kMaxTime = std::numeric_limits<int>::max();

std::string currentKey(int channel) { return "CX," + digits(channel, 2); }

std::string currentValue(Model& m, const Command& c) {
    Args a(c, 1);
    const int channel = a.out(Model::kEncoderChannels);
    if (!a.ok()) return a.error();
    return Model::reply({c.code, m.value(currentKey(channel), "0")});
}

std::string resetValue(Model& m, const Command& c) {
    Args a(c, 1);
    const int channel = a.out(Model::kEncoderChannels);
    if (!a.ok()) return a.error();
    m.setValue(currentKey(channel), "0");
    return Model::reply({c.code});
}

}  // namespace

void installEncoderCommands(Model& model) {
    constexpr int kChannels = Model::kEncoderChannels;
    const auto encoder = Model::encoderModel;
    using V = SettingValue;
    std::vector<SettingGroup> groups = {
        {"CY", 0, {V::number(1, kChannels, 1, 2)}},
        {"CS", kChannels, {V::number(0, 3, 0), V::number(0, kMaxTime, 0, 10), V::number(1, 10000, 1, 6)}},
        {"CQ", kChannels, {V::number(0, 2, 0), V::number(0, 2, 0)}},
        {"CT", kChannels, {V::number(0, 3, 0)}},
        {.group = "CU", .indexLast = kDigitalOutputs, .values = {V::number(0, 4, 0)}, .readMode = Model::kAnyMode},
    };
    for (SettingGroup& g : groups) {
        g.perProgram = false;
        g.available = encoder;
    }
    installSettings(model, std::move(groups));
    model.on("CX", onlyFor(encoder, Model::kAnyMode, currentValue));
    model.on("CD", onlyFor(encoder, Model::kAnyMode, resetValue));
}

}  // namespace quil::sim
