// The search run: one receiving socket on port 3778 of every local address,
// one request per adapter, and the exported search functions.
#include "search/search.h"

#include "elog/console.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace quil::search {

namespace plat = quil::platform;

namespace {

std::atomic<QuilSearchCallback> g_callback{nullptr};
// Tested and set in one step: of two searches started at once exactly one runs.
std::atomic<bool> g_running{false};

const plat::Ipv4 kBroadcast{{255, 255, 255, 255}};

void putWord(std::uint8_t* p, std::uint32_t w) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(w >> (8 * i));
}

std::uint32_t wordAt(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// perror() with the socket layer's own error number, which is what a failed
// socket call leaves behind on every platform.
void printSystemError(const char* what) { consoleSocketError(what, plat::lastError()); }

// Clears the running flag on every way out of a search.
struct RunningGuard {
    ~RunningGuard() { g_running.store(false); }
};

// Each request leaves from a socket bound to its adapter's address on the
// search port while this socket holds the wildcard address on the same port.
// Windows allows that pairing as it is; POSIX systems only when both sockets
// ask for address reuse.
void allowSharedPort(plat::Socket s) { plat::setReuseAddress(s, true); }

// Opened before the first request leaves, so that an answer arriving at once
// (and the request itself, looping back) finds the socket already bound.
plat::Socket openListener() {
    plat::Socket s = plat::udpSocket();
    if (!s.valid()) printSystemError("socket");
    allowSharedPort(s);
    if (plat::bindTo(s, plat::Ipv4{}, kSearchPort) != 0) {
        plat::closeSocket(s);
        return plat::Socket{};
    }
    return s;
}

void receiveAnswers(plat::Socket s, QuilSearchCallback callback) {
    std::array<std::uint8_t, kReplyBufferSize> buffer;
    for (int datagrams = 0; datagrams < kMaxDatagrams; ++datagrams) {
        buffer.fill(0);
        plat::Ipv4 from;
        std::uint16_t fromPort = 0;
        if (plat::setReceiveTimeout(s, kReceiveTimeoutMs) != 0) printSystemError("socket");
        if (plat::recvFrom(s, buffer.data(), buffer.size(), &from, &fromPort) < 0) {
            // A quiet second (or a failed receive) ends the search.
            callback(-1, nullptr, nullptr, nullptr, nullptr);
            plat::closeSocket(s);
            return;
        }
        AnswerTexts answer;
        if (decodeAnswer(buffer.data(), &answer))
            callback(answer.value, reinterpret_cast<const char*>(answer.area), answer.ip, answer.mac, answer.hex);
    }
    plat::closeSocket(s);
}

// A failed step is reported and the remaining steps are still tried: a
// request may get out even when, say, the broadcast option was refused.
void sendRequest(const plat::Ipv4& source, const Request& request) {
    plat::Socket s = plat::udpSocket();
    if (!s.valid()) {
        consolePrint("socket err %d\r\n", static_cast<int>(s.fd));
        printSystemError("socket");
    }
    if (plat::setBroadcast(s, true) != 0) {
        consolePrint("setsockopt err\r\n");
        printSystemError("setsockopt SO_BROADCAST failed");
    }
    allowSharedPort(s);
    // The bound address picks the adapter the broadcast leaves through.
    if (plat::bindTo(s, source, kSearchPort) != 0) {
        printSystemError("bind");
        consolePrint("bind local ip error!\n");
    } else {
        // Bound to the adapter's address, this socket is a better match than
        // the listener's wildcard binding for every answer until it closes,
        // and would swallow an answer arriving within that millisecond.
        // Connected to itself it only matches its own datagrams; sendTo still
        // names the broadcast address.
        plat::connectStart(s, source, kSearchPort);
    }
    if (plat::sendTo(s, request.data(), request.size(), kBroadcast, kSearchPort) < 0) {
        consolePrint("sendto err\r\n");
        printSystemError("sendto");
    }
    plat::sleepMs(1);
    plat::closeSocket(s);
}

}  // namespace

Request buildRequest() {
    Request r{};
    putWord(&r[0], kHeaderWord);
    putWord(&r[8], kRequestKind);
    return r;
}

bool decodeAnswer(const std::uint8_t* b, AnswerTexts* out) {
    if (wordAt(b) != kHeaderWord || wordAt(b + 8) != kAnswerKind) return false;
    out->value = static_cast<std::int32_t>(wordAt(b + 12));
    out->area = b + 16;
    std::snprintf(out->ip, sizeof out->ip, "%d.%d.%d.%d", b[48], b[49], b[50], b[51]);
    std::snprintf(out->mac, sizeof out->mac, "%02x:%02x:%02x:%02x:%02x:%02x", b[60], b[61], b[62], b[63], b[64], b[65]);
    std::snprintf(out->hex, sizeof out->hex, "%08x", static_cast<unsigned>(wordAt(b + 4)));
    return true;
}

std::vector<plat::Ipv4> sendingAddresses(const std::vector<plat::Adapter>& adapters) {
    std::vector<plat::Ipv4> out;
    for (const plat::Adapter& a : adapters) {
        auto first =
            std::find_if(a.addresses.begin(), a.addresses.end(), [](const plat::Ipv4& ip) { return ip.word() != 0; });
        if (first != a.addresses.end()) out.push_back(*first);
    }
    return out;
}

void setCallback(QuilSearchCallback callback) { g_callback.store(callback); }

std::int32_t searchSensor() {
    if (g_running.exchange(true)) return QUIL_SEARCH_RUNNING;
    RunningGuard clearOnExit;
    const QuilSearchCallback callback = g_callback.load();
    if (!callback) return QUIL_SEARCH_NO_CALLBACK;
    if (!plat::socketStartup(nullptr, nullptr)) {
        consolePrint("WSAStartup failed\n");
        return QUIL_SEARCH_NO_SOCKETS;
    }
    const Request request = buildRequest();

    plat::Thread receiver;
    if (plat::Socket listener = openListener(); listener.valid()) {
        if (!receiver.start([listener, callback] { receiveAnswers(listener, callback); })) {
            // Like a listener that could not bind: the requests still go out,
            // nobody hears the answers.
            plat::closeSocket(listener);
        }
    }
    for (const plat::Ipv4& source : sendingAddresses(plat::adapters())) sendRequest(source, request);
    if (receiver.joinable()) receiver.join();
    plat::sleepMs(1);
    return QUIL_SEARCH_DONE;
}

}  // namespace quil::search

extern "C" {

QUIL_API void SetSearchOnlineCallFunc(QuilSearchCallback callback) { quil::search::setCallback(callback); }

QUIL_API int32_t SearchSensor(void) { return quil::search::searchSensor(); }

QUIL_API int32_t SearchOnline(QuilSearchCallback callback) {
    SetSearchOnlineCallFunc(callback);
    return SearchSensor();
}

}  // extern "C"
