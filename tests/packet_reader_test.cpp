// The stream's packet framing and unpacking on scripted bytes: the pieces a
// stream arrives in never change what is handed out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/packet_reader.h"
#include "link/stream.h"

namespace {

using namespace quil::link;

std::vector<unsigned char> packet(unsigned char mask, const std::vector<std::int32_t>& values) {
    std::vector<unsigned char> p(kPacketHeaderSize + 4 * values.size());
    p[0] = mask;
    p[1] = kMarker1;
    p[2] = kMarker2;
    const std::uint32_t size = static_cast<std::uint32_t>(4 * values.size());
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<unsigned char>(size >> (8 * i));
    if (size > 0) std::memcpy(p.data() + kPacketHeaderSize, values.data(), size);
    return p;
}

// The bytes in pieces of a fixed size, then the end of the connection.
class Pieces final : public ByteSource {
public:
    Pieces(const std::vector<unsigned char>& bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
    quil::platform::Wait waitReadable(int) override { return quil::platform::Wait::Ready; }
    long takeNow(unsigned char* into, std::size_t max) override {
        if (pos_ == bytes_.size()) return -1;
        const std::size_t n = std::min({piece_, max, bytes_.size() - pos_});
        std::memcpy(into, bytes_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

private:
    const std::vector<unsigned char>& bytes_;
    std::size_t piece_;
    std::size_t pos_ = 0;
};

struct Read {
    std::vector<std::vector<unsigned char>> packets;
    std::uint64_t discarded = 0, badHeaders = 0, misframed = 0;
};

Read readAll(LinkRecord& rec, const std::vector<unsigned char>& bytes, std::size_t piece) {
    Pieces source(bytes, piece);
    RollCounters counters;
    PacketReader reader(rec, source, counters);
    Read out;
    for (;;) {
        long failure = 0;
        const PacketReader::Result r = reader.next(1000, &failure);
        if (r == PacketReader::Result::Ended) break;
        if (r == PacketReader::Result::Packet) {
            const auto* b = reinterpret_cast<const unsigned char*>(rec.dataBuff.data());
            out.packets.emplace_back(b, b + rec.dataLen);
        }
    }
    out.discarded = counters.bytesDiscarded;
    out.badHeaders = counters.badHeaders;
    out.misframed = counters.misframedPackets;
    return out;
}

TEST(PacketReader, PiecesOfAnySizeGiveTheSamePacketsAndSkipTheSameBytes) {
    const auto first = packet(0x03, {1, 2, 3, 4});
    const auto second = packet(0x03, {5, 6});
    auto cut = packet(0x03, {7, 8, 9, 10});
    cut.resize(cut.size() - 6);  // cut short: the next header follows too early
    std::vector<unsigned char> stream = {'j', 'u', 'n', 'k'};
    for (const auto& p : {first, cut, second}) stream.insert(stream.end(), p.begin(), p.end());

    LinkRecord rec(0, kRollBufferSize, nullptr, true);
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{16}, stream.size()}) {
        const Read r = readAll(rec, stream, piece);
        ASSERT_EQ(r.packets.size(), 2u) << "pieces of " << piece;
        EXPECT_EQ(r.packets[0], first) << "pieces of " << piece;
        EXPECT_EQ(r.packets[1], second) << "pieces of " << piece;
        EXPECT_EQ(r.discarded, 4 + cut.size()) << "pieces of " << piece;
        EXPECT_EQ(r.misframed, 1u) << "pieces of " << piece;
    }
}

TEST(Unpacker, BatchesFillUpAndPacketsBeyondTheBuffersAreDropped) {
    constexpr std::size_t kCapacity = 6;
    ChannelBuffers channels(kCapacity);
    Unpacker u(channels);
    RollCounters counters;

    EXPECT_EQ(u.add(packet(0x00, {9, 9}).data(), 5, counters), Unpacker::Step::Skipped) << "no channels yet";
    // Bit 4 names no channel: two channels of two values.
    EXPECT_EQ(u.add(packet(0x15, {1, 2, 3, 4}).data(), 5, counters), Unpacker::Step::Unpacked);
    EXPECT_EQ(u.fill(), 2u);
    EXPECT_EQ(channels.channel(0)[1], 2);
    EXPECT_EQ(channels.channel(2)[1], 4);
    // Five values would carry the fill past the six the buffers hold.
    EXPECT_EQ(u.add(packet(0x05, std::vector<std::int32_t>(10, 7)).data(), 5, counters), Unpacker::Step::Skipped);
    EXPECT_EQ(counters.overfillDropped, 1u);
    EXPECT_EQ(u.add(packet(0x05, {5, 6, 7, 8, 9, 10}).data(), 5, counters), Unpacker::Step::BatchFull);
    EXPECT_EQ(u.batchValues(), 5u);
    EXPECT_EQ(u.fill(), 0u);
    EXPECT_EQ(u.add(packet(0x00, {}).data(), 5, counters), Unpacker::Step::End);

    // A packet that fills fresh buffers exactly is kept.
    ChannelBuffers exact(kCapacity);
    Unpacker v(exact);
    EXPECT_EQ(v.add(packet(0x05, std::vector<std::int32_t>(2 * kCapacity, 3)).data(), kCapacity, counters),
              Unpacker::Step::BatchFull);
    EXPECT_EQ(v.batchValues(), kCapacity);
    EXPECT_EQ(counters.overfillDropped, 1u);
}

// The channel buffers grow with the batch: its values move along, a pointer
// handed out before still reads its old values until the run ends, and a
// growth without memory drops the packet and keeps the batch.
TEST(Unpacker, ChannelBuffersGrowWithTheBatchAndKeepReplacedOnesUntilTheRunEnds) {
    ChannelBuffers channels(kChannelValues);
    ASSERT_TRUE(channels.reserve(1, 0));
    Unpacker u(channels);
    RollCounters counters;
    const std::vector<std::int32_t> first(2 * 1000, 3);
    ASSERT_EQ(u.add(packet(0x03, first).data(), 100000, counters), Unpacker::Step::Unpacked);
    const std::int32_t* before = channels.channel(1);
    // 5,000 values per channel: more than the first growth held.
    std::vector<std::int32_t> second(2 * 5000, 4);
    ASSERT_EQ(u.add(packet(0x03, second).data(), 100000, counters), Unpacker::Step::Unpacked);
    ASSERT_NE(channels.channel(1), before) << "the buffers grew";
    EXPECT_EQ(channels.channel(1)[999], 3) << "the batch so far moved along";
    EXPECT_EQ(channels.channel(1)[1000], 4);
    EXPECT_EQ(before[999], 3) << "the replaced buffer is still there";

    // 100,000 values per channel (800 KB a channel) cannot be had now.
    failBlocksAbove(64 * 1024);
    const std::vector<std::int32_t> large(2 * 100000, 5);
    EXPECT_EQ(u.add(packet(0x03, large).data(), 100000, counters), Unpacker::Step::Skipped);
    EXPECT_EQ(counters.overfillDropped, 1u);
    failBlocksAbove(SIZE_MAX);
    EXPECT_EQ(u.add(packet(0x03, large).data(), 100000, counters), Unpacker::Step::BatchFull);
    EXPECT_EQ(u.batchValues(), 106000u);
    EXPECT_EQ(channels.channel(0)[5999], 4);
    EXPECT_EQ(channels.channel(0)[6000], 5);
    channels.endRun();
}

}  // namespace
