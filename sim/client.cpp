#include "sim/client.h"

#include <algorithm>
#include <vector>

namespace quil::sim {

namespace plat = quil::platform;

namespace {

// Milliseconds left until a deadline on the monotonic clock, at least 0.
int remainingMs(std::uint64_t deadline) {
    std::uint64_t now = plat::monotonicMs();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

}  // namespace

Client::~Client() { close(); }

bool Client::connect(const std::string& address, std::uint16_t port, int timeoutMs) {
    close();
    plat::Ipv4 ip;
    if (!plat::parseIpv4(address.c_str(), &ip)) return false;
    s_ = plat::tcpSocket();
    // Without Nagle's delay a line sent in two pieces arrives at once, as the
    // library's own sockets would send it.
    if (!s_.valid() || plat::setNonBlocking(s_) != 0 || plat::setNoDelay(s_, true) != 0) {
        close();
        return false;
    }
    bool ok = plat::connectStart(s_, ip, port) == 0 ||
              (plat::lastError() == plat::kErrWouldBlock && plat::waitWritable(s_, timeoutMs) == plat::Wait::Ready &&
               plat::pendingError(s_) == 0);
    if (!ok) close();
    return ok;
}

void Client::close() {
    if (s_.valid()) plat::closeSocket(s_);
    s_ = plat::Socket{};
    buffered_.clear();
    peerClosed_ = false;
}

bool Client::send(const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        long n = plat::sendSome(s_, bytes.data() + off, bytes.size() - off);
        if (n < 0 && plat::lastError() == plat::kErrWouldBlock) {
            if (plat::waitWritable(s_, 2000) != plat::Wait::Ready) return false;
            continue;
        }
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

long Client::fill(int timeoutMs) {
    if (!s_.valid() || peerClosed_) return peerClosed_ ? 0 : -1;
    if (plat::waitReadable(s_, timeoutMs) != plat::Wait::Ready) return -1;
    std::vector<char> buf(256 * 1024);
    long n = plat::recvSome(s_, buf.data(), buf.size());
    if (n > 0) {
        buffered_.append(buf.data(), static_cast<std::size_t>(n));
        return n;
    }
    if (n < 0 && plat::lastError() == plat::kErrWouldBlock) return -1;
    peerClosed_ = true;  // orderly close or reset: either way the link is gone
    return 0;
}

std::string Client::take(std::size_t n) {
    std::string out = buffered_.substr(0, n);
    buffered_.erase(0, n);
    return out;
}

std::string Client::readLine(int timeoutMs) {
    std::uint64_t deadline = plat::monotonicMs() + static_cast<std::uint64_t>(timeoutMs);
    for (;;) {
        std::size_t end = buffered_.find("\r\n");
        if (end != std::string::npos) return take(end + 2);
        if (fill(remainingMs(deadline)) <= 0 && (peerClosed_ || remainingMs(deadline) == 0)) return {};
    }
}

std::string Client::exchange(const std::string& line, int timeoutMs) {
    return send(line) ? readLine(timeoutMs) : std::string();
}

std::string Client::read(std::size_t n, int timeoutMs) {
    std::uint64_t deadline = plat::monotonicMs() + static_cast<std::uint64_t>(timeoutMs);
    while (buffered_.size() < n)
        if (fill(remainingMs(deadline)) <= 0 && (peerClosed_ || remainingMs(deadline) == 0)) break;
    return take(std::min(n, buffered_.size()));
}

std::string Client::readQuiet(int quietMs) {
    while (fill(quietMs) > 0) {}
    return take(buffered_.size());
}

bool Client::waitClosed(int timeoutMs) {
    std::uint64_t deadline = plat::monotonicMs() + static_cast<std::uint64_t>(timeoutMs);
    while (!peerClosed_)
        if (fill(remainingMs(deadline)) < 0 && remainingMs(deadline) == 0) return false;
    return true;
}

std::string Client::readChunk(int timeoutMs) {
    if (buffered_.empty()) fill(timeoutMs);
    return take(buffered_.size());
}

}  // namespace quil::sim
