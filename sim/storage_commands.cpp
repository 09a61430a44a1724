// Data storage: the controller records the values of its OUTs (and, on the
// models with encoder inputs, the encoder counts) into its own memory and
// hands each list over in one long line.
//
//   "AS" / "AP" / "AQ"   start, stop, clear; answered with the letters alone
//   "AN"                 "AN,<recording 1/0>,<points of OUT1>,...,<OUT8>"
//   "AO,nn"              "AO,<token>,<token>,..." for OUT nn ("AO" when empty)
//   "AR,nn"              the same for encoder channel nn (models 34 to 39)
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/commands.h"

namespace quil::sim {
namespace {

constexpr int kFirstEncoderModel = 34;
constexpr int kLastEncoderModel = 39;
// What each encoder channel counts per point.
constexpr int kEncoderSteps[Model::kEncoderChannels] = {1, -1, 3};

// The letters, then the tokens after a comma when there are any.
std::string listReply(const Command& c, const std::string& tokens) {
    std::string out;
    out.reserve(tokens.size() + 8);
    out += c.code;
    if (!tokens.empty()) {
        out += ',';
        out += tokens;
    }
    out += "\r\n";
    return out;
}

Model::Handler control(void (Model::*apply)()) {
    return [apply](Model& m, const Command& c) {
        Args a(c, 0);
        if (!a.ok()) return a.error();
        (m.*apply)();
        return Model::reply({c.code});
    };
}

std::string status(Model& m, const Command& c) {
    Args a(c, 0);
    if (!a.ok()) return a.error();
    std::vector<std::string> fields{c.code, m.recording() ? "1" : "0"};
    for (int out = 1; out <= Model::kOutCount; ++out) fields.push_back(std::to_string(m.storedCount(out)));
    return Model::reply(fields);
}

std::string readOut(Model& m, const Command& c) {
    Args a(c, 1);
    int out = a.out(Model::kOutCount);
    if (!a.ok()) return a.error();
    return listReply(c, m.storedList(out));
}

std::string readEncoder(Model& m, const Command& c) {
    // Models without encoder inputs do not know the command.
    if (m.modelCode() < kFirstEncoderModel || m.modelCode() > kLastEncoderModel)
        return Model::error(c, Model::kErrUnknown);
    Args a(c, 1);
    int channel = a.out(Model::kEncoderChannels);
    if (!a.ok()) return a.error();
    return listReply(c, m.encoderList(channel));
}

}  // namespace

void installStorageCommands(Model& model) {
    model.on("AS", control(&Model::startRecording), Model::kMeasurement);
    model.on("AP", control(&Model::stopRecording), Model::kMeasurement);
    model.on("AQ", control(&Model::clearStorage), Model::kMeasurement);
    model.on("AN", status, Model::kMeasurement);
    model.on("AO", readOut, Model::kMeasurement);
    model.on("AR", readEncoder, Model::kMeasurement);
}

void Model::StoredList::add(const std::string& token) {
    if (count > 0) text += ',';
    text += token;
    ++count;
}

void Model::StoredList::assign(const std::vector<std::string>& tokens) {
    text.clear();
    count = 0;
    std::size_t bytes = 0;
    for (const auto& t : tokens) bytes += t.size() + 1;
    text.reserve(bytes);
    for (const auto& t : tokens) add(t);
}

std::size_t Model::mostStored() const {
    std::size_t most = 0;
    for (const auto& list : storage_.outs) most = std::max(most, list.count);
    return most;
}

void Model::catchUpStorage() {
    Storage& s = storage_;
    if (!s.recording) return;
    const std::uint64_t due = (platform::monotonicMs() - s.startMs) / static_cast<std::uint64_t>(s.runCycleMs) + 1;
    while (s.taken < due && mostStored() < s.limit) {
        for (std::size_t i = 0; i < s.outs.size(); ++i) s.outs[i].add(outs_[i].value);
        for (std::size_t i = 0; i < s.encoders.size(); ++i) {
            const auto count = static_cast<std::int64_t>(s.encoders[i].count) * kEncoderSteps[i];
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(static_cast<std::uint32_t>(count)));
            s.encoders[i].add(hex);
        }
        ++s.taken;
    }
    if (mostStored() >= s.limit) s.recording = false;
}

Model::StoredList* Model::findStored(int out) {
    return out >= 1 && out <= kOutCount ? &storage_.outs[static_cast<std::size_t>(out - 1)] : nullptr;
}

Model::StoredList* Model::findEncoder(int channel) {
    return channel >= 1 && channel <= kEncoderChannels ? &storage_.encoders[static_cast<std::size_t>(channel - 1)]
                                                       : nullptr;
}

bool Model::recording() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    catchUpStorage();
    return storage_.recording;
}

void Model::startRecording() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (storage_.recording) return;
    storage_.recording = true;
    storage_.startMs = platform::monotonicMs();
    storage_.taken = 0;
    storage_.runCycleMs = storage_.cycleMs;
}

void Model::stopRecording() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    catchUpStorage();
    storage_.recording = false;
}

void Model::clearStorage() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (auto& list : storage_.outs) list = {};
    for (auto& list : storage_.encoders) list = {};
    storage_.startMs = platform::monotonicMs();
    storage_.taken = 0;
}

void Model::setStorageCycleMs(int ms) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (ms > 0) storage_.cycleMs = ms;
}

void Model::setStorageLimit(std::size_t points) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    storage_.limit = points;
}

std::size_t Model::storedCount(int out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    catchUpStorage();
    const StoredList* list = findStored(out);
    return list ? list->count : 0;
}

std::string Model::storedList(int out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    catchUpStorage();
    const StoredList* list = findStored(out);
    return list ? list->text : std::string();
}

std::string Model::encoderList(int channel) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    catchUpStorage();
    const StoredList* list = findEncoder(channel);
    return list ? list->text : std::string();
}

void Model::loadStoredValues(int out, const std::vector<std::string>& tokens) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (StoredList* list = findStored(out)) list->assign(tokens);
}

void Model::loadEncoderValues(int channel, const std::vector<std::string>& tokens) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (StoredList* list = findEncoder(channel)) list->assign(tokens);
}

}  // namespace quil::sim
