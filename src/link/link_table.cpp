// The tables of raw link records: opening, registering and releasing them.
#include <new>
#include <utility>

#include "link/link_record.h"

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

LinkTable& commandLinks() {
    static LinkTable table;
    return table;
}

LinkTable& rollLinks() {
    static LinkTable table;
    return table;
}

namespace {

// Connects the raw link's socket to ip:port: the socket, or an invalid one.
platform::Socket connectSocket(const char* ip, std::uint16_t port) {
    platform::Ipv4 addr;
    int major = 0, minor = 0;
    if (!ip || !platform::parseIpv4(ip, &addr) || !platform::socketStartup(&major, &minor)) return {};
    const Connected made = connectTcp(addr, port, kConnectWaitMs, false, [](platform::Socket s) {
        if (platform::setReuseAddress(s, true) != 0) return false;
        platform::setSendBuffer(s, 32768);  // a failure here only costs speed
        return true;
    });
    return made.ok() ? made.socket : platform::Socket{};
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

int closeAllLinks(std::uint32_t id) {
    disconnectLink(rollLinks(), id, true);
    // A command connection registered by an open device is closed too; the
    // device record sees the shared connection closed and fails its exchanges.
    disconnectLink(commandLinks(), id, true);
    return QUIL_LINK_OK;
}

}  // namespace quil::link
