#include "link/link_record.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quil::link {

LinkPtr LinkTable::find(std::uint32_t id) const {
    if (id >= kMaxLinks) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    return records_[id];
}

bool LinkTable::insert(std::uint32_t id, const LinkPtr& rec) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (records_[id]) return false;
    records_[id] = rec;
    return true;
}

LinkPtr LinkTable::remove(std::uint32_t id) {
    if (id >= kMaxLinks) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(records_[id], nullptr);
}

LinkPtr LinkTable::removeHolding(std::uint32_t id, const Connection& conn) {
    if (id >= kMaxLinks) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!records_[id] || records_[id]->conn.get() != &conn) return nullptr;
    return std::exchange(records_[id], nullptr);
}

namespace {

// Hands out one of a record's buffers. The record's owner moves to it at once
// when it is idle, so that a reply already received is found there; an
// exchange or a receive thread in progress moves to it itself.
char* handOut(LinkRecord& rec, LinkBuffer& buffer) {
    char* p = buffer.handOut();
    if (p) {
        std::unique_lock<std::mutex> lock(rec.mutex, std::try_to_lock);
        if (lock.owns_lock() && !rec.streaming) adoptHandedOut(rec);
    }
    return p;
}

}  // namespace

char* dataBuffOf(const LinkTable& table, std::uint32_t id) {
    LinkPtr rec = table.find(id);
    return rec ? handOut(*rec, rec->dataBuff) : nullptr;
}

std::int32_t dataLenOf(const LinkTable& table, std::uint32_t id) {
    LinkPtr rec = table.find(id);
    return rec ? rec->dataLen.load() : -1;
}

char* tmpBuffOf(const LinkTable& table, std::uint32_t id) {
    LinkPtr rec = table.find(id);
    return rec ? handOut(*rec, rec->tmpBuff) : nullptr;
}

void adoptHandedOut(LinkRecord& rec) {
    rec.dataBuff.adopt(rec.dataDirty);
    // The scratch buffer holds nothing between exchanges; the application
    // may already be writing its line into the handed-out one.
    rec.tmpBuff.adopt(0);
}

void settleBuffers(LinkRecord& rec) {
    rec.dataBuff.settle();
    rec.tmpBuff.settle();
    rec.dataDirty = std::min(rec.dataDirty, rec.dataBuff.capacity());
}

LinkTable& commandLinks() {
    static LinkTable table;
    return table;
}

LinkTable& rollLinks() {
    static LinkTable table;
    return table;
}

int waitConnected(platform::Socket s) {
    switch (platform::waitWritable(s, kConnectWaitMs)) {
    case platform::Wait::Error: return 0;
    case platform::Wait::Ready:
        // A failed connection also reports the socket writable here; only a
        // socket without a pending error is connected.
        return platform::pendingError(s) == 0 ? 1 : 0;
    case platform::Wait::Timeout: break;
    }
    return platform::pendingError(s) == 0 ? 2 : 0;
}

