#include "link/stream.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"

#include "elog/console.h"
#include "link/json.h"
#include "link/link_record.h"
#include "quil.h"

namespace quil::link {
namespace {

constexpr std::uint8_t kMarker1 = 0xFA;
constexpr std::uint8_t kMarker2 = 0xAF;
// How long the receive thread waits for the header after a complete packet
// before it takes the packet as it is: a controller streaming without pause
// has sent it already, and a slow stream only pays this much latency.
constexpr int kFrameGraceMs = 20;
// Bytes asked for per receive while looking for a packet boundary.
constexpr std::size_t kSearchChunk = 65536;

// Counters of a run, read by QUIL_GetRollStats from any thread.
struct RollCounters {
    std::atomic<std::uint64_t> packets{0};
    std::atomic<std::uint64_t> values[4] = {};
    std::atomic<std::uint64_t> bytesDiscarded{0};
    std::atomic<std::uint64_t> badHeaders{0};
    std::atomic<std::uint64_t> oversizePackets{0};
    std::atomic<std::uint64_t> misframedPackets{0};
    std::atomic<std::uint64_t> overfillDropped{0};
    std::atomic<std::uint64_t> callbacks{0};

    void reset() {
        for (auto* c : {&packets, &values[0], &values[1], &values[2], &values[3], &bytesDiscarded, &badHeaders,
                        &oversizePackets, &misframedPackets, &overfillDropped, &callbacks})
            c->store(0, std::memory_order_relaxed);
    }
    void copyTo(QuilRollStats* out) const {
        out->packets = packets.load(std::memory_order_relaxed);
        for (int k = 0; k < 4; ++k) out->values[k] = values[k].load(std::memory_order_relaxed);
        out->bytesDiscarded = bytesDiscarded.load(std::memory_order_relaxed);
        out->badHeaders = badHeaders.load(std::memory_order_relaxed);
        out->oversizePackets = oversizePackets.load(std::memory_order_relaxed);
        out->misframedPackets = misframedPackets.load(std::memory_order_relaxed);
        out->overfillDropped = overfillDropped.load(std::memory_order_relaxed);
        out->callbacks = callbacks.load(std::memory_order_relaxed);
    }
};
void bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
    counter.fetch_add(by, std::memory_order_relaxed);
}

struct StreamSlot {
    // Allocated at the first roll-link open of the device number and kept
    // for every later run: the application may still hold the pointers.
    std::int32_t* channel[4] = {};
    std::mutex startStop;
    std::thread thread;  // the receive thread of the current or last run
    // Set by the receive thread as it ends: a start joins only a thread that
    // has ended, and never waits for a running one.
    std::atomic<bool> threadEnded{true};
    std::atomic<bool> hasRun{false};
    RollCounters counters;

