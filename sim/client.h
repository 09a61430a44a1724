// A plain TCP client for tests that talk to the simulator directly, built on
// the platform sockets. Every read is bounded by a time-out so that a test
// fails instead of hanging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "sim/simulator.h"

namespace quil::sim {

class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connect(const std::string& address, std::uint16_t port = kCommandPort, int timeoutMs = 2000);
    void close();
    bool connected() const { return s_.valid(); }
    platform::Socket socket() const { return s_; }

    bool send(const std::string& bytes);
    // The next line including its CR LF; "" when none completes in time.
    std::string readLine(int timeoutMs = 2000);
    // Sends line and returns the reply line (see readLine).
    std::string exchange(const std::string& line, int timeoutMs = 2000);
    // Exactly n bytes, or what arrived before the time-out or the close.
    std::string read(std::size_t n, int timeoutMs = 2000);
    // Everything that arrives until nothing more comes for quietMs (or the
    // peer closes).
    std::string readQuiet(int quietMs);
    // True once the peer has closed the connection (bytes that still arrive
    // before the close are kept for the reads); false on time-out.
    bool waitClosed(int timeoutMs = 2000);
    // The bytes of the first receive call that returns any; "" on time-out.
    std::string readChunk(int timeoutMs = 2000);

private:
    // One wait and receive into buffered_: bytes received, 0 when the peer
    // closed, -1 on time-out or error.
    long fill(int timeoutMs);
    std::string take(std::size_t n);

    platform::Socket s_;
    std::string buffered_;
    bool peerClosed_ = false;
};

}  // namespace quil::sim
