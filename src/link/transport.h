// The line transport of a controller connection, shared by the command
// transaction, the raw link, the register messages and the sessions: the
// connect, one reply line under a deadline, and a long reply read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "link/buffer.h"
#include "link/connection.h"
#include "platform/platform.h"

namespace quil::link {

// ------------------------------------------------------------------ connect

// How the wait for a connection ended.
enum class ConnectWait { Connected, TimedOut, Refused, Failed };

// The step at which a connect failed.
enum class ConnectStep { None, Socket, Setup, Start, Wait };

struct Connected {
    bool ok() const { return failed == ConnectStep::None; }
    platform::Socket socket;  // closed already when the connect failed (its number for traces)
    ConnectStep failed = ConnectStep::None;
    ConnectWait wait = ConnectWait::Failed;
};

// Makes a TCP socket, lets setup set its options (false fails the connect),
// makes it non-blocking without delayed small segments, and connects it to
// addr:port within waitMs. A refused connection fails at once, or, with
// holdRefused, only once waitMs has run out, as for a controller that does
// not answer. The socket is closed on every failure.
Connected connectTcp(const platform::Ipv4& addr, std::uint16_t port, int waitMs, bool holdRefused,
                     const std::function<bool(platform::Socket)>& setup);

// ---------------------------------------------------------------- one line

inline constexpr int kSendWaitMs = 2000;  // bound on each wait for room while a line is sent

inline constexpr int kDefaultReadWaitMs = 10000;  // a read time-out of 0 means this

// Waits up to timeoutMs (0: kDefaultReadWaitMs) for data and receives up to max bytes: the bytes
// received (>= 1), or QUIL_STREAM_FAILED (the wait failed),
// QUIL_STREAM_TIMEOUT, QUIL_STREAM_CLOSED (receive failed or closed).
long recvData(const Connection& c, char* buf, std::size_t max, int timeoutMs);

// What ends a reply line: its CR (the raw link), or its CR LF (the
// controller's command replies, where a lone CR belongs to the line).
enum class LineEnd { Cr, CrLf };

struct LineRules {
    LineEnd end;
    // The largest line, its end included, and the largest receive.
    std::size_t limit;
    std::size_t chunk;
    // True: the byte at limit ends the read even when it completes the line
    // end (a line must end within limit - 1 bytes).
    bool endBeforeLimit;
};

// How a read ended: the line or reply is there, its buffer is full, nothing
// more came within the wait, the wait failed, the receive failed or the
// connection was closed.
enum class Read { Done, Full, Timeout, WaitFailed, Closed };

// What a line read (or a long reply read) got.
struct LineRead {
    Read outcome = Read::Done;
    std::size_t length = 0;   // the line's bytes before its end; the bytes held when it failed
    std::size_t touched = 0;  // bytes of the buffer written
    bool first = true;        // failed at its first receive
    bool expired = false;     // Timeout because the deadline had run out before a wait
    int lastWaitMs = 0;       // the last wait's length
    long received = 0;        // Closed: the receive's result
    int error = 0;            // WaitFailed, Closed: the system's error number (0 for a closed connection)
};

// A buffer of fixed size that a reply line is read into.
struct FixedBuffer {
    char* bytes;
    std::size_t size;
    char* data() const { return bytes; }
    std::size_t capacity() const { return size; }
    bool reserve(std::size_t need) const { return need <= size; }
};

// Reads one reply line into buffer, the whole line within the deadline.
// Line feeds at the start of a line are skipped (the LF of a reply whose CR
// came first). A line that is cut (its buffer full, or no more within the
// deadline) marks the connection, so that the next exchange discards its
// tail (Connection::skipCutReply). Bytes after the line end are dropped.
template <class Buffer>
LineRead readLine(const Connection& c, Buffer& buffer, const LineRules& rules, const platform::Deadline& deadline);

// ---------------------------------------------------------------- bulk

// Reads a long reply into buffer, which grows with it up to its limit, each
// wait for data at most waitMs: Done once the bytes received end in CR LF,
// or when they fill the limit (the reply is cut there and its rest skipped
// before the next exchange); Full when the buffer cannot grow as far. The
// reply ends in a zero in place of its CR.
LineRead readBulk(const Connection& c, GrowBuffer& buffer, int waitMs);

}  // namespace quil::link
