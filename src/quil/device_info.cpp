// Register access and device information: running times, the sensor's spot
// type, and the command socket's receive buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "elog/elog.h"
#include "link/json.h"
#include "link/transport.h"
#include "quil.h"
#include "quil/codecs.h"
#include "quil/communication.h"
#include "quil/device.h"
#include "quil/exchange.h"
#include "quil/trace.h"

namespace quil {
namespace {

constexpr std::uint32_t kControllerRunTimeAddr = 65560;  // 0x10018, head 0
constexpr std::uint32_t kHeadRunTimeAddr = 4108;         // 0x100C, heads 1..4
constexpr std::size_t kRawReplySize = 2560;
constexpr int kRawReadMs = 2000;

bool isTwoHeadFamily(std::int32_t type) { return type >= 34 && type <= 39; }

#define TRACE(func, ...) elog_output(ELOG_LVL_ERROR, "NO_TAG", "communication", func, __LINE__, __VA_ARGS__)

// Leaves an empty marker file for the controller's field-test tooling when a
// connection was aborted on this side. Where the path does not exist nothing
// is created.
void markConnectionAborted() {
    if (std::FILE* f = std::fopen("D:/OnlineTest.txt", "w")) std::fclose(f);
}

// The trace line of a raw read that failed; every such read gives 8195.
std::int32_t rawReadFailed(const link::Connection& c, const link::LineRead& r) {
    const int ms = r.lastWaitMs;
    switch (r.outcome) {
    case link::Read::WaitFailed:
        TRACE("readLocalTcp", "Read errno:%d %s\n", r.error, platform::errorText(r.error).c_str());
        break;
    case link::Read::Timeout:
        // A deadline that had run out before the wait writes nothing.
        if (!r.expired)
            TRACE("readLocalTcp", "Read TIMEOUT @time %d, timeout:%lu,%lu", ms, static_cast<unsigned long>(ms / 1000),
                  static_cast<unsigned long>(ms % 1000) * 1000);
        break;
    default:
        TRACE("readLocalTcp", "Read Err %d %d %d ReadTimeout:%d", static_cast<int>(r.received),
              static_cast<int>(c.handle()), r.error, ms);
        if (r.error == platform::kErrConnAborted) markConnectionAborted();
        break;
    }
    return QUIL_ERROR_REPLY;
}

// One raw line and its reply under the device lock: the reply (bytes before
// its CR LF) in buffer, its length in len. Read a byte at a time so nothing
// after the line end is taken from the socket.
std::int32_t sendCommandRaw(std::int32_t id, const char* line, std::size_t length, char* buffer, std::size_t* len) {
    std::lock_guard<std::mutex> lock(deviceLock(id));
    if (!device(id).isOpen) return QUIL_ERROR_OPEN;  // closed while this call waited
    if (!connectionUsable(id)) return QUIL_ERROR_REPLY;
    const auto& conn = device(id).s_server;
    drainSocket(*conn);
    std::int32_t r = writeTCP(*conn, line, length);
    if (r != QUIL_OK) return r;
    link::FixedBuffer fixed{buffer, kRawReplySize};
    // The whole reply must arrive within the wait, not each byte of it.
    const link::LineRead read = link::readLine(
        *conn, fixed, link::LineRules{link::LineEnd::CrLf, kRawReplySize, 1, true}, platform::Deadline(kRawReadMs));
    if (read.outcome == link::Read::Full) return QUIL_ERROR_OVERFLOW;
    if (read.outcome != link::Read::Done) return rawReadFailed(*conn, read);
    *len = read.length;
    buffer[*len] = '\0';
    return QUIL_OK;
}

// The spot-type register prints its value as text; its first two characters
// are combined as digits in base 36 (other characters count with their code).
int spotDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return static_cast<unsigned char>(c);
}

bool hasSpotType(std::int32_t model) { return model == 12 || model == 13 || model == 30 || model == 31 || model == 32; }

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_GetDeviceRuningTime(int32_t DeviceId, int32_t head, uint32_t* time) {
    const bool open = checkDeviceId(DeviceId) == QUIL_OK;
    const int32_t highest = open && isTwoHeadFamily(device(DeviceId).deviceType) ? 2 : 4;
    return Exchange(DeviceId, "QUIL_GetDeviceRuningTime", "DeviceID:%d")
        .check(head >= 0 && head <= highest, QUIL_ERROR_PARAMETER)
        .check(time != nullptr, QUIL_ERROR_NULL_POINTER)
        .transact([&] {
            return link::jsonRegRead(static_cast<std::uint32_t>(DeviceId), head,
                                     head == 0 ? kControllerRunTimeAddr : kHeadRunTimeAddr, time);
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCameraSpotType(int32_t DeviceId, uint32_t* type) {
    static const char* const F = "QUIL_GetCameraSpotType";
    QUIL_TRACE(F, "DeviceID:%d", DeviceId);
    int32_t r = checkDeviceId(DeviceId);
    if (r != QUIL_OK) return r;
    if (isTwoHeadFamily(device(DeviceId).deviceType)) return QUIL_ERROR_UNSUPPORTED;
    if (!type) return QUIL_ERROR_PARAMETER;
    char buffer[kRawReplySize + 1];
    std::size_t len = 0;
    r = sendCommandRaw(DeviceId, "MD\r\n", 4, buffer, &len);
    if (r != QUIL_OK) {
        QUIL_TRACE(F, "send command MD fail DeviceID:%d rc:%d", DeviceId, r);
        return r;
    }
    // The model code is the field after "MD,", read whole like every reply
    // number.
    const std::string_view reply(buffer, len);
    const std::string_view field = len > 3 ? reply.substr(3, reply.find(',', 3) - 3) : std::string_view();
    int32_t model = -1;
    if (!readInteger(field, &model) || model < 0 || model > 32) return QUIL_ERROR_REPLY;
    if (!hasSpotType(model)) return QUIL_ERROR_UNSUPPORTED;
    static const char kPrepare[] = "#J,{\"regWrite\":{\"head\":0,\"addr\":148,\"data\":3238135296}}\r\n";
    static const char kRead[] = "#J,{\"regRead\":{\"head\":0,\"addr\":4164}}\r\n";
    if ((r = sendCommandRaw(DeviceId, kPrepare, sizeof kPrepare - 1, buffer, &len)) != QUIL_OK) return r;
    if ((r = sendCommandRaw(DeviceId, kRead, sizeof kRead - 1, buffer, &len)) != QUIL_OK) return r;
    static const char kKey[] = "\"Read\":";
    const char* at = std::strstr(buffer, kKey);
    // Both characters after the key must belong to the reply line.
    if (!at || at + sizeof kKey - 1 + 2 > buffer + len) return QUIL_ERROR_UNKNOWN;
    at += sizeof kKey - 1;
    const int value = 10 * spotDigit(at[0]) + spotDigit(at[1]);
    if (value == 48 || value == 65)
        *type = 0;
    else if (value == 49 || value == 66)
        *type = 1;
    else
        return QUIL_ERROR_UNKNOWN;
    QUIL_TRACE(F, "Success DeviceID:%d EissionSpotType:%d", DeviceId, static_cast<int>(*type));
    return QUIL_OK;
}

QUIL_API int32_t QUIL_STDCALL QUIL_Refresh(int32_t DeviceId) {
    if (DeviceId < 0 || DeviceId >= kMaxDevices) return QUIL_OK;
    // A closed record has no socket; the setting then simply does not apply.
    if (const auto conn = device(DeviceId).s_server) conn->setReceiveBuffer(kReceiveBufferBytes);
    return QUIL_OK;
}

}  // extern "C"
