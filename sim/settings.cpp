#include "sim/settings.h"

#include <cstdio>
#include <utility>

#include "sim/commands.h"

namespace quil::sim {
namespace {

// Where the model keeps a group's values: "CS,02" for index 2, with ",P3"
// in program 3 for a group kept per program.
std::string keyOf(const Model& m, const SettingGroup& g, int index) {
    std::string key = g.group;
    if (g.indexCount > 0) key += "," + digits(index, 2);
    if (g.perProgram) key += ",P" + std::to_string(m.programNo());
    return key;
}

std::string startValues(const SettingGroup& g) {
    std::string text;
    for (const SettingValue& v : g.values) text += (text.empty() ? "" : ",") + digits(v.first, v.width);
    return text;
}

int indexArgs(const SettingGroup& g) { return g.indexCount > 0 ? 1 : 0; }

std::string read(const SettingGroup& g, Model& m, const Command& c) {
    Args a(c, static_cast<std::size_t>(indexArgs(g)), Args::kSettingArgs);
    const int index = g.indexCount > 0 ? a.out(g.indexCount) : 0;
    if (!a.ok()) return a.error();
    std::vector<std::string> fields{c.code, g.group};
    if (g.indexCount > 0) fields.push_back(digits(index, 2));
    fields.push_back(m.value(keyOf(m, g, index), startValues(g)));
    return Model::reply(fields);
}

std::string write(const SettingGroup& g, Model& m, const Command& c) {
    Args a(c, static_cast<std::size_t>(indexArgs(g)) + g.values.size(), Args::kSettingArgs);
    const int index = g.indexCount > 0 ? a.out(g.indexCount) : 0;
    std::string text;
    for (const SettingValue& v : g.values) {
        const int value = a.setting(v.first, v.lastFor ? v.lastFor(m.modelCode()) : v.last);
        text += (text.empty() ? "" : ",") + digits(value, v.width);
    }
    if (!a.ok()) return a.error();
    m.setValue(keyOf(m, g, index), text);
    return Model::reply({c.code, g.group});
}

}  // namespace

std::string digits(int value, int width) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*d", width, value);
    return text;
}

Model::Handler onlyFor(bool (*available)(int modelCode), int mode, Model::Handler handler) {
    return [available, mode, handler = std::move(handler)](Model& m, const Command& c) {
        if (available && !available(m.modelCode())) return Model::error(c, Model::kErrUnknown);
        if (mode != Model::kAnyMode && m.mode() != mode) return Model::error(c, Model::kErrMode);
        return handler(m, c);
    };
}

void installSettingGroup(Model& model, const SettingGroup& group) {
    // The model refuses a group it lacks in every mode, so the mode is tested
    // here, after the model, rather than by Model::on.
    model.on("SR," + group.group, onlyFor(group.available, group.readMode,
                                          [group](Model& m, const Command& c) { return read(group, m, c); }));
    model.on("SW," + group.group, onlyFor(group.available, Model::kSetting,
                                          [group](Model& m, const Command& c) { return write(group, m, c); }));
}

}  // namespace quil::sim