    ~StreamSlot() {
        // A run the application never stopped must not end the process at exit.
        if (thread.joinable()) thread.detach();
    }
    bool allocate() {
        for (auto*& c : channel)
            if (!c && !(c = static_cast<std::int32_t*>(std::calloc(kChannelValues, sizeof(std::int32_t)))))
                return false;
        return true;
    }
    void join() {
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    }
};

StreamSlot& slot(std::uint32_t id) {
    static StreamSlot slots[kMaxLinks];
    return slots[id];
}

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

void console(const char* format, std::int64_t value) { consolePrint(format, static_cast<long long>(value)); }

// Reads exactly `want` bytes into the record's receive buffer at `at`:
// 0, or the first failed read's result.
long readExactly(LinkRecord& rec, std::size_t at, std::size_t want, int timeoutMs) {
    std::size_t got = 0;
    while (got < want) {
        long n = recvData(*rec.conn, rec.dataBuff.data() + at + got, want - got, timeoutMs);
        if (n < 1) return n;
        got += static_cast<std::size_t>(n);
        rec.dataDirty = std::max(rec.dataDirty, at + got);
    }
    return 0;
}

std::int32_t recvPacket(LinkRecord& rec, int timeoutMs) {
    rec.dataLen = 0;
    long r = readExactly(rec, 0, kPacketHeaderSize, timeoutMs);
    if (r != 0) return static_cast<std::int32_t>(r);
    rec.dataLen = static_cast<std::int32_t>(kPacketHeaderSize);
    const auto* header = reinterpret_cast<const unsigned char*>(rec.dataBuff.data());
    if (header[1] != kMarker1 || header[2] != kMarker2) return 0;
    const std::uint32_t size = le32(header + 4);
    if (size > kLinkBufferSize) {
        console("dataSize err:%lld\n", size);
        return -5;
    }
    if (size == 0) return 0;
    if (readExactly(rec, kPacketHeaderSize, size, timeoutMs) != 0) return -2;
    rec.dataLen = static_cast<std::int32_t>(kPacketHeaderSize + size);
    return 0;
}

// Discards at most what had arrived when it was called, so that it returns
// also while the controller streams without pause; the bytes that come
// later belong to the packets the receive thread reads. The result is that
// of the read that found nothing more to discard (-2), or of a failed one.
std::int32_t clearRecv(LinkRecord& rec) {
    long left = rec.conn->pendingBytes();
    if (left < 0) return -1;
    while (left > 0) {
        const std::size_t want = std::min<std::size_t>(kRecvChunk, static_cast<std::size_t>(left));
        long n = recvData(*rec.conn, rec.dataBuff.data(), want, 1);
        if (n < 1) return static_cast<std::int32_t>(n);
        rec.dataDirty = std::max(rec.dataDirty, static_cast<std::size_t>(n));
        left -= n;
    }
    return -2;
}

enum class Verdict { Yes, No, Unknown };

// Whether a packet header can start at b, judged on the avail bytes known:
// the marker bytes at offsets 1 and 2, and a payload size within the limit
// (and, when strict, a whole number of 4-byte values).
Verdict headerAt(const unsigned char* b, std::size_t avail, bool strict) {
    if (avail >= 2 && b[1] != kMarker1) return Verdict::No;
    if (avail >= 3 && b[2] != kMarker2) return Verdict::No;
    if (avail < 8) return Verdict::Unknown;
    const std::uint32_t size = le32(b + 4);
    if (size > kLinkBufferSize || (strict && size % 4 != 0)) return Verdict::No;
    return Verdict::Yes;
}

// Reads the stream's packets for the receive thread and finds packet
// boundaries by itself. The bytes at the start of the roll link's receive
// buffer are those received and not yet used: a packet in the making, or
// bytes being searched for the next header.
//
// A packet is handed out only once it is well framed: its header has the
// marker bytes and a possible size, and what follows its payload is again
// the start of a header (or nothing comes for a moment). Anything else
// (a header with wrong markers, an oversize one, a packet cut short by the
// controller, a start in the middle of a packet) makes the reader look
// through the bytes for the next position where a header can stand, so that
// no value is ever taken from bytes that were not a packet's payload.
class PacketReader {
public:
    enum class Result { Packet, Pending, Ended };

    PacketReader(LinkRecord& rec, RollCounters& counters)
        : rec_(rec), buf_(reinterpret_cast<unsigned char*>(rec.dataBuff.data())), counters_(counters) {}

