// Opening and closing a controller, and its model query.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "elog/log_setup.h"
#include "link/link_record.h"
#include "link/transport.h"
#include "quil.h"
#include "quil/device.h"
#include "quil/exchange.h"
#include "quil/model.h"
#include "quil/storage.h"
#include "quil/trace.h"

namespace quil {
namespace {

// Set at load; the first open of the process clears it and sets up the log.
std::atomic<int> g_logSetupFlag{1};

std::int32_t openFailed(std::int32_t id, const char* format, std::int32_t code) {
    QUIL_TRACE("QUIL_OpenDeviceETHER", format, id, code);
    return code;
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_OpenDeviceETHER(int32_t DeviceId, const uint8_t* ip, uint32_t timeout) {
    static const char* const F = "QUIL_OpenDeviceETHER";
    if (g_logSetupFlag.exchange(0) == 1) elog_setup_library_log();
    QUIL_TRACE(F, " DeviceID:%d", DeviceId);
    if (!ip) return openFailed(DeviceId, " fail DeviceID:%d ret:%d", QUIL_ERROR_PARAMETER);
    const platform::Ipv4 addr = platform::Ipv4::of(ip);
    const std::string dotted = platform::formatIpv4(addr);
    if (dotted == "0.0.0.0") {
        QUIL_TRACE_AT(ELOG_LVL_WARN, F, "MOVAR_ERROR_PARAMETER DeviceId:%d  ip:%s", DeviceId, dotted.c_str());
        return QUIL_ERROR_PARAMETER;
    }
    const int load = platform::memoryLoadPercent();
    if (load >= 0) QUIL_TRACE(F, "DeviceID:%d dwMemoryLoad:%d", DeviceId, load);
    if (DeviceId < 0 || DeviceId >= kMaxDevices)
        return openFailed(DeviceId, " fail DeviceID:%d ret:%d", QUIL_ERROR_DEVICE_ID);
    DeviceRecord& rec = device(DeviceId);
    // Opens and closes of one DeviceId run one at a time, whatever threads
    // the application calls them from.
    const SessionLock session(DeviceId);
    if (!session.held() || rec.isOpen) return openFailed(DeviceId, " fail DeviceID:%d ret:%d", QUIL_ERROR_OPEN);
    if (IPJudge(ip) != QUIL_OK) return openFailed(DeviceId, " IPJudge fail DeviceID:%d ret:%d", QUIL_ERROR_IP_IN_USE);
    int major = 0, minor = 0;
    if (!platform::socketStartup(&major, &minor))
        return openFailed(DeviceId, " WSAStartup fail DeviceID:%d ret:%d", QUIL_ERROR_OPEN);
    if (major != 2 || minor != 2) return openFailed(DeviceId, " WSACleanup fail DeviceID:%d ret:%d", QUIL_ERROR_OPEN);

    // A refused connection, as for any controller that does not answer,
    // fails the open only when the caller's time-out has run out.
    const link::Connected made = link::connectTcp(
        addr, kControllerPort, static_cast<int>(std::min<std::uint32_t>(timeout, 0x7fffffff)), true,
        [&](platform::Socket s) {
            int rcvbuf = 0;
            int got = platform::getReceiveBuffer(s, &rcvbuf);
            QUIL_TRACE(F, "getsockopt DeviceID:%d recv_buffer:%d errcode:%d", DeviceId, rcvbuf, got);
            int set = platform::setReceiveBuffer(s, kReceiveBufferBytes);
            QUIL_TRACE(F, "setsockopt DeviceID:%d optval:%d errcode:%d", DeviceId, kReceiveBufferBytes, set);
            return true;
        });
    switch (made.failed) {
    case link::ConnectStep::None: break;
    case link::ConnectStep::Socket:
    case link::ConnectStep::Setup: return openFailed(DeviceId, " ioctlsocket fail DeviceID:%d ret:%d", QUIL_ERROR_OPEN);
    case link::ConnectStep::Start:
        return openFailed(DeviceId, " WSAGetLastError fail DeviceID:%d ret:%d", QUIL_ERROR_OPEN);
    case link::ConnectStep::Wait:
        QUIL_TRACE(F, " select fail DeviceID:%d fd:%d ret:%d", DeviceId, static_cast<int>(made.socket.fd),
                   made.wait == link::ConnectWait::Failed ? -1 : 0);
        return QUIL_ERROR_OPEN;
    }
    const platform::Socket s = made.socket;

    {
        std::lock_guard<std::mutex> lock(openLock());
        std::lock_guard<std::mutex> deviceLocked(deviceLock(DeviceId));
        // The bulk reply buffer grows with the first long reply.
        ReplyFields fields;
        link::ConnectionPtr conn;
        if (fields.allocate()) conn = std::shared_ptr<link::Connection>(new (std::nothrow) link::Connection(s));
        if (!conn) {
            platform::closeSocket(s);
            return openFailed(DeviceId, " fail DeviceID:%d ret:%d", QUIL_ERROR_OPEN);
        }
        // The raw link interface reaches the controller on the same
        // connection (JSON messages); an existing record stays as it is.
        link::registerLink(static_cast<std::uint32_t>(DeviceId), conn, false);
        rec.s_server = conn;
        rec.ip = addr.word();
        rec.replyFields = std::move(fields);
        ++rec.session;
        rec.isOpen = 1;
    }
    std::int32_t type = -1;
    if (QUIL_GetDeviceType(DeviceId, &type) == QUIL_OK) rec.deviceType = type;
    QUIL_TRACE(F, " success DeviceID:%d s_server:%d", DeviceId, static_cast<int>(s.fd));
    return QUIL_OK;
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetDeviceType(int32_t DeviceId, int32_t* type) {
    return Exchange(DeviceId, "QUIL_GetDeviceType")
        .check(type != nullptr, QUIL_ERROR_PARAMETER)
        .send(std::nullopt, "MD\r\n")
        .parse([&](const Reply& r) -> std::int32_t {
            const std::int32_t t = r.integer(1);
            if (t < 0 || t > kHighestModel) return QUIL_ERROR_REPLY;
            *type = t;
            return QUIL_OK;
        })
        .failure(" send command MD fail DeviceID:%d rc:%d", DeviceId)
        .success([&](const Trace& t) { t(" Success DeviceID:%d deviceType:%d", DeviceId, *type); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_CloseDevice(int32_t DeviceId) {
    static const char* const F = "QUIL_CloseDevice";
    QUIL_TRACE(F, " DeviceID:%d", DeviceId);
    std::int32_t r = checkDeviceId(DeviceId);
    if (r != QUIL_OK) {
        QUIL_TRACE(F, " fail DeviceID:%d ret:%d", DeviceId, r);
        return r;
    }
    DeviceRecord& rec = device(DeviceId);
    const SessionLock session(DeviceId);
    // Another thread closed it meanwhile (or, on a watcher's thread, is
    // closing it now).
    if (!session.held() || !rec.isOpen) {
        QUIL_TRACE(F, " fail DeviceID:%d ret:%d", DeviceId, QUIL_ERROR_OPEN);
        return QUIL_ERROR_OPEN;
    }
    {
        std::lock_guard<std::mutex> watcher(callbackLock(DeviceId));
        stopPollThread(rec);
    }
    // A call in progress on the device finishes first (each of its waits is
    // bounded); the record's buffers are released under the device lock.
    std::unique_lock<std::mutex> locked(deviceLock(DeviceId));
    // A connection already closed by a stream start is not closed again.
    const int closed = rec.s_server ? rec.s_server->close() : 0;
    // Releases the command-link record the open registered, which shares the
    // connection just closed. A record holding another connection stays: a
    // stream started on this device number made its own command link.
    if (closed == 0 && rec.s_server)
        link::commandLinks().removeHolding(static_cast<std::uint32_t>(DeviceId), *rec.s_server);
    resetRecord(rec);
    locked.unlock();
    if (closed != 0) {
        QUIL_TRACE(F, " fail DeviceID:%d ret:%d", DeviceId, QUIL_ERROR_CLOSE);
        return QUIL_ERROR_CLOSE;
    }
    QUIL_TRACE(F, " success DeviceID:%d", DeviceId);
    return QUIL_OK;
}

}  // extern "C"
