// The simulated controller's data stream on the roll link.
//
// "StartRoll" true on the command link starts a run: the stream waits for an
// open roll connection (the newest one; it may also connect after the
// switch), waits startDelayMs more, writes the configured lead bytes and then
// packets of the controller's layout:
//
//   byte 0      channel mask (bit 0 to bit 3 = channel 1 to 4)
//   bytes 1, 2  markers 0xFA 0xAF
//   bytes 4..7  payload size in bytes, little-endian; other header bytes 0
//   bytes 16..  per present channel, in ascending order, valuesPerPacket
//               32-bit little-endian values
//
// Value i of channel c (i counted per channel from 0 at the run's start,
// across packets) is value(c, i) = c * 100000000 + i, so a reader can tell
// that nothing was lost, duplicated or misplaced. A finite run ends with the
// end-of-stream packet (mask 0, size 0). "StartRoll" false ends a run after
// the packet being written (unless the reader stalls it), without an end
// packet; a new "StartRoll" true restarts it from value 0.
//
// The library discards whatever the roll link holds right after it connects,
// so a run's first bytes must not arrive before then: startDelayMs covers
// that moment.
//
// One worker thread per started simulator writes all packets; stop() and
// closeConnections() of the simulator cut it short at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

#include "sim/signal.h"

namespace quil::sim {

struct StreamConfig {
    std::uint8_t mask = 0x0F;              // byte 0 of every packet
    std::uint32_t valuesPerPacket = 1000;  // per present channel
    std::uint64_t packets = 0;             // 0: endless, until "StartRoll" false
    int packetIntervalMs = 10;             // pause after each packet; 0: as fast as the reader takes them
    int startDelayMs = 200;                // from the roll connection to the first byte
    bool endPacket = true;                 // a finite run ends with the end-of-stream packet
    std::string lead = {};                 // raw bytes written before the first packet of a run
    // Constant: value i of channel c is value(c, i). Otherwise the signal of
    // OUT c at sample i, a sample lasting packetIntervalMs / valuesPerPacket
    // (10 microseconds without an interval), as signalWord gives it.
    SignalOptions signal = {};
};

class Stream {
public:
    static constexpr std::uint8_t kMarker1 = 0xFA;
    static constexpr std::uint8_t kMarker2 = 0xAF;
    static constexpr std::size_t kHeaderSize = 16;

    Stream();
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Takes effect at the next run's start.
    void configure(StreamConfig config);
    StreamConfig config() const;

    // True from "StartRoll" true until the run has ended (finite count
    // written, "StartRoll" false, the roll connection gone, or dropped).
    bool streaming() const;
    // Of the latest run: complete data packets written (not the lead bytes,
    // not the end packet), and the values per channel they carried.
    std::uint64_t packetsSent() const;
    std::uint64_t valuesPerChannelSent() const;
    bool endPacketSent() const;
    // Runs started since the simulator was created.
    int runs() const;
    // The "StartRoll" values received, in order.
    std::vector<bool> switches() const;
    // Wait until the latest run has written at least that many packets /
    // until no run is going on; false on time-out.
    bool waitPackets(std::uint64_t packets, int timeoutMs) const;
    bool waitIdle(int timeoutMs) const;

    // Writes bytes on the roll connection of the current run (else the
    // newest open one) between two packets; false when there is none or the
    // write fails.
    bool sendRaw(const std::string& bytes);

    // The value a run sends as value number index of channel (1 to 4).
    static std::uint32_t value(int channel, std::uint64_t index);
    // A 16-byte packet header with the given fields.
    static std::string header(std::uint8_t mask, std::uint32_t size, std::uint8_t marker1 = kMarker1,
                              std::uint8_t marker2 = kMarker2);
    // A whole packet: header and the values as they are, little-endian (the
    // size says their bytes, whatever the mask).
    static std::string packet(std::uint8_t mask, const std::vector<std::uint32_t>& values);

    // A fault: from the next run on, a run writes this many packets, then
    // half of the next one, and closes its roll connection (0: never).
    void dropAfter(std::uint64_t packets);

    // Used by the simulator and its model.
    // The batch streaming switch; the result is the "Online" state.
    bool switchRoll(bool start);
    void addConnection(platform::Socket s);  // takes the socket over
    void dropConnections();                  // ends any run, closes every roll connection
    void setLog(std::function<void(const std::string&)> log);
    void startWorker();
    void stopWorker();  // ends any run and joins the worker

private:
    struct Connection;
    using ConnectionPtr = std::shared_ptr<Connection>;

    void work();
    void runOnce(std::uint64_t run, const StreamConfig& config);
    ConnectionPtr newestOpen();  // with mutex_ held
    // Writes bytes under the connection's write lock; gives up on a failure,
    // on shut-down or drop, and, once the run is no longer wanted, when the
    // reader takes nothing for a while.
    bool write(Connection& c, const char* data, std::size_t len, std::uint64_t run);
    bool cancelled(std::uint64_t run) const;
    // The dropAfter() fault: half of the packet in buffer, then the close.
    void cut(Connection& c, const char* packet, std::size_t size, std::uint64_t run);
    // A pause that ends early when the run is cancelled; false then.
    bool pause(int ms, std::uint64_t run, const Connection* c);
    void log(const std::string& text);

    mutable std::mutex mutex_;  // guards everything below but the atomics
    mutable std::condition_variable changed_;
    StreamConfig config_;
    std::vector<ConnectionPtr> connections_;
    ConnectionPtr current_;  // the roll connection of the run going on
    int accepted_ = 0;
    std::uint64_t lastRun_ = 0;  // id of the latest "StartRoll" true
    std::uint64_t doneRun_ = 0;  // id of the latest run that ended
    bool active_ = false;        // the worker is inside a run
    std::uint64_t packets_ = 0;
    std::uint64_t values_ = 0;
    bool endSent_ = false;
    int runs_ = 0;
    std::vector<bool> switches_;
    std::function<void(const std::string&)> log_;
    std::thread worker_;

    // Read by the writer while it holds only a connection's write lock.
    std::atomic<std::uint64_t> wantedRun_{0};  // 0: streaming switched off
    std::atomic<bool> quit_{false};
    std::atomic<std::uint64_t> dropAfter_{0};
};

}  // namespace quil::sim
