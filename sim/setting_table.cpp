#include "sim/setting_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

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
    std::map<std::string, SettingSpec> specs;
    std::string unitGroup;

    // The setting a line names: two letter pairs ("HA,M") before one.
    const SettingSpec* find(const Command& c) const {
        if (c.fields.size() > 2) {
            auto it = specs.find(c.fields[1] + "," + c.fields[2]);
            if (it != specs.end()) return &it->second;
        }
        auto it = specs.find(c.fields.size() > 1 ? c.fields[1] : "");
        return it == specs.end() ? nullptr : &it->second;
    }
};

std::size_t letterPairs(const SettingSpec& s) {
    return static_cast<std::size_t>(std::count(s.group.begin(), s.group.end(), ',')) + 1;
}

std::string storeKey(int program, const std::string& group, int index) {
    return "setting," + std::to_string(program) + "," + group + "," + std::to_string(index);
}

// The values of a setting in the active program.
std::vector<int> stored(const Model& m, const SettingSpec& s, int index) {
    std::vector<int> values;
    for (const SettingValue& v : s.values) values.push_back(v.initial);
    const std::string kept = m.value(storeKey(m.programNo(), s.group, index));
    if (kept.empty()) return values;  // never written in this program
    std::istringstream text(kept);
    for (int& v : values) text >> v;
    return values;
}

void store(Model& m, const SettingSpec& s, int index, const std::vector<int>& values) {
    std::string text;
    for (int v : values) text += std::to_string(v) + " ";
    m.setValue(storeKey(m.programNo(), s.group, index), text);
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
    auto it = t.specs.find(t.unitGroup);
    if (it == t.specs.end()) return kHundredthsDecimals;
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
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", v.width, value);
    return text;
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
int readIndex(Args& a, const SettingSpec& s) {
    for (std::size_t i = 0; i < letterPairs(s); ++i) a.text();
    return s.indexLast > 0 ? a.out(s.indexLast) : 0;
}

std::size_t indexArgs(const SettingSpec& s) { return letterPairs(s) + (s.indexLast > 0 ? 1 : 0); }

std::string read(const Table& t, Model& m, const Command& c) {
    const SettingSpec* s = t.find(c);
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
    const SettingSpec* s = t.find(c);
    if (!s) return Model::error(c, Model::kErrParameter);
    Args a(c, indexArgs(*s) + s->values.size());
    const int index = readIndex(a, *s);
    std::vector<int> values;
    int errorNo = 0;
    for (const SettingValue& v : s->values) values.push_back(parse(a, v, &errorNo));
    if (!a.ok()) return a.error();
    if (errorNo == Model::kErrParameter) return Model::error(c, errorNo);
    // A method's range depends on its letter; it was checked as it was read.
    for (std::size_t i = 0; i < values.size() && errorNo == 0; ++i)
        if (s->values[i].in != SettingValue::In::Method &&
            (values[i] < s->values[i].first || values[i] > s->values[i].last))
            errorNo = Model::kErrValue;
    if (errorNo == 0 && s->relation) errorNo = s->relation(values);
    if (errorNo != 0) return Model::error(c, errorNo);
    store(m, *s, index, values);
    const std::size_t echoed = std::min(s->writeReplyFields, c.fields.size());
    return Model::reply(std::vector<std::string>(c.fields.begin(), c.fields.begin() + static_cast<long>(echoed)));
}

}  // namespace

void installSettings(Model& model, std::vector<SettingSpec> specs, const std::string& unitGroup) {
    auto table = std::make_shared<Table>();
    table->unitGroup = unitGroup;
    std::vector<std::string> firstPairs;
    for (SettingSpec& s : specs) {
        firstPairs.push_back(s.group.substr(0, s.group.find(',')));
        table->specs[s.group] = std::move(s);
    }
    for (const std::string& pair : firstPairs) {
        model.on(
            "SR," + pair, [table](Model& m, const Command& c) { return read(*table, m, c); }, Model::kSetting);
        model.on(
            "SW," + pair, [table](Model& m, const Command& c) { return write(*table, m, c); }, Model::kSetting);
    }
}

}  // namespace quil::sim
