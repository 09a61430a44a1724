#include "link/json.h"

#include <cjson/cJSON.h>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "link/link_record.h"
#include "quil.h"

namespace quil::link {
namespace {

bool sameLetter(char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

// The parsed body of a reply line (length bytes, not terminated, its CR LF
// not counted), once its head has been checked.
struct ParsedReply {
    cJSON* body = nullptr;
    std::int32_t code = QUIL_JSON_OK;  // with the body, else the exchange's code

    ParsedReply(const char* reply, std::int32_t length) {
        code = checkReplyHead("#J\r\n", reply, length);
        if (code != QUIL_JSON_OK) return;
        // The line is not terminated in the receive buffer: the parse must
        // stop at its end.
        body = length > 3 ? cJSON_ParseWithLength(reply + 3, static_cast<std::size_t>(length - 3)) : nullptr;
        if (!body) code = QUIL_JSON_BAD_REPLY;
    }
    ~ParsedReply() { cJSON_Delete(body); }
    ParsedReply(const ParsedReply&) = delete;
    ParsedReply& operator=(const ParsedReply&) = delete;
};

// Owns the request and its printed text of one exchange.
struct JsonExchange {
    explicit JsonExchange(JsonForm f = JsonForm::Formatted) : form(f) {}
    JsonForm form;
    cJSON* request = cJSON_CreateObject();
    char* printed = nullptr;
    ~JsonExchange() {
        cJSON_Delete(request);
        std::free(printed);
    }

    // Sends the request in its envelope and hands the reply line to walk:
    // its result, or QUIL_JSON_NO_REPLY when no reply came.
    template <class Walk>
    std::int32_t run(std::uint32_t id, Walk walk) {
        LinkPtr rec = commandLinks().find(id);
        if (!rec || !rec->conn) return QUIL_JSON_NO_REPLY;
        printed = form == JsonForm::Compact ? cJSON_PrintUnformatted(request) : cJSON_Print(request);
        if (!printed) return QUIL_JSON_NO_REPLY;
        // The line is built in the record's scratch buffer and the reply
        // walked in its receive buffer, both under the record's mutex: an
        // application asking for either pointer meanwhile never sees them
        // move under this exchange.
        std::lock_guard<std::mutex> lock(rec->mutex);
        adoptHandedOut(*rec);
        const std::int32_t r = exchange(*rec, walk);
        settleBuffers(*rec);
        return r;
    }

private:
    template <class Walk>
    std::int32_t exchange(LinkRecord& rec, Walk walk) {
        const std::size_t need = std::strlen(printed) + sizeof "#J,\r\n";
        if (!rec.tmpBuff.reserve(need)) return QUIL_JSON_NO_REPLY;
        char* tmp = rec.tmpBuff.data();
        const int n = std::snprintf(tmp, rec.tmpBuff.capacity(), "#J,%s\r\n", printed);
        if (n < 0 || static_cast<std::size_t>(n) >= rec.tmpBuff.capacity()) return QUIL_JSON_NO_REPLY;
        if (swapLocked(rec, tmp, n, kJsonTimeoutMs) < 0) return QUIL_JSON_NO_REPLY;
        return walk(rec.dataBuff.data(), rec.dataLen.load());
    }
};

cJSON* member(const cJSON* object, const char* name) { return object ? cJSON_GetObjectItem(object, name) : nullptr; }

bool isNonZero(const cJSON* item) {
    if (cJSON_IsBool(item)) return cJSON_IsTrue(item);
    return !cJSON_IsNumber(item) || item->valuedouble != 0;
}

// A number member that is a 32-bit value: a whole number that fits 32 bits,
// signed or unsigned, kept as its low 32 bits. cJSON has already read the
// JSON number form strictly ("0x10", "nan" and "abc" are no numbers); this
// adds the rule of every number in a reply, that it fits the value it
// stands for, instead of making one up from 1e30 or 3.5.
bool value32(const cJSON* item, std::uint32_t* out) {
    if (!cJSON_IsNumber(item)) return false;
    const double v = cJSON_GetNumberValue(item);
    if (!(v >= -2147483648.0 && v <= 4294967295.0) || v != std::trunc(v)) return false;
    *out = static_cast<std::uint32_t>(static_cast<std::int64_t>(v));
    return true;
}

// "retState" must be present and 0: refused when it is not 0, a bad reply when it is missing.
std::int32_t retState(const cJSON* reply) {
    const cJSON* state = member(reply, "retState");
    if (!state) return QUIL_JSON_BAD_REPLY;
    return isNonZero(state) ? QUIL_JSON_REFUSED : QUIL_JSON_OK;
}

cJSON* inner(JsonExchange& x, const char* name) {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddItemToObject(x.request, name, object);
    return object;
}

}  // namespace

std::int32_t checkReplyHead(const char* expected, const char* reply, std::int32_t length) {
    if (length < 2) return QUIL_JSON_SHORT_REPLY;
    if (length == 8 && sameLetter(reply[0], 'E') && sameLetter(reply[1], 'R') && reply[2] == ',') {
        if (!sameLetter(reply[3], expected[0]) || !sameLetter(reply[4], expected[1]) || reply[5] != ',')
            return QUIL_JSON_REFUSED;
        // The controller's error number is two decimal digits, 01 to 99;
        // anything else in their place is an error reply without a number.
        const bool digits = reply[6] >= '0' && reply[6] <= '9' && reply[7] >= '0' && reply[7] <= '9';
        const std::int32_t number = digits ? (reply[6] - '0') * 10 + (reply[7] - '0') : 0;
        return number > 0 ? number : QUIL_JSON_REFUSED;
    }
    if (!sameLetter(reply[0], expected[0]) || !sameLetter(reply[1], expected[1])) return QUIL_JSON_BAD_REPLY;
    for (std::int32_t i = 2; i < length && expected[i] != '\0'; ++i) {
        if (expected[i] == '\r') return QUIL_JSON_OK;
        if (expected[i] != reply[i]) return QUIL_JSON_SHORT_REPLY;
    }
    return 0;
}

std::int32_t regReadReply(const char* reply, std::int32_t length, std::uint32_t* value) {
    const ParsedReply parsed(reply, length);
    if (parsed.code != QUIL_JSON_OK) return parsed.code;
    std::int32_t r = retState(parsed.body);
    if (r != 0) return r;
    const cJSON* regRead = member(member(parsed.body, "retValue"), "regRead");
    if (!regRead) return QUIL_JSON_NO_OBJECT;
    const cJSON* ret = member(regRead, "ret");
    if (!ret) return QUIL_JSON_NO_RET;
    r = isNonZero(ret) ? QUIL_JSON_BAD_REPLY : QUIL_JSON_OK;
    // A "Read" that is not a 32-bit number carries no value.
    std::uint32_t read = 0;
    if (!value32(member(regRead, "Read"), &read)) return QUIL_JSON_NO_READ;
    if (value) *value = read;
    return r;
}

std::int32_t regWriteReply(const char* reply, std::int32_t length) {
    const ParsedReply parsed(reply, length);
    if (parsed.code != QUIL_JSON_OK) return parsed.code;
    if (std::int32_t r = retState(parsed.body); r != QUIL_JSON_OK) return r;
    const cJSON* ret = member(member(member(parsed.body, "retValue"), "regWrite"), "ret");
    if (!ret) return QUIL_JSON_NO_OBJECT;
    return isNonZero(ret) ? QUIL_JSON_BAD_REPLY : QUIL_JSON_OK;
}

std::int32_t rollBatchReply(const char* reply, std::int32_t length, std::int32_t* online) {
    const ParsedReply parsed(reply, length);
    if (parsed.code != QUIL_JSON_OK) return parsed.code;
    const cJSON* value = member(member(member(parsed.body, "retValue"), "RollBatch"), "Online");
    std::uint32_t number = 0;
    if (value && online) {
        if (cJSON_IsBool(value))
            *online = cJSON_IsTrue(value) ? 1 : 0;
        else if (value32(value, &number))
            *online = static_cast<std::int32_t>(number);
    }
    return QUIL_JSON_OK;
}

std::int32_t jsonRegReadWith(std::uint32_t id, std::int32_t head, std::uint32_t addr, JsonForm form,
                             const std::function<std::int32_t(const char* reply, std::int32_t length)>& walk) {
    JsonExchange x(form);
    cJSON* read = inner(x, "regRead");
    cJSON_AddItemToObject(read, "head", cJSON_CreateNumber(head));
    cJSON_AddItemToObject(read, "addr", cJSON_CreateNumber(addr));
    return x.run(id, walk);
}

std::int32_t jsonRegRead(std::uint32_t id, std::int32_t head, std::uint32_t addr, std::uint32_t* value, JsonForm form) {
    return jsonRegReadWith(id, head, addr, form,
                           [&](const char* reply, std::int32_t length) { return regReadReply(reply, length, value); });
}

std::int32_t jsonRegWrite(std::uint32_t id, std::int32_t head, std::uint32_t addr, std::uint32_t data, JsonForm form) {
    JsonExchange x(form);
    cJSON* write = inner(x, "regWrite");
    cJSON_AddItemToObject(write, "head", cJSON_CreateNumber(head));
    cJSON_AddItemToObject(write, "addr", cJSON_CreateNumber(addr));
    cJSON_AddItemToObject(write, "data", cJSON_CreateNumber(data));
    return x.run(id, regWriteReply);
}

std::int32_t jsonRollBatch(std::uint32_t id, bool start, std::int32_t* online) {
    JsonExchange x;
    cJSON_AddItemToObject(inner(x, "RollBatch"), "StartRoll", cJSON_CreateBool(start));
    return x.run(id, [&](const char* reply, std::int32_t length) { return rollBatchReply(reply, length, online); });
}

}  // namespace quil::link
