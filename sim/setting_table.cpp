#include "sim/setting_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

#include "sim/commands.h"

namespace quil::sim {
namespace {

constexpr int kHeads = 4;
constexpr int kCalcMethods = 6;  // "C01" to "C06"
constexpr int kSigned6Digits = 6;
// Decimals of a length per display unit (0 to 6); other units print whole.
constexpr int kUnitDecimals[] = {2, 3, 4, 5, 1, 2, 3};
constexpr int kHundredthsDecimals = 2;

struct Table {
    std::map<std::string, SettingGroup> groups;
    std::string unitGroup;

    // The setting a line names: two letter pairs ("HA,M") before one.
    const SettingGroup* find(const Command& c) const {
        if (c.fields.size() > 2) {
            auto it = groups.find(c.fields[1] + "," + c.fields[2]);
            if (it != groups.end()) return &it->second;
        }
        auto it = groups.find(c.fields.size() > 1 ? c.fields[1] : "");
        return it == groups.end() ? nullptr : &it->second;
    }
};

std::size_t letterPairs(const SettingGroup& s) {
    return static_cast<std::size_t>(std::count(s.group.begin(), s.group.end(), ',')) + 1;
}

// Where the model keeps a setting: "setting,HG,1" for index 1, with ",P3"
// in program 3 for a setting kept per program.
std::string storeKey(const Model& m, const SettingGroup& s, int index) {
    std::string key = "setting," + s.group + "," + std::to_string(index);
    if (s.perProgram) key += ",P" + std::to_string(m.programNo());
    return key;
}

// The values of a setting (in the active program).
std::vector<int> stored(const Model& m, const SettingGroup& s, int index) {
    std::vector<int> values;
    for (const SettingValue& v : s.values) values.push_back(v.initial);
    const std::string kept = m.value(storeKey(m, s, index));
    if (kept.empty()) return values;  // never written in this program
    std::istringstream text(kept);
    for (int& v : values) text >> v;
    return values;
}

void store(Model& m, const SettingGroup& s, int index, const std::vector<int>& values) {
    std::string text;
    for (int v : values) text += std::to_string(v) + " ";
    m.setValue(storeKey(m, s, index), text);
}

// A length of `decimals` decimals from its integer count: a sign and six
// digits with the point among them, "+012.345" for 12345 in thousandths.
std::string lengthText(int v, int decimals) {
    std::string digits = std::to_string(std::labs(static_cast<long>(v)));
    if (digits.size() < kSigned6Digits) digits.insert(0, kSigned6Digits - digits.size(), '0');
    if (decimals > 0) digits.insert(digits.size() - static_cast<std::size_t>(decimals), ".");
    return (v < 0 ? "-" : "+") + digits;
}

std::string methodText(int encoded) {
    const int method = encoded / kMethodBase;
    const int number = encoded % kMethodBase;
    const char letter = method == 0 ? 'H' : method == 1 ? 'O' : 'C';
    char text[16];
    std::snprintf(text, sizeof text, "%c%02d", letter, method <= 1 ? number : method - 1);
    return text;
}

std::string maskText(int bits) {
    std::string text;
    for (int i = 0; i < Args::kMaskOuts; ++i) text += (bits >> i) & 1 ? '1' : '0';
    return text;
}

int unitDecimals(const Table& t, const Model& m, int index) {
    auto it = t.groups.find(t.unitGroup);
    if (it == t.groups.end()) return kHundredthsDecimals;
    const int unit = stored(m, it->second, index).front();
    return unit >= 0 && unit < static_cast<int>(std::size(kUnitDecimals)) ? kUnitDecimals[unit] : 0;
}

std::string print(const Table& t, const Model& m, const SettingValue& v, int value, int index) {
    switch (v.out) {
    case SettingValue::Out::Hundredths: return lengthText(value, kHundredthsDecimals);
    case SettingValue::Out::Length: return lengthText(value, unitDecimals(t, m, index));
    case SettingValue::Out::Method: return methodText(value);
    case SettingValue::Out::Mask: return maskText(value);
    case SettingValue::Out::Decimal: break;
    }
    return digits(value, v.width);
}

bool allDigits(const std::string& text, std::size_t from) {
    return from < text.size() &&
           std::all_of(text.begin() + static_cast<long>(from), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of one "SW" argument. A text not in its form sets *errorNo to 61,
// a method naming a head or OUT that does not exist to 62.
int parse(Args& a, const SettingValue& v, int* errorNo) {
    switch (v.in) {
    case SettingValue::In::Decimal: return a.integer();
    case SettingValue::In::Mask: return static_cast<int>(a.mask());
    case SettingValue::In::Signed6: {
        const std::string text = a.text();
        if (!a.ok()) return 0;
        if (text.size() != kSigned6Digits + 1 || (text[0] != '+' && text[0] != '-') || !allDigits(text, 1)) {
            *errorNo = Model::kErrParameter;
            return 0;
        }
        const int magnitude = std::atoi(text.c_str() + 1);
        return text[0] == '-' ? -magnitude : magnitude;
    }
    case SettingValue::In::Method: {
        const std::string text = a.text();
        if (!a.ok()) return 0;
        const std::size_t letter = std::string("HOC").find(text.empty() ? '?' : text[0]);
        if (text.size() != 3 || letter == std::string::npos || !allDigits(text, 1)) {
            *errorNo = Model::kErrParameter;
            return 0;
        }
        const int number = std::atoi(text.c_str() + 1);
        const int highest[] = {kHeads, Model::kOutCount, kCalcMethods};
        if (number < 1 || number > highest[letter]) *errorNo = Model::kErrValue;
        return letter == 2 ? (number + 1) * kMethodBase : static_cast<int>(letter) * kMethodBase + number;
    }
    }
    return 0;
}

// Reads the group letters and the index of a line; the index is 0 for a
// setting without one.
int readIndex(Args& a, const SettingGroup& s) {
    for (std::size_t i = 0; i < letterPairs(s); ++i) a.text();
    return s.indexLast > 0 ? a.out(s.indexLast) : 0;
}

std::size_t indexArgs(const SettingGroup& s) { return letterPairs(s) + (s.indexLast > 0 ? 1 : 0); }

std::string read(const Table& t, Model& m, const Command& c) {
    const SettingGroup* s = t.find(c);
    if (!s) return Model::error(c, Model::kErrParameter);
    Args a(c, indexArgs(*s));
    const int index = readIndex(a, *s);
    if (!a.ok()) return a.error();
    std::vector<std::string> fields = c.fields;
    const std::vector<int> values = stored(m, *s, index);
    for (std::size_t i = 0; i < values.size(); ++i) fields.push_back(print(t, m, s->values[i], values[i], index));
    return Model::reply(fields);
}

std::string write(const Table& t, Model& m, const Command& c) {
    const SettingGroup* s = t.find(c);
    if (!s) return Model::error(c, Model::kErrParameter);
    Args a(c, indexArgs(*s) + s->values.size());
    const int index = readIndex(a, *s);
    std::vector<int> values;
    int errorNo = 0;
    for (const SettingValue& v : s->values) values.push_back(parse(a, v, &errorNo));
    if (!a.ok()) return a.error();
    if (errorNo == Model::kErrParameter) return Model::error(c, errorNo);
    // A method's range depends on its letter; it was checked as it was read.
    for (std::size_t i = 0; i < values.size() && errorNo == 0; ++i) {
        const SettingValue& v = s->values[i];
        const int last = v.lastFor ? v.lastFor(m.modelCode()) : v.last;
        if (v.in != SettingValue::In::Method && (values[i] < v.first || values[i] > last)) errorNo = Model::kErrValue;
    }
    if (errorNo == 0 && s->relation) errorNo = s->relation(values);
    if (errorNo != 0) return Model::error(c, errorNo);
    store(m, *s, index, values);
    const std::size_t echoed = std::min(s->writeReplyFields, c.fields.size());
    return Model::reply(std::vector<std::string>(c.fields.begin(), c.fields.begin() + static_cast<long>(echoed)));
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

void installSettings(Model& model, std::vector<SettingGroup> groups, const std::string& unitGroup) {
    auto table = std::make_shared<Table>();
    table->unitGroup = unitGroup;
    for (SettingGroup& g : groups) {
        // Groups that share their first letter pair ("HA,M", "HA,R") share
        // its handlers; a model lacks them all alike, so the model is tested
        // before the mode.
        const std::string pair = g.group.substr(0, g.group.find(','));
        model.on("SR," + pair,
                 onlyFor(g.available, g.readMode, [table](Model& m, const Command& c) { return read(*table, m, c); }));
        model.on("SW," + pair, onlyFor(g.available, Model::kSetting,
                                       [table](Model& m, const Command& c) { return write(*table, m, c); }));
        table->groups[g.group] = std::move(g);
    }
}

}  // namespace quil::sim