    // Reads for at most waitMs in all, so the caller looks at its running
    // flag at least that often whatever the controller sends. Packet: a
    // packet stands at the start of the receive buffer (dataLen is its
    // length) until the next call. Ended: the controller closed or reset the
    // connection (*failure is -3), or the wait failed (-1).
    Result next(int waitMs, long* failure) {
        consumePacket();
        const std::uint64_t deadline = platform::monotonicMs() + static_cast<std::uint64_t>(waitMs);
        for (;;) {
            if (searching_) {
                // The position kept by the last search could not be judged
                // yet; judge it again with the bytes that came since.
                search(0);
                if (!searching_) continue;
            } else if (held_ >= kPacketHeaderSize) {
                if (headerAt(buf_, held_, false) == Verdict::No) {
                    countRefused(buf_);
                    search(1);
                    continue;
                }
                const std::size_t end = kPacketHeaderSize + le32(buf_ + 4);
                if (held_ >= end) {
                    // The end of the stream has nothing after it to wait for.
                    const bool last = end == kPacketHeaderSize && buf_[0] == 0;
                    const Verdict after = last ? Verdict::Yes : headerAt(buf_ + end, held_ - end, false);
                    // A packet followed by the end of the connection is whole too.
                    if (after == Verdict::Yes ||
                        (after == Verdict::Unknown && (ended_ || quietAfterPacket(deadline)))) {
                        packetLen_ = end;
                        rec_.dataLen = static_cast<std::int32_t>(end);
                        return Result::Packet;
                    }
                    if (after == Verdict::No) {
                        // No header where the next one must stand: this packet
                        // was cut short, or the header after it is broken.
                        // Either way the packet cannot be trusted.
                        countRefused(buf_ + end);
                        bump(counters_.misframedPackets);
                        search(1);
                        continue;
                    }
                }
            }
            if (ended_) {
                *failure = endCode_;
                return Result::Ended;
            }
            if (!receive(deadline)) return Result::Pending;
        }
    }

private:
    // Hands the bytes after the last packet handed out to the front.
    void consumePacket() {
        if (packetLen_ == 0) return;
        std::memmove(buf_, buf_ + packetLen_, held_ - packetLen_);
        held_ -= packetLen_;
        packetLen_ = 0;
    }

    // Counts a header that headerAt refused: wrong marker bytes, or else a
    // payload size over the limit.
    void countRefused(const unsigned char* h) {
        if (h[1] != kMarker1 || h[2] != kMarker2) {
            bump(counters_.badHeaders);
            return;
        }
        const std::uint32_t size = le32(h + 4);
        console("dataSize err:%lld\n", size);
        bump(counters_.oversizePackets);
    }

    // Drops the bytes before the first position from `from` on where a
    // header can stand (or cannot yet be ruled out), counting them.
    void search(std::size_t from) {
        std::size_t p = from;
        bool found = false;
        for (; p < held_; ++p) {
            const Verdict v = headerAt(buf_ + p, held_ - p, true);
            if (v == Verdict::No) continue;
            found = v == Verdict::Yes;
            break;
        }
        std::memmove(buf_, buf_ + p, held_ - p);
        held_ -= p;
        bump(counters_.bytesDiscarded, p);
        searching_ = !found;
    }

    // After a complete packet whose next header has not fully arrived: true
    // when nothing more comes within the grace time (the packet is taken as
    // it is), false when bytes came (they are judged by the caller).
    bool quietAfterPacket(std::uint64_t deadline) {
        const std::uint64_t now = platform::monotonicMs();
        const int wait = static_cast<int>(std::min<std::uint64_t>(kFrameGraceMs, deadline > now ? deadline - now : 0));
        return rec_.conn->waitReadable(wait) == platform::Wait::Timeout;
    }

