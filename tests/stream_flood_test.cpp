// The data stream against a controller that streams without pause from the
// moment the roll link connects, with faults in the middle of the flood.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

using quil::sim::Stream;
namespace plat = quil::platform;

constexpr uint32_t kId = 5;
constexpr uint32_t kValues = 2000;  // per channel per packet
constexpr uint8_t kMask = 0x03;

// A roll-link peer that writes packets back to back from the moment it
// accepts, on a thread of its own, beginning in the middle of a packet (the
// second half of one). Value i of channel c is Stream::value(c, i), counted
// across packets. Faults are placed before given packet numbers.
class Flooder {
public:
    struct Faults {
        uint64_t badHeaderAt = 0;  // a header with wrong markers and some bytes
        uint64_t truncatedAt = 0;  // a packet that claims kValues but carries half
        uint64_t closeAt = 0;      // the connection is closed
        int pauseMs = 0;           // before the first byte (after the start's discard)
    };

    Flooder(const std::string& address, Faults f) : faults_(f) {
        plat::Ipv4 ip;
        plat::parseIpv4(address.c_str(), &ip);
        listener_ = plat::tcpSocket();
        plat::setReuseAddress(listener_, true);
        ok_ = plat::bindTo(listener_, ip, 12525) == 0 && plat::listenOn(listener_, 4) == 0;
        if (ok_) thread_ = std::thread([this] { run(); });
    }
    ~Flooder() {
        stop_ = true;
        {
            // Wakes a send that waits for room.
            std::lock_guard<std::mutex> lock(peerMutex_);
            if (peer_.valid()) plat::shutdownBoth(peer_);
        }
        if (thread_.joinable()) thread_.join();
        if (peer_.valid()) plat::closeSocket(peer_);
        plat::closeSocket(listener_);
    }
    bool ok() const { return ok_; }
    uint64_t packetsSent() const { return sent_; }

private:
    void run() {
        while (!stop_ && plat::waitReadable(listener_, 50) != plat::Wait::Ready) {}
        if (stop_) return;
        {
            std::lock_guard<std::mutex> lock(peerMutex_);
            peer_ = plat::acceptFrom(listener_);
            if (!peer_.valid()) return;
        }
        std::vector<uint32_t> payload(kValues * 2);
        if (faults_.pauseMs > 0) plat::sleepMs(faults_.pauseMs);
        if (!write(std::string(kValues * 4, '\x7f'))) return;
        for (uint64_t k = 1; !stop_; ++k) {
            if (k == faults_.closeAt) {
                plat::sendSome(peer_, pending_.data(), pending_.size());
                plat::shutdownBoth(peer_);
                return;
            }
            if (k == faults_.badHeaderAt && !write(Stream::header(kMask, 64, 0x12, 0x34) + std::string(64, 'j')))
                return;
            for (uint32_t i = 0; i < kValues; ++i) {
                payload[i] = Stream::value(1, (k - 1) * kValues + i);
                payload[kValues + i] = Stream::value(2, (k - 1) * kValues + i);
            }
            const std::size_t bytes = payload.size() * 4;
            std::string packet = Stream::header(kMask, static_cast<uint32_t>(bytes));
            packet.append(reinterpret_cast<const char*>(payload.data()), bytes);
            if (k == faults_.truncatedAt) packet.resize(Stream::kHeaderSize + bytes / 2);
            if (!write(packet)) return;
            ++sent_;
        }
    }
    // The stream goes out in pieces that do not follow the packets, as
    // bytes of a TCP stream may arrive: a pause in writing lands anywhere.
    bool write(const std::string& bytes) {
        pending_ += bytes;
        while (pending_.size() >= kPiece) {
            std::size_t done = 0;
            while (done < kPiece) {
                long n = plat::sendSome(peer_, pending_.data() + done, kPiece - done);
                if (n <= 0) return false;
                done += static_cast<std::size_t>(n);
            }
            pending_.erase(0, kPiece);
        }
        return true;
    }

    static constexpr std::size_t kPiece = 7001;
    std::string pending_;
    Faults faults_;
    plat::Socket listener_, peer_;
    std::mutex peerMutex_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

// What the callbacks delivered. A batch holds whole packets: each block of
// kValues values per channel must be one packet's values, in order, in the
// right channel, and both channels must carry the same packet.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int32_t> statuses;
    uint64_t values = 0;
    uint64_t misplaced = 0;
    // Index of the first and the last value delivered on channel 1.
    uint64_t firstIndex = UINT64_MAX, lastIndex = 0;
    // Packets delivered from the first to the last one, none missing.
    uint64_t packetsBetween() const { return values == 0 ? 0 : (lastIndex - firstIndex + 1) / kValues; }

    bool waitFor(std::function<bool()> done, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), done);
    }
} g_got;

uint64_t indexOf(int32_t v) { return static_cast<uint32_t>(v) % 100000000u; }
uint32_t channelOf(int32_t v) { return static_cast<uint32_t>(v) / 100000000u; }

void onBatch(int32_t* c1, int32_t* c2, int32_t*, int32_t*, int32_t mask, int32_t count, int32_t status, int32_t) {
    uint64_t bad = 0;
    if (status == 0 && mask != 0) {
        if (count % static_cast<int32_t>(kValues) != 0) ++bad;
        for (int32_t j = 0; j < count; ++j) {
            const uint64_t idx = indexOf(c1[j]);
            if (channelOf(c1[j]) != 1 || channelOf(c2[j]) != 2 || indexOf(c2[j]) != idx) ++bad;
            const bool packetStart = j % static_cast<int32_t>(kValues) == 0;
            if (packetStart ? idx % kValues != 0 : idx != indexOf(c1[j - 1]) + 1) ++bad;
        }
    }
    std::lock_guard<std::mutex> lock(g_got.mutex);
    g_got.statuses.push_back(status);
    if (status == 0 && mask != 0 && count > 0) {
        g_got.values += static_cast<uint64_t>(count);
        if (g_got.firstIndex == UINT64_MAX) g_got.firstIndex = indexOf(c1[0]);
        g_got.lastIndex = indexOf(c1[count - 1]);
    }
    g_got.misplaced += bad;
    g_got.changed.notify_all();
}

