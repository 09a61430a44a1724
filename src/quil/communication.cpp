#include "quil/communication.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "elog/elog.h"
#include "quil.h"
#include "quil/device.h"
#include "quil/results.h"

namespace quil {
namespace {

// A long reply's buffer grows by at least this much when it is full.
constexpr std::size_t kBulkChunk = 65536;

#define TRACE(level, func, ...) elog_output(level, "NO_TAG", "communication", func, __LINE__, __VA_ARGS__)

int waitResult(platform::Wait w) {
    switch (w) {
    case platform::Wait::Ready: return 1;
    case platform::Wait::Timeout: return 0;
    default: return -1;
    }
}

int handleOf(const link::Connection& c) { return static_cast<int>(c.handle()); }

// Leaves an empty marker file for the controller's field-test tooling when a
// connection was aborted on this side. Where the path does not exist nothing
// is created.
void markConnectionAborted() {
    if (std::FILE* f = std::fopen("D:/OnlineTest.txt", "w")) std::fclose(f);
}

}  // namespace

std::int32_t splitReply(const char* text, char** fields, int* count) {
    std::size_t len = std::strlen(text);
    if (len < 1) return QUIL_ERROR_UNKNOWN;
    int n = 0;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const char c = text[i];
        // The fields are fixed buffers: a reply with more of them, or longer
        // ones, than they hold is refused instead of written past their end.
        if (n >= kFieldCount) return QUIL_ERROR_REPLY;
        if (c == ',') {
            fields[n][pos] = '\0';
            ++n;
            pos = 0;
            continue;
        }
        if (pos >= kFieldWidth - 1) return QUIL_ERROR_REPLY;
        fields[n][pos++] = c;
        if (i == len - 1) {
            fields[n][pos] = '\0';
            ++n;
        }
    }
    *count = n;
    return QUIL_OK;
}

std::int32_t checkReply(const char* reply, int* count, char** fields, const char* command) {
    int n = 0;
    std::int32_t r = splitReply(reply, fields, &n);
    if (r != QUIL_OK) return r;
    *count = n;
    if (std::strcmp(fields[0], "ER") == 0) return deviceErrorToCode(n > 2 ? fields[2] : "");
    char letters[3] = {command[0], command[0] ? command[1] : '\0', '\0'};
    return std::strcmp(fields[0], letters) == 0 ? QUIL_OK : QUIL_ERROR_REPLY;
}

std::int32_t writeTCP(const link::Connection& c, const char* bytes, std::size_t length) {
    // The line is sent without asking first whether there is room: a full
    // socket buffer is waited for inside sendAll, each wait at most kSendWaitMs.
    if (c.sendAll(bytes, length, kSendWaitMs)) {
        TRACE(ELOG_LVL_INFO, "writeTCP", "writeTCP send success command:%s", bytes);
        return QUIL_OK;
    }
    TRACE(ELOG_LVL_ERROR, "writeTCP", "writeTCP send err:%d iresult:%d fd:%d command:%s ", -1,
          waitResult(c.waitWritable(0)), handleOf(c), bytes);
    return QUIL_ERROR_SEND;
}

std::int32_t readTCP(const link::Connection& c, char* buffer, std::size_t length, int timeoutMs, long* received) {
    switch (c.waitReadable(timeoutMs > 0 ? timeoutMs : kBulkWaitMs)) {
    case platform::Wait::Error: return QUIL_ERROR_WAIT;
    case platform::Wait::Timeout: return QUIL_ERROR_TIMEOUT;
    case platform::Wait::Ready: break;
    }
    long n = c.recv(buffer, length);
    if (n <= 0) {
        TRACE(ELOG_LVL_ERROR, "readTCP", "readTCP err recv:%d WSAGetLastError:%d", static_cast<int>(n),
              n < 0 ? platform::lastError() : 0);
        return QUIL_ERROR_REPLY;
    }
    *received = n;
    return QUIL_OK;
}

