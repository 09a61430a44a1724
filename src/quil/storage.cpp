// Data storage: recording controls and status, the read-outs of stored OUT
// and encoder values, and the storage watcher.
#include "quil/storage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "quil.h"
#include "quil/communication.h"
#include "quil/device.h"
#include "quil/exchange.h"
#include "quil/model.h"
#include "quil/stored_values.h"
#include "quil/trace.h"

namespace quil {
namespace {

constexpr int kMaxEncoderChannel = 3;
// The status reply may carry more per-OUT numbers than the controller has
// OUTs; the caller's array (and the watcher's) holds one per OUT.
constexpr int kStatusOuts = kMaxOut;
constexpr std::size_t kStatusReplySize = 2048;  // 128 fields of 16 bytes
// A read-out can hold a million values; the trace shows the first ones only.
constexpr int kTracedValues = 500;
constexpr int kValuesPerLine = 30;
constexpr int kPollPauseMs = 1;

// The application's storage callback per device. Replaced by each
// QUIL_SetOneDataStorage and read afresh by the poll thread before every call,
// possibly while it is being replaced; kept when the device closes.
std::atomic<QuilStorageCallback> g_storageCallbacks[kMaxDevices];
std::atomic<int> g_pollThreads[kMaxDevices];

// The trace line of the memory load before a read-out of stored values.
std::int32_t traceMemoryLoad(const char* func, std::int32_t id) {
    const int load = platform::memoryLoadPercent();
    if (load >= 0) Trace(func, __LINE__)("DeviceID:%d dwMemoryLoad:%d", id, load);
    return QUIL_OK;
}

// A read-out's list: it repeats the command's letters ("AO,..." or "AO"
// alone); any other line that is not an error reply is not the answer to
// this command (a garbled or stray line) and yields no values. The line
// " send command XX success DeviceID:%d rc:%d" shows the parse's result.
template <class T>
std::int32_t parseStored(const Trace& trace, const char* letters, std::int32_t id, const char* reply,
                         std::int32_t (*parse)(const char*, std::int32_t, T*, std::int32_t*), std::int32_t capacity,
                         T* values, std::int32_t* count) {
    const bool answers = std::strncmp(reply, "ER", 2) == 0 ||
                         (std::strncmp(reply, letters, 2) == 0 && (reply[2] == ',' || reply[2] == '\0'));
    const std::int32_t r = answers ? parse(reply, capacity, values, count) : QUIL_ERROR_REPLY;
    trace(" send command %s success DeviceID:%d rc:%d", letters, id, r);
    return r;
}

// " Success value:", then the first kTracedValues values as "%f,", a line of
// kValuesPerLine each.
void traceValues(const Trace& trace, const float* values, std::int32_t count) {
    trace(" Success value:");
    const int shown = std::min<int>(count, kTracedValues);
    // Room for the widest "%f," (a float near its limit has 39 digits).
    char line[kValuesPerLine * 48 + 1];
    for (int first = 0; first < shown; first += kValuesPerLine) {
        std::size_t used = 0;
        for (int i = first; i < std::min(shown, first + kValuesPerLine); ++i) {
            const int n = std::snprintf(line + used, sizeof line - used, "%f,", static_cast<double>(values[i]));
            if (n > 0) used = std::min(used + static_cast<std::size_t>(n), sizeof line - 1);
        }
        trace("%s", line);
    }
}

void storagePoll(std::int32_t id) {
    markWatcherThread();
    DeviceRecord& rec = device(id);
    // Kept across passes: a shorter status reply leaves the numbers it does
    // not carry as an earlier pass read them.
    std::int32_t outs[kStatusOuts] = {};
    while (rec.pollRunning) {
        std::int32_t lsStorage = 0;
        const std::int32_t r = QUIL_DataStorageGetStatus(id, &lsStorage, outs);
        // A controller that stopped answering, or a device closed meanwhile,
        // ends the watch; other failures are passing and the next pass asks
        // again.
        if (r == QUIL_ERROR_TIMEOUT || r == QUIL_ERROR_OPEN) break;
        // Recording has stopped and some OUT holds data. No lock is held
        // here, so the callback may call the device's functions.
        const bool stored = std::any_of(outs, outs + kStatusOuts, [](std::int32_t n) { return n != 0; });
        if (r == QUIL_OK && lsStorage == 0 && stored)
            if (QuilStorageCallback callback = g_storageCallbacks[id].load()) callback(id);
        platform::sleepMs(kPollPauseMs);
    }
    g_pollThreads[id].fetch_sub(1);
}

// Start, stop and clear: the command letters alone, echoed. The success line
// comes right after the exchange, before the field count is tested. Both formats take the DeviceId and
// then a result code, which the clear's formats leave out.
std::int32_t recordingControl(std::int32_t id, const char* func, const char* command, const char* failFormat,
                              const char* successFormat) {
    return Exchange(id, func)
        .send(Mode::Measure, "%s", command)
        .fields(1)
        .failure(failFormat, id)
        .afterExchange(successFormat, id, QUIL_OK)
        .run();
}

}  // namespace

void stopPollThread(DeviceRecord& rec) {
    if (!rec.pollThread) return;
    rec.pollRunning = 0;
    // From the poll thread's own callback the thread cannot wait for itself:
    // it ends on its own once the callback returns.
    if (rec.pollThread->isCurrent())
        rec.pollThread->detach();
    else
        rec.pollThread->join();
    rec.pollThread.reset();
}

int storagePollThreads(std::int32_t id) { return id >= 0 && id < kMaxDevices ? g_pollThreads[id].load() : 0; }

}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageStart(int32_t DeviceId) {
    return recordingControl(DeviceId, "QUIL_DataStorageStart", "AS\r\n", " send command AS fail DeviceID:%d rc:%d",
                            " send command AS success DeviceID:%d rc:%d");
}

QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageStop(int32_t DeviceId) {
    return recordingControl(DeviceId, "QUIL_DataStorageStop", "AP\r\n", " send command AP fail DeviceID:%d rc:%d",
                            " send command AP success DeviceID:%d rc:%d");
}

QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageInit(int32_t DeviceId) {
    // Its trace lines carry no result code.
    return recordingControl(DeviceId, "QUIL_DataStorageInit", "AQ\r\n", " send command AQ fail DeviceID:%d",
                            " send command AQ success DeviceID:%d");
}

QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageGetStatus(int32_t DeviceId, int32_t* lsStorage, int32_t* outs) {
    // The success line shows the fields' texts, which are cleared before it
    // is written: it is put together during the parse.
    std::string line;
    return Exchange(DeviceId, "QUIL_DataStorageGetStatus")
        .check(lsStorage != nullptr && outs != nullptr, QUIL_ERROR_NULL_POINTER)
        .send(Mode::Measure, "AN\r\n")
        .replySize(kStatusReplySize)
        .failure(" send command AN fail DeviceID:%d rc:%d", DeviceId)
        .afterExchange(" send command AN success DeviceID:%d", DeviceId)
        .parse([&](const Reply& r) {
            // Every number is read before the first output is written.
            const std::int32_t status = r.integer(1);
            const int written = std::min(r.count() - 2, kStatusOuts);
            std::int32_t read[kStatusOuts] = {};
            for (int k = 0; k < written; ++k) read[k] = r.integer(k + 2);
            *lsStorage = status;
            std::copy(read, read + std::max(written, 0), outs);
            line = "Success DeviceID:" + std::to_string(DeviceId) + " lsStorage:" + r.text(1) +
                   " outNum:" + std::to_string(written);
            for (int k = 0; k < written; ++k) line += " out" + std::to_string(k + 1) + " :" + r.text(k + 2);
        })
        .success([&](const Trace& t) { t("%s", line.c_str()); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageGetData(int32_t DeviceId, int32_t OutNo, int32_t capacity, float* values,
                                                      int32_t* NumReceived) {
    static const char* const F = "QUIL_DataStorageGetData";
    return Exchange(DeviceId, F)
        .check(OutNo >= 1 && OutNo <= kMaxOut, QUIL_ERROR_RANGE)
        .check(values != nullptr && NumReceived != nullptr, QUIL_ERROR_NULL_POINTER)
        .check([&] { return traceMemoryLoad(F, DeviceId); })
        .bulk("AO,%02d\r\n", OutNo)
        .failure(" send command AO fail DeviceID:%d rc:%d", DeviceId)
        .parse([&](const Reply& r) {
            return parseStored(Trace(F, __LINE__), "AO", DeviceId, r.line(), parseStoredFloats, capacity, values,
                               NumReceived);
        })
        .success([&](const Trace& t) {
            traceValues(t, values, *NumReceived);
            t(" Success DeviceID:%d OutNo:%d NumReceived:%d", DeviceId, OutNo, *NumReceived);
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderStoreValue(int32_t DeviceId, int32_t channel, int32_t capacity,
                                                        int32_t* values, int32_t* NumReceived) {
    static const char* const F = "QUIL_GetEncoderStoreValue";
    return Exchange(DeviceId, F, "DeviceID:%d")
        .check([&] { return isEncoderDevice(DeviceId) ? QUIL_OK : QUIL_ERROR_UNSUPPORTED; })
        .check(channel >= 1 && channel <= kMaxEncoderChannel && values && NumReceived, QUIL_ERROR_PARAMETER)
        .bulk("AR,%02d\r\n", channel)
        .failure(" send command AR fail DeviceID:%d rc:%d", DeviceId)
        .parse([&](const Reply& r) {
            const std::int32_t code = parseStored(Trace(F, __LINE__), "AR", DeviceId, r.line(), parseStoredHex,
                                                  capacity, values, NumReceived);
            return code == QUIL_OK && *NumReceived == 0 ? QUIL_ERROR_NO_DATA : code;
        })
        .success(
            [&](const Trace& t) { t("Success DeviceID:%d OutNo:%d NumReceived:%d", DeviceId, channel, *NumReceived); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetOneDataStorage(int32_t DeviceId, QuilStorageCallback callback) {
    static const char* const F = "QUIL_SetOneDataStorage";
    std::int32_t r = checkDeviceId(DeviceId);
    if (r != QUIL_OK) return r;
    DeviceRecord& rec = device(DeviceId);
    auto fail = [&](std::int32_t code) {
        QUIL_TRACE(F, "fail DeviceID:%d ret:%d", DeviceId, code);
        return code;
    };
    if (!callback) return fail(QUIL_ERROR_PARAMETER);
    std::lock_guard<std::mutex> lock(callbackLock(DeviceId));
    if (!rec.isOpen) return fail(QUIL_ERROR_OPEN);  // closed while this call waited
    // The callback runs on the poll thread, which cannot wait for itself to
    // end: a restart from inside the callback is refused.
    if (rec.pollThread && rec.pollThread->isCurrent()) return fail(QUIL_ERROR_PARAMETER);
    g_storageCallbacks[DeviceId] = callback;
    // Exactly one poll thread per device: the running one (or one that ended
    // by itself) is stopped and joined before the next starts.
    stopPollThread(rec);
    rec.pollRunning = 1;
    g_pollThreads[DeviceId].fetch_add(1);
    std::unique_ptr<platform::Thread> thread(new (std::nothrow) platform::Thread);
    if (!thread || !thread->start([DeviceId] { storagePoll(DeviceId); })) {
        rec.pollRunning = 0;
        g_pollThreads[DeviceId].fetch_sub(1);
        return fail(QUIL_ERROR_UNKNOWN);
    }
    rec.pollThread = std::move(thread);
    QUIL_TRACE(F, "success DeviceID:%d ret:%d", DeviceId, QUIL_OK);
    return QUIL_OK;
}

}  // extern "C"
