#include "sim/search_responder.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace quil::sim {

namespace plat = quil::platform;

namespace {

constexpr std::uint32_t kHeaderWord = 0x00010001;
constexpr std::uint32_t kRequestKind = 0x01000001;
constexpr std::uint32_t kAnswerKind = 0x01010001;
// How often the receiver looks at the stop request while nothing arrives.
constexpr int kStopPollMs = 50;

void putWord(std::uint8_t* p, std::uint32_t w) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(w >> (8 * i));
}

std::uint32_t wordAt(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace

std::array<std::uint8_t, kSearchAnswerSize> encodeSearchAnswer(const SearchIdentity& id, SearchAnswer kind) {
    std::array<std::uint8_t, kSearchAnswerSize> a{};
    putWord(&a[0], kind == SearchAnswer::BadHeader ? kHeaderWord + 1 : kHeaderWord);
    putWord(&a[4], id.word4);
    putWord(&a[8], kind == SearchAnswer::RequestKind ? kRequestKind : kAnswerKind);
    putWord(&a[12], static_cast<std::uint32_t>(id.value));
    std::copy(id.area.begin(), id.area.end(), a.begin() + 16);
    std::copy(std::begin(id.ip.b), std::end(id.ip.b), a.begin() + 48);
    std::copy(id.mac.begin(), id.mac.end(), a.begin() + 60);
    return a;
}

bool isSearchRequest(const std::uint8_t* data, std::size_t len) {
    return len >= 12 && wordAt(data) == kHeaderWord && wordAt(data + 8) == kRequestKind;
}

struct SearchResponder::Impl {
    SearchResponderOptions options;
    plat::Socket sock;
    std::uint16_t boundPort = 0;
    std::thread receiver;
    bool running = false;  // changed by start() and stop() only

    mutable std::mutex mutex;  // guards everything below
    mutable std::condition_variable changed;
    bool stopping = false;
    std::vector<SearchAnswer> answers{SearchAnswer::Reply};
    int firstDelayMs = 20;
    int betweenMs = 0;
    int requests = 0;
    int answered = 0;  // requests whose answers have all been sent
    int sent = 0;

    explicit Impl(SearchResponderOptions o) : options(std::move(o)) {}

    // Sleeps ms unless stop() comes first; false when stopping.
    bool pause(std::unique_lock<std::mutex>& lock, int ms) {
        if (ms > 0) changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
        return !stopping;
    }

    void answer(const plat::Ipv4& to, std::uint16_t toPort) {
        std::unique_lock<std::mutex> lock(mutex);
        ++requests;
        changed.notify_all();
        const std::vector<SearchAnswer> plan = answers;
        const int between = betweenMs;
        if (options.verbose)
            std::printf("search request from %s:%u, %zu datagrams in answer\n", plat::formatIpv4(to).c_str(), toPort,
                        plan.size());
        for (std::size_t i = 0; i < plan.size(); ++i) {
            if (!pause(lock, i == 0 ? firstDelayMs : between)) return;
            const auto datagram = encodeSearchAnswer(options.identity, plan[i]);
            lock.unlock();
            const long n = plat::sendTo(sock, datagram.data(), datagram.size(), to,
                                        options.replyPort ? options.replyPort : toPort);
            lock.lock();
            if (n >= 0) ++sent;
            changed.notify_all();
        }
        ++answered;
        changed.notify_all();
        if (options.verbose) std::fflush(stdout);
    }

    void receiveLoop() {
        std::uint8_t buffer[512];
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) return;
            }
            if (plat::waitReadable(sock, kStopPollMs) != plat::Wait::Ready) continue;
            plat::Ipv4 from;
            std::uint16_t fromPort = 0;
            const long n = plat::recvFrom(sock, buffer, sizeof buffer, &from, &fromPort);
            if (n >= 0 && isSearchRequest(buffer, static_cast<std::size_t>(n))) answer(from, fromPort);
        }
    }

    bool waitFor(int timeoutMs, const std::function<bool()>& done) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
};

SearchResponder::SearchResponder(SearchResponderOptions o) : impl_(std::make_unique<Impl>(std::move(o))) {}

SearchResponder::~SearchResponder() { stop(); }

bool SearchResponder::start() {
    Impl& d = *impl_;
    if (d.running) return true;
    d.sock = plat::udpSocket();
    if (!d.sock.valid()) return false;
    const int port = plat::bindTo(d.sock, d.options.bindAddress, d.options.port) == 0 ? plat::localPort(d.sock) : -1;
    if (port < 0) {
        plat::closeSocket(d.sock);
        d.sock = plat::Socket{};
        return false;
    }
    d.boundPort = static_cast<std::uint16_t>(port);
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = false;
        d.requests = d.answered = d.sent = 0;
    }
    d.receiver = std::thread([&d] { d.receiveLoop(); });
    d.running = true;
    return true;
}

void SearchResponder::stop() {
    Impl& d = *impl_;
    if (!d.running) return;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.changed.notify_all();
    d.receiver.join();
    plat::closeSocket(d.sock);
    d.sock = plat::Socket{};
    d.running = false;
}

std::uint16_t SearchResponder::port() const { return impl_->boundPort; }

void SearchResponder::setAnswers(std::vector<SearchAnswer> answers) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->answers = std::move(answers);
}

void SearchResponder::setDelays(int firstMs, int betweenMs) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->firstDelayMs = firstMs;
    impl_->betweenMs = betweenMs;
}

int SearchResponder::requestsSeen() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

int SearchResponder::datagramsSent() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->sent;
}

bool SearchResponder::waitRequests(int count, int timeoutMs) const {
    return impl_->waitFor(timeoutMs, [&] { return impl_->requests >= count; });
}

bool SearchResponder::waitAnswered(int timeoutMs) const {
    return impl_->waitFor(timeoutMs, [&] { return impl_->answered == impl_->requests; });
}

}  // namespace quil::sim
