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

#include "sim/commands.h"
#include "sim/settings.h"

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
    const SettingGroup groups[] = {
        {.group = "CY", .values = {{1, kChannels, 2}}, .available = encoder},
        {.group = "CS",
         .values = {{0, 3}, {0, kMaxTime, 10}, {1, 10000, 6}},
         .indexCount = kChannels,
         .available = encoder},
        {.group = "CQ", .values = {{0, 2}, {0, 2}}, .indexCount = kChannels, .available = encoder},
        {.group = "CT", .values = {{0, 3}}, .indexCount = kChannels, .available = encoder},
        {.group = "CU",
         .values = {{0, 4}},
         .indexCount = kDigitalOutputs,
         .available = encoder,
         .readMode = Model::kAnyMode},
    };
    for (const SettingGroup& g : groups) installSettingGroup(model, g);
    model.on("CX", onlyFor(encoder, Model::kAnyMode, currentValue));
    model.on("CD", onlyFor(encoder, Model::kAnyMode, resetValue));
}

}  // namespace quil::sim
