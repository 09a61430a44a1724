// Windows Sockets 2 behind the platform interface.
#include "platform/platform.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

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

// shutdown() does not wake a select() on a listening socket (Windows refuses
// to shut one down), and whether it wakes one on a connected socket depends
// on the stack. So the waits look at this set between short slices: a socket
// shut down here counts as ready, as on POSIX, and the caller's next call
// finds it closed. closeSocket() takes the handle out again before the system
// can hand the same number to a new socket.
std::mutex g_shutMutex;
std::set<SOCKET> g_shut;
constexpr int kWaitSliceMs = 50;

bool isShut(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_shutMutex);
    return g_shut.count(s) != 0;
}

// Waits until one of the sockets is readable (or writable), reports an error
// condition, or is shut down: its index, -1 on time-out, -2 on failure.
int waitAny(const Socket* socks, int count, bool write, int ms) {
    for (int i = 0; i < count; ++i)
        if (!socks[i].valid()) {
            t_lastError = kErrNotSocket;
            return -2;
        }
    const ULONGLONG deadline = ms < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (;;) {
        for (int i = 0; i < count; ++i)
            if (isShut(sockOf(socks[i]))) return i;
        int slice = kWaitSliceMs;
        if (ms >= 0) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline && ms > 0) return -1;
            slice = static_cast<int>(std::min<ULONGLONG>(deadline > now ? deadline - now : 0, kWaitSliceMs));
        }
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        for (int i = 0; i < count; ++i) {
            FD_SET(sockOf(socks[i]), &ready);
            // A non-blocking connect that fails is reported here, not as
            // writable; like POSIX, callers see the socket as ready and learn
            // the error from their next call.
            FD_SET(sockOf(socks[i]), &failed);
        }
        timeval tv{slice / 1000, (slice % 1000) * 1000};
        const int r = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
        if (r == SOCKET_ERROR) {
            fail();
            return -2;
        }
        if (r > 0) {
            for (int i = 0; i < count; ++i)
                if (FD_ISSET(sockOf(socks[i]), &ready) || FD_ISSET(sockOf(socks[i]), &failed)) return i;
        }
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

Socket newSocket(int type, int protocol) {
    ensureStarted();
    // Not inherited by child processes, like SOCK_CLOEXEC on POSIX.
    SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) fail();
    return wrap(s);
}

int setBlockingMode(Socket s, bool nonBlocking) {
    u_long on = nonBlocking ? 1 : 0;
    return ::ioctlsocket(sockOf(s), FIONBIO, &on) == 0 ? 0 : fail();
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
        std::lock_guard<std::mutex> lock(g_shutMutex);
        g_shut.erase(sockOf(s));
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

// Windows takes the receive time-out as a DWORD of milliseconds.
int setReceiveTimeout(Socket s, int ms) {
    DWORD v = static_cast<DWORD>(ms);
    return ::setsockopt(sockOf(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v) == 0 ? 0
                                                                                                              : fail();
}

int setNonBlocking(Socket s) { return setBlockingMode(s, true); }

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
    return ::connect(sockOf(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : fail();
}

int bindTo(Socket s, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    return ::bind(sockOf(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : fail();
}

int listenOn(Socket s, int backlog) { return ::listen(sockOf(s), backlog) == 0 ? 0 : fail(); }

Socket acceptFrom(Socket listener, Ipv4* peer) {
    sockaddr_in a{};
    int len = sizeof a;
    SOCKET s = ::accept(sockOf(listener), reinterpret_cast<sockaddr*>(&a), &len);
    if (s == INVALID_SOCKET) {
        fail();
        return Socket{};
    }
    // An accepted socket inherits the listener's non-blocking mode on
    // Windows; POSIX hands out a blocking one, and callers expect that.
    u_long off = 0;
    ::ioctlsocket(s, FIONBIO, &off);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (peer) std::memcpy(peer->b, &a.sin_addr.s_addr, 4);
    return wrap(s);
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
    const int n = ::send(sockOf(s), static_cast<const char*>(data), clampLength(len), 0);
    return n == SOCKET_ERROR ? fail() : n;
}

long recvSome(Socket s, void* data, std::size_t len) {
    const int n = ::recv(sockOf(s), static_cast<char*>(data), clampLength(len), 0);
    return n == SOCKET_ERROR ? fail() : n;
}

long peekSome(Socket s, void* data, std::size_t len) {
    const int n = ::recv(sockOf(s), static_cast<char*>(data), clampLength(len), MSG_PEEK);
    return n == SOCKET_ERROR ? fail() : n;
}

long sendTo(Socket s, const void* data, std::size_t len, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    const int n = ::sendto(sockOf(s), static_cast<const char*>(data), clampLength(len), 0,
                           reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == SOCKET_ERROR ? fail() : n;
}

long recvFrom(Socket s, void* data, std::size_t len, Ipv4* from, std::uint16_t* port) {
    sockaddr_in a{};
    int alen = sizeof a;
    const int n =
        ::recvfrom(sockOf(s), static_cast<char*>(data), clampLength(len), 0, reinterpret_cast<sockaddr*>(&a), &alen);
    if (n == SOCKET_ERROR) return fail();
    if (from) std::memcpy(from->b, &a.sin_addr.s_addr, 4);
    if (port) *port = ntohs(a.sin_port);
    return n;
}

void shutdownBoth(Socket s) {
    if (!s.valid()) return;
    ::shutdown(sockOf(s), SD_BOTH);
    std::lock_guard<std::mutex> lock(g_shutMutex);
    g_shut.insert(sockOf(s));
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