namespace {

// Makes and connects a non-blocking TCP socket: the socket, or an invalid one.
platform::Socket connectSocket(const char* ip, std::uint16_t port) {
    platform::Ipv4 addr;
    int major = 0, minor = 0;
    if (!ip || !platform::parseIpv4(ip, &addr) || !platform::socketStartup(&major, &minor)) return {};
    platform::Socket s = platform::tcpSocket();
    if (!s.valid()) return {};
    bool ok = platform::setReuseAddress(s, true) == 0;
    if (ok) {
        platform::setSendBuffer(s, 32768);  // a failure here only costs speed
        ok = platform::setNonBlocking(s) == 0;
    }
    if (ok && platform::connectStart(s, addr, port) != 0) ok = platform::lastError() == platform::kErrWouldBlock;
    if (ok) ok = waitConnected(s) == 1;
    if (!ok) {
        platform::closeSocket(s);
        return {};
    }
    // Small request lines must not wait for a delayed acknowledgement.
    platform::setNoDelay(s, true);
    return s;
}

// A new record; null when there is no memory for it.
LinkPtr makeRecord(std::uint32_t id, std::size_t dataSize, ConnectionPtr conn, bool owns) {
    try {
        return std::make_shared<LinkRecord>(id, dataSize, std::move(conn), owns);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

int openLink(LinkTable& table, std::uint32_t id, const char* ip, std::uint16_t port, std::size_t dataSize) {
    if (id >= kMaxLinks) return QUIL_LINK_FAILED;
    if (table.find(id)) return QUIL_LINK_EXISTS;
    // The buffers come with the first line or packet, or when the
    // application asks for them.
    LinkPtr rec = makeRecord(id, dataSize, nullptr, true);
    if (!rec) return QUIL_LINK_FAILED;
    // The record is entered before connecting, so a second open meanwhile is refused.
    if (!table.insert(id, rec)) return QUIL_LINK_EXISTS;
    platform::Socket s = connectSocket(ip, port);
    if (!s.valid()) {
        table.remove(id);
        return QUIL_LINK_FAILED;
    }
    rec->conn = std::make_shared<Connection>(s);
    return QUIL_LINK_OK;
}

int registerLink(std::uint32_t id, ConnectionPtr conn, bool ownsSocket) {
    if (id >= kMaxLinks) return QUIL_LINK_FAILED;
    LinkTable& table = commandLinks();
    if (table.find(id)) return QUIL_LINK_EXISTS;
    LinkPtr rec = makeRecord(id, kLinkBufferSize, std::move(conn), ownsSocket);
    if (!rec) return QUIL_LINK_FAILED;
    return table.insert(id, rec) ? QUIL_LINK_OK : QUIL_LINK_EXISTS;
}

void disconnectLink(LinkTable& table, std::uint32_t id, bool closeShared) {
    LinkPtr rec = table.remove(id);
    if (rec && rec->conn && (rec->ownsSocket || closeShared)) rec->conn->close();
}

long sendData(const Connection& c, const char* bytes, std::size_t len) {
    // The whole line goes out: a short send is continued, waiting for room
    // only when the socket buffer is full.
    return c.sendAll(bytes, len, kSendWaitMs) ? static_cast<long>(len) : -1;
}

long recvData(const Connection& c, char* buf, std::size_t max, int timeoutMs) {
    switch (c.waitReadable(timeoutMs > 0 ? timeoutMs : kDefaultReadWaitMs)) {
    case platform::Wait::Error: return QUIL_STREAM_FAILED;
    case platform::Wait::Timeout: return QUIL_STREAM_TIMEOUT;
    case platform::Wait::Ready: break;
    }
    long n = c.recv(buf, max);
    return n < 1 ? static_cast<long>(QUIL_STREAM_CLOSED) : n;
}

int recvLine(LinkRecord& rec, int timeoutMs) {
    LinkBuffer& buffer = rec.dataBuff;
    const std::size_t size = buffer.size();
    // Everything past the received bytes must read 0 in a handed-out buffer,
    // but zeroing 24 MiB per reply would dominate the exchange: clear only
    // what earlier replies wrote.
    if (buffer.data()) std::memset(buffer.data(), 0, std::min(rec.dataDirty, buffer.capacity()));
    rec.dataDirty = 0;
    rec.dataLen = 0;

    std::size_t len = 0;
    // The whole line must arrive within the time-out, not each piece of it.
    const platform::Deadline deadline(timeoutMs > 0 ? timeoutMs : kDefaultReadWaitMs);
    for (bool first = true;; first = false) {
        // A line that fills the whole buffer without a carriage return cannot
        // be held: fail rather than write past the end. Nor can one for which
        // the buffer cannot grow. Its tail is skipped before the next exchange.
        if (len >= size || !buffer.reserve(std::min(len + kRecvChunk, size))) {
            rec.dataLen = static_cast<std::int32_t>(len);
            rec.conn->markCutReply(false);
            return QUIL_LINK_BAD_LINE;
        }
        char* buf = buffer.data();
        long n = deadline.expired()
                     ? static_cast<long>(QUIL_STREAM_TIMEOUT)
                     : recvData(*rec.conn, buf + len, std::min<std::size_t>(kRecvChunk, buffer.capacity() - len),
                                deadline.remainingMs());
        if (n < 0) {
            rec.dataLen = static_cast<std::int32_t>(len);
            if (n == QUIL_STREAM_TIMEOUT) {
                // The rest of a line that had begun comes later: skip it then.
                if (len > 0) rec.conn->markCutReply(false);
                return QUIL_LINK_TIMEOUT;
            }
            return first ? QUIL_LINK_FAILED : QUIL_LINK_BAD_LINE;
        }
        rec.dataDirty = std::max(rec.dataDirty, len + static_cast<std::size_t>(n));
        if (len == 0) {
            // A reply line never begins with LF: one left over from the
            // previous reply (its CR came first, its LF a moment later) is
            // skipped.
            std::size_t lf = 0;
            while (lf < static_cast<std::size_t>(n) && buf[lf] == '\n') ++lf;
            if (lf > 0) {
                std::memmove(buf, buf + lf, static_cast<std::size_t>(n) - lf);
                std::memset(buf + static_cast<std::size_t>(n) - lf, 0, lf);
                n -= static_cast<long>(lf);
            }
        }
        if (const void* cr = std::memchr(buf + len, '\r', static_cast<std::size_t>(n))) {
            rec.dataLen = static_cast<std::int32_t>(static_cast<const char*>(cr) - buf);
            return QUIL_LINK_OK;
        }
        len += static_cast<std::size_t>(n);
    }
}

int swapLocked(LinkRecord& rec, const char* line, std::int32_t len, std::int32_t timeoutMs) {
    const bool endsInCr = line && len >= 1 && (line[len - 1] == '\r' || (len >= 2 && line[len - 2] == '\r'));
    if (!endsInCr) return QUIL_LINK_BAD_LINE;
    if (!rec.conn->skipCutReply(timeoutMs > 0 ? timeoutMs : kDefaultReadWaitMs)) return QUIL_LINK_TIMEOUT;
    rec.conn->drain();
    if (sendData(*rec.conn, line, static_cast<std::size_t>(len)) < 1) return QUIL_LINK_FAILED;
    adoptHandedOut(rec);
    const int r = recvLine(rec, timeoutMs);
    // A buffer handed out while the reply came holds it too.
    adoptHandedOut(rec);
    return r;
}

int swapLine(LinkTable& table, std::uint32_t id, const char* line, std::int32_t len, char* out, std::int32_t* outLen,
             std::int32_t timeoutMs, std::size_t capacity) {
    LinkPtr rec = table.find(id);
    if (!rec || !rec->conn) return QUIL_LINK_NO_LINK;
    std::lock_guard<std::mutex> lock(rec->mutex);
    int r = swapLocked(*rec, line, len, timeoutMs);
    if (r == QUIL_LINK_OK) {
        const std::size_t length = static_cast<std::size_t>(rec->dataLen.load());
        if (outLen) *outLen = static_cast<std::int32_t>(length);
        if (length > capacity)
            r = QUIL_LINK_BAD_LINE;
        else if (out && length > 0)
            std::memcpy(out, rec->dataBuff.data(), length);
    }
    settleBuffers(*rec);
    return r;
}

int closeAllLinks(std::uint32_t id) {
    disconnectLink(rollLinks(), id, true);
    // A command connection registered by an open device is closed too; the
    // device record sees the shared connection closed and fails its exchanges.
    disconnectLink(commandLinks(), id, true);
    return QUIL_LINK_OK;
}

}  // namespace quil::link
