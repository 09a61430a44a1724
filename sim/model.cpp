#include "sim/model.h"

#include <utility>

#include "platform/platform.h"
#include "sim/commands.h"

namespace quil::sim {

Command Command::parse(const std::string& line) {
    Command c;
    c.line = line;
    c.code = line.substr(0, 2);
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = line.find(',', start);
        c.fields.push_back(line.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return c;
}

Model::Model(int modelCode) : modelCode_(modelCode) {
    for (int out = 1; out <= kOutCount; ++out) findOut(out)->value = "+00" + std::to_string(out) + ".000";

    // The mode commands answer with their own two characters.
    auto modeSwitch = [](int mode) {
        return [mode](Model& m, const Command& c) {
            m.setMode(mode);
            return reply({c.code});
        };
    };
    on("R0", modeSwitch(kMeasurement));
    on("Q0", modeSwitch(kSetting));
    on("MD", [](Model& m, const Command& c) { return reply({c.code, std::to_string(m.modelCode())}); });
    installMeasureCommands(*this);
    installStorageCommands(*this);
    installJsonCommands(*this);
    installHeadCommands(*this);
    installOutputCommands(*this);
    installCommonCommands(*this);
    installEncoderCommands(*this);
    installControllerSettingsCommands(*this);
}

void Model::on(const std::string& code, Handler handler, int requiredMode) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handlers_[code] = Entry{std::move(handler), requiredMode};
}

std::string Model::answer(const std::string& line) {
    Command c = Command::parse(line);
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // A handler registered for the code and its first argument ("SR,HA")
    // takes precedence over one for the code alone: the setting commands
    // share "SR" and "SW" and differ by their group letters.
    auto it = c.fields.size() > 1 ? handlers_.find(c.code + "," + c.fields[1]) : handlers_.end();
    if (it == handlers_.end()) it = handlers_.find(c.code);
    if (it == handlers_.end()) return error(c, kErrUnknown);
    if (it->second.requiredMode != kAnyMode && it->second.requiredMode != mode_) return error(c, kErrMode);
    return it->second.handler(*this, c);
}

bool Model::knownModel(int code) { return (code >= 0 && code <= 11) || encoderModel(code); }

bool Model::encoderModel(int code) { return code >= 34 && code <= 39; }

int Model::mode() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return mode_;
}

void Model::setMode(int mode) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    mode_ = mode;
}

int Model::modelCode() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return modelCode_;
}

void Model::setModelCode(int code) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    modelCode_ = code;
}

Model::Out* Model::findOut(int out) {
    return out >= 1 && out <= kOutCount ? &outs_[static_cast<std::size_t>(out - 1)] : nullptr;
}

const Model::Out* Model::findOut(int out) const { return const_cast<Model*>(this)->findOut(out); }

std::string Model::outValue(int out) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Out* o = findOut(out);
    if (!o) return std::string();
    if (signal_.shape == SignalShape::Constant) return o->value;
    return signalText(signalAt(signal_, out, static_cast<double>(platform::monotonicMs() - signalStartMs_)));
}

void Model::setSignal(const SignalOptions& signal) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    signal_ = signal;
    signalStartMs_ = platform::monotonicMs();
}

SignalOptions Model::signal() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return signal_;
}

void Model::setOutValue(int out, std::string text) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (Out* o = findOut(out)) o->value = std::move(text);
}

bool Model::timing(int out) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Out* o = findOut(out);
    return o && o->timing;
}

void Model::setTiming(int out, bool on) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (Out* o = findOut(out)) o->timing = on;
}

bool Model::zero(int out) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Out* o = findOut(out);
    return o && o->zero;
}

void Model::setZero(int out, bool on) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (Out* o = findOut(out)) o->zero = on;
}

int Model::resetCount(int out) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Out* o = findOut(out);
    return o ? o->resetCount : 0;
}

void Model::addReset(int out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (Out* o = findOut(out)) ++o->resetCount;
}

int Model::programNo() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return programNo_;
}

void Model::setProgramNo(int programNo) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    programNo_ = programNo;
}

std::string Model::value(const std::string& key, const std::string& fallback) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second;
}

void Model::setValue(const std::string& key, std::string value) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    values_[key] = std::move(value);
}

std::uint32_t Model::registerValue(int head, std::uint32_t addr) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (head < 0 || head > kHeadCount) return 0;
    const auto& regs = registers_[static_cast<std::size_t>(head)];
    auto it = regs.find(addr);
    return it == regs.end() ? 0 : it->second;
}

void Model::setRegisterValue(int head, std::uint32_t addr, std::uint32_t value) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (head >= 0 && head <= kHeadCount) registers_[static_cast<std::size_t>(head)][addr] = value;
}

std::uint32_t Model::spotTypeCode() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return spotTypeCode_;
}

void Model::setSpotTypeCode(std::uint32_t code) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    spotTypeCode_ = code;
}

void Model::setJsonError(int number, const std::string& message) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (number == 0)
        jsonErrors_.erase(message);
    else
        jsonErrors_[message] = number;
}

int Model::jsonError(const std::string& message) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const std::string& key : {message, std::string()}) {
        auto it = jsonErrors_.find(key);
        if (it != jsonErrors_.end()) return it->second;
    }
    return 0;
}

void Model::setRollSwitch(RollSwitch handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    rollSwitch_ = std::move(handler);
}

bool Model::switchRoll(bool start) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return rollSwitch_ ? rollSwitch_(start) : start;
}

std::string Model::error(const Command& command, int number) {
    return reply({"ER", command.code, std::to_string(number)});
}

std::string Model::reply(const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ',';
        out += fields[i];
    }
    return out + "\r\n";
}

}  // namespace quil::sim
