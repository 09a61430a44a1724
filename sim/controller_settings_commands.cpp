// Controller settings of the simulated controller that only the settings
// files reach: the network settings ("SR,EH,I", "SR,EH,M", "SR,EH,G"; read
// only, each as twelve digits, three per byte), the serial line ("EH,B":
// baud-rate index 0 to 4 and parity index 0 to 3), autosend ("EH,C", 0 or
// 1), invalid data ("PV" writes 0 or 1, "PI,<n>" reads it whatever n is),
// the four input/output function assignments ("CK" to "CN", 0 to 9) and the
// output-count type ("SR,CP", read only; 1 for eight OUTs). They are the
// controller's, not a program's, and all of them are setting-mode commands.
//
// The six output settings of the same command set (average selection,
// measurement type, monitor mode and ranges, reflector) are among the output
// settings, per program (output_commands.cpp).
#include <cstdio>
#include <string>
#include <vector>

#include "sim/commands.h"
#include "sim/setting_table.h"

namespace quil::sim {
namespace {

constexpr int kMaxBaud = 4;
constexpr int kMaxParity = 3;
constexpr int kMaxInOut = 9;

std::string networkKey(const std::string& letter) { return "network," + letter; }

// "127.0.0.42" as the controller sends it: "127000000042".
std::string addressDigits(const std::string& dotted) {
    unsigned b[4] = {};
    std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]);
    char text[16];
    std::snprintf(text, sizeof text, "%03u%03u%03u%03u", b[0] % 1000, b[1] % 1000, b[2] % 1000, b[3] % 1000);
    return text;
}

// The controller refuses a value outside what it takes with 62.
bool within(int v, int first, int last) { return v >= first && v <= last; }

// "SR,EH,<letter>": an address, the serial line or autosend.
std::string readEh(Model& m, const Command& c) {
    Args a(c, 2);
    a.text();
    const std::string letter = a.text();
    if (!a.ok()) return a.error();
    if (letter == "I" || letter == "M" || letter == "G")
        return Model::reply({c.code, "EH", letter, addressDigits(m.value(networkKey(letter)))});
    if (letter == "B") return Model::reply({c.code, "EH", letter, m.value("EH,B", "0,0")});
    if (letter == "C") return Model::reply({c.code, "EH", letter, m.value("EH,C", "0")});
    return Model::error(c, Model::kErrParameter);
}

// "SW,EH,B,<baud>,<parity>" and "SW,EH,C,<autosend>".
std::string writeEh(Model& m, const Command& c) {
    const std::string letter = c.fields.size() > 2 ? c.fields[2] : "";
    if (letter != "B" && letter != "C") return Model::error(c, Model::kErrParameter);
    Args a(c, letter == "B" ? 4 : 3);
    a.text();
    a.text();
    const int first = a.integer();
    const int second = letter == "B" ? a.integer() : 0;
    if (!a.ok()) return a.error();
    if (letter == "B") {
        if (!within(first, 0, kMaxBaud) || !within(second, 0, kMaxParity)) return Model::error(c, Model::kErrValue);
        m.setValue("EH,B", std::to_string(first) + "," + std::to_string(second));
    } else {
        if (!within(first, 0, 1)) return Model::error(c, Model::kErrValue);
        m.setValue("EH,C", std::to_string(first));
    }
    return Model::reply({c.code, "EH"});
}

std::string writeInvalidData(Model& m, const Command& c) {
    Args a(c, 1);
    const int value = a.integer();
    if (!a.ok()) return a.error();
    if (!within(value, 0, 1)) return Model::error(c, Model::kErrValue);
    m.setValue("PV", std::to_string(value));
    return Model::reply({c.code});
}

std::string readInvalidData(Model& m, const Command& c) {
    Args a(c, 1);
    a.integer();
    if (!a.ok()) return a.error();
    return Model::reply({c.code, m.value("PV", "0")});
}

std::string readOutCountType(Model& m, const Command& c) {
    Args a(c, 1);
    a.text();
    if (!a.ok()) return a.error();
    return Model::reply({c.code, "CP", m.value("CP", "1")});
}

}  // namespace

void setNetworkSettings(Model& model, const std::string& address, const std::string& mask, const std::string& gateway) {
    model.setValue(networkKey("I"), address);
    model.setValue(networkKey("M"), mask);
    model.setValue(networkKey("G"), gateway);
}

void installControllerSettingsCommands(Model& model) {
    setNetworkSettings(model, "127.0.0.1", "255.0.0.0", "127.0.0.1");
    model.on("SR,EH", readEh, Model::kSetting);
    model.on("SW,EH", writeEh, Model::kSetting);
    model.on("PV", writeInvalidData, Model::kSetting);
    model.on("PI", readInvalidData, Model::kSetting);
    model.on("SR,CP", readOutCountType, Model::kSetting);
    std::vector<SettingGroup> inOut;
    for (const char* group : {"CK", "CL", "CM", "CN"})
        inOut.push_back({.group = group, .values = {SettingValue::number(0, kMaxInOut, 0)}, .perProgram = false});
    installSettings(model, inOut);
}

}  // namespace quil::sim
