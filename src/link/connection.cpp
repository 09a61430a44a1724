#include "link/connection.h"

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

long Connection::peek(void* data, std::size_t len) const {
    return use([&](platform::Socket s) { return platform::peekSome(s, data, len); }, -1L);
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
    char scratch[4096];
    while (waitReadable(0) == platform::Wait::Ready) {
        if (recv(scratch, sizeof scratch) <= 0) return;
    }
}

}  // namespace quil::link