    // Receives more bytes: in a packet, up to the end of the next packet's
    // header; while searching, a chunk. False when nothing came before the
    // deadline. The end of the connection (an orderly close or a reset, or
    // a failed wait) is noted, to be reported once what is held is used.
    bool receive(std::uint64_t deadline) {
        std::size_t want;
        if (searching_ || held_ < kPacketHeaderSize)
            want = searching_ ? kSearchChunk : kPacketHeaderSize - held_;
        else
            want = 2 * kPacketHeaderSize + le32(buf_ + 4) - held_;
        want = std::min(want, rec_.dataBuff.size() - held_);
        const std::uint64_t now = platform::monotonicMs();
        if (now >= deadline) return false;
        switch (rec_.conn->waitReadable(static_cast<int>(deadline - now))) {
        case platform::Wait::Timeout: return false;
        case platform::Wait::Error: return end(-1);
        case platform::Wait::Ready: break;
        }
        const long n = rec_.conn->recvNow(buf_ + held_, want);
        if (n > 0) {
            held_ += static_cast<std::size_t>(n);
            rec_.dataDirty = std::max(rec_.dataDirty, held_);
            return true;
        }
        // Readable with nothing to take is a passing condition.
        if (n < 0 && platform::lastError() == platform::kErrWouldBlock) return false;
        return end(-3);
    }
    bool end(long code) {
        ended_ = true;
        endCode_ = code;
        return true;
    }

    LinkRecord& rec_;
    unsigned char* buf_;
    RollCounters& counters_;
    std::size_t held_ = 0;
    std::size_t packetLen_ = 0;
    bool searching_ = false;
    bool ended_ = false;
    long endCode_ = 0;
};

// The receive thread of one run: unpacks each packet's channel blocks into
// the channel buffers and calls the application back per full batch, at the
// end of the stream, on a read failure and when the run is stopped.
void receiveLoop(std::uint32_t id, LinkPtr rec) {
    StreamSlot& s = slot(id);
    RollCounters& counters = s.counters;
    std::uint32_t fill = 0;
    std::int32_t mask = 0;
    int channels = 0;
    auto call = [&](std::int32_t m, std::uint32_t count, std::int32_t status) {
        bump(counters.callbacks);
        if (QuilRollDataCallback cb = rec->callback)
            cb(s.channel[0], s.channel[1], s.channel[2], s.channel[3], m, static_cast<std::int32_t>(count), status,
               static_cast<std::int32_t>(id));
    };
    PacketReader reader(*rec, counters);
    bool endedByItself = false;
    while (rec->running) {
        long failure = 0;
        const PacketReader::Result r = reader.next(kStreamReadMs, &failure);
        if (r == PacketReader::Result::Pending) continue;
        if (r == PacketReader::Result::Ended) {
            // The controller ended the roll connection (or the wait failed):
            // nothing more can come in this run.
            call(mask, fill, 1);
            console("RecvRollData err ret:%lld\n", failure);
            endedByItself = true;
            break;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(rec->dataBuff.data());
        const std::uint32_t size = le32(p + 4);
        if (size == 0 && p[0] == 0) {
            call(0, 0, 0);
            endedByItself = true;
            break;
        }
        // The first packet that names at least one channel fixes the run's
        // channels; a packet naming none is never unpacked.
        if (channels == 0) {
            if ((p[0] & 0x0F) == 0) continue;
            mask = p[0];
            channels = std::popcount(static_cast<unsigned>(p[0] & 0x0F));
        }
        const std::uint32_t n = size / (4u * static_cast<std::uint32_t>(channels));
        // The channel buffers hold 2,000,000 values: a packet that would
        // carry the fill past them is dropped rather than overrun them.
        if (fill + n > kChannelValues) {
            bump(counters.overfillDropped);
            continue;
        }
        const unsigned char* block = p + kPacketHeaderSize;
        for (int k = 0; k < 4; ++k) {
            if (!(mask & (1 << k))) continue;
            std::memcpy(s.channel[k] + fill, block, std::size_t(n) * 4);
            block += std::size_t(n) * 4;
            bump(counters.values[k], n);
        }
        bump(counters.packets);
        if (fill + n >= rec->batchCount) {
            call(mask, fill + n, 0);
            fill = 0;
        } else {
            fill += n;
        }
    }
    // Only a run that was stopped reports so; a stop that comes in after
    // the run ended by itself finds the thread done.
    if (!endedByItself) call(mask, fill, 16);
    rec->running = false;
    jsonRollBatch(id, false, nullptr);
    s.threadEnded = true;
}

}  // namespace

std::int32_t openRollLink(std::uint32_t id, const char* ip) {
    if (LinkRollConnect(id, ip) == 0) return 0;
    consoleError("roll link err");
    return -1;
}

}  // namespace quil::link

