#include "link/connection.h"

#include <cstdint>
#include <mutex>

namespace quil::link {

template <class F>
auto Connection::use(F f, decltype(f(platform::Socket{})) failed) const -> decltype(f(platform::Socket{})) {
    if (closed()) return failed;
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (closed()) return failed;
    return f(socket_);
}

int Connection::close() {
    if (closing_.exchange(true, std::memory_order_acq_rel)) return 0;
    // Wake up any thread waiting on the socket, then wait for it to leave
    // before the descriptor is released.
    platform::shutdownBoth(socket_);
    std::unique_lock<std::shared_mutex> lock(mutex_);
    return platform::closeSocket(socket_);
}

platform::Wait Connection::waitReadable(int ms) const {
    return use([&](platform::Socket s) { return platform::waitReadable(s, ms); }, platform::Wait::Error);
}

platform::Wait Connection::waitWritable(int ms) const {
    return use([&](platform::Socket s) { return platform::waitWritable(s, ms); }, platform::Wait::Error);
}

long Connection::send(const void* data, std::size_t len) const {
    return use([&](platform::Socket s) { return platform::sendSome(s, data, len); }, -1L);
}

long Connection::recv(void* data, std::size_t len) const {
    return use([&](platform::Socket s) { return platform::recvSome(s, data, len); }, -1L);
}

long Connection::recvNow(void* data, std::size_t len) const {
    return use([&](platform::Socket s) { return platform::recvNow(s, data, len); }, -1L);
}

long Connection::pendingBytes() const {
    return use([&](platform::Socket s) { return platform::pendingBytes(s); }, -1L);
}

int Connection::pendingError() const {
    return use([&](platform::Socket s) { return platform::pendingError(s); }, platform::kErrNotSocket);
}

int Connection::receiveBuffer(int* bytes) const {
    return use([&](platform::Socket s) { return platform::getReceiveBuffer(s, bytes); }, -1);
}

int Connection::setReceiveBuffer(int bytes) const {
    return use([&](platform::Socket s) { return platform::setReceiveBuffer(s, bytes); }, -1);
}

bool Connection::sendAll(const void* data, std::size_t len, int waitMs) const {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        long n = send(p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || platform::lastError() != platform::kErrWouldBlock) return false;
        if (waitWritable(waitMs) != platform::Wait::Ready) return false;
    }
    return true;
}

void Connection::drain() const {
    // One receive that finds nothing is the common case: no wait is asked first.
    char scratch[4096];
    while (recvNow(scratch, sizeof scratch) > 0) {}
}

bool Connection::skipCutReply(int waitMs) const {
    const int cut = cutReply_.exchange(kNotCut, std::memory_order_relaxed);
    if (cut == kNotCut) return true;
    const platform::Deadline deadline(waitMs);
    char scratch[4096];
    bool lastWasCr = cut == kCutAfterCr;
    // A tail of which a piece came in the second half of the wait is still
    // arriving (a controller that drips it); one that came early and then
    // stopped is not.
    const std::uint64_t halfway = platform::monotonicMs() + static_cast<std::uint64_t>(waitMs > 0 ? waitMs / 2 : 0);
    bool stillArriving = false;
    for (;;) {
        const platform::Wait w = deadline.expired() ? platform::Wait::Timeout : waitReadable(deadline.remainingMs());
        if (w == platform::Wait::Timeout) {
            // A tail still arriving is waited for again by the next
            // exchange, which would otherwise take its rest for the start of
            // its own reply.
            if (stillArriving) cutReply_.store(lastWasCr ? kCutAfterCr : kCut, std::memory_order_relaxed);
            return false;
        }
        if (w != platform::Wait::Ready) return false;
        const long n = recvNow(scratch, sizeof scratch);
        if (n == 0) return false;
        if (n < 0) {
            if (platform::lastError() == platform::kErrWouldBlock) continue;
            return false;
        }
        stillArriving = platform::monotonicMs() >= halfway;
        // What follows the line end in this piece is stale as well; the drain
        // before the next command would discard it anyway.
        for (long i = 0; i < n; ++i) {
            if (lastWasCr && scratch[i] == '\n') return true;
            lastWasCr = scratch[i] == '\r';
        }
    }
}

}  // namespace quil::link
