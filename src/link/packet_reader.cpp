#include "link/packet_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "elog/console.h"

namespace quil::link {
namespace {

// How long the receive thread waits for the header after a complete packet
// before it takes the packet as it is: a controller streaming without pause
// has sent it already, and a slow stream only pays this much latency.
constexpr int kFrameGraceMs = 20;
// Bytes asked for per receive while looking for a packet boundary.
constexpr std::size_t kSearchChunk = 65536;

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

}  // namespace

void RollCounters::reset() {
    for (auto* c : {&packets, &values[0], &values[1], &values[2], &values[3], &bytesDiscarded, &badHeaders,
                    &oversizePackets, &misframedPackets, &overfillDropped, &callbacks})
        c->store(0, std::memory_order_relaxed);
}

void RollCounters::copyTo(QuilRollStats* out) const {
    out->packets = packets.load(std::memory_order_relaxed);
    for (int k = 0; k < 4; ++k) out->values[k] = values[k].load(std::memory_order_relaxed);
    out->bytesDiscarded = bytesDiscarded.load(std::memory_order_relaxed);
    out->badHeaders = badHeaders.load(std::memory_order_relaxed);
    out->oversizePackets = oversizePackets.load(std::memory_order_relaxed);
    out->misframedPackets = misframedPackets.load(std::memory_order_relaxed);
    out->overfillDropped = overfillDropped.load(std::memory_order_relaxed);
    out->callbacks = callbacks.load(std::memory_order_relaxed);
}

PacketReader::Result PacketReader::next(int waitMs, long* failure) {
    // Between two packets nothing points into the buffer: the place to
    // move to one the application asked for meanwhile.
    rec_.dataBuff.adopt(rec_.dataDirty);
    refresh();
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
                if (after == Verdict::Yes || (after == Verdict::Unknown && (ended_ || quietAfterPacket(deadline)))) {
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

// Hands the bytes after the last packet handed out to the front.
void PacketReader::consumePacket() {
    if (packetLen_ == 0) return;
    std::memmove(buf_, buf_ + packetLen_, held_ - packetLen_);
    held_ -= packetLen_;
    packetLen_ = 0;
}

// Counts a header that headerAt refused: wrong marker bytes, or else a
// payload size over the limit.
void PacketReader::countRefused(const unsigned char* h) {
    if (h[1] != kMarker1 || h[2] != kMarker2) {
        bump(counters_.badHeaders);
        return;
    }
    consolePrint("dataSize err:%lld\n", static_cast<long long>(le32(h + 4)));
    bump(counters_.oversizePackets);
}

// Drops the bytes before the first position from `from` on where a header
// can stand (or cannot yet be ruled out), counting them.
void PacketReader::search(std::size_t from) {
    if (held_ == 0) return;
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
// when nothing more comes within the grace time (the packet is taken as it
// is), false when bytes came (they are judged by the caller).
bool PacketReader::quietAfterPacket(std::uint64_t deadline) {
    const std::uint64_t now = platform::monotonicMs();
    const int wait = static_cast<int>(std::min<std::uint64_t>(kFrameGraceMs, deadline > now ? deadline - now : 0));
    return source_.waitReadable(wait) == platform::Wait::Timeout;
}

// Receives more bytes: in a packet, up to the end of the next packet's
// header; while searching, a chunk. False when nothing came before the
// deadline. The end of the connection (an orderly close or a reset, or a
// failed wait) is noted, to be reported once what is held is used.
bool PacketReader::receive(std::uint64_t deadline) {
    std::size_t want;
    if (searching_ || held_ < kPacketHeaderSize)
        want = searching_ ? kSearchChunk : kPacketHeaderSize - held_;
    else
        want = 2 * kPacketHeaderSize + le32(buf_ + 4) - held_;
    want = std::min(want, rec_.dataBuff.size() - held_);
    const std::uint64_t now = platform::monotonicMs();
    if (now >= deadline) return false;
    // The buffer grows to the packet in flight.
    if (!rec_.dataBuff.reserve(held_ + want)) {
        if (!searching_ && held_ >= kPacketHeaderSize) {
            // No memory for this packet: it is refused like an oversize
            // one, and the reader looks for the next header behind it.
            bump(counters_.oversizePackets);
            search(1);
            return true;
        }
        // Not even room to look for a header: try again after a pause.
        platform::sleepMs(static_cast<int>(std::min<std::uint64_t>(kFrameGraceMs, deadline - now)));
        return false;
    }
    refresh();
    switch (source_.waitReadable(static_cast<int>(deadline - now))) {
    case platform::Wait::Timeout: return false;
    case platform::Wait::Error: return end(-1);
    case platform::Wait::Ready: break;
    }
    const long n = source_.takeNow(buf_ + held_, want);
    if (n > 0) {
        held_ += static_cast<std::size_t>(n);
        rec_.dataDirty = std::max(rec_.dataDirty, held_);
        return true;
    }
    // Readable with nothing to take is a passing condition.
    if (n == 0) return false;
    return end(-3);
}

ChannelBuffers::~ChannelBuffers() {
    if (abandoned_) return;
    endRun();
    for (Block& b : current_) freeBlock(b.values, b.count * sizeof(std::int32_t));
}

bool ChannelBuffers::reserve(std::size_t values, std::size_t keep) {
    if (values <= current_[0].count) return true;
    if (values > capacity_ || retiredCount_ + 4 > kMaxRetired) return false;
    // Doubling, from a first size that holds a small batch.
    constexpr std::size_t kFirstValues = 1024;
    std::size_t count = std::min(capacity_, std::max({values, 2 * current_[0].count, kFirstValues}));
    Block fresh[4];
    for (int attempt = 0; attempt < 2; ++attempt) {
        int k = 0;
        for (; k < 4; ++k) {
            fresh[k].values = static_cast<std::int32_t*>(allocBlock(count * sizeof(std::int32_t)));
            fresh[k].count = count;
            if (!fresh[k].values) break;
        }
        if (k == 4) break;
        for (int j = 0; j < k; ++j) freeBlock(fresh[j].values, count * sizeof(std::int32_t));
        // When the doubled size cannot be had, what is needed may still be.
        if (count == values) return false;
        count = values;
    }
    for (int k = 0; k < 4; ++k) {
        if (current_[k].values) {
            std::memcpy(fresh[k].values, current_[k].values, std::min(keep, current_[k].count) * sizeof(std::int32_t));
            retired_[retiredCount_++] = current_[k];
        }
        current_[k] = fresh[k];
    }
    return true;
}

void ChannelBuffers::endRun() {
    for (int i = 0; i < retiredCount_; ++i) freeBlock(retired_[i].values, retired_[i].count * sizeof(std::int32_t));
    retiredCount_ = 0;
    if (current_[0].count * sizeof(std::int32_t) <= kKeptBufferBytes) return;
    for (Block& b : current_) {
        freeBlock(b.values, b.count * sizeof(std::int32_t));
        b = Block{};
    }
}

void ChannelBuffers::abandon() { abandoned_ = true; }

Unpacker::Step Unpacker::add(const unsigned char* p, std::uint32_t batchCount, RollCounters& counters) {
    const std::uint32_t size = le32(p + 4);
    if (size == 0 && p[0] == 0) return Step::End;
    if (channelCount_ == 0) {
        if ((p[0] & 0x0F) == 0) return Step::Skipped;
        mask_ = p[0];
        channelCount_ = std::popcount(static_cast<unsigned>(p[0] & 0x0F));
    }
    const std::uint32_t n = size / (4u * static_cast<std::uint32_t>(channelCount_));
    // A packet that would carry the fill past the buffers' capacity is
    // dropped rather than overrun them; so is one for which they cannot grow.
    if (!channels_.reserve(std::size_t(fill_) + n, fill_)) {
        bump(counters.overfillDropped);
        return Step::Skipped;
    }
    const unsigned char* block = p + kPacketHeaderSize;
    for (int k = 0; k < 4; ++k) {
        if (!(mask_ & (1 << k)) || n == 0) continue;
        std::memcpy(channels_.channel(k) + fill_, block, std::size_t(n) * 4);
        block += std::size_t(n) * 4;
        bump(counters.values[k], n);
    }
    bump(counters.packets);
    if (fill_ + n >= batchCount) {
        batchValues_ = fill_ + n;
        fill_ = 0;
        return Step::BatchFull;
    }
    fill_ += n;
    return Step::Unpacked;
}

}  // namespace quil::link
