// A connected socket shared by the records that use it.
//
// The command socket of an open device is held twice: by the device record
// and by the command-link record registered for the same device number. Either
// side may close it (closing the device, or starting a stream, which closes all
// raw links of the device), and a descriptor number is reused by the system as
// soon as it is closed. Both records therefore hold one Connection: it closes
// the socket exactly once, and after that every operation on it fails instead
// of touching whatever socket later got the same number.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <shared_mutex>

#include "platform/platform.h"

namespace quil::link {

class Connection {
public:
    explicit Connection(platform::Socket s) : socket_(s) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Does not close: the owner closes explicitly (a socket registered by an
    // application stays the application's).
    ~Connection() = default;

    // Closes the socket the first time; 0 or -1 as the system reports it.
    // Later calls do nothing and return 0.
    int close();
    bool closed() const { return closing_.load(std::memory_order_acquire); }
    // The handle number, for traces and callers that report it; -1 once closed.
    std::intptr_t handle() const { return closed() ? -1 : socket_.fd; }

    // Each fails (Wait::Error, or -1 with lastError() kErrNotSocket) once the
    // connection is closed.
    platform::Wait waitReadable(int ms) const;
    platform::Wait waitWritable(int ms) const;
    long send(const void* data, std::size_t len) const;
    long recv(void* data, std::size_t len) const;
    int pendingError() const;
    int receiveBuffer(int* bytes) const;
    int setReceiveBuffer(int bytes) const;

    long recvNow(void* data, std::size_t len) const;
    long pendingBytes() const;

    // Sends every byte, waiting up to waitMs for room whenever the socket
    // buffer is full; false when the connection failed or stayed full.
    bool sendAll(const void* data, std::size_t len, int waitMs) const;
    // Receives and discards everything that has already arrived.
    void drain() const;

    // A reply that did not fit its buffer leaves its tail on the way. The
    // reader marks the connection, and the next exchange first discards up to
    // and including the CR LF that ends the cut reply (skipCutReply), so that
    // the tail is never taken for the next command's reply.
    // afterCr: the last byte taken was the CR of the line end, so only its
    // LF is still to come.
    void markCutReply(bool afterCr) const { cutReply_.store(afterCr ? kCutAfterCr : kCut, std::memory_order_relaxed); }
    // True when no reply was cut, or its end came within waitMs (the mark is
    // then cleared). False when it did not come. Then the mark is cleared
    // too, so that only this exchange fails, and a tail that comes later is
    // a late reply like any other and is drained; but when a piece of the
    // tail came in the second half of the wait (a controller that drips it)
    // the mark stays, and the next exchange waits for the rest again instead
    // of reading it as its own reply.
    bool skipCutReply(int waitMs) const;

private:
    template <class F>
    auto use(F f, decltype(f(platform::Socket{})) failed) const -> decltype(f(platform::Socket{}));

    platform::Socket socket_;
    std::atomic<bool> closing_{false};
    static constexpr int kNotCut = 0, kCut = 1, kCutAfterCr = 2;
    mutable std::atomic<int> cutReply_{kNotCut};
    // Operations hold it shared; close holds it exclusively, so the descriptor
    // is never released while a call is still using it.
    mutable std::shared_mutex mutex_;
};

using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace quil::link
