// The JSON messages of the command link: "#J," followed by a JSON object
// that names one message, ended by CR LF like every other line. The library
// sends cJSON's formatted print (line feeds and tabs inside the object), so a
// line ends only at its CR LF.
//
// Replies are one compact line, "#J," and a JSON object:
//   regRead   {"retState":0,"retValue":{"regRead":{"ret":0,"Read":<value>}}}
//   regWrite  {"retState":0,"retValue":{"regWrite":{"ret":0}}}
//   RollBatch {"retState":0,"retValue":{"RollBatch":{"Online":<0 or 1>}}}
// A message whose members are missing or of the wrong type is not accepted:
// {"retState":1}. A head outside 0..kHeadCount is refused with "ret" 1 (and
// a read then carries no "Read"). A line that is not JSON gets "ER,#J,61",
// an object that names no known message "ER,#J,99".
#include <cjson/cJSON.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sim/commands.h"

namespace quil::sim {
namespace {

constexpr std::uint32_t kControllerRunningTimeAddr = 65560;
constexpr std::uint32_t kHeadRunningTimeAddr = 4108;
constexpr std::uint32_t kLaserPowerAddr = 576;
// Writing the preparation value to its register makes the controller load
// the sensor's spot-type code into the spot-type register of head 0.
constexpr std::uint32_t kSpotPrepareAddr = 148;
constexpr std::uint32_t kSpotPrepareData = 0xC1020600;
constexpr std::uint32_t kSpotTypeAddr = 4164;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr makeObject() { return JsonPtr(cJSON_CreateObject(), &cJSON_Delete); }

// A member that is a JSON number holding a whole number from low to high.
std::optional<double> wholeNumber(const cJSON* object, const char* name, double low, double high) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    if (!cJSON_IsNumber(item)) return std::nullopt;
    double v = item->valuedouble;
    if (v != std::floor(v) || v < low || v > high) return std::nullopt;
    return v;
}

std::optional<int> headOf(const cJSON* message) {
    auto v = wholeNumber(message, "head", -2147483648.0, 2147483647.0);
    return v ? std::optional<int>(static_cast<int>(*v)) : std::nullopt;
}

std::optional<std::uint32_t> unsignedOf(const cJSON* message, const char* name) {
    auto v = wholeNumber(message, name, 0, 4294967295.0);
    return v ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*v)) : std::nullopt;
}

bool headExists(int head) { return head >= 0 && head <= Model::kHeadCount; }

// "#J,{"retState":state,"retValue":{kind:result}}\r\n"; without a result the
// reply carries "retState" only.
std::string jsonReply(int state, const char* kind = nullptr, JsonPtr result = JsonPtr(nullptr, &cJSON_Delete)) {
    JsonPtr root = makeObject();
    cJSON_AddNumberToObject(root.get(), "retState", state);
    if (result) {
        cJSON* value = cJSON_AddObjectToObject(root.get(), "retValue");
        cJSON_AddItemToObject(value, kind, result.release());
    }
    char* text = cJSON_PrintUnformatted(root.get());
    std::string out = std::string("#J,") + text + "\r\n";
    cJSON_free(text);
    return out;
}

JsonPtr retObject(int ret) {
    JsonPtr result = makeObject();
    cJSON_AddNumberToObject(result.get(), "ret", ret);
    return result;
}

std::string regRead(Model& m, const cJSON* message) {
    auto head = headOf(message);
    auto addr = unsignedOf(message, "addr");
    if (!head || !addr) return jsonReply(1);
    if (!headExists(*head)) return jsonReply(0, "regRead", retObject(1));
    JsonPtr result = retObject(0);
    cJSON_AddNumberToObject(result.get(), "Read", m.registerValue(*head, *addr));
    return jsonReply(0, "regRead", std::move(result));
}

std::string regWrite(Model& m, const cJSON* message) {
    auto head = headOf(message);
    auto addr = unsignedOf(message, "addr");
    auto data = unsignedOf(message, "data");
    if (!head || !addr || !data) return jsonReply(1);
    if (!headExists(*head)) return jsonReply(0, "regWrite", retObject(1));
    m.setRegisterValue(*head, *addr, *data);
    if (*head == 0 && *addr == kSpotPrepareAddr && *data == kSpotPrepareData)
        m.setRegisterValue(0, kSpotTypeAddr, m.spotTypeCode());
    return jsonReply(0, "regWrite", retObject(0));
}

std::string rollBatch(Model& m, const cJSON* message) {
    const cJSON* start = cJSON_GetObjectItem(message, "StartRoll");
    if (!cJSON_IsBool(start)) return jsonReply(1);
    bool online = m.switchRoll(cJSON_IsTrue(start));
    JsonPtr result = makeObject();
    cJSON_AddNumberToObject(result.get(), "Online", online ? 1 : 0);
    return jsonReply(0, "RollBatch", std::move(result));
}

// "ER,#J,nn": the library takes an error reply only in exactly this length.
std::string jsonErrorReply(int number) {
    std::string digits = std::to_string(number);
    if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
    return "ER,#J," + digits + "\r\n";
}

std::string answerJson(Model& m, const Command& c) {
    int anyError = m.jsonError("");
    // The line is split at commas for the other commands; the JSON text is
    // everything after "#J,".
    JsonPtr root(c.line.size() > 3 && c.line[2] == ',' ? cJSON_Parse(c.line.c_str() + 3) : nullptr, &cJSON_Delete);
    if (!cJSON_IsObject(root.get())) return anyError ? jsonErrorReply(anyError) : Model::error(c, Model::kErrParameter);

    struct Message {
        const char* name;
        std::string (*answer)(Model&, const cJSON*);
    };
    static constexpr Message kMessages[] = {{"regRead", regRead}, {"regWrite", regWrite}, {"RollBatch", rollBatch}};
    for (const Message& message : kMessages) {
        const cJSON* body = cJSON_GetObjectItem(root.get(), message.name);
        if (!body) continue;
        if (int number = m.jsonError(message.name)) return jsonErrorReply(number);
        if (!cJSON_IsObject(body)) return jsonReply(1);
        return message.answer(m, body);
    }
    return anyError ? jsonErrorReply(anyError) : Model::error(c, Model::kErrUnknown);
}

}  // namespace

void installJsonCommands(Model& model) {
    // Running times that differ per head, so a read shows which one it reached.
    model.setRegisterValue(0, kControllerRunningTimeAddr, 86400);
    for (int head = 1; head <= Model::kHeadCount; ++head) {
        model.setRegisterValue(head, kHeadRunningTimeAddr, static_cast<std::uint32_t>(3600 * head));
        // Laser power in the upper 16 bits, the lower 16 bits 0.
        model.setRegisterValue(head, kLaserPowerAddr, static_cast<std::uint32_t>(90 + head) << 16);
    }
    model.on("#J", answerJson);
}

}  // namespace quil::sim
