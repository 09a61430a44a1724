// JSON control messages: "#J," envelopes on a device's command link, built
// and read with cJSON, exchanged through the command-link record.
//
// Result codes of a JSON exchange (not the QUIL_ codes):
//    0  reply accepted
//   >0  the controller's error number from an "ER,#J,nn" reply
//   -1  an eight-character error reply echoing something else; "retState" not 0
//   -2  the reply does not begin with "#J", its body is not JSON or lacks
//       "retState"; "ret" not 0
//   -3  the reply is shorter than 2 characters
//  -10  no command link, send failure, no reply within the time-out
//  -20  register read: no "regRead"; register write: no "regWrite" or no "ret"
//  -21  register read: no "ret"
//  -22  register read: no "Read"
#pragma once

#include <cstdint>
#include <functional>

namespace quil::link {

inline constexpr int kJsonTimeoutMs = 1200;

std::int32_t checkReplyHead(const char* expected, const char* reply, std::int32_t length);
// Reads register addr of head (0 = the controller); value receives "Read"
// whenever the reply carries it (also with result -2) as a whole number that
// fits 32 bits, signed or unsigned, kept as its low 32 bits; any other "Read"
// (3.5, 1e30, a text) gives -22 and writes nothing.
//
// The message goes out printed with cJSON's layout (tabs and line feeds
// inside the "#J," line), or compact on one line (the spot-type register).
enum class JsonForm { Formatted, Compact };
std::int32_t jsonRegRead(std::uint32_t id, std::int32_t head, std::uint32_t addr, std::uint32_t* value,
                         JsonForm form = JsonForm::Formatted);
std::int32_t jsonRegWrite(std::uint32_t id, std::int32_t head, std::uint32_t addr, std::uint32_t data,
                          JsonForm form = JsonForm::Formatted);
// The register read whose reply line walk reads itself (length bytes, not
// terminated): its result, or QUIL_JSON_NO_REPLY.
std::int32_t jsonRegReadWith(std::uint32_t id, std::int32_t head, std::uint32_t addr, JsonForm form,
                             const std::function<std::int32_t(const char* reply, std::int32_t length)>& walk);
// Switches the controller's batch streaming; online receives "Online" when
// the reply carries it.
std::int32_t jsonRollBatch(std::uint32_t id, bool start, std::int32_t* online);

// What the three exchanges make of their reply line: length bytes as they
// were received (not terminated, the CR LF not counted), head check, parse
// and walk.
std::int32_t regReadReply(const char* reply, std::int32_t length, std::uint32_t* value);
std::int32_t regWriteReply(const char* reply, std::int32_t length);
std::int32_t rollBatchReply(const char* reply, std::int32_t length, std::int32_t* online);

}  // namespace quil::link
