// Data storage: recording controls and status, the read-outs of stored OUT
// and encoder values, and the storage watcher.
#include "quil/storage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
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

// What the two read-outs of stored values do differently. Both run over the
// bulk exchange, which has no mode recovery and no reply check: an error
// reply is found by the parse.
template <class T>
struct StoredRead {
    const char* func;
    const char* entryFormat;  // DeviceId
    // The argument checks after the DeviceId check: the first failing one's
    // code, or QUIL_OK.
    std::function<std::int32_t()> checks;
    bool traceMemoryLoad;
    const char* letters;       // "AO" / "AR"
    std::int32_t number;       // the OUT or the encoder channel
    const char* failFormat;    // DeviceId, the exchange's code
    const char* parsedFormat;  // DeviceId, the parse's result
    std::int32_t (*parse)(const char*, std::int32_t, T*, std::int32_t*);
    // The function's own ending after a successful parse, still under the
    // device lock: its result is the call's result.
    std::function<std::int32_t(const Trace&)> done;
};

template <class T>
std::int32_t readStored(std::int32_t id, const StoredRead<T>& k, std::int32_t capacity, T* values,
                        std::int32_t* count) {
    const Trace trace(k.func, __LINE__);
    trace(k.entryFormat, id);
    std::int32_t r = checkDeviceId(id);
    if (r != QUIL_OK) return r;
    if ((r = k.checks()) != QUIL_OK) return r;
    if (k.traceMemoryLoad) {
        const int load = platform::memoryLoadPercent();
        if (load >= 0) trace("DeviceID:%d dwMemoryLoad:%d", id, load);
    }
    // The bulk buffer is the device's: the lock covers the parse and the
    // traces that read it, not only the exchange.
    std::lock_guard<std::mutex> lock(deviceLock(id));
    if (!device(id).isOpen) return QUIL_ERROR_OPEN;  // closed while this call waited
    char command[16];
    const int length = std::snprintf(command, sizeof command, "%s,%02d\r\n", k.letters, k.number);
    link::GrowBuffer& bulk = device(id).bulkBuffer;
    // What a long reply needed is given back once it has been read, on
    // every way out.
    struct Settle {
        link::GrowBuffer& buffer;
        ~Settle() { buffer.settle(); }
    } settle{bulk};
    r = sendCommandBulk(id, command, static_cast<std::size_t>(length), bulk);
    if (r != QUIL_OK) {
        trace(k.failFormat, id, r);
        return r;
    }
    const char* reply = bulk.data();
    // The list repeats the command's letters ("AO,..." or "AO" alone); any
    // other line that is not an error reply is not the answer to this
    // command (a garbled or stray line) and yields no values.
    const bool answers = std::strncmp(reply, "ER", 2) == 0 ||
                         (std::strncmp(reply, k.letters, 2) == 0 && (reply[2] == ',' || reply[2] == '\0'));
    r = answers ? k.parse(reply, capacity, values, count) : QUIL_ERROR_REPLY;
    trace(k.parsedFormat, id, r);
    return r != QUIL_OK ? r : k.done(trace);
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
// comes before the field count is tested. Both formats take the DeviceId and
// then a result code, which the clear's formats leave out.
std::int32_t recordingControl(std::int32_t id, const char* func, const char* command, const char* failFormat,
                              const char* successFormat) {
    return Exchange(id, func)
        .send(Mode::Measure, "%s", command)
        .fields(1)
        .successBeforeFieldCount()
        .failure(failFormat, id)
        .success(successFormat, id, QUIL_OK)
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
    return readStored<float>(DeviceId,
                             {.func = "QUIL_DataStorageGetData",
                              .entryFormat = " DeviceID:%d",
                              .checks =
                                  [&] {
                                      if (OutNo < 1 || OutNo > kMaxOut) return QUIL_ERROR_RANGE;
                                      return values && NumReceived ? QUIL_OK : QUIL_ERROR_NULL_POINTER;
                                  },
                              .traceMemoryLoad = true,
                              .letters = "AO",
                              .number = OutNo,
                              .failFormat = " send command AO fail DeviceID:%d rc:%d",
                              .parsedFormat = " send command AO success DeviceID:%d rc:%d",
                              .parse = parseStoredFloats,
                              .done =
                                  [&](const Trace& t) {
                                      traceValues(t, values, *NumReceived);
                                      t(" Success DeviceID:%d OutNo:%d NumReceived:%d", DeviceId, OutNo, *NumReceived);
                                      return QUIL_OK;
                                  }},
                             capacity, values, NumReceived);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderStoreValue(int32_t DeviceId, int32_t channel, int32_t capacity,
                                                        int32_t* values, int32_t* NumReceived) {
    return readStored<std::int32_t>(
        DeviceId,
        {.func = "QUIL_GetEncoderStoreValue",
         .entryFormat = "DeviceID:%d",
         .checks =
             [&] {
                 if (!isEncoderDevice(DeviceId)) return QUIL_ERROR_UNSUPPORTED;
                 const bool ok = channel >= 1 && channel <= kMaxEncoderChannel && values && NumReceived;
                 return ok ? QUIL_OK : QUIL_ERROR_PARAMETER;
             },
         .traceMemoryLoad = false,
         .letters = "AR",
         .number = channel,
         .failFormat = " send command AR fail DeviceID:%d rc:%d",
         .parsedFormat = " send command AR success DeviceID:%d rc:%d",
         .parse = parseStoredHex,
         .done =
             [&](const Trace& t) {
                 if (*NumReceived == 0) return QUIL_ERROR_NO_DATA;
                 t("Success DeviceID:%d OutNo:%d NumReceived:%d", DeviceId, channel, *NumReceived);
                 return QUIL_OK;
             }},
        capacity, values, NumReceived);
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
