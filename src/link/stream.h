// The data stream: the roll link (TCP 12525) of a device, its receive thread
// and the four per-device channel buffers it unpacks packets into.
#pragma once

#include <cstdint>

namespace quil::link {

inline constexpr std::uint32_t kMaxBatchCount = 1200000;
inline constexpr std::size_t kChannelValues = 2000000;  // values per channel buffer
inline constexpr int kStreamReadMs = 500;

// 0, or -1 after printing "roll link err" with the system's error text.
std::int32_t openRollLink(std::uint32_t id, const char* ip);

}  // namespace quil::link
