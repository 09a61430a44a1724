#include "link/stream.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "link/json.h"
#include "link/link_record.h"
#include "quil.h"

namespace quil::link {
namespace {

constexpr std::uint8_t kMarker1 = 0xFA;
constexpr std::uint8_t kMarker2 = 0xAF;
constexpr int kRecvChunk = 10240;
// A roll connection closed by the controller fails every read at once; the
// thread keeps reading until the run is stopped, but not in a busy loop.
constexpr int kClosedRetryMs = 10;

struct StreamSlot {
    // Allocated at the first roll-link open of the device number and kept
    // for every later run: the application may still hold the pointers.
    std::int32_t* channel[4] = {};
    std::mutex startStop;
    std::thread thread;  // the receive thread of the current or last run

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

void console(const char* format, std::int64_t value) {
    std::printf(format, static_cast<long long>(value));
    std::fflush(stdout);
}

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

std::int32_t clearRecv(LinkRecord& rec) {
    for (;;) {
        long n = recvData(*rec.conn, rec.dataBuff.data(), kRecvChunk, 1);
        if (n < 1) return static_cast<std::int32_t>(n);
        rec.dataDirty = std::max(rec.dataDirty, static_cast<std::size_t>(n));
    }
}

// The receive thread of one run: unpacks each packet's channel blocks into
// the channel buffers and calls the application back per full batch, at the
// end of the stream, on a read failure and when the run is stopped.
void receiveLoop(std::uint32_t id, LinkPtr rec) {
    StreamSlot& s = slot(id);
    std::uint32_t fill = 0;
    std::int32_t mask = 0;
    int channels = 0;
    auto call = [&](std::int32_t m, std::uint32_t count, std::int32_t status) {
        if (QuilRollDataCallback cb = rec->callback)
            cb(s.channel[0], s.channel[1], s.channel[2], s.channel[3], m, static_cast<std::int32_t>(count), status,
               static_cast<std::int32_t>(id));
    };
    bool endedByItself = false;
    while (rec->running) {
        const std::int32_t r = recvPacket(*rec, kStreamReadMs);
        if (r == -1) {
            call(mask, fill, 1);
            console("RecvRollData err ret:%lld\n", r);
            endedByItself = true;
            break;
        }
        if (r < 0) {
            if (r == -3) std::this_thread::sleep_for(std::chrono::milliseconds(kClosedRetryMs));
            continue;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(rec->dataBuff.data());
        // A header without its markers is not a packet: its payload was not
        // read. Throw away what has arrived and wait for the next packet.
        if (p[1] != kMarker1 || p[2] != kMarker2) {
            clearRecv(*rec);
            continue;
        }
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
        if (fill + n > kChannelValues) continue;
        const unsigned char* block = p + kPacketHeaderSize;
        for (int k = 0; k < 4; ++k) {
            if (!(mask & (1 << k))) continue;
            std::memcpy(s.channel[k] + fill, block, std::size_t(n) * 4);
            block += std::size_t(n) * 4;
        }
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
}

}  // namespace

std::int32_t openRollLink(std::uint32_t id, const char* ip) {
    if (LinkRollConnect(id, ip) == 0) return 0;
    std::perror("roll link err");
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
    s.thread = std::thread(receiveLoop, DeviceId, rec);
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
