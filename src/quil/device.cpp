#include "quil/device.h"

#include <cstring>
#include <new>

#include "quil.h"
#include "quil/model.h"

namespace quil {
namespace {

struct DeviceTable {
    DeviceRecord records[kMaxDevices];
    std::mutex deviceLocks[kMaxDevices];
    std::mutex callbackLocks[kMaxDevices];
    std::mutex openLock;
    std::mutex sessionLocks[kMaxDevices];
};

thread_local bool t_watcherThread = false;
// The session a thread holds: a DeviceId (-1: none) and its open count then.
thread_local std::int32_t t_heldId = -1;
thread_local std::uint32_t t_heldSession = 0;

DeviceTable& table() {
    static DeviceTable t;
    return t;
}

}  // namespace

DeviceRecord& device(std::int32_t id) { return table().records[id]; }
std::mutex& deviceLock(std::int32_t id) { return table().deviceLocks[id]; }
std::mutex& callbackLock(std::int32_t id) { return table().callbackLocks[id]; }
std::mutex& openLock() { return table().openLock; }

SessionLock::SessionLock(std::int32_t id) : mutex_(table().sessionLocks[id]), held_(true) {
    if (t_watcherThread)
        held_ = mutex_.try_lock();
    else
        mutex_.lock();
}

SessionLock::~SessionLock() {
    if (held_) mutex_.unlock();
}

void markWatcherThread() { t_watcherThread = true; }

SessionHold::SessionHold(std::int32_t id) : previousId_(t_heldId), previousSession_(t_heldSession) {
    t_heldId = id;
    t_heldSession = device(id).session.load();
}

SessionHold::~SessionHold() {
    t_heldId = previousId_;
    t_heldSession = previousSession_;
}

bool openInHeldSession(std::int32_t id) {
    const DeviceRecord& rec = device(id);
    return rec.isOpen && (t_heldId != id || rec.session.load() == t_heldSession);
}

void resetRecord(DeviceRecord& rec) {
    rec.ip = 0;
    rec.s_server.reset();
    rec.pollThread.reset();
    rec.pollRunning = 0;
    rec.replyFields.reset();
    rec.bulkBuffer.release();
    rec.deviceType = -1;
    rec.isOpen = 0;
}

bool connectionUsable(std::int32_t id) {
    const auto& conn = device(id).s_server;
    return conn && !conn->closed();
}

std::int32_t checkDeviceId(std::int32_t id) {
    if (id < 0 || id >= kMaxDevices) return QUIL_ERROR_DEVICE_ID;
    return device(id).isOpen ? QUIL_OK : QUIL_ERROR_OPEN;
}

bool isEncoderDevice(std::int32_t id) { return checkDeviceId(id) == QUIL_OK && isEncoderModel(device(id).deviceType); }

std::int32_t IPJudge(const std::uint8_t* ip) {
    const std::uint32_t word = platform::Ipv4::of(ip).word();
    for (int id = 0; id < kMaxDevices; ++id) {
        const DeviceRecord& rec = device(id);
        if (rec.isOpen && rec.ip == word) return QUIL_ERROR_IP_IN_USE;
    }
    return QUIL_OK;
}

bool ReplyFields::allocate() {
    constexpr auto kCount = static_cast<std::size_t>(kFieldCount);
    texts_.reset(new (std::nothrow) std::unique_ptr<char[]>[kCount]);
    rows_.reset(new (std::nothrow) char*[kCount]);
    for (std::size_t i = 0; texts_ && rows_ && i < kCount; ++i) {
        texts_[i].reset(new (std::nothrow) char[kFieldWidth]());
        if (!texts_[i]) break;
        rows_[i] = texts_[i].get();
    }
    if (!texts_ || !rows_ || !texts_[kCount - 1]) {
        reset();
        return false;
    }
    return true;
}

void ReplyFields::reset() {
    rows_.reset();
    texts_.reset();
}

void clearFields(int count, int width, char** fields) {
    if (!fields) return;
    for (int i = 0; i < count; ++i) std::memset(fields[i], 0, static_cast<std::size_t>(width));
}

}  // namespace quil
