#include "sim/simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "sim/commands.h"

namespace quil::sim {

namespace plat = quil::platform;

namespace {

// Text of received or sent bytes for the console: control characters
// escaped, long texts cut.
std::string printable(const std::string& bytes) {
    constexpr std::size_t kMaxShown = 160;
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < kMaxShown; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    if (bytes.size() > kMaxShown) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

void printLine(const std::string& text) {
    static std::mutex printMutex;
    std::lock_guard<std::mutex> lock(printMutex);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Sends every byte, waiting while the socket cannot take more.
bool sendAll(plat::Socket s, const char* data, std::size_t len) {
    while (len > 0) {
        long n = plat::sendSome(s, data, len);
        if (n < 0 && plat::lastError() == plat::kErrWouldBlock) {
            if (plat::waitWritable(s, -1) == plat::Wait::Error) return false;
            continue;
        }
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Listeners are non-blocking so that a peer that gives up between the
// readiness wait and the accept cannot block the acceptor.
plat::Socket openListener(const plat::Ipv4& ip, std::uint16_t port) {
    plat::Socket s = plat::tcpSocket();
    if (!s.valid()) return s;
    if (plat::setReuseAddress(s, true) != 0 || plat::bindTo(s, ip, port) != 0 || plat::listenOn(s, 64) != 0 ||
        plat::setNonBlocking(s) != 0) {
        plat::closeSocket(s);
        return plat::Socket{};
    }
    return s;
}

bool portFree(const plat::Ipv4& ip, std::uint16_t port) {
    plat::Socket s = plat::tcpSocket();
    if (!s.valid()) return false;
    bool ok = plat::setReuseAddress(s, true) == 0 && plat::bindTo(s, ip, port) == 0;
    plat::closeSocket(s);
    return ok;
}

}  // namespace

struct Simulator::Impl {
    struct Connection {
        plat::Socket sock;
        int number = 0;  // 1 for the first connection of a run; for the console
        std::thread thread;
        std::mutex writeMutex;  // one answer or raw write at a time
        bool finished = false;  // this and dropped: guarded by the simulator's mutex
        bool dropped = false;
        int lines = 0;  // received on this connection; used by the thread serving it
    };

    Options options;
    Stream stream;  // before the model, whose roll switch reaches it
    Model model;
    Script script;
    plat::Ipv4 ip;
    std::uint16_t commandPort = 0;
    std::uint16_t rollPort = 0;
    plat::Socket commandListener;
    plat::Socket rollListener;
    std::thread acceptor;
    bool running = false;  // changed by start() and stop() only

    mutable std::mutex mutex;  // guards everything below
    // Signalled on every change below, so the waits of tests and the pauses
    // of connection threads see it.
    mutable std::condition_variable changed;
    bool stopping = false;
    std::string received;
    std::vector<std::string> lines;
    std::vector<std::shared_ptr<Connection>> connections;
    int accepted = 0;
    int rollAccepted = 0;
    Faults faults;
    std::uint32_t garbageSeed = 1;

    explicit Impl(Options o) : options(std::move(o)), model(options.model), faults(options.faults) {
        StreamConfig streamConfig = options.stream;
        streamConfig.signal = options.signal;
        stream.configure(streamConfig);
        model.setSignal(options.signal);
        stream.dropAfter(faults.dropStreamAfterPackets);
        if (options.verbose) stream.setLog(printLine);
        model.setRollSwitch([this](bool start) { return stream.switchRoll(start); });
    }

    bool listenAt(const std::string& text);
    void acceptLoop();
    void addConnection(plat::Socket s);
    void serve(const std::shared_ptr<Connection>& c);
    bool handleLine(Connection& c, const std::string& line);
    bool pause(Connection& c, int ms);
    bool write(Connection& c, const std::string& bytes, std::size_t pieceSize, int pauseMs);
    void reapFinished();
    void dropAll();
    int openCount() const;  // with mutex held

    template <class Pred>
    bool waitFor(int timeoutMs, Pred pred) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
    }
};

bool Simulator::Impl::listenAt(const std::string& text) {
    if (!plat::parseIpv4(text.c_str(), &ip)) return false;
    commandListener = openListener(ip, options.commandPort);
    rollListener = commandListener.valid() ? openListener(ip, options.rollPort) : plat::Socket{};
    if (!rollListener.valid()) {
        if (commandListener.valid()) plat::closeSocket(commandListener);
        commandListener = plat::Socket{};
        return false;
    }
    commandPort = static_cast<std::uint16_t>(plat::localPort(commandListener));
    rollPort = static_cast<std::uint16_t>(plat::localPort(rollListener));
    return true;
}

void Simulator::Impl::acceptLoop() {
    for (;;) {
        // stop() shuts the listeners down, which wakes this wait.
        int ready = plat::waitEitherReadable(commandListener, rollListener, -1);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
        }
        if (ready == -2) return;
        if (ready < 0) continue;
        plat::Socket s = plat::acceptFrom(ready == 0 ? commandListener : rollListener);
        if (!s.valid()) {
            // Out of descriptors or a peer that went away: do not spin.
            if (plat::lastError() != plat::kErrWouldBlock) plat::sleepMs(10);
            continue;
        }
        if (ready == 0) {
            reapFinished();
            addConnection(s);
        } else {
            stream.addConnection(s);
            std::lock_guard<std::mutex> lock(mutex);
            ++rollAccepted;
            changed.notify_all();
        }
    }
}

void Simulator::Impl::addConnection(plat::Socket s) {
    plat::setNoDelay(s, true);
    auto c = std::make_shared<Connection>();
    c->sock = s;
    std::lock_guard<std::mutex> lock(mutex);
    c->number = ++accepted;
    // The thread is created under the lock so that nobody can find the
    // connection in the list before its thread can be joined.
    c->thread = std::thread([this, c] { serve(c); });
    connections.push_back(c);
    changed.notify_all();
}

void Simulator::Impl::serve(const std::shared_ptr<Connection>& c) {
    std::string pending;
    std::vector<char> buf(64 * 1024);
    bool open = true;
    while (open) {
        if (plat::waitReadable(c->sock, -1) == plat::Wait::Error) break;
        long n = plat::recvSome(c->sock, buf.data(), buf.size());
        if (n < 0 && plat::lastError() == plat::kErrWouldBlock) continue;
        if (n <= 0) break;
        {
            std::lock_guard<std::mutex> lock(mutex);
            received.append(buf.data(), static_cast<std::size_t>(n));
        }
        // Only the new bytes (and the one before them, which may be a CR)
        // can complete a line: long lines arriving in many pieces must not
        // be scanned again from their start each time.
        std::size_t scan = pending.empty() ? 0 : pending.size() - 1;
        pending.append(buf.data(), static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; open && (end = pending.find("\r\n", std::max(start, scan))) != std::string::npos;
             start = end + 2)
            open = handleLine(*c, pending.substr(start, end - start));
        pending.erase(0, start);
    }
    // The handle stays allocated until the thread is joined, so that no other
    // thread can write to a reused descriptor; the peer sees EOF now.
    plat::shutdownBoth(c->sock);
    std::lock_guard<std::mutex> lock(mutex);
    c->finished = true;
    changed.notify_all();
}

bool Simulator::Impl::handleLine(Connection& c, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
        changed.notify_all();
    }
    Script::Plan plan = script.plan(line);
    {
        std::lock_guard<std::mutex> lock(mutex);
        applyFaults(faults, ++c.lines, &garbageSeed, &plan);
    }
    std::string how;
    if (plan.delayMs > 0) {
        how = " (after " + std::to_string(plan.delayMs) + " ms)";
        if (!pause(c, plan.delayMs)) return false;
    }
    auto report = [&](const std::string& what) {
        if (options.verbose) printLine("#" + std::to_string(c.number) + " " + printable(line) + " -> " + what + how);
    };
    switch (plan.answer) {
    case Script::Plan::Answer::Close: report("(connection closed)"); return false;
    case Script::Plan::Answer::Silence: report("(no answer)"); return true;
    case Script::Plan::Answer::Bytes: break;
    case Script::Plan::Answer::Model: plan.bytes = model.answer(line); break;
    }
    if (plan.pieceSize > 0 && plan.pieceSize < plan.bytes.size())
        how += " (in pieces of " + std::to_string(plan.pieceSize) + ")";
    bool sent = write(c, plan.bytes, plan.pieceSize, plan.pauseMs);
    report(plan.bytes.empty() ? "(nothing)" : printable(plan.bytes) + (sent ? "" : " (send failed)"));
    return sent;
}

// A delay that stop() and closeConnections() cut short; false then.
bool Simulator::Impl::pause(Connection& c, int ms) {
    return !waitFor(ms, [&] { return stopping || c.dropped; });
}

bool Simulator::Impl::write(Connection& c, const std::string& bytes, std::size_t pieceSize, int pauseMs) {
    std::lock_guard<std::mutex> lock(c.writeMutex);
    std::size_t step = pieceSize > 0 ? pieceSize : bytes.size();
    for (std::size_t off = 0; off < bytes.size(); off += step) {
        if (off > 0 && pauseMs > 0 && !pause(c, pauseMs)) return false;
        if (!sendAll(c.sock, bytes.data() + off, std::min(step, bytes.size() - off))) return false;
    }
    return true;
}

void Simulator::Impl::reapFinished() {
    std::vector<std::shared_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto split =
            std::stable_partition(connections.begin(), connections.end(), [](const auto& c) { return !c->finished; });
        done.assign(split, connections.end());
        connections.erase(split, connections.end());
    }
    for (auto& c : done) {
        c->thread.join();
        plat::closeSocket(c->sock);
    }
}

void Simulator::Impl::dropAll() {
    std::vector<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lock(mutex);
        conns.swap(connections);
        for (auto& c : conns) c->dropped = true;
        changed.notify_all();
    }
    // Shutting a socket down wakes its thread from a receive or a send.
    for (auto& c : conns) plat::shutdownBoth(c->sock);
    for (auto& c : conns) {
        c->thread.join();
        plat::closeSocket(c->sock);
    }
    stream.dropConnections();
}

