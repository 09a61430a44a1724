// Common settings of the simulated controller: the C and E groups that
// belong to no head or OUT, kept per program (see below for two exceptions).
//
// The sampling cycle is a code from 0: 0 to 7 on the encoder models, 0 to 5
// on the others. The running mode ("CJ") and the encoder input mode ("CI")
// belong to the models with one encoder input; the encoder models set their
// three channels with "CS" and "CQ" and answer these as unknown commands.
// These two are the controller's, not a program's: a settings file keeps
// them once, among the controller-wide settings.
#include <limits>

#include "sim/commands.h"
#include "sim/setting_table.h"

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
    using V = SettingValue;
    installSettings(
        model, {
                   {.group = "CA", .values = {{.lastFor = lastSamplingCycle}}},
                   {"CB", 0, {V::number(0, 2, 0)}},
                   {"CE", 0, {V::number(0, 3, 0)}},
                   {"CF", 0, {V::number(0, kMaxStoragePoints, 0, 7), V::number(0, 10, 0, 2)}},
                   {.group = "CJ",
                    .values = {V::number(0, 2, 0), V::number(0, 2, 0)},
                    .perProgram = false,
                    .available = singleEncoderModel},
                   {.group = "CI",
                    .values = {V::number(0, 3, 0), V::number(0, kMaxTime, 0, 10), V::number(1, kMaxTrigInterval, 1, 6)},
                    .perProgram = false,
                    .available = singleEncoderModel},
               });
    model.on("SR,EF", headsInUse, Model::kSetting);
    model.on("SR,EE", outsInUse, Model::kSetting);
}

}  // namespace quil::sim
