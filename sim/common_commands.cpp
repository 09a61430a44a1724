// Common settings of the simulated controller: the C and E groups that
// belong to no head or OUT, each kept per program.
//
// The sampling cycle is a code from 0: 0 to 7 on the encoder models, 0 to 5
// on the others. The running mode ("CJ") and the encoder input mode ("CI")
// belong to the models with one encoder input; the encoder models set their
// three channels with "CS" and "CQ" and answer these as unknown commands.
// These two are the controller's, not a program's: a settings file keeps
// them once, among the controller-wide settings.
#include <limits>

#include "sim/commands.h"
#include "sim/settings.h"

namespace quil::sim {
namespace {

constexpr int kMaxStoragePoints = 1200000;
constexpr int kMaxTrigInterval = 10000;
constexpr int kMaxTime = std::numeric_limits<int>::max();

int lastSamplingCycle(int modelCode) { return Model::encoderModel(modelCode) ? 7 : 5; }
bool singleEncoderModel(int modelCode) { return !Model::encoderModel(modelCode); }

// Heads and OUTs in use: read only. The encoder models drive two heads.
std::string headsInUse(Model& m, const Command& c) {
    return Model::reply({c.code, "EF", std::to_string(Model::encoderModel(m.modelCode()) ? 2 : Model::kHeadCount)});
}

std::string outsInUse(Model&, const Command& c) {
    return Model::reply({c.code, "EE", std::to_string(Model::kOutCount)});
}

}  // namespace

void installCommonCommands(Model& model) {
    const SettingGroup groups[] = {
        {.group = "CA", .values = {{0, 0, 0, lastSamplingCycle}}, .perProgram = true},
        {.group = "CB", .values = {{0, 2}}, .perProgram = true},
        {.group = "CE", .values = {{0, 3}}, .perProgram = true},
        {.group = "CF", .values = {{0, kMaxStoragePoints, 7}, {0, 10, 2}}, .perProgram = true},
        {.group = "CJ", .values = {{0, 2}, {0, 2}}, .available = singleEncoderModel},
        {.group = "CI",
         .values = {{0, 3}, {0, kMaxTime, 10}, {1, kMaxTrigInterval, 6}},
         .available = singleEncoderModel},
    };
    for (const SettingGroup& g : groups) installSettingGroup(model, g);
    model.on("SR,EF", headsInUse, Model::kSetting);
    model.on("SR,EE", outsInUse, Model::kSetting);
}

}  // namespace quil::sim
