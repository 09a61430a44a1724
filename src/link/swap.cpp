// The raw link's exchange: one line out, one reply line (to its CR) back
// into the record's receive buffer.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "link/link_record.h"

namespace quil::link {
namespace {

// Reads one reply line into rec.dataBuff: QUIL_LINK_OK; QUIL_LINK_FAILED when
// the first receive fails; QUIL_LINK_BAD_LINE when a later one fails or the
// line does not fit; QUIL_LINK_TIMEOUT.
int recvLine(LinkRecord& rec, int timeoutMs) {
    LinkBuffer& buffer = rec.dataBuff;
    // Everything past the received bytes must read 0 in a handed-out buffer,
    // but zeroing 24 MiB per reply would dominate the exchange: clear only
    // what earlier replies wrote.
    if (buffer.data()) std::memset(buffer.data(), 0, std::min(rec.dataDirty, buffer.capacity()));
    rec.dataDirty = 0;
    rec.dataLen = 0;
    const LineRead r = readLine(*rec.conn, buffer, LineRules{LineEnd::Cr, buffer.size(), kRecvChunk, false},
                                platform::Deadline(timeoutMs > 0 ? timeoutMs : kDefaultReadWaitMs));
    rec.dataDirty = r.touched;
    rec.dataLen = static_cast<std::int32_t>(r.length);
    switch (r.outcome) {
    case Read::Done: return QUIL_LINK_OK;
    case Read::Full: return QUIL_LINK_BAD_LINE;
    case Read::Timeout: return QUIL_LINK_TIMEOUT;
    case Read::WaitFailed:
    case Read::Closed: break;
    }
    return r.first ? QUIL_LINK_FAILED : QUIL_LINK_BAD_LINE;
}

}  // namespace

int swapLocked(LinkRecord& rec, const char* line, std::int32_t len, std::int32_t timeoutMs) {
    const bool endsInCr = line && len >= 1 && (line[len - 1] == '\r' || (len >= 2 && line[len - 2] == '\r'));
    if (!endsInCr) return QUIL_LINK_BAD_LINE;
    if (!rec.conn->skipCutReply(timeoutMs > 0 ? timeoutMs : kDefaultReadWaitMs)) return QUIL_LINK_TIMEOUT;
    rec.conn->drain();
    if (!rec.conn->sendAll(line, static_cast<std::size_t>(len), kSendWaitMs)) return QUIL_LINK_FAILED;
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

}  // namespace quil::link