std::int32_t readLocalTcp(const link::Connection& c, char* buffer, std::size_t length, int timeoutMs, long* received) {
    const int ms = timeoutMs > 0 ? timeoutMs : kBulkWaitMs;
    const unsigned long secs = static_cast<unsigned long>(ms / 1000);
    const unsigned long usecs = static_cast<unsigned long>(ms % 1000) * 1000;
    switch (c.waitReadable(ms)) {
    case platform::Wait::Error: {
        const int err = platform::lastError();
        TRACE(ELOG_LVL_ERROR, "readLocalTcp", "Read errno:%d %s\n", err, platform::errorText(err).c_str());
        return QUIL_ERROR_REPLY;
    }
    case platform::Wait::Timeout:
        TRACE(ELOG_LVL_ERROR, "readLocalTcp", "Read TIMEOUT @time %d, timeout:%lu,%lu", timeoutMs, secs, usecs);
        return QUIL_ERROR_REPLY;
    case platform::Wait::Ready: break;
    }
    long n = c.recv(buffer, length);
    if (n > 0) {
        *received = n;
        return QUIL_OK;
    }
    const int err = n < 0 ? platform::lastError() : 0;
    TRACE(ELOG_LVL_ERROR, "readLocalTcp", "Read Err %d %d %d ReadTimeout:%d", static_cast<int>(n), handleOf(c), err,
          timeoutMs);
    if (err == platform::kErrConnAborted) markConnectionAborted();
    return QUIL_ERROR_REPLY;
}

void drainSocket(const link::Connection& c) { c.drain(); }

namespace {

// Reads one reply line into buffer. What has arrived is taken in one receive
// and the bytes after the line end are dropped: only a late or unasked line
// can follow a reply, and the next command's drain would discard it anyway.
// The outcome is that of reading one byte per receive call, so a line whose
// CR LF is the size-th byte overflows as well.
std::int32_t readReplyLine(const link::Connection& c, char* buffer, std::size_t size) {
    std::size_t total = 0;
    // The whole line must arrive within the reply wait, not each byte: a
    // controller that drips its reply cannot hold the call longer.
    const platform::Deadline deadline(kReplyWaitMs);
    for (;;) {
        long got = 0;
        std::int32_t r = deadline.expired() ? QUIL_ERROR_TIMEOUT
                                            : readTCP(c, buffer + total, size - total, deadline.remainingMs(), &got);
        if (r != QUIL_OK) {
            // What came of the line so far is followed by its tail later.
            if (total > 0 && r == QUIL_ERROR_TIMEOUT) c.markCutReply(buffer[total - 1] == '\r');
            return r;
        }
        std::size_t n = static_cast<std::size_t>(got);
        if (total == 0) {
            // A reply line never begins with LF: one that is left over from
            // the previous reply (its CR came first, its LF a moment later)
            // is skipped.
            std::size_t lf = 0;
            while (lf < n && buffer[lf] == '\n') ++lf;
            if (lf > 0) {
                std::memmove(buffer, buffer + lf, n - lf);
                n -= lf;
            }
        }
        for (std::size_t t = total + 1; t <= total + n; ++t) {
            if (t >= size) {
                // The rest of this line is still on its way unless its CR LF
                // is exactly what filled the buffer.
                if (!(buffer[t - 2] == '\r' && buffer[t - 1] == '\n')) c.markCutReply(buffer[t - 1] == '\r');
                return QUIL_ERROR_OVERFLOW;
            }
            if (t >= 2 && buffer[t - 2] == '\r' && buffer[t - 1] == '\n') {
                buffer[t - 2] = '\0';
                return QUIL_OK;
            }
        }
        total += n;
    }
}

// The reply buffer of an exchange: on the stack for the usual short replies.
// Every reply size in use fits the stack; a larger one that cannot be
// allocated fails the exchange (get() is null) instead of throwing.
class ReplyBuffer {
public:
    explicit ReplyBuffer(std::size_t size)
        : heap_(size > sizeof local_ ? new (std::nothrow) char[size] : nullptr), large_(size > sizeof local_) {}
    char* get() { return large_ ? heap_.get() : local_; }

private:
    char local_[2048];
    std::unique_ptr<char[]> heap_;
    bool large_;
};

// The steps every exchange begins with: the tail of a reply that was cut is
// awaited and discarded, then whatever else has arrived, then the command goes out.
std::int32_t beginExchange(const link::Connection& c, const char* command, std::size_t length) {
    if (!c.skipCutReply(kReplyWaitMs)) return QUIL_ERROR_TIMEOUT;
    drainSocket(c);
    return writeTCP(c, command, length);
}

}  // namespace