int Simulator::Impl::openCount() const {
    return static_cast<int>(
        std::count_if(connections.begin(), connections.end(), [](const auto& c) { return !c->finished; }));
}

Simulator::Simulator(Options o) : impl_(std::make_unique<Impl>(std::move(o))) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start() {
    Impl& im = *impl_;
    if (im.running) return true;
    bool listening = false;
    if (im.options.address.empty()) {
        // Another process may take the address between the check and the bind.
        for (int attempt = 0; attempt < 64 && !listening; ++attempt) listening = im.listenAt(freeLoopbackAddress());
    } else {
        listening = im.listenAt(im.options.address);
    }
    if (!listening) return false;
    // The controller reports the address it is reached at.
    setNetworkSettings(im.model, plat::formatIpv4(im.ip), "255.0.0.0", "127.0.0.1");
    {
        std::lock_guard<std::mutex> lock(im.mutex);
        im.stopping = false;
        im.accepted = 0;
        im.rollAccepted = 0;
    }
    im.stream.startWorker();
    im.acceptor = std::thread([&im] { im.acceptLoop(); });
    im.running = true;
    return true;
}

void Simulator::stop() {
    Impl& im = *impl_;
    if (!im.running) return;
    {
        std::lock_guard<std::mutex> lock(im.mutex);
        im.stopping = true;
        im.changed.notify_all();
    }
    plat::shutdownBoth(im.commandListener);
    plat::shutdownBoth(im.rollListener);
    im.acceptor.join();
    plat::closeSocket(im.commandListener);
    plat::closeSocket(im.rollListener);
    im.commandListener = im.rollListener = plat::Socket{};
    im.dropAll();
    im.stream.stopWorker();
    im.running = false;
}