class StreamFlood : public ::testing::Test {
protected:
    StreamFlood() : sim(quil::sim::Options{.address = quil::sim::freeLoopbackAddress(), .rollPort = 0}) {}
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        std::lock_guard<std::mutex> lock(g_got.mutex);
        g_got.statuses.clear();
        g_got.values = g_got.misplaced = g_got.lastIndex = 0;
        g_got.firstIndex = UINT64_MAX;
    }
    void TearDown() override { QUIL_StopRollPoint(kId); }

    // Starts a run against the flooder; the start must return within a second.
    void startRun() {
        const uint64_t t0 = plat::monotonicMs();
        ASSERT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, kValues * 5), 0);
        EXPECT_LT(plat::monotonicMs() - t0, 1000u) << "the start waited for the stream to pause";
    }
    void stopRun() {
        const uint64_t t0 = plat::monotonicMs();
        ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
        EXPECT_LT(plat::monotonicMs() - t0, 1500u);
    }
    QuilRollStats stats() {
        QuilRollStats s{};
        EXPECT_EQ(QUIL_GetRollStats(kId, &s), 0);
        return s;
    }
    // Waits until a callback delivered values of that packet number or later.
    bool waitPacket(uint64_t k) {
        return g_got.waitFor([&] { return g_got.lastIndex >= (k - 1) * kValues; }, 20000);
    }

    quil::sim::Simulator sim;
};

TEST_F(StreamFlood, StartReturnsAndEveryValueLandsInItsPlace) {
    Flooder flood(sim.address(), {});
    ASSERT_TRUE(flood.ok());
    startRun();
    ASSERT_TRUE(waitPacket(200)) << "no callbacks while the controller streams";
    stopRun();
    std::lock_guard<std::mutex> lock(g_got.mutex);
    EXPECT_EQ(g_got.misplaced, 0u);
    EXPECT_EQ(g_got.values / kValues, g_got.packetsBetween()) << "packets lost after the first one";
    EXPECT_EQ(g_got.statuses.back(), 16);
    const QuilRollStats s = stats();
    EXPECT_EQ(s.values[0], s.packets * kValues);
    EXPECT_EQ(s.values[1], s.values[0]);
    EXPECT_EQ(s.values[2], 0u);
    EXPECT_EQ(s.callbacks, g_got.statuses.size());
}

TEST_F(StreamFlood, BadHeaderAndCutPacketAreSkippedAndCounted) {
    Flooder flood(sim.address(), {.badHeaderAt = 400, .truncatedAt = 800, .pauseMs = 300});
    ASSERT_TRUE(flood.ok());
    startRun();
    ASSERT_TRUE(waitPacket(1000)) << "the stream was not found again after the faults";
    stopRun();
    {
        // The stream begins in the middle of a packet after the start's
        // discard: the first whole packet is found. Only the packet before
        // the broken header (it cannot be told from a cut one) and the cut
        // packet are lost.
        std::lock_guard<std::mutex> lock(g_got.mutex);
        EXPECT_EQ(g_got.firstIndex, 0u);
        EXPECT_EQ(g_got.values / kValues, g_got.packetsBetween() - 2);
    }
    const QuilRollStats s = stats();
    EXPECT_GE(s.badHeaders, 1u);
    EXPECT_GE(s.misframedPackets, 1u) << "the cut packet was taken whole";
    EXPECT_GT(s.bytesDiscarded, 0u);
    std::lock_guard<std::mutex> lock(g_got.mutex);
    EXPECT_EQ(g_got.misplaced, 0u);
}

TEST_F(StreamFlood, ClosedRollConnectionEndsTheRunOnce) {
    Flooder flood(sim.address(), {.closeAt = 300});
    ASSERT_TRUE(flood.ok());
    startRun();
    ASSERT_TRUE(g_got.waitFor([&] { return !g_got.statuses.empty() && g_got.statuses.back() == 1; }, 10000));
    plat::sleepMs(200);
    EXPECT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, 10), -987) << "a run that ended keeps its links";
    stopRun();
    std::lock_guard<std::mutex> lock(g_got.mutex);
    int failures = 0;
    for (int32_t st : g_got.statuses) {
        failures += st == 1;
        EXPECT_NE(st, 16) << "a run that ended by itself was reported stopped";
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(g_got.misplaced, 0u);
}

TEST_F(StreamFlood, TwoStartsAtOnceLeaveOneRunAndStopWorks) {
    Flooder flood(sim.address(), {});
    ASSERT_TRUE(flood.ok());
    std::atomic<int32_t> results[2];
    std::thread a([&] { results[0] = QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, kValues); });
    std::thread b([&] { results[1] = QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, kValues); });
    a.join();
    b.join();
    EXPECT_EQ((results[0] == 0) + (results[1] == 0), 1);
    EXPECT_EQ((results[0] == -987) + (results[1] == -987), 1);
    stopRun();
}

TEST(StreamStats, NoneWithoutARun) {
    QuilRollStats s{};
    EXPECT_EQ(QUIL_GetRollStats(7, &s), -1);
    EXPECT_EQ(QUIL_GetRollStats(64, &s), -1);
    EXPECT_EQ(QUIL_GetRollStats(7, nullptr), -1);
}

}  // namespace
