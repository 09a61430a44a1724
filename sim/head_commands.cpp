// Head setting commands of the simulated controller: the H groups of "SR"
// and "SW", one setting per sensor head (1 to 4), and the ABLE calibration
// commands ("SW,HD").
#include "sim/commands.h"
#include "sim/setting_table.h"

namespace quil::sim {
namespace {

constexpr int kHeads = 4;
constexpr int kMaxSignedLength = 999999;

using V = SettingValue;

// A mask position in hundredths, sent as a sign and six digits.
V position() { return {V::In::Signed6, V::Out::Hundredths, -kMaxSignedLength, kMaxSignedLength, 0, 0}; }

// "SW,HD,S,nn" starts the ABLE calibration of a head, "SW,HD,P" stops it and
// "SW,HD,C" cancels it; each is answered "SW,HD".
std::string ableCommand(Model&, const Command& c) {
    const std::string action = c.fields.size() > 2 ? c.fields[2] : "";
    Args a(c, action == "S" ? 3 : 2);
    a.text();
    a.text();
    if (action == "S") a.out(kHeads);
    if (!a.ok()) return a.error();
    if (action != "S" && action != "P" && action != "C") return Model::error(c, Model::kErrParameter);
    return Model::reply({c.fields[0], c.fields[1]});
}

}  // namespace

void installHeadCommands(Model& model) {
    installSettings(model, {
                               {"HA,M", kHeads, {V::number(0, 1, 0)}},
                               // Max, then Min.
                               {"HA,R", kHeads, {V::number(1, 99, 90, 2), V::number(1, 99, 10, 2)}},
                               {"HB,M", kHeads, {V::number(0, 4, 0)}},
                               {"HB,B", kHeads, {V::number(0, 1, 0)}},
                               // Alarm count, then recovery count.
                               {"HC,N", kHeads, {V::number(0, 9999, 7, 4), V::number(0, 9999, 3, 4)}},
                               {"HC,L", kHeads, {V::number(0, 9, 5)}},
                               {"HE", kHeads, {V::number(0, 1, 0)}},
                               {"HF", kHeads, {V::number(0, 1, 0), position(), position()}},
                               {"HG", kHeads, {V::number(0, 3, 0)}},
                               // Answered with the head number as a third field.
                               {"HH", kHeads, {V::number(0, 1, 0)}, 3},
                               {"HJ", kHeads, {V::number(0, 2, 0)}},
                           });
    model.on("SW,HD", ableCommand, Model::kSetting);
}

}  // namespace quil::sim