std::int32_t sendCommand(std::int32_t id, const char* command, std::size_t length, std::size_t size, char** fields,
                         int* count) {
    if (checkDeviceId(id) != QUIL_OK) return QUIL_ERROR_NO_LINK;
    if (!fields) return QUIL_ERROR_NULL_POINTER;
    // The connection was closed by a stream start on this device number.
    if (!connectionUsable(id)) return QUIL_ERROR_REPLY;
    const link::Connection& c = *device(id).s_server;
    ReplyBuffer buffer(size);
    if (!buffer.get()) return QUIL_ERROR_OVERFLOW;
    std::int32_t r = beginExchange(c, command, length);
    if (r != QUIL_OK) return r;
    // The controller needs a moment after a mode switch before it answers.
    if (std::strcmp(command, "Q0\r\n") == 0 || std::strcmp(command, "R0\r\n") == 0) platform::sleepMs(30);
    r = readReplyLine(c, buffer.get(), size);
    if (r != QUIL_OK) return r;
    return checkReply(buffer.get(), count, fields, command);
}

std::int32_t sendCommandBulk(std::int32_t id, const char* command, std::size_t length, link::GrowBuffer& buffer) {
    if (checkDeviceId(id) != QUIL_OK) return QUIL_ERROR_NO_LINK;
    if (!connectionUsable(id)) return QUIL_ERROR_REPLY;
    const link::Connection& c = *device(id).s_server;
    std::int32_t r = beginExchange(c, command, length);
    if (r != QUIL_OK) return r;
    const std::size_t size = buffer.limit();
    std::size_t got = 0;
    for (;;) {
        // The buffer grows as the reply arrives. A reply it cannot grow to
        // hold fails; its rest is skipped before the next exchange.
        if (got == buffer.capacity() && !buffer.reserve(std::min(size, got + kBulkChunk))) {
            c.markCutReply(got > 0 && buffer.data()[got - 1] == '\r');
            return QUIL_ERROR_OVERFLOW;
        }
        char* data = buffer.data();
        long received = 0;
        r = readTCP(c, data + got, buffer.capacity() - got, 0, &received);
        if (r != QUIL_OK) return r;
        got += static_cast<std::size_t>(received);
        if (got >= size) {
            // Cut at the buffer's end: the rest of the reply is still on its
            // way, unless the line end is exactly what filled the buffer.
            if (!(data[got - 2] == '\r' && data[got - 1] == '\n')) c.markCutReply(data[got - 1] == '\r');
            break;
        }
        if (got >= 2 && data[got - 2] == '\r' && data[got - 1] == '\n') break;
    }
    // A reply that filled the buffer is cut there; the next exchange discards
    // its rest.
    buffer.data()[got - 2] = '\0';
    return QUIL_OK;
}

std::int32_t setMode(std::int32_t id, std::int32_t mode) {
    TRACE(ELOG_LVL_ERROR, "setMode", "setMode DeviceID:%d", id);
    std::int32_t r = checkDeviceId(id);
    if (r != QUIL_OK) return r;
    if (mode != 0 && mode != 1) return QUIL_ERROR_PARAMETER;
    const char* command = mode == 1 ? "Q0\r\n" : "R0\r\n";
    int count = 0;
    r = sendCommand(id, command, 4, 128, device(id).replyFields, &count);
    clearFields(kFieldCount, kFieldWidth, device(id).replyFields);
    if (r != QUIL_OK) {
        TRACE(ELOG_LVL_ERROR, "setMode", "setMode send command fail DeviceID:%d Mode:%d rc:%d", id, mode, r);
        return r;
    }
    TRACE(ELOG_LVL_ERROR, "setMode", "setMode Success DeviceID:%d Mode:%d", id, mode);
    return QUIL_OK;
}

}  // namespace quil
