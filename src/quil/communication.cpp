#include "quil/communication.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "elog/elog.h"
#include "link/transport.h"
#include "quil.h"
#include "quil/device.h"
#include "quil/results.h"

namespace quil {
namespace {

#define TRACE(level, func, ...) elog_output(level, "NO_TAG", "communication", func, __LINE__, __VA_ARGS__)

int waitResult(platform::Wait w) {
    switch (w) {
    case platform::Wait::Ready: return 1;
    case platform::Wait::Timeout: return 0;
    default: return -1;
    }
}

int handleOf(const link::Connection& c) { return static_cast<int>(c.handle()); }

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
    if (c.sendAll(bytes, length, link::kSendWaitMs)) {
        TRACE(ELOG_LVL_INFO, "writeTCP", "writeTCP send success command:%s", bytes);
        return QUIL_OK;
    }
    TRACE(ELOG_LVL_ERROR, "writeTCP", "writeTCP send err:%d iresult:%d fd:%d command:%s ", -1,
          waitResult(c.waitWritable(0)), handleOf(c), bytes);
    return QUIL_ERROR_SEND;
}

void drainSocket(const link::Connection& c) { c.drain(); }

namespace {

// The code of a read that ended without its line or reply, and the trace
// line of a failed receive.
std::int32_t readFailed(link::Read outcome, long received, int error) {
    switch (outcome) {
    case link::Read::Timeout: return QUIL_ERROR_TIMEOUT;
    case link::Read::WaitFailed: return QUIL_ERROR_WAIT;
    case link::Read::Full: return QUIL_ERROR_OVERFLOW;
    default: break;
    }
    TRACE(ELOG_LVL_ERROR, "readTCP", "readTCP err recv:%d WSAGetLastError:%d", static_cast<int>(received), error);
    return QUIL_ERROR_REPLY;
}

// Reads one reply line, to its CR LF, into buffer; the line ends in a zero in
// place of its CR. The outcome is that of reading one byte per receive call,
// so a line whose CR LF is the size-th byte overflows as well.
std::int32_t readReplyLine(const link::Connection& c, char* buffer, std::size_t size) {
    link::FixedBuffer fixed{buffer, size};
    // The whole line must arrive within the reply wait, not each byte.
    const link::LineRead r = link::readLine(c, fixed, link::LineRules{link::LineEnd::CrLf, size, size, true},
                                            platform::Deadline(kReplyWaitMs));
    if (r.outcome != link::Read::Done) return readFailed(r.outcome, r.received, r.error);
    buffer[r.length] = '\0';
    return QUIL_OK;
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
    const link::LineRead read = link::readBulk(c, buffer, kBulkWaitMs);
    return read.outcome == link::Read::Done ? QUIL_OK : readFailed(read.outcome, read.received, read.error);
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
