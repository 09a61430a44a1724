// The data stream against a controller that streams without pause from the
// moment the roll link connects.
#include <gtest/gtest.h>

#include <atomic>
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

// A roll-link peer writing packets back to back from the moment it accepts,
// beginning in the middle of one. Value i of channel c is Stream::value(c, i).
class Flooder {
public:
    explicit Flooder(const std::string& address) {
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
        if (!write(std::string(kValues * 4, '\x7f'))) return;
        for (uint64_t k = 1; !stop_; ++k) {
            for (uint32_t i = 0; i < kValues; ++i) {
                payload[i] = Stream::value(1, (k - 1) * kValues + i);
                payload[kValues + i] = Stream::value(2, (k - 1) * kValues + i);
            }
            const std::size_t bytes = payload.size() * 4;
            std::string packet = Stream::header(kMask, static_cast<uint32_t>(bytes));
            packet.append(reinterpret_cast<const char*>(payload.data()), bytes);
            if (!write(packet)) return;
        }
    }
    // In pieces that do not follow the packets: a pause in writing lands anywhere.
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
    plat::Socket listener_, peer_;
    std::mutex peerMutex_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What the callbacks delivered (they come from one thread at a time). A batch
// holds whole packets: each block of kValues values per channel must be one
// packet's values, in order, in the right channel, on both channels.
std::atomic<uint64_t> g_values{0}, g_misplaced{0}, g_callbacks{0}, g_firstIndex{UINT64_MAX}, g_lastIndex{0};
std::atomic<int32_t> g_lastStatus{-1};

uint64_t indexOf(int32_t v) { return static_cast<uint32_t>(v) % 100000000u; }
uint32_t channelOf(int32_t v) { return static_cast<uint32_t>(v) / 100000000u; }

void onBatch(int32_t* c1, int32_t* c2, int32_t*, int32_t*, int32_t mask, int32_t count, int32_t status, int32_t) {
    ++g_callbacks;
    g_lastStatus = status;
    if (status != 0 || mask == 0 || count == 0) return;
    if (count % static_cast<int32_t>(kValues) != 0) ++g_misplaced;
    for (int32_t j = 0; j < count; ++j) {
        const uint64_t idx = indexOf(c1[j]);
        if (channelOf(c1[j]) != 1 || channelOf(c2[j]) != 2 || indexOf(c2[j]) != idx) ++g_misplaced;
        const bool packetStart = j % static_cast<int32_t>(kValues) == 0;
        if (packetStart ? idx % kValues != 0 : idx != indexOf(c1[j - 1]) + 1) ++g_misplaced;
    }
    g_values += static_cast<uint64_t>(count);
    if (g_firstIndex == UINT64_MAX) g_firstIndex = indexOf(c1[0]);
    g_lastIndex = indexOf(c1[count - 1]);
}

class StreamFlood : public ::testing::Test {
protected:
    StreamFlood() : sim(quil::sim::Options{.address = quil::sim::freeLoopbackAddress(), .rollPort = 0}) {}
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    void TearDown() override { QUIL_StopRollPoint(kId); }
    void stopRun() {
        const uint64_t t0 = plat::monotonicMs();
        ASSERT_EQ(QUIL_StopRollPoint(kId), 0);
        EXPECT_LT(plat::monotonicMs() - t0, 1500u);
    }
    quil::sim::Simulator sim;
};

TEST_F(StreamFlood, StartReturnsAndEveryValueLandsInItsPlace) {
    Flooder flood(sim.address());
    ASSERT_TRUE(flood.ok());
    const uint64_t t0 = plat::monotonicMs();
    ASSERT_EQ(QUIL_StartRollPoint(kId, sim.address().c_str(), onBatch, kValues * 5), 0);
    EXPECT_LT(plat::monotonicMs() - t0, 1000u) << "the start waited for the stream to pause";
    for (int i = 0; i < 2000 && g_lastIndex < 200 * kValues; ++i) plat::sleepMs(10);
    ASSERT_GE(g_lastIndex.load(), 200 * kValues) << "no callbacks while the controller streams";
    stopRun();
    EXPECT_EQ(g_misplaced.load(), 0u);
    // Packets from the first delivered one to the last, none missing.
    EXPECT_EQ(g_values.load() / kValues, (g_lastIndex.load() - g_firstIndex.load() + 1) / kValues)
        << "packets lost after the first one";
    EXPECT_EQ(g_lastStatus.load(), 16);
    QuilRollStats s{};
    ASSERT_EQ(QUIL_GetRollStats(kId, &s), 0);
    EXPECT_EQ(s.values[0], s.packets * kValues);
    EXPECT_EQ(s.values[1], s.values[0]);
    EXPECT_EQ(s.values[2], 0u);
    EXPECT_EQ(s.callbacks, g_callbacks.load());
}

TEST_F(StreamFlood, TwoStartsAtOnceLeaveOneRunAndStopWorks) {
    Flooder flood(sim.address());
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

}  // namespace
