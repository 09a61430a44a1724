// Register access and device information: running times, the sensor's spot
// type, and the command socket's receive buffer.
#include <cstdint>
#include <string_view>

#include "link/json.h"
#include "quil.h"
#include "quil/codecs.h"
#include "quil/communication.h"
#include "quil/device.h"
#include "quil/exchange.h"
#include "quil/model.h"

namespace quil {
namespace {

constexpr std::uint32_t kControllerRunTimeAddr = 65560;  // 0x10018, head 0
constexpr std::uint32_t kHeadRunTimeAddr = 4108;         // 0x100C, heads 1..4
// The spot type is loaded into its register by a write to the preparation
// register.
constexpr std::uint32_t kSpotPrepareAddr = 148;
constexpr std::uint32_t kSpotPrepareData = 3238135296;  // 0xC1020000
constexpr std::uint32_t kSpotTypeAddr = 4164;
constexpr std::int32_t kHighestSpotModel = 32;

bool hasSpotType(std::int32_t model) { return model == 12 || model == 13 || model == 30 || model == 31 || model == 32; }

// The spot-type register prints its value as text; the first two characters
// after "Read": are combined as digits in base 36 (other characters count
// with their code): 48 or 65 is type 0, 49 or 66 type 1.
int spotDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return static_cast<unsigned char>(c);
}

std::int32_t spotTypeOf(std::string_view reply, std::uint32_t* type) {
    static constexpr std::string_view kKey = "\"Read\":";
    const std::size_t at = reply.find(kKey);
    // Both characters after the key must belong to the reply line.
    if (at == std::string_view::npos || at + kKey.size() + 2 > reply.size()) return QUIL_ERROR_UNKNOWN;
    const int value = 10 * spotDigit(reply[at + kKey.size()]) + spotDigit(reply[at + kKey.size() + 1]);
    if (value == 48 || value == 65)
        *type = 0;
    else if (value == 49 || value == 66)
        *type = 1;
    else
        return QUIL_ERROR_UNKNOWN;
    return QUIL_OK;
}

// Under the device lock: the model (MD), then the spot-type register in two
// register messages, compact on one line. The model's reply is read as the
// controller's reply to MD; a reply that cannot be read, or an error reply,
// gives 8195 like a model that is no number.
std::int32_t readSpotType(std::int32_t id, const char* func, std::uint32_t* type) {
    DeviceRecord& rec = device(id);
    int count = 0;
    std::int32_t r = sendCommand(id, "MD\r\n", 4, 128, rec.replyFields, &count);
    if (r != QUIL_OK && r != QUIL_ERROR_SEND && r != QUIL_ERROR_OVERFLOW) r = QUIL_ERROR_REPLY;
    if (r != QUIL_OK) {
        Trace(func, __LINE__)("send command MD fail DeviceID:%d rc:%d", id, r);
        return r;
    }
    std::int32_t model = -1;
    if (!readInteger(Reply(rec.replyFields, count).text(1), &model) || model < 0 || model > kHighestSpotModel)
        return QUIL_ERROR_REPLY;
    if (!hasSpotType(model)) return QUIL_ERROR_UNSUPPORTED;
    const auto link = static_cast<std::uint32_t>(id);
    if (link::jsonRegWrite(link, 0, kSpotPrepareAddr, kSpotPrepareData, link::JsonForm::Compact) == QUIL_JSON_NO_REPLY)
        return QUIL_ERROR_REPLY;
    r = link::jsonRegReadWith(link, 0, kSpotTypeAddr, link::JsonForm::Compact, [&](const char* reply, std::int32_t n) {
        return spotTypeOf(std::string_view(reply, static_cast<std::size_t>(n)), type);
    });
    return r == QUIL_JSON_NO_REPLY ? QUIL_ERROR_REPLY : r;
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_GetDeviceRuningTime(int32_t DeviceId, int32_t head, uint32_t* time) {
    return Exchange(DeviceId, "QUIL_GetDeviceRuningTime", "DeviceID:%d")
        .check(
            [&] { return head >= 0 && head <= headsOf(device(DeviceId).deviceType) ? QUIL_OK : QUIL_ERROR_PARAMETER; })
        .check(time != nullptr, QUIL_ERROR_NULL_POINTER)
        .transact([&] {
            return link::jsonRegRead(static_cast<std::uint32_t>(DeviceId), head,
                                     head == 0 ? kControllerRunTimeAddr : kHeadRunTimeAddr, time);
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCameraSpotType(int32_t DeviceId, uint32_t* type) {
    static const char* const F = "QUIL_GetCameraSpotType";
    return Exchange(DeviceId, F, "DeviceID:%d")
        .check([&] { return isEncoderModel(device(DeviceId).deviceType) ? QUIL_ERROR_UNSUPPORTED : QUIL_OK; })
        .check(type != nullptr, QUIL_ERROR_PARAMETER)
        .transact([&] { return readSpotType(DeviceId, F, type); })
        .success(
            [&](const Trace& t) { t("Success DeviceID:%d EissionSpotType:%d", DeviceId, static_cast<int>(*type)); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_Refresh(int32_t DeviceId) {
    if (DeviceId < 0 || DeviceId >= kMaxDevices) return QUIL_OK;
    // A closed record has no socket; the setting then simply does not apply.
    if (const auto conn = device(DeviceId).s_server) conn->setReceiveBuffer(kReceiveBufferBytes);
    return QUIL_OK;
}

}  // extern "C"
