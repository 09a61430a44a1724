// Windows Sockets 2 behind the platform interface.
#include "platform/platform.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace quil::platform {
namespace {

SOCKET sockOf(Socket s) { return static_cast<SOCKET>(s.fd); }
Socket wrap(SOCKET s) { return Socket{s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s)}; }

// The Windows Sockets numbers are the ones the protocol code knows; only
// "connection in progress", which a non-blocking connect may also report,
// folds into "would block" as it does on POSIX.
int mapError(int e) { return e == WSAEINPROGRESS ? kErrWouldBlock : e; }

thread_local int t_lastError = 0;

int fail() {
    t_lastError = mapError(WSAGetLastError());
    return -1;
}

// select() takes int lengths; larger requests move in several calls.
int clampLength(std::size_t len) { return static_cast<int>(std::min<std::size_t>(len, INT_MAX)); }

sockaddr_in toSockaddr(const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr.s_addr, ip.b, 4);
    return a;
}

// Windows refuses every socket call of a process that has not started the
// socket library. The library's own code starts it (and checks the version)
// before it connects; the first socket of any other code (the simulator, the
// tests) starts it here, once, so that code runs as on POSIX.
void ensureStarted() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

// Windows cannot be woken out of a blocking call the way POSIX is by
// shutdown(): it refuses to shut a listening socket down, and a send that
// waits for a peer which never reads goes on waiting after the socket was
// shut down. So no thread ever waits inside the system here: every socket is
// non-blocking in the system, a socket the caller has not made non-blocking
// gets blocking behaviour from select() waits, and every wait also watches a
// wake socket, to which shutdownBoth() sends a datagram after marking its
// socket in this table. A socket shut down counts as ready at once, as on
// POSIX, and its next call finds it closed. closeSocket() takes the entry out
// before the system can hand the number to a new socket.
struct SocketState {
    bool nonBlocking = false;  // setNonBlocking was called: never wait
    int receiveTimeoutMs = 0;  // setReceiveTimeout; 0 waits without limit
    bool shut = false;         // shutdownBoth was called
};
std::mutex g_stateMutex;
std::map<SOCKET, SocketState> g_state;

// A socket this backend did not make (DeviceInit's) has the defaults.
SocketState stateOf(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    const auto it = g_state.find(s);
    return it == g_state.end() ? SocketState{} : it->second;
}

template <class Change>
void changeState(SOCKET s, Change change) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    change(g_state[s]);
}

bool isShut(SOCKET s) { return stateOf(s).shut; }

// The wake socket: a datagram socket of this process on 127.0.0.1. Each
// shutdown counts up the generation and sends one byte; a waiter that finds
// the generation changed looks at its sockets again. A waiter can only miss
// a wake between its last look at the generation and the start of its
// select(), so waits also end every kRecheckMs to look again.
struct Waker {
    SOCKET sock = INVALID_SOCKET;
    sockaddr_in address{};
    std::atomic<unsigned> generation{0};
};
constexpr int kRecheckMs = 1000;

Waker& waker() {
    static Waker* w = [] {
        ensureStarted();
        auto* made = new Waker;  // lives as long as the process
        made->sock = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        made->address.sin_family = AF_INET;
        made->address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof made->address;
        u_long on = 1;
        if (made->sock == INVALID_SOCKET || ::ioctlsocket(made->sock, FIONBIO, &on) != 0 ||
            ::bind(made->sock, reinterpret_cast<sockaddr*>(&made->address), sizeof made->address) != 0 ||
            ::getsockname(made->sock, reinterpret_cast<sockaddr*>(&made->address), &len) != 0) {
            // Without it waits still end every kRecheckMs.
            if (made->sock != INVALID_SOCKET) ::closesocket(made->sock);
            made->sock = INVALID_SOCKET;
        }
        return made;
    }();
    return *w;
}

void wakeWaiters() {
    Waker& w = waker();
    ++w.generation;
    if (w.sock == INVALID_SOCKET) return;
    const char byte = 0;
    ::sendto(w.sock, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&w.address), sizeof w.address);
}

void drainWaker(const Waker& w) {
    char buf[64];
    while (::recv(w.sock, buf, sizeof buf, 0) > 0) {}
}

