// Controller discovery: a fixed request broadcast on UDP port 3778 from every
// local adapter, and the answers that come back to port 3778.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "quil.h"

namespace quil::search {

inline constexpr std::uint16_t kSearchPort = 3778;
inline constexpr std::size_t kRequestSize = 64;
// Answers are read into a buffer of this size, zero-filled before each
// datagram, so a short datagram reads as zeros past its end.
inline constexpr std::size_t kReplyBufferSize = 512;
inline constexpr int kReceiveTimeoutMs = 1000;
// The listening stops after this many datagrams, answers or not, so a flood
// on the port cannot keep a search running.
inline constexpr int kMaxDatagrams = 200;

// Words of the datagram header, little-endian on the wire.
inline constexpr std::uint32_t kHeaderWord = 0x00010001;   // offset 0 of request and answer
inline constexpr std::uint32_t kRequestKind = 0x01000001;  // offset 8 of a request
inline constexpr std::uint32_t kAnswerKind = 0x01010001;   // offset 8 of an answer

using Request = std::array<std::uint8_t, kRequestSize>;
Request buildRequest();

// What the callback gets of one answer. The texts are zero-terminated; area
// points into the buffer the answer was decoded from.
struct AnswerTexts {
    std::int32_t value = 0;              // the word at offset 12
    const std::uint8_t* area = nullptr;  // 32 bytes from offset 16
    char ip[16] = {};                    // "%d.%d.%d.%d" of bytes 48 to 51
    char mac[18] = {};                   // "%02x:...:%02x" of bytes 60 to 65
    char hex[9] = {};                    // "%08x" of the word at offset 4
};
// Decodes a received buffer of kReplyBufferSize bytes; false when the words at
// offsets 0 and 8 are not those of an answer (the buffer is then ignored).
bool decodeAnswer(const std::uint8_t* buffer, AnswerTexts* out);

// The source address of each adapter's request: per adapter, in order, its
// first address that is not 0.0.0.0; an adapter without one sends nothing.
std::vector<platform::Ipv4> sendingAddresses(const std::vector<platform::Adapter>& adapters);

void setCallback(QuilSearchCallback callback);
// One whole search, returning one of the kSearch* results.
std::int32_t searchSensor();

}  // namespace quil::search
