#include "sim/stream.h"

#include <bit>
#include <chrono>
#include <cstring>
#include <utility>

namespace quil::sim {

namespace plat = quil::platform;

namespace {

// A write made outside any run (sendRaw) is never the wanted run.
constexpr std::uint64_t kNoRun = ~std::uint64_t{0};
// While a run is wanted a reader may pause as long as it likes (the library
// reads on only after its callback returns); the writer looks at the flags
// this often. Once the run is no longer wanted, a reader that takes nothing
// for kStallMs makes the writer give up the packet.
constexpr int kWaitSliceMs = 50;
constexpr int kStallMs = 200;
constexpr std::uint32_t kChannelBase = 100000000;

void putLe32(char* dst, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(dst, &v, 4);
    } else {
        for (int i = 0; i < 4; ++i) dst[i] = static_cast<char>(v >> (8 * i));
    }
}

// Adds n to every little-endian 32-bit value.
void advance(std::uint32_t* words, std::size_t count, std::uint32_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        for (std::size_t i = 0; i < count; ++i) words[i] += n;
    } else {
        char* p = reinterpret_cast<char*>(words);
        for (std::size_t i = 0; i < count; ++i, p += 4) {
            std::uint32_t v = 0;
            for (int b = 3; b >= 0; --b) v = v << 8 | static_cast<unsigned char>(p[b]);
            putLe32(p, v + n);
        }
    }
}

int channelCount(std::uint8_t mask) { return std::popcount(static_cast<unsigned>(mask & 0x0F)); }

// The peer has closed (or reset) the connection; bytes it sent are left queued.
bool peerGone(plat::Socket s) {
    plat::Wait w = plat::waitReadable(s, 0);
    if (w == plat::Wait::Timeout) return false;
    if (w == plat::Wait::Error) return true;
    char byte;
    long n = plat::peekSome(s, &byte, 1);
    return n == 0 || (n < 0 && plat::lastError() != plat::kErrWouldBlock);
}

std::string hex2(unsigned v) {
    static const char digits[] = "0123456789ABCDEF";
    return {'0', 'x', digits[(v >> 4) & 0xF], digits[v & 0xF]};
}

}  // namespace

struct Stream::Connection {
    plat::Socket sock;
    int number = 0;  // 1 for the first roll connection; for the console
    std::mutex writeMutex;
    bool closed = false;  // guarded by writeMutex: the handle was released
    std::atomic<bool> dropped{false};
};

Stream::Stream() = default;

Stream::~Stream() { stopWorker(); }

void Stream::configure(StreamConfig config) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = std::move(config);
}

StreamConfig Stream::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

bool Stream::streaming() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t wanted = wantedRun_;
    return active_ || (wanted != 0 && wanted != doneRun_);
}

std::uint64_t Stream::packetsSent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

std::uint64_t Stream::valuesPerChannelSent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

bool Stream::endPacketSent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return endSent_;
}

int Stream::runs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_;
}

std::vector<bool> Stream::switches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return switches_;
}

bool Stream::waitPackets(std::uint64_t packets, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return packets_ >= packets; });
}

bool Stream::waitIdle(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        std::uint64_t wanted = wantedRun_;
        return !active_ && (wanted == 0 || wanted == doneRun_);
    });
}

bool Stream::sendRaw(const std::string& bytes) {
    ConnectionPtr c;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        c = current_ ? current_ : newestOpen();
    }
    return c && write(*c, bytes.data(), bytes.size(), kNoRun);
}

std::uint32_t Stream::value(int channel, std::uint64_t index) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(channel) * kChannelBase + index);
}

std::string Stream::header(std::uint8_t mask, std::uint32_t size, std::uint8_t marker1, std::uint8_t marker2) {
    std::string h(kHeaderSize, '\0');
    h[0] = static_cast<char>(mask);
    h[1] = static_cast<char>(marker1);
    h[2] = static_cast<char>(marker2);
    putLe32(&h[4], size);
    return h;
}