// Waits until one of the sockets is readable (or writable), reports an error
// condition, or is shut down: its index, -1 on time-out, -2 on failure.
int waitAny(const Socket* socks, int count, bool write, int ms) {
    for (int i = 0; i < count; ++i)
        if (!socks[i].valid()) {
            t_lastError = kErrNotSocket;
            return -2;
        }
    Waker& w = waker();
    const ULONGLONG deadline = ms < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (;;) {
        const unsigned generation = w.generation;
        for (int i = 0; i < count; ++i)
            if (isShut(sockOf(socks[i]))) return i;
        int slice = kRecheckMs;
        if (ms >= 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline && ms > 0) return -1;
            slice = static_cast<int>(std::min<ULONGLONG>(deadline > now ? deadline - now : 0, kRecheckMs));
        }
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (int i = 0; i < count; ++i) {
            FD_SET(sockOf(socks[i]), write ? &writable : &readable);
            // A non-blocking connect that fails is reported here, not as
            // writable; like POSIX, callers see the socket as ready and learn
            // the error from their next call.
            FD_SET(sockOf(socks[i]), &failed);
        }
        if (w.sock != INVALID_SOCKET) FD_SET(w.sock, &readable);
        if (w.generation != generation) continue;
        timeval tv{slice / 1000, (slice % 1000) * 1000};
        const int r = ::select(0, &readable, &writable, &failed, &tv);
        if (r == SOCKET_ERROR) {
            fail();
            return -2;
        }
        for (int i = 0; r > 0 && i < count; ++i) {
            const SOCKET x = sockOf(socks[i]);
            if (FD_ISSET(x, &readable) || FD_ISSET(x, &writable) || FD_ISSET(x, &failed)) return i;
        }
        if (r > 0 && w.sock != INVALID_SOCKET && FD_ISSET(w.sock, &readable)) drainWaker(w);
        if (ms == 0) return -1;
    }
}

Wait waitFor(Socket s, bool write, int ms) {
    switch (waitAny(&s, 1, write, ms)) {
    case 0: return Wait::Ready;
    case -1: return Wait::Timeout;
    default: return Wait::Error;
    }
}

// A new socket of the system, non-blocking there, blocking for the caller.
Socket adopt(SOCKET s) {
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        fail();
        ::closesocket(s);
        return Socket{};
    }
    changeState(s, [](SocketState& st) { st = SocketState{}; });
    return wrap(s);
}

Socket newSocket(int type, int protocol) {
    ensureStarted();
    // Not inherited by child processes, like SOCK_CLOEXEC on POSIX.
    SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        fail();
        return Socket{};
    }
    return adopt(s);
}

// Runs attempt, a call of the system on the non-blocking socket, as the
// caller sees the socket: once when the caller made it non-blocking, else
// again after each wait until it does not report "would block". A receive
// gives up after the socket's receive time-out with "would block", as POSIX
// does; a socket shut down ends the waiting (a receive reads the end, a send
// fails as on a connection reset).
template <class Attempt>
long blockingCall(Socket s, bool write, Attempt attempt) {
    const SocketState st = stateOf(sockOf(s));
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(st.receiveTimeoutMs);
    for (;;) {
        const long n = attempt();
        if (n != SOCKET_ERROR) return n;
        const int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK || st.nonBlocking) {
            t_lastError = mapError(err);
            return -1;
        }
        if (isShut(sockOf(s))) {
            if (!write) return 0;
            t_lastError = kErrConnReset;
            return -1;
        }
        int ms = -1;
        if (!write && st.receiveTimeoutMs > 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                t_lastError = kErrWouldBlock;
                return -1;
            }
            ms = static_cast<int>(deadline - now);
        }
        if (waitAny(&s, 1, write, ms) == -2) return -1;
    }
}

}  // namespace

bool socketStartup(int* grantedMajor, int* grantedMinor) {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    const int major = LOBYTE(data.wVersion), minor = HIBYTE(data.wVersion);
    if (grantedMajor) *grantedMajor = major;
    if (grantedMinor) *grantedMinor = minor;
    // A library that cannot give 2.2 is of no use: stop it again, once.
    if (major != 2 || minor != 2) ::WSACleanup();
    return true;
}

