// Connecting a TCP socket to a controller.
#include <algorithm>

#include "link/transport.h"

namespace quil::link {
namespace {

// Watches for writability only. A failed connection also reports the socket
// writable (with a pending error); only a socket without one is connected.
ConnectWait waitConnected(platform::Socket s, int waitMs, bool holdRefused) {
    const std::uint64_t deadline = platform::monotonicMs() + static_cast<std::uint64_t>(std::max(waitMs, 0));
    switch (platform::waitWritable(s, waitMs)) {
    case platform::Wait::Error: return ConnectWait::Failed;
    case platform::Wait::Timeout: return ConnectWait::TimedOut;
    case platform::Wait::Ready: break;
    }
    if (platform::pendingError(s) == 0) return ConnectWait::Connected;
    if (holdRefused) {
        const std::uint64_t now = platform::monotonicMs();
        if (now < deadline) platform::sleepMs(static_cast<int>(deadline - now));
    }
    return ConnectWait::Refused;
}

}  // namespace

Connected connectTcp(const platform::Ipv4& addr, std::uint16_t port, int waitMs, bool holdRefused,
                     const std::function<bool(platform::Socket)>& setup) {
    Connected c;
    platform::Socket s = platform::tcpSocket();
    if (!s.valid()) {
        c.failed = ConnectStep::Socket;
        return c;
    }
    if (!setup(s) || platform::setNonBlocking(s) != 0) {
        c.failed = ConnectStep::Setup;
    } else {
        // Request and reply lines are small: never hold one back for a
        // delayed acknowledgement.
        platform::setNoDelay(s, true);
        if (platform::connectStart(s, addr, port) != 0 && platform::lastError() != platform::kErrWouldBlock) {
            c.failed = ConnectStep::Start;
        } else {
            c.wait = waitConnected(s, waitMs, holdRefused);
            if (c.wait != ConnectWait::Connected) c.failed = ConnectStep::Wait;
        }
    }
    c.socket = s;
    if (!c.ok()) platform::closeSocket(s);
    return c;
}

}  // namespace quil::link