std::string Stream::packet(std::uint8_t mask, const std::vector<std::uint32_t>& values) {
    std::string p = header(mask, static_cast<std::uint32_t>(values.size() * 4));
    p.resize(kHeaderSize + values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) putLe32(&p[kHeaderSize + 4 * i], values[i]);
    return p;
}

bool Stream::switchRoll(bool start) {
    std::lock_guard<std::mutex> lock(mutex_);
    switches_.push_back(start);
    if (start) {
        wantedRun_ = ++lastRun_;
        ++runs_;
        packets_ = values_ = 0;
        endSent_ = false;
    } else {
        wantedRun_ = 0;
    }
    changed_.notify_all();
    return start;
}

void Stream::addConnection(plat::Socket s) {
    // Non-blocking, so that a writer waits in slices and sees a stop.
    plat::setNonBlocking(s);
    auto c = std::make_shared<Connection>();
    c->sock = s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Release connections the library has closed in earlier runs, unless
        // someone is writing to one right now.
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection& old = **it;
            if (*it != current_ && peerGone(old.sock) && old.writeMutex.try_lock()) {
                old.closed = true;
                plat::closeSocket(old.sock);
                old.writeMutex.unlock();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        c->number = ++accepted_;
        connections_.push_back(c);
        changed_.notify_all();
    }
}

void Stream::dropConnections() {
    std::vector<ConnectionPtr> conns;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        conns.swap(connections_);
        for (auto& c : conns) c->dropped = true;
        wantedRun_ = 0;
        changed_.notify_all();
    }
    // The shut-down wakes a writer from its wait; the handle is released
    // only once the writer has let go of it.
    for (auto& c : conns) plat::shutdownBoth(c->sock);
    for (auto& c : conns) {
        std::lock_guard<std::mutex> lock(c->writeMutex);
        c->closed = true;
        plat::closeSocket(c->sock);
    }
}

void Stream::dropAfter(std::uint64_t packets) { dropAfter_ = packets; }

void Stream::cut(Connection& c, const char* packet, std::size_t size, std::uint64_t run) {
    write(c, packet, size / 2, run);
    // The peer sees the end of the connection; the handle is released like
    // that of any connection the peer has closed (addConnection,
    // dropConnections), and never shut down after that.
    std::lock_guard<std::mutex> lock(c.writeMutex);
    c.dropped = true;
    if (!c.closed) plat::shutdownBoth(c.sock);
}

void Stream::setLog(std::function<void(const std::string&)> log) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = std::move(log);
}

void Stream::startWorker() {
    if (worker_.joinable()) return;
    quit_ = false;
    worker_ = std::thread([this] { work(); });
}

void Stream::stopWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        changed_.notify_all();
    }
    dropConnections();
    if (worker_.joinable()) worker_.join();
}

void Stream::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return quit_ || (wantedRun_ != 0 && wantedRun_ != doneRun_); });
        if (quit_) return;
        std::uint64_t run = wantedRun_;
        StreamConfig config = config_;
        active_ = true;
        lock.unlock();
        runOnce(run, config);
        lock.lock();
        current_.reset();
        doneRun_ = run;
        active_ = false;
        changed_.notify_all();
    }
}