Socket tcpSocket() { return newSocket(SOCK_STREAM, IPPROTO_TCP); }
Socket udpSocket() { return newSocket(SOCK_DGRAM, IPPROTO_UDP); }

int closeSocket(Socket s) {
    if (!s.valid()) {
        t_lastError = kErrNotSocket;
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        g_state.erase(sockOf(s));
    }
    return ::closesocket(sockOf(s)) == 0 ? 0 : fail();
}

int lastError() { return t_lastError; }

std::string errorText(int err) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(err), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n != 0 && text ? std::string(text, n) : "error " + std::to_string(err);
    if (text) ::LocalFree(text);
    // The system's texts end in CR LF; callers print them inside a line.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

static int setInt(Socket s, int level, int name, int value) {
    return ::setsockopt(sockOf(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0 ? 0 : fail();
}

int setReuseAddress(Socket s, bool on) { return setInt(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
int setSendBuffer(Socket s, int bytes) { return setInt(s, SOL_SOCKET, SO_SNDBUF, bytes); }
int setReceiveBuffer(Socket s, int bytes) { return setInt(s, SOL_SOCKET, SO_RCVBUF, bytes); }
int setNoDelay(Socket s, bool on) { return setInt(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
int setBroadcast(Socket s, bool on) { return setInt(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

int getReceiveBuffer(Socket s, int* bytes) {
    int v = 0;
    int len = sizeof v;
    if (::getsockopt(sockOf(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&v), &len) != 0) return fail();
    *bytes = v;
    return 0;
}

// The system's option (a DWORD of milliseconds) has no effect on a socket
// that is non-blocking there; the receive calls wait that long themselves.
int setReceiveTimeout(Socket s, int ms) {
    DWORD v = static_cast<DWORD>(ms);
    if (::setsockopt(sockOf(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v) != 0)
        return fail();
    changeState(sockOf(s), [ms](SocketState& st) { st.receiveTimeoutMs = ms; });
    return 0;
}

int setNonBlocking(Socket s) {
    // Non-blocking in the system it already is; check the handle all the same.
    u_long on = 1;
    if (::ioctlsocket(sockOf(s), FIONBIO, &on) != 0) return fail();
    changeState(sockOf(s), [](SocketState& st) { st.nonBlocking = true; });
    return 0;
}

int pendingError(Socket s) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(sockOf(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return fail();
    return err == 0 ? 0 : mapError(err);
}

bool parseIpv4(const char* text, Ipv4* out) {
    if (!text) return false;
    const unsigned long a = ::inet_addr(text);
    if (a == INADDR_NONE) return false;
    std::memcpy(out->b, &a, 4);
    return true;
}

int connectStart(Socket s, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    if (::connect(sockOf(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK || stateOf(sockOf(s)).nonBlocking) {
        t_lastError = mapError(err);
        return -1;
    }
    // A blocking connect: until connected or refused.
    if (waitAny(&s, 1, true, -1) == -2) return -1;
    const int result = pendingError(s);
    if (result == 0) return 0;
    if (result > 0) t_lastError = result;
    return -1;
}

int bindTo(Socket s, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    return ::bind(sockOf(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : fail();
}

int listenOn(Socket s, int backlog) { return ::listen(sockOf(s), backlog) == 0 ? 0 : fail(); }

Socket acceptFrom(Socket listener, Ipv4* peer) {
    sockaddr_in a{};
    int len = sizeof a;
    const long r = blockingCall(listener, false, [&]() -> long {
        len = sizeof a;
        const SOCKET c = ::accept(sockOf(listener), reinterpret_cast<sockaddr*>(&a), &len);
        return c == INVALID_SOCKET ? SOCKET_ERROR : static_cast<long>(c);
    });
    // A listener shut down reads as "the end": no connection (POSIX: EINVAL).
    if (r == 0 || r == -1) {
        if (r == 0) t_lastError = WSAEINVAL;
        return Socket{};
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(r)), HANDLE_FLAG_INHERIT, 0);
    if (peer) std::memcpy(peer->b, &a.sin_addr.s_addr, 4);
    return adopt(static_cast<SOCKET>(r));
}

int localPort(Socket s) {
    sockaddr_in a{};
    int len = sizeof a;
    if (::getsockname(sockOf(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return fail();
    return ntohs(a.sin_port);
}

Wait waitReadable(Socket s, int ms) { return waitFor(s, false, ms); }
Wait waitWritable(Socket s, int ms) { return waitFor(s, true, ms); }

int waitEitherReadable(Socket a, Socket b, int ms) {
    const Socket both[2] = {a, b};
    return waitAny(both, 2, false, ms);
}

// Windows never raises a signal for a send on a closed connection; the send
// just fails.
long sendSome(Socket s, const void* data, std::size_t len) {
    return blockingCall(s, true,
                        [&] { return ::send(sockOf(s), static_cast<const char*>(data), clampLength(len), 0); });
}

long recvSome(Socket s, void* data, std::size_t len) {
    return blockingCall(s, false, [&] { return ::recv(sockOf(s), static_cast<char*>(data), clampLength(len), 0); });
}

long peekSome(Socket s, void* data, std::size_t len) {
    return blockingCall(s, false,
                        [&] { return ::recv(sockOf(s), static_cast<char*>(data), clampLength(len), MSG_PEEK); });
}

// The system's sockets of this backend never block; one registered from
// outside (DeviceInit) may, so it is read only when select finds it readable.
long recvNow(Socket s, void* data, std::size_t len) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sockOf(s), &readable);
    timeval now{0, 0};
    const int r = ::select(0, &readable, nullptr, nullptr, &now);
    if (r == SOCKET_ERROR) return fail();
    if (r == 0) {
        t_lastError = kErrWouldBlock;
        return -1;
    }
    const int n = ::recv(sockOf(s), static_cast<char*>(data), clampLength(len), 0);
    return n == SOCKET_ERROR ? fail() : n;
}

long pendingBytes(Socket s) {
    u_long n = 0;
    return ::ioctlsocket(sockOf(s), FIONREAD, &n) != 0 ? fail() : static_cast<long>(n);
}

long sendTo(Socket s, const void* data, std::size_t len, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    return blockingCall(s, true, [&] {
        return ::sendto(sockOf(s), static_cast<const char*>(data), clampLength(len), 0, reinterpret_cast<sockaddr*>(&a),
                        sizeof a);
    });
}

long recvFrom(Socket s, void* data, std::size_t len, Ipv4* from, std::uint16_t* port) {
    sockaddr_in a{};
    int alen = sizeof a;
    const long n = blockingCall(s, false, [&] {
        alen = sizeof a;
        return ::recvfrom(sockOf(s), static_cast<char*>(data), clampLength(len), 0, reinterpret_cast<sockaddr*>(&a),
                          &alen);
    });
    if (n < 0) return n;
    if (from) std::memcpy(from->b, &a.sin_addr.s_addr, 4);
    if (port) *port = ntohs(a.sin_port);
    return n;
}

void shutdownBoth(Socket s) {
    if (!s.valid()) return;
    ::shutdown(sockOf(s), SD_BOTH);
    changeState(sockOf(s), [](SocketState& st) { st.shut = true; });
    wakeWaiters();
}

std::vector<Adapter> adapters() {
    std::vector<Adapter> out;
    // The list's size is known only after asking once; it may grow between
    // the calls, so ask again while the buffer is too small.
    ULONG size = 16 * sizeof(IP_ADAPTER_INFO);
    std::vector<unsigned char> buf;
    DWORD r;
    do {
        buf.resize(size);
        r = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()), &size);
    } while (r == ERROR_BUFFER_OVERFLOW);
    if (r != NO_ERROR) return out;
    for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()); a; a = a->Next) {
        Adapter adapter{a->AdapterName, {}};
        // An adapter without an address lists "0.0.0.0"; it has none.
        for (IP_ADDR_STRING* ip = &a->IpAddressList; ip; ip = ip->Next) {
            Ipv4 v4;
            if (parseIpv4(ip->IpAddress.String, &v4) && v4.word() != 0) adapter.addresses.push_back(v4);
        }
        out.push_back(std::move(adapter));
    }
    return out;
}

}  // namespace quil::platform
