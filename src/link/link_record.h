// Raw link records: one per device number and link kind (command link on
// TCP 19062, roll link on TCP 12525), each with a receive and a scratch buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "link/buffer.h"
#include "link/connection.h"
#include "link/transport.h"
#include "quil.h"

namespace quil::link {

inline constexpr std::uint32_t kMaxLinks = 64;
inline constexpr std::size_t kLinkBufferSize = 25165824;  // 0x1800000: the largest stream payload
inline constexpr std::size_t kPacketHeaderSize = 16;
// The roll link's receive buffer holds the largest packet (header and
// payload) and the header of the packet after it, which the receive thread
// looks at before it takes the packet.
inline constexpr std::size_t kRollBufferSize = 2 * kPacketHeaderSize + kLinkBufferSize;
inline constexpr std::uint16_t kCommandPort = 19062;
inline constexpr std::uint16_t kRollPort = 12525;
inline constexpr int kConnectWaitMs = 5000;
inline constexpr std::size_t kRecvChunk = 10240;  // bytes asked for per receive of a reply line

struct LinkRecord {
    LinkRecord(std::uint32_t id, std::size_t dataSize, ConnectionPtr c, bool owns)
        : deviceId(id), conn(std::move(c)), ownsSocket(owns), dataBuff(dataSize), tmpBuff(kLinkBufferSize) {}

    std::mutex mutex;  // one exchange per record at a time
    std::atomic<bool> running{false};
    std::atomic<std::uint32_t> batchCount{0};
    std::uint32_t deviceId;
    ConnectionPtr conn;
    // False for a socket registered with DeviceInit: the device record (or the
    // application) owns it, so a plain disconnect leaves it open.
    bool ownsSocket;
    std::atomic<std::int32_t> dataLen{0};
    // Both grow to the line or packet in flight; each is allocated at its
    // full size once the application asks for its pointer (GetDataBuff,
    // GetTmpBuff and the roll link's), and a 32-bit process has room for few
    // of those: 64 open devices, each with the command link its open
    // registers, must fit.
    LinkBuffer dataBuff;
    LinkBuffer tmpBuff;
    // Bytes of dataBuff that replies may have written since it was last
    // zeroed: only these are cleared before the next reply, and only these
    // move to the handed-out buffer.
    std::size_t dataDirty = 0;
    // True while a stream's receive thread reads into dataBuff: it takes a
    // handed-out buffer itself, between two packets. Written under mutex.
    bool streaming = false;
    // Roll link only. The receive thread itself is kept beside the record
    // (link/stream.cpp), so that releasing a record never destroys a
    // thread that is still running.
    std::atomic<QuilRollDataCallback> callback{nullptr};
};

using LinkPtr = std::shared_ptr<LinkRecord>;

// The 64 records of one link kind. Lookups hand out shared ownership, so a
// record stays alive for an exchange that runs while another thread
// disconnects it.
class LinkTable {
public:
    LinkPtr find(std::uint32_t id) const;
    bool insert(std::uint32_t id, const LinkPtr& rec);  // false when one exists
    LinkPtr remove(std::uint32_t id);
    // Removes the record only when it holds conn (the record is released,
    // the connection is not closed).
    LinkPtr removeHolding(std::uint32_t id, const Connection& conn);

private:
    mutable std::mutex mutex_;
    LinkPtr records_[kMaxLinks];
};

LinkTable& commandLinks();
LinkTable& rollLinks();

// The buffer accessors of a link kind: null / -1 without a record (the
// pointers also null when the full-size buffer cannot be allocated).
char* dataBuffOf(const LinkTable& table, std::uint32_t id);
std::int32_t dataLenOf(const LinkTable& table, std::uint32_t id);
char* tmpBuffOf(const LinkTable& table, std::uint32_t id);
// The owner of a record's buffers (holding its mutex, or its receive thread)
// moves to the handed-out ones, and after a transfer gives back what it
// needed beyond the usual.
void adoptHandedOut(LinkRecord& rec);
void settleBuffers(LinkRecord& rec);

// Opens a record of the given kind: QUIL_LINK_OK, QUIL_LINK_FAILED (out of
// range or failure) or QUIL_LINK_EXISTS.
int openLink(LinkTable& table, std::uint32_t id, const char* ip, std::uint16_t port, std::size_t dataSize);
// Registers an already connected socket as the command link of id:
// QUIL_LINK_OK, QUIL_LINK_FAILED, QUIL_LINK_EXISTS.
int registerLink(std::uint32_t id, ConnectionPtr conn, bool ownsSocket);
// Releases a record; closes its socket if the record owns it or closeShared.
void disconnectLink(LinkTable& table, std::uint32_t id, bool closeShared);

// Drain, send, receive one line (to its CR) under the record's mutex
// (SwapData, SwapRollData, quil_swap). The answer is copied to out only when
// it fits capacity bytes; QUIL_LINK_BAD_LINE when it does not (outLen still
// gets its length).
int swapLine(LinkTable& table, std::uint32_t id, const char* line, std::int32_t len, char* out, std::int32_t* outLen,
             std::int32_t timeoutMs, std::size_t capacity = SIZE_MAX);
// The same exchange on a record whose mutex the caller holds; the reply
// stays in rec.dataBuff (dataLen bytes).
int swapLocked(LinkRecord& rec, const char* line, std::int32_t len, std::int32_t timeoutMs);
// Closes the roll link and the command link of a device number (also a
// command connection registered by an open device). Always QUIL_LINK_OK.
int closeAllLinks(std::uint32_t id);

}  // namespace quil::link