using namespace quil::link;

extern "C" {

QUIL_API int32_t LinkRollConnect(uint32_t DeviceId, const char* ip) {
    const int32_t r = openLink(rollLinks(), DeviceId, ip, kRollPort, kRollBufferSize);
    if (r == 0 && !slot(DeviceId).allocate()) {
        disconnectLink(rollLinks(), DeviceId, true);
        return -1;
    }
    return r;
}

QUIL_API int32_t RollLinkDisconnect(uint32_t DeviceId) {
    disconnectLink(rollLinks(), DeviceId, false);
    return 0;
}

QUIL_API int32_t RecvRollData(uint32_t DeviceId, int32_t timeoutMs) {
    LinkPtr rec = rollLinks().find(DeviceId);
    return rec && rec->conn ? recvPacket(*rec, timeoutMs) : -1;
}

QUIL_API int32_t SwapRollData(uint32_t DeviceId, const char* line, int32_t len, char* out, int32_t* outLen,
                              int32_t timeoutMs) {
    return swapLine(rollLinks(), DeviceId, line, len, out, outLen, timeoutMs);
}

QUIL_API int32_t ClearRecv(uint32_t DeviceId) {
    LinkPtr rec = rollLinks().find(DeviceId);
    return rec && rec->conn ? clearRecv(*rec) : -1;
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
    if (batchCount == 0 || batchCount > kMaxBatchCount || DeviceId >= kMaxLinks || !ip || !callback) return -997;
    if (rollLinks().find(DeviceId)) return -987;
    StreamSlot& s = slot(DeviceId);
    // Also held while starting, so that a stop running at the same time
    // never joins or replaces the thread handle under a start.
    std::lock_guard<std::mutex> lock(s.startStop);
    // A start that ran meanwhile has made its record; and a receive thread
    // still running (its record released behind its back) is never waited for.
    if (rollLinks().find(DeviceId) || !s.threadEnded) return -987;
    s.join();  // a run that ended by itself
    closeAllLinks(DeviceId);
    int32_t r = QUIL_EthernetOpen(DeviceId, ip);
    if (r != 0) {
        console("connect err%lld\n", r);
        return r;
    }
    for (bool start : {false, true}) {
        r = jsonRollBatch(DeviceId, start, nullptr);
        if (r < 0) {
            console("recv err%lld\n", r);
            return -1;
        }
    }
    r = openRollLink(DeviceId, ip);
    if (r != 0) {
        console("connect err%lld\n", r);
        return r;
    }
    LinkPtr rec = rollLinks().find(DeviceId);
    rec->batchCount = batchCount;
    rec->callback = callback;
    rec->running = true;
    clearRecv(*rec);
    s.counters.reset();
    s.hasRun = true;
    s.threadEnded = false;
    s.thread = std::thread(receiveLoop, DeviceId, rec);
    return 0;
}

QUIL_API int32_t QUIL_GetRollStats(uint32_t DeviceId, QuilRollStats* stats) {
    if (DeviceId >= kMaxLinks || !stats || !slot(DeviceId).hasRun) return -1;
    slot(DeviceId).counters.copyTo(stats);
    return 0;
}

QUIL_API int32_t QUIL_StopRollPoint(uint32_t DeviceId) {
    if (DeviceId >= kMaxLinks) return -997;
    StreamSlot& s = slot(DeviceId);
    std::lock_guard<std::mutex> lock(s.startStop);
    if (LinkPtr rec = rollLinks().find(DeviceId)) {
        rec->running = false;
        s.join();
        jsonRollBatch(DeviceId, false, nullptr);
        closeAllLinks(DeviceId);
    }
    s.join();
    return 0;
}

}  // extern "C"
