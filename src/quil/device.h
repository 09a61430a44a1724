// The device table: 64 records, one per DeviceId, with their locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/buffer.h"
#include "link/connection.h"
#include "platform/platform.h"

namespace quil {

inline constexpr int kMaxDevices = 64;
inline constexpr int kFieldCount = 128;                   // reply fields per device
inline constexpr int kFieldWidth = 16;                    // 15 characters and the terminating zero
inline constexpr std::size_t kBulkBufferSize = 20480000;  // 1,280,000 x 16
inline constexpr std::uint16_t kControllerPort = 19062;
// Receive buffer of the command socket: stored-value replies are long.
inline constexpr int kReceiveBufferBytes = 31457280;  // 30 MiB

// The reply fields of a device: kFieldCount texts of kFieldWidth bytes,
// zeroed when allocated. The command transaction reads and writes them as
// the char** they convert to (null while none are allocated).
class ReplyFields {
public:
    // False, and no fields, when the memory cannot be had.
    bool allocate();
    void reset();
    operator char**() const { return rows_.get(); }

private:
    // Each field a block of its own, so that a write past a field's end
    // shows as such under AddressSanitizer.
    std::unique_ptr<std::unique_ptr<char[]>[]> texts_;
    std::unique_ptr<char*[]> rows_;
};

struct DeviceRecord {
    // The four address bytes as one word (Ipv4::word): other devices' opens
    // compare it while this one may be closing.
    std::atomic<std::uint32_t> ip{0};
    // The command connection, shared with the command-link record that the
    // open registers for the same DeviceId (see link/connection.h).
    link::ConnectionPtr s_server;
    std::unique_ptr<platform::Thread> pollThread;
    std::atomic<std::uint8_t> pollRunning{0};
    std::atomic<std::uint8_t> isOpen{0};
    // From the open to the close, used under the device lock.
    ReplyFields replyFields;
    // The bulk reply buffer: grows with a long reply, up to kBulkBufferSize,
    // and gives back what a long one needed once it has been read.
    link::GrowBuffer bulkBuffer{kBulkBufferSize};
    // Read by the argument checks of model-dependent functions, which run
    // before the device lock is taken.
    std::atomic<std::int32_t> deviceType{-1};
    // Counts the opens of this DeviceId (under the device lock): a thread
    // that holds a session (SessionHold) tells its own from a later one.
    std::atomic<std::uint32_t> session{0};
};

DeviceRecord& device(std::int32_t id);
std::mutex& deviceLock(std::int32_t id);
std::mutex& callbackLock(std::int32_t id);
std::mutex& openLock();

// Serialises the opens and closes of one DeviceId. Taken before the callback
// lock and the device lock. On a storage watcher's thread (its callback) it
// is only tried: that thread may be the one a close on another thread is
// waiting for, so it must not wait itself.
class SessionLock {
public:
    explicit SessionLock(std::int32_t id);
    ~SessionLock();
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;
    // False when, on a watcher's thread, another open or close holds it.
    bool held() const { return held_; }

private:
    std::mutex& mutex_;
    bool held_;
};
// Marks the calling thread as a storage watcher's (see SessionLock).
void markWatcherThread();

// Holds the calling thread's calls on one DeviceId to the session open now:
// once that session is closed, also when the number has been opened again
// for another controller meanwhile, they fail with QUIL_ERROR_OPEN and
// reach no controller. A settings save or load, hundreds of exchanges, holds
// one for its whole run.
class SessionHold {
public:
    explicit SessionHold(std::int32_t id);
    ~SessionHold();
    SessionHold(const SessionHold&) = delete;
    SessionHold& operator=(const SessionHold&) = delete;

private:
    std::int32_t previousId_;
    std::uint32_t previousSession_;
};
// Under the device lock: the device is open, and in the session that the
// calling thread holds, if it holds one for this DeviceId.
bool openInHeldSession(std::int32_t id);

// Puts a record back to its load-time defaults, releasing the reply fields
// and the bulk reply buffer.
void resetRecord(DeviceRecord& rec);

// True while the device's command connection has not been closed (a stream
// start closes it behind the device's back).
bool connectionUsable(std::int32_t id);

// 8201 when id is outside 0..63, else 0 when the device is open, else 8192.
std::int32_t checkDeviceId(std::int32_t id);
// True when id names an open device whose model, as read at open, is one of
// the encoder models 34 to 39.
bool isEncoderDevice(std::int32_t id);
// 8203 when an open device already holds these four address bytes, else 0.
std::int32_t IPJudge(const std::uint8_t* ip);

void clearFields(int count, int width, char** fields);

}  // namespace quil
