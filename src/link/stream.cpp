#include "link/stream.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

#include "elog/console.h"
#include "link/json.h"
#include "link/link_record.h"
#include "link/packet_reader.h"
#include "quil.h"

namespace quil::link {
namespace {

struct StreamSlot {
    // Grown by the receive thread with the batches; kept from run to run
    // while small (see ChannelBuffers).
    ChannelBuffers channels{kChannelValues};
    std::mutex startStop;
    platform::Thread thread;  // the receive thread of the current or last run
    // Set by the receive thread as it ends: a start joins only a thread that
    // has ended, and never waits for a running one.
    std::atomic<bool> threadEnded{true};
    std::atomic<bool> hasRun{false};
    RollCounters counters;

    ~StreamSlot() {
        // A run the application never stopped must not end the process at
        // exit, nor lose its buffers under its thread.
        if (thread.joinable()) {
            thread.detach();
            channels.abandon();
        }
    }
    void join() {
        if (thread.joinable() && !thread.isCurrent()) thread.join();
    }
    // After a run's thread has been joined: what the run grew is given back.
    void endRun() {
        if (!thread.joinable()) channels.endRun();
    }
};

StreamSlot& slot(std::uint32_t id) {
    static StreamSlot slots[kMaxLinks];
    return slots[id];
}

void console(const char* format, std::int64_t value) { consolePrint(format, static_cast<long long>(value)); }

// Reads exactly `want` bytes into the record's receive buffer at `at`:
// 0, the first failed read's result, or QUIL_STREAM_OVERSIZE when the buffer cannot grow to
// hold them.
long readExactly(LinkRecord& rec, std::size_t at, std::size_t want, int timeoutMs) {
    if (!rec.dataBuff.reserve(at + want)) return QUIL_STREAM_OVERSIZE;
    std::size_t got = 0;
    while (got < want) {
        long n = recvData(*rec.conn, rec.dataBuff.data() + at + got, want - got, timeoutMs);
        if (n < 1) return n;
        got += static_cast<std::size_t>(n);
        rec.dataDirty = std::max(rec.dataDirty, at + got);
    }
    return QUIL_STREAM_OK;
}

std::int32_t recvPacket(LinkRecord& rec, int timeoutMs) {
    rec.dataLen = 0;
    long r = readExactly(rec, 0, kPacketHeaderSize, timeoutMs);
    if (r != QUIL_STREAM_OK) return static_cast<std::int32_t>(r);
    rec.dataLen = static_cast<std::int32_t>(kPacketHeaderSize);
    const auto* header = reinterpret_cast<const unsigned char*>(rec.dataBuff.data());
    if (header[1] != kMarker1 || header[2] != kMarker2) return QUIL_STREAM_OK;
    const std::uint32_t size = le32(header + 4);
    if (size > kLinkBufferSize) {
        console("dataSize err:%lld\n", size);
        return QUIL_STREAM_OVERSIZE;
    }
    if (size == 0) return QUIL_STREAM_OK;
    r = readExactly(rec, kPacketHeaderSize, size, timeoutMs);
    if (r != QUIL_STREAM_OK) return r == QUIL_STREAM_OVERSIZE ? QUIL_STREAM_OVERSIZE : QUIL_STREAM_TIMEOUT;
    rec.dataLen = static_cast<std::int32_t>(kPacketHeaderSize + size);
    return QUIL_STREAM_OK;
}

// Discards at most what had arrived when it was called, so that it returns
// also while the controller streams without pause; the bytes that come
// later belong to the packets the receive thread reads. The result is that
// of the read that found nothing more to discard (QUIL_STREAM_TIMEOUT), or of a failed one.
std::int32_t clearRecv(LinkRecord& rec) {
    long left = rec.conn->pendingBytes();
    if (left < 0) return QUIL_STREAM_FAILED;
    while (left > 0) {
        const std::size_t want = std::min<std::size_t>(kRecvChunk, static_cast<std::size_t>(left));
        if (!rec.dataBuff.reserve(want)) return QUIL_STREAM_FAILED;
        long n = recvData(*rec.conn, rec.dataBuff.data(), want, 1);
        if (n < 1) return static_cast<std::int32_t>(n);
        rec.dataDirty = std::max(rec.dataDirty, static_cast<std::size_t>(n));
        left -= n;
    }
    return QUIL_STREAM_TIMEOUT;
}

// The raw reads of the roll link run as the record's owner: under its
// mutex, taking a buffer the application asked for before and after.
template <class Read>
std::int32_t ownRecord(LinkRecord& rec, Read read) {
    std::lock_guard<std::mutex> lock(rec.mutex);
    adoptHandedOut(rec);
    const std::int32_t r = read();
    adoptHandedOut(rec);
    return r;
}

// The roll link's connection as the packet reader's byte source.
class ConnectionSource final : public ByteSource {
public:
    explicit ConnectionSource(const Connection& c) : c_(c) {}
    platform::Wait waitReadable(int ms) override { return c_.waitReadable(ms); }
    long takeNow(unsigned char* into, std::size_t max) override {
        const long n = c_.recvNow(into, max);
        if (n > 0) return n;
        return n < 0 && platform::lastError() == platform::kErrWouldBlock ? 0 : -1;
    }

private:
    const Connection& c_;
};

// The receive thread of one run: unpacks each packet's channel blocks into
// the channel buffers and calls the application back per full batch, at the
// end of the stream, on a read failure and when the run is stopped.
void receiveLoop(std::uint32_t id, LinkPtr rec) {
    StreamSlot& s = slot(id);
    RollCounters& counters = s.counters;
    ChannelBuffers& ch = s.channels;
    auto call = [&](std::int32_t m, std::uint32_t count, std::int32_t status) {
        bump(counters.callbacks);
        if (QuilRollDataCallback cb = rec->callback)
            cb(ch.channel(0), ch.channel(1), ch.channel(2), ch.channel(3), m, static_cast<std::int32_t>(count), status,
               static_cast<std::int32_t>(id));
    };
    {
        // From here on the thread owns the receive buffer (see handOut).
        std::lock_guard<std::mutex> lock(rec->mutex);
        rec->streaming = true;
    }
    ConnectionSource source(*rec->conn);
    PacketReader reader(*rec, source, counters);
    Unpacker unpacker(ch);
    bool endedByItself = false;
    while (rec->running) {
        long failure = 0;
        const PacketReader::Result r = reader.next(kStreamReadMs, &failure);
        if (r == PacketReader::Result::Pending) continue;
        if (r == PacketReader::Result::Ended) {
            // The controller ended the roll connection (or the wait failed):
            // nothing more can come in this run.
            call(unpacker.mask(), unpacker.fill(), QUIL_STREAM_CONNECTION_LOST);
            console("RecvRollData err ret:%lld\n", failure);
            endedByItself = true;
            break;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(rec->dataBuff.data());
        const Unpacker::Step step = unpacker.add(p, rec->batchCount, counters);
        if (step == Unpacker::Step::End) {
            call(0, 0, 0);
            endedByItself = true;
            break;
        }
        if (step == Unpacker::Step::BatchFull) call(unpacker.mask(), unpacker.batchValues(), 0);
    }
    // Only a run that was stopped reports so; a stop that comes in after
    // the run ended by itself finds the thread done.
    if (!endedByItself) call(unpacker.mask(), unpacker.fill(), 16);
    {
        std::lock_guard<std::mutex> lock(rec->mutex);
        rec->streaming = false;
        adoptHandedOut(*rec);
    }
    rec->running = false;
    jsonRollBatch(id, false, nullptr);
    s.threadEnded = true;
}

}  // namespace

std::int32_t openRollLink(std::uint32_t id, const char* ip) {
    if (LinkRollConnect(id, ip) == QUIL_LINK_OK) return QUIL_STREAM_OK;
    consoleError("roll link err");
    return QUIL_STREAM_FAILED;
}

}  // namespace quil::link

using namespace quil::link;

extern "C" {

QUIL_API int32_t LinkRollConnect(uint32_t DeviceId, const char* ip) {
    return openLink(rollLinks(), DeviceId, ip, kRollPort, kRollBufferSize);
}

QUIL_API int32_t RollLinkDisconnect(uint32_t DeviceId) {
    disconnectLink(rollLinks(), DeviceId, false);
    return QUIL_LINK_OK;
}

QUIL_API int32_t RecvRollData(uint32_t DeviceId, int32_t timeoutMs) {
    LinkPtr rec = rollLinks().find(DeviceId);
    return rec && rec->conn ? ownRecord(*rec, [&] { return recvPacket(*rec, timeoutMs); }) : QUIL_STREAM_FAILED;
}

QUIL_API int32_t SwapRollData(uint32_t DeviceId, const char* line, int32_t len, char* out, int32_t* outLen,
                              int32_t timeoutMs) {
    return swapLine(rollLinks(), DeviceId, line, len, out, outLen, timeoutMs);
}

QUIL_API int32_t ClearRecv(uint32_t DeviceId) {
    LinkPtr rec = rollLinks().find(DeviceId);
    return rec && rec->conn ? ownRecord(*rec, [&] { return clearRecv(*rec); }) : QUIL_STREAM_FAILED;
}

QUIL_API int32_t GetRollFd(uint32_t DeviceId) {
    LinkPtr rec = rollLinks().find(DeviceId);
    return rec && rec->conn ? static_cast<int32_t>(rec->conn->handle()) : -1;
}

QUIL_API char* GetRollDataBuff(uint32_t DeviceId) { return dataBuffOf(rollLinks(), DeviceId); }

QUIL_API int32_t GetRollDataBuffLen(uint32_t DeviceId) { return dataLenOf(rollLinks(), DeviceId); }

QUIL_API char* GetRollTmpBuff(uint32_t DeviceId) { return tmpBuffOf(rollLinks(), DeviceId); }

QUIL_API int32_t QUIL_StartRollPoint(uint32_t DeviceId, const char* ip, QuilRollDataCallback callback,
                                     uint32_t batchCount) {
    if (batchCount == 0 || batchCount > kMaxBatchCount || DeviceId >= kMaxLinks || !ip || !callback)
        return QUIL_STREAM_BAD_ARGUMENT;
    if (rollLinks().find(DeviceId)) return QUIL_STREAM_RUNNING;
    StreamSlot& s = slot(DeviceId);
    // Also held while starting, so that a stop running at the same time
    // never joins or replaces the thread handle under a start.
    std::lock_guard<std::mutex> lock(s.startStop);
    // A start that ran meanwhile has made its record; and a receive thread
    // still running (its record released behind its back) is never waited for.
    if (rollLinks().find(DeviceId) || !s.threadEnded) return QUIL_STREAM_RUNNING;
    s.join();  // a run that ended by itself
    s.endRun();
    // The callback is handed four buffers from the start, also when the run
    // ends before its first packet.
    if (!s.channels.reserve(1, 0)) return QUIL_STREAM_FAILED;
    closeAllLinks(DeviceId);
    int32_t r = QUIL_EthernetOpen(DeviceId, ip);
    if (r != QUIL_LINK_OK) {
        console("connect err%lld\n", r);
        return r;
    }
    // A start that fails from here on closes the links it opened: nothing
    // else would (a stop finds no run), and the controller's connection
    // would stay taken.
    for (bool start : {false, true}) {
        r = jsonRollBatch(DeviceId, start, nullptr);
        if (r < 0) {
            console("recv err%lld\n", r);
            closeAllLinks(DeviceId);
            return QUIL_STREAM_FAILED;
        }
    }
    r = openRollLink(DeviceId, ip);
    if (r != QUIL_STREAM_OK) {
        console("connect err%lld\n", r);
        closeAllLinks(DeviceId);
        return r;
    }
    LinkPtr rec = rollLinks().find(DeviceId);
    rec->batchCount = batchCount;
    rec->callback = callback;
    rec->running = true;
    ownRecord(*rec, [&] { return clearRecv(*rec); });
    s.counters.reset();
    s.hasRun = true;
    s.threadEnded = false;
    if (!s.thread.start([DeviceId, rec] { receiveLoop(DeviceId, rec); })) {
        // No thread to read the stream: the controller's streaming is
        // switched off again and the links closed, as for a failed switch.
        s.threadEnded = true;
        rec->running = false;
        jsonRollBatch(DeviceId, false, nullptr);
        closeAllLinks(DeviceId);
        return QUIL_STREAM_FAILED;
    }
    return QUIL_STREAM_OK;
}

QUIL_API int32_t QUIL_GetRollStats(uint32_t DeviceId, QuilRollStats* stats) {
    if (DeviceId >= kMaxLinks || !stats || !slot(DeviceId).hasRun) return QUIL_STREAM_FAILED;
    slot(DeviceId).counters.copyTo(stats);
    return QUIL_STREAM_OK;
}

QUIL_API int32_t QUIL_StopRollPoint(uint32_t DeviceId) {
    if (DeviceId >= kMaxLinks) return QUIL_STREAM_BAD_ARGUMENT;
    StreamSlot& s = slot(DeviceId);
    std::lock_guard<std::mutex> lock(s.startStop);
    if (LinkPtr rec = rollLinks().find(DeviceId)) {
        rec->running = false;
        s.join();
        jsonRollBatch(DeviceId, false, nullptr);
        closeAllLinks(DeviceId);
    }
    s.join();
    s.endRun();
    return QUIL_STREAM_OK;
}

}  // extern "C"
