// The buffers of a raw link record: handed out to the application by
// pointer, taken over by the record's owner.
#include <algorithm>
#include <mutex>

#include "link/link_record.h"

namespace quil::link {

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

}  // namespace quil::link