void Stream::runOnce(std::uint64_t run, const StreamConfig& config) {
    ConnectionPtr c;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return quit_ || cancelled(run) || (c = newestOpen()) != nullptr; });
        if (!c) return;
        current_ = c;
    }
    if (!pause(config.startDelayMs, run, c.get())) return;

    const std::uint32_t n = config.valuesPerPacket;
    const int channels = channelCount(config.mask);
    const std::size_t payload = std::size_t{4} * n * static_cast<std::size_t>(channels);
    std::string runText = "roll #" + std::to_string(c->number) + ": ";
    log(runText + "streaming mask " + hex2(config.mask) + ", " + std::to_string(n) + " values per channel, " +
        (config.packets ? std::to_string(config.packets) + " packets" : std::string("endless")));
    if (!config.lead.empty() && !write(*c, config.lead.data(), config.lead.size(), run)) return;

    // One buffer for the whole run, each packet going out in one write: the
    // header stays, and every value of a packet is the one at the same place
    // in the previous packet plus n.
    std::vector<std::uint32_t> words((kHeaderSize + payload) / 4);
    char* buffer = reinterpret_cast<char*>(words.data());
    std::string head = header(config.mask, static_cast<std::uint32_t>(payload));
    std::memcpy(buffer, head.data(), kHeaderSize);
    char* dst = buffer + kHeaderSize;
    for (int channel = 1; channel <= 4; ++channel) {
        if (!(config.mask & (1u << (channel - 1)))) continue;
        for (std::uint32_t i = 0; i < n; ++i, dst += 4) putLe32(dst, value(channel, i));
    }
    const std::uint64_t dropAfter = dropAfter_;
    bool dropped = false;
    std::uint64_t sent = 0;
    const bool counting = config.signal.shape == SignalShape::Constant;
    const double sampleMs =
        config.packetIntervalMs > 0 && n > 0 ? static_cast<double>(config.packetIntervalMs) / n : 0.01;
    for (; config.packets == 0 || sent < config.packets; ++sent) {
        if (counting && sent > 0) advance(words.data() + kHeaderSize / 4, words.size() - kHeaderSize / 4, n);
        if (!counting) {
            char* p = buffer + kHeaderSize;
            for (int channel = 1; channel <= 4; ++channel) {
                if (!(config.mask & (1u << (channel - 1)))) continue;
                for (std::uint32_t i = 0; i < n; ++i, p += 4)
                    putLe32(p,
                            signalWord(signalAt(config.signal, channel, static_cast<double>(sent * n + i) * sampleMs)));
            }
        }
        if (dropAfter > 0 && sent == dropAfter) {
            cut(*c, buffer, kHeaderSize + payload, run);
            dropped = true;
            break;
        }
        if (!write(*c, buffer, kHeaderSize + payload, run)) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (run == lastRun_) {
                ++packets_;
                values_ += n;
            }
            changed_.notify_all();
        }
        if (sent + 1 == config.packets) continue;  // the end packet follows at once
        if (config.packetIntervalMs > 0 ? !pause(config.packetIntervalMs, run, c.get()) : cancelled(run)) {
            ++sent;
            break;
        }
    }
    bool finished = config.packets != 0 && sent == config.packets && !cancelled(run);
    if (finished && config.endPacket) {
        std::string end = header(0, 0);
        if (write(*c, end.data(), end.size(), run)) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (run == lastRun_) endSent_ = true;
        }
    }
    log(runText + "stream ended after " + std::to_string(sent) + " packets" +
        (finished && config.endPacket ? " and the end packet" : "") +
        (dropped ? " and half a packet: connection closed (--drop-stream-after)" : ""));
}

Stream::ConnectionPtr Stream::newestOpen() {
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it)
        if (!(*it)->dropped && !peerGone((*it)->sock)) return *it;
    return nullptr;
}

bool Stream::write(Connection& c, const char* data, std::size_t len, std::uint64_t run) {
    std::lock_guard<std::mutex> lock(c.writeMutex);
    if (c.closed) return false;
    while (len > 0) {
        if (quit_ || c.dropped) return false;
        long sent = plat::sendSome(c.sock, data, len);
        if (sent > 0) {
            data += sent;
            len -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == 0 || plat::lastError() != plat::kErrWouldBlock) return false;
        bool stopping = cancelled(run);
        plat::Wait w = plat::waitWritable(c.sock, stopping ? kStallMs : kWaitSliceMs);
        if (w == plat::Wait::Error || (w == plat::Wait::Timeout && stopping)) return false;
    }
    return true;
}

bool Stream::cancelled(std::uint64_t run) const { return quit_ || wantedRun_ != run; }

bool Stream::pause(int ms, std::uint64_t run, const Connection* c) {
    if (ms <= 0) return !cancelled(run);
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return cancelled(run) || (c && c->dropped); });
}

void Stream::log(const std::string& text) {
    std::function<void(const std::string&)> out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out = log_;
    }
    if (out) out(text);
}

}  // namespace quil::sim
