// A simulated measuring controller on loopback TCP, run in-process by tests
// and benchmarks and as the quilsim program.
//
// It listens on the command port and the roll port of one IPv4 address,
// accepts any number of connections and answers every line that arrives on a
// command connection (everything before a CR LF) through the script (exact
// bytes, silence, delays, closes) or else through the behavioural model. Roll
// connections are accepted and held open; the data stream (sim/stream.h)
// writes its packets on them once "StartRoll" true arrives.
//
// Threads: one acceptor per simulator, one per command connection, one stream
// writer. stop() (and the destructor) closes the listeners and every
// connection and joins all of them; no delay or pending write holds it up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/faults.h"
#include "sim/model.h"
#include "sim/script.h"
#include "sim/stream.h"

namespace quil::sim {

inline constexpr std::uint16_t kCommandPort = 19062;
inline constexpr std::uint16_t kRollPort = 12525;

struct Options {
    std::string address = {};                  // "" = pick a free 127.x.y.z
    int model = 0;                             // answer to "MD"
    std::uint16_t commandPort = kCommandPort;  // 0 = any free port (see commandPort())
    std::uint16_t rollPort = kRollPort;
    bool verbose = false;      // print each line received and each answer
    StreamConfig stream = {};  // the data stream's configuration at start
    Faults faults = {};        // standing faults from the start (see setFaults())
    // What the OUTs measure and the stream carries (also stream.signal).
    SignalOptions signal = {};
};

class Simulator {
public:
    explicit Simulator(Options o = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listening when it returns true. With an empty address it tries other
    // free loopback addresses while the ports turn out to be taken.
    bool start();
    void stop();

    std::string address() const;  // dotted text
    platform::Ipv4 ip() const;
    std::uint16_t commandPort() const;  // as bound (also when 0 was asked for)
    std::uint16_t rollPort() const;

    Script& script();
    Model& model();
    Stream& stream();

    // Replaces the standing faults. They act on the next line that arrives
    // (the lines a connection already received still count for
    // dropAfterLines) and on the next stream run.
    void setFaults(const Faults& faults);
    Faults faults() const;

    // Every byte received on command connections, in order, all connections.
    std::string received() const;
    void clearReceived();
    // The complete lines received (without CR LF), in the order they arrived.
    std::vector<std::string> receivedLines() const;
    // Waits until at least that many lines arrived; false on time-out.
    bool waitReceived(std::size_t lines, int timeoutMs) const;

    int connectionsAccepted() const;  // command connections since start()
    int openConnections() const;      // command connections still served
    int rollConnectionsAccepted() const;
    // Wait until connectionsAccepted() reaches at least count, or until
    // openConnections() is exactly count; false on time-out.
    bool waitAccepted(int count, int timeoutMs) const;
    bool waitOpenConnections(int count, int timeoutMs) const;

    // Writes unsolicited bytes now on the most recent command connection
    // still open (a late reply); false when there is none or the send fails.
    bool sendRaw(std::string bytes);
    // Drops every current command and roll connection (the peers see EOF)
    // and ends the data stream's run.
    void closeConnections();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A loopback address 127.x.y.z (never 127.0.0.1) whose command and roll ports
// are free right now; x, y and z come from the process id, a counter and
// randomness, so parallel test processes do not collide. Tests also use it
// for an address where nothing listens.
std::string freeLoopbackAddress();

}  // namespace quil::sim
