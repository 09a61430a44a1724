// Reading a reply: one line under a deadline, or a long reply whole.
#include <algorithm>
#include <cstring>

#include "link/transport.h"
#include "quil.h"

namespace quil::link {
namespace {

// A long reply's buffer grows by at least this much when it is full.
constexpr std::size_t kBulkChunk = 65536;

// Waits up to ms for data, then receives up to room bytes into at.
Read receive(const Connection& c, char* at, std::size_t room, int ms, long* n, int* error) {
    switch (c.waitReadable(ms)) {
    case platform::Wait::Error: *error = platform::lastError(); return Read::WaitFailed;
    case platform::Wait::Timeout: return Read::Timeout;
    case platform::Wait::Ready: break;
    }
    *n = c.recv(at, room);
    if (*n > 0) return Read::Done;
    *error = *n < 0 ? platform::lastError() : 0;
    return Read::Closed;
}

bool endsInCrLf(const char* bytes, std::size_t n) { return n >= 2 && bytes[n - 2] == '\r' && bytes[n - 1] == '\n'; }

// A reply cut after its first held bytes: the rest is still on its way, and
// the next exchange discards it (only its LF when its CR came last).
void markCut(const Connection& c, const char* bytes, std::size_t held) {
    c.markCutReply(held > 0 && bytes[held - 1] == '\r');
}

// A read that ends with the buffer full after held bytes.
LineRead full(const Connection& c, const char* bytes, std::size_t held, LineRead r) {
    markCut(c, bytes, held);
    r.outcome = Read::Full;
    r.length = held;
    return r;
}

// A reply cut where its buffer is full: cut unless its line end is exactly
// what filled the buffer.
void markCutUnlessEnded(const Connection& c, const char* bytes, std::size_t held) {
    if (!endsInCrLf(bytes, held)) markCut(c, bytes, held);
}

}  // namespace

long recvData(const Connection& c, char* buf, std::size_t max, int timeoutMs) {
    long n = 0;
    int error = 0;
    switch (receive(c, buf, max, timeoutMs > 0 ? timeoutMs : kDefaultReadWaitMs, &n, &error)) {
    case Read::Done: return n;
    case Read::Timeout: return QUIL_STREAM_TIMEOUT;
    case Read::WaitFailed: return QUIL_STREAM_FAILED;
    default: return QUIL_STREAM_CLOSED;
    }
}

template <class Buffer>
LineRead readLine(const Connection& c, Buffer& buffer, const LineRules& rules, const platform::Deadline& deadline) {
    LineRead r;
    std::size_t len = 0;
    for (;; r.first = false) {
        // A line that fills its buffer without its end cannot be held, nor
        // one for which the buffer cannot grow: its tail is skipped before
        // the next exchange.
        if (len >= rules.limit || !buffer.reserve(std::min(len + rules.chunk, rules.limit)))
            return full(c, buffer.data(), len, r);
        char* buf = buffer.data();
        long n = 0;
        Read got = Read::Timeout;
        // The whole line must arrive within the deadline, not each piece of
        // it: a controller that drips its reply cannot hold the call longer.
        if (deadline.expired()) {
            r.expired = true;
        } else {
            r.lastWaitMs = deadline.remainingMs();
            got = receive(c, buf + len, std::min(rules.chunk, buffer.capacity() - len), r.lastWaitMs, &n, &r.error);
        }
        if (got != Read::Done) {
            // The rest of a line that had begun comes later: skip it then.
            if (got == Read::Timeout && len > 0) markCut(c, buf, len);
            r.outcome = got;
            r.length = len;
            r.received = n;
            return r;
        }
        std::size_t count = static_cast<std::size_t>(n);
        r.touched = std::max(r.touched, len + count);
        if (len == 0) {
            // A reply line never begins with LF: one left over from the
            // previous reply (its CR came first, its LF a moment later) is
            // skipped.
            std::size_t lf = 0;
            while (lf < count && buf[lf] == '\n') ++lf;
            if (lf > 0) {
                std::memmove(buf, buf + lf, count - lf);
                std::memset(buf + count - lf, 0, lf);
                count -= lf;
            }
        }
        if (rules.end == LineEnd::Cr) {
            if (const void* cr = std::memchr(buf + len, '\r', count)) {
                r.length = static_cast<std::size_t>(static_cast<const char*>(cr) - buf);
                return r;
            }
        } else {
            for (std::size_t t = len + 1; t <= len + count; ++t) {
                if (rules.endBeforeLimit && t >= rules.limit) {
                    // The rest of this line is still on its way unless its
                    // line end is exactly what filled the buffer.
                    markCutUnlessEnded(c, buf, t);
                    r.outcome = Read::Full;
                    r.length = t;
                    return r;
                }
                if (endsInCrLf(buf, t)) {
                    r.length = t - 2;
                    return r;
                }
            }
        }
        len += count;
    }
}

template LineRead readLine<FixedBuffer>(const Connection&, FixedBuffer&, const LineRules&, const platform::Deadline&);
template LineRead readLine<LinkBuffer>(const Connection&, LinkBuffer&, const LineRules&, const platform::Deadline&);

LineRead readBulk(const Connection& c, GrowBuffer& buffer, int waitMs) {
    LineRead r;
    const std::size_t size = buffer.limit();
    std::size_t got = 0;
    for (;;) {
        // The buffer grows as the reply arrives. A reply it cannot grow to
        // hold fails; its rest is skipped before the next exchange.
        if (got == buffer.capacity() && !buffer.reserve(std::min(size, got + kBulkChunk)))
            return full(c, buffer.data(), got, r);
        char* data = buffer.data();
        long n = 0;
        r.outcome = receive(c, data + got, buffer.capacity() - got, waitMs, &n, &r.error);
        if (r.outcome != Read::Done) {
            r.received = n;
            return r;
        }
        got += static_cast<std::size_t>(n);
        if (got >= size) {
            // Cut at the buffer's end: the rest of the reply is still on its
            // way, unless the line end is exactly what filled the buffer.
            markCutUnlessEnded(c, data, got);
            break;
        }
        if (endsInCrLf(data, got)) break;
    }
    // A reply that filled the buffer is cut there; the next exchange discards
    // its rest.
    r.length = got - 2;
    buffer.data()[r.length] = '\0';
    return r;
}

}  // namespace quil::link
