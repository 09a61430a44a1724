// The command transaction on a device's command link: one ASCII line out, one
// reply line back, split at commas into the device's reply fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/buffer.h"
#include "link/connection.h"

namespace quil {

inline constexpr int kReplyWaitMs = 2000;  // each wait for reply bytes in sendCommand
inline constexpr int kBulkWaitMs = 10000;  // a read time-out of 0 means this

enum class Mode : std::int32_t { Measure = 0, Setting = 1 };

// The whole exchange: drain, send, read to CR LF, split, check. The caller
// holds the device lock of id.
std::int32_t sendCommand(std::int32_t id, const char* command, std::size_t length, std::size_t size, char** fields,
                         int* count);
// The bulk exchange: the raw reply (CR LF replaced by a zero) in buffer,
// which grows with the reply up to its limit; a reply that does not fit the
// limit is cut there. 8200 when the buffer cannot grow as far as the reply.
std::int32_t sendCommandBulk(std::int32_t id, const char* command, std::size_t length, link::GrowBuffer& buffer);
std::int32_t checkReply(const char* reply, int* count, char** fields, const char* command);
std::int32_t splitReply(const char* text, char** fields, int* count);

std::int32_t writeTCP(const link::Connection& c, const char* bytes, std::size_t length);
void drainSocket(const link::Connection& c);
// Switches the controller's mode without taking the device lock.
std::int32_t setMode(std::int32_t id, std::int32_t mode);

}  // namespace quil
