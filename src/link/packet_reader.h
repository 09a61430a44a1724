// The stream's packet framing and unpacking, apart from the roll link's
// socket and receive thread (link/stream.cpp): the bytes come from a
// ByteSource, the values go to caller-owned channel buffers.
//
// A packet is a 16-byte header and a payload: byte 0 the channel mask (bit k
// for channel k), bytes 1 and 2 the markers 0xFA 0xAF, bytes 4 to 7 the
// payload size (little-endian), and the payload the channels' blocks of
// 4-byte values one after another. A header with size 0 and mask 0 ends the
// stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/link_record.h"
#include "platform/platform.h"
#include "quil.h"

namespace quil::link {

inline constexpr std::uint8_t kMarker1 = 0xFA;
inline constexpr std::uint8_t kMarker2 = 0xAF;

inline std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

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

    void reset();
    void copyTo(QuilRollStats* out) const;
};
inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
    counter.fetch_add(by, std::memory_order_relaxed);
}

// Where the packet reader's bytes come from: the roll link's connection.
class ByteSource {
public:
    virtual platform::Wait waitReadable(int ms) = 0;
    // Takes what has arrived, at most max bytes, without waiting: the bytes
    // taken (> 0), 0 when nothing was there after all, -1 when the
    // connection has ended (closed by the controller or reset).
    virtual long takeNow(unsigned char* into, std::size_t max) = 0;

protected:
    ~ByteSource() = default;
};

// Reads the stream's packets for the receive thread and finds packet
// boundaries by itself. The bytes at the start of the record's receive
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

    // The record's receive buffer must be able to hold kRollBufferSize
    // bytes; it grows to the packets that come.
    PacketReader(LinkRecord& rec, ByteSource& source, RollCounters& counters)
        : rec_(rec), source_(source), counters_(counters) {}

    // Reads for at most waitMs in all, so the caller looks at its running
    // flag at least that often whatever the controller sends. Packet: a
    // packet stands at the start of the receive buffer (dataLen is its
    // length) until the next call. Ended: the controller closed or reset the
    // connection (*failure is -3), or the wait failed (-1).
    Result next(int waitMs, long* failure);

private:
    void consumePacket();
    void countRefused(const unsigned char* h);
    void search(std::size_t from);
    bool quietAfterPacket(std::uint64_t deadline);
    bool receive(std::uint64_t deadline);
    bool end(long code) {
        ended_ = true;
        endCode_ = code;
        return true;
    }

    void refresh() { buf_ = reinterpret_cast<unsigned char*>(rec_.dataBuff.data()); }

    LinkRecord& rec_;
    ByteSource& source_;
    unsigned char* buf_ = nullptr;  // the record's receive buffer, which moves as it grows
    RollCounters& counters_;
    std::size_t held_ = 0;
    std::size_t packetLen_ = 0;
    bool searching_ = false;
    bool ended_ = false;
    long endCode_ = 0;
};

// The four channel buffers of a device's stream runs, handed to the
// callback. They grow with the batch in flight, up to capacity values each;
// all four alike, so that every pointer the callback gets holds as many
// values as the others (a channel the run does not carry is never written,
// so its pages are never touched). A buffer is replaced by a larger one only
// between two callbacks, and the replaced one stays allocated until the run
// ends (endRun): a pointer the application kept a little longer reads old
// values, never freed memory.
class ChannelBuffers {
public:
    explicit ChannelBuffers(std::size_t capacity) : capacity_(capacity) {}
    ~ChannelBuffers();
    ChannelBuffers(const ChannelBuffers&) = delete;
    ChannelBuffers& operator=(const ChannelBuffers&) = delete;

    std::int32_t* channel(int k) const { return current_[k].values; }
    std::size_t capacity() const { return capacity_; }
    // Room for values per channel, the first keep values kept: false over
    // the capacity or when the memory is not there (nothing changes then).
    bool reserve(std::size_t values, std::size_t keep);
    // The run has ended and no callback runs: the replaced buffers are freed,
    // and buffers grown past kKeptBufferBytes given back.
    void endRun();
    // At process exit with a run still going: its thread may still write, so
    // nothing is freed.
    void abandon();

private:
    struct Block {
        std::int32_t* values = nullptr;
        std::size_t count = 0;
    };
    // Doubling from the first growth to the capacity replaces a buffer far
    // fewer times than this in one run.
    static constexpr int kMaxRetired = 64;

    Block current_[4];
    Block retired_[kMaxRetired];
    int retiredCount_ = 0;
    std::size_t capacity_;
    bool abandoned_ = false;
};

// The unpacking of one run's packets into the channel buffers. The first
// packet that names at least one channel fixes the run's channels; a packet
// naming none before that is never unpacked. Each packet's payload holds one
// block per channel of the run, each of size / (4 * channels) values,
// appended to the fill of its channel.
class Unpacker {
public:
    enum class Step {
        End,        // the end-of-stream packet
        Skipped,    // no channels yet, or the packet would overrun the buffers (or find no memory)
        Unpacked,   // appended, the batch is not full yet
        BatchFull,  // appended, and batchValues() make a full batch; the fill starts over
    };

    explicit Unpacker(ChannelBuffers& channels) : channels_(channels) {}

    // One packet (header and payload) as the packet reader hands it out.
    Step add(const unsigned char* packet, std::uint32_t batchCount, RollCounters& counters);
    std::int32_t mask() const { return mask_; }
    // Values per channel so far in the current batch.
    std::uint32_t fill() const { return fill_; }
    // Values per channel of the batch that the last BatchFull completed.
    std::uint32_t batchValues() const { return batchValues_; }

private:
    ChannelBuffers& channels_;
    std::uint32_t fill_ = 0;
    std::uint32_t batchValues_ = 0;
    std::int32_t mask_ = 0;
    int channelCount_ = 0;
};

}  // namespace quil::link
