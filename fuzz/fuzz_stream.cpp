// The data stream: packet framing with resynchronisation, and the unpacking
// into the channel buffers. The input after two control bytes is the byte
// stream of a roll link, handed to the reader in pieces whose sizes (and the
// pauses between them) the control bytes choose; the stream ends with the
// input, as when the controller closes the connection.
#include <algorithm>
#include <cstring>
#include <memory>

#include "elog/console.h"
#include "fuzz_text.h"
#include "link/packet_reader.h"

namespace {

using namespace quil::link;

class Pieces final : public ByteSource {
public:
    Pieces(const std::uint8_t* data, std::size_t size, std::uint8_t pattern)
        : data_(data), size_(size), pattern_(pattern) {}

    quil::platform::Wait waitReadable(int) override {
        // A pause before some pieces: the reader then sees nothing for a while.
        if (pausing_) {
            pausing_ = false;
            return quil::platform::Wait::Timeout;
        }
        return quil::platform::Wait::Ready;
    }
    long takeNow(unsigned char* into, std::size_t max) override {
        if (pos_ == size_) return -1;
        ++pieces_;
        // Pieces of 1 to 64 bytes, varied with the pattern.
        const std::size_t piece = 1 + ((pattern_ * 37u + pieces_ * 11u) % 64u) * ((pattern_ >> 7) + 1);
        const std::size_t n = std::min({piece, max, size_ - pos_});
        std::memcpy(into, data_ + pos_, n);
        pos_ += n;
        pausing_ = (pattern_ >> (pieces_ % 7)) & 1;
        return static_cast<long>(n);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::uint8_t pattern_;
    std::size_t pos_ = 0;
    unsigned pieces_ = 0;
    bool pausing_ = false;
};

// Channel buffers far smaller than the library's, so that an unpack past
// their capacity is caught; they grow with the batches as the library's do.
constexpr std::size_t kCapacity = 256;

struct Fixture {
    Fixture() : rec(0, kRollBufferSize, nullptr, true) { quil::setConsoleQuiet(true); }
    LinkRecord rec;
    ChannelBuffers channels{kCapacity};
    RollCounters counters;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fx;
    if (size < 2) return 0;
    const std::uint8_t pattern = data[0];
    const std::uint32_t batchCount = 1 + data[1] % kCapacity;
    const std::uint8_t* stream = data + 2;
    const std::size_t streamSize = size - 2;

    fx.counters.reset();
    Pieces source(stream, streamSize, pattern);
    PacketReader reader(fx.rec, source, fx.counters);
    fx.channels.endRun();
    Unpacker unpacker(fx.channels);
    std::size_t handedOut = 0;
    // Every read either takes bytes or ends; the pauses cost a few more calls.
    for (std::size_t calls = 0; calls < 4 * streamSize + 16; ++calls) {
        long failure = 0;
        const PacketReader::Result r = reader.next(1000, &failure);
        if (r == PacketReader::Result::Pending) continue;
        if (r == PacketReader::Result::Ended) {
            FUZZ_EXPECT(failure == -3);
            // Every byte was handed out in a packet or discarded, but for
            // what was held when the stream ended.
            FUZZ_EXPECT(handedOut + fx.counters.bytesDiscarded.load() <= streamSize);
            return 0;
        }
        // A packet is a stretch of the stream, exactly where the bytes not
        // discarded before it leave off, with a well-formed header.
        // The receive buffer grows with the packets: where it is now.
        const auto* buffer = reinterpret_cast<const std::uint8_t*>(fx.rec.dataBuff.data());
        const std::size_t len = static_cast<std::size_t>(fx.rec.dataLen.load());
        const std::size_t at = handedOut + fx.counters.bytesDiscarded.load();
        FUZZ_EXPECT(len >= kPacketHeaderSize && at + len <= streamSize);
        FUZZ_EXPECT(std::memcmp(buffer, stream + at, len) == 0);
        FUZZ_EXPECT(buffer[1] == kMarker1 && buffer[2] == kMarker2);
        FUZZ_EXPECT(len == kPacketHeaderSize + le32(buffer + 4));
        handedOut += len;

        const Unpacker::Step step = unpacker.add(buffer, batchCount, fx.counters);
        if (step == Unpacker::Step::End) return 0;
        FUZZ_EXPECT(unpacker.fill() < batchCount && unpacker.fill() <= kCapacity);
        if (step == Unpacker::Step::BatchFull)
            FUZZ_EXPECT(unpacker.batchValues() >= batchCount && unpacker.batchValues() <= kCapacity);
    }
    FUZZ_EXPECT(!"the reader neither ended nor took the stream's bytes");
    return 0;
}