std::string Simulator::address() const { return plat::formatIpv4(impl_->ip); }
plat::Ipv4 Simulator::ip() const { return impl_->ip; }
std::uint16_t Simulator::commandPort() const { return impl_->commandPort; }
std::uint16_t Simulator::rollPort() const { return impl_->rollPort; }
Script& Simulator::script() { return impl_->script; }
Model& Simulator::model() { return impl_->model; }
Stream& Simulator::stream() { return impl_->stream; }

void Simulator::setFaults(const Faults& faults) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->faults = faults;
    }
    impl_->stream.dropAfter(faults.dropStreamAfterPackets);
}

Faults Simulator::faults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults;
}

std::string Simulator::received() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->received;
}

void Simulator::clearReceived() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->received.clear();
    impl_->lines.clear();
}

std::vector<std::string> Simulator::receivedLines() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lines;
}

bool Simulator::waitReceived(std::size_t lines, int timeoutMs) const {
    return impl_->waitFor(timeoutMs, [&] { return impl_->lines.size() >= lines; });
}

int Simulator::connectionsAccepted() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->accepted;
}

int Simulator::openConnections() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->openCount();
}

int Simulator::rollConnectionsAccepted() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->rollAccepted;
}

bool Simulator::waitAccepted(int count, int timeoutMs) const {
    return impl_->waitFor(timeoutMs, [&] { return impl_->accepted >= count; });
}

bool Simulator::waitOpenConnections(int count, int timeoutMs) const {
    return impl_->waitFor(timeoutMs, [&] { return impl_->openCount() == count; });
}

bool Simulator::sendRaw(std::string bytes) {
    Impl& im = *impl_;
    std::shared_ptr<Impl::Connection> target;
    {
        std::lock_guard<std::mutex> lock(im.mutex);
        for (auto it = im.connections.rbegin(); it != im.connections.rend() && !target; ++it)
            if (!(*it)->finished) target = *it;
    }
    if (!target) return false;
    bool sent = im.write(*target, bytes, 0, 0);
    if (im.options.verbose)
        printLine("#" + std::to_string(target->number) + " (unsolicited) -> " + printable(bytes) +
                  (sent ? "" : " (send failed)"));
    return sent;
}

void Simulator::closeConnections() { impl_->dropAll(); }

std::string freeLoopbackAddress() {
    static std::atomic<unsigned> counter{0};
    static std::mutex rngMutex;
    static std::mt19937 rng(static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(plat::processId()));
    auto pid = static_cast<unsigned>(plat::processId());
    plat::Ipv4 ip;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        unsigned r;
        {
            std::lock_guard<std::mutex> lock(rngMutex);
            r = static_cast<unsigned>(rng());
        }
        unsigned n = counter.fetch_add(1);
        ip = plat::Ipv4{{127, static_cast<std::uint8_t>(pid ^ (pid >> 8)), static_cast<std::uint8_t>(n * 37 + (r >> 8)),
                         static_cast<std::uint8_t>(1 + r % 254)}};
        if (ip == plat::Ipv4{{127, 0, 0, 1}}) continue;
        if (portFree(ip, kCommandPort) && portFree(ip, kRollPort)) break;
    }
    return plat::formatIpv4(ip);
}

}  // namespace quil::sim
