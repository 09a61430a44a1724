// POSIX sockets behind the platform interface.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace quil::platform {
namespace {

int fdOf(Socket s) { return static_cast<int>(s.fd); }

// Keeps the Windows Sockets numbers for the conditions the protocol code tests.
int mapErrno(int e) {
    switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return kErrWouldBlock;
    case ECONNABORTED: return kErrConnAborted;
    case ECONNRESET:
    case EPIPE: return kErrConnReset;
    case EBADF:
    case ENOTSOCK: return kErrNotSocket;
    default: return e;
    }
}

thread_local int t_lastError = 0;

int fail() {
    t_lastError = mapErrno(errno);
    return -1;
}

sockaddr_in toSockaddr(const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr.s_addr, ip.b, 4);
    return a;
}

Wait waitFor(Socket s, short events, int ms) {
    if (!s.valid()) {
        t_lastError = kErrNotSocket;
        return Wait::Error;
    }
    pollfd p{fdOf(s), events, 0};
    for (;;) {
        int r = ::poll(&p, 1, ms < 0 ? -1 : ms);
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                t_lastError = kErrNotSocket;
                return Wait::Error;
            }
            // An error or hang-up condition makes the next call fail at once,
            // which is what callers want to see: report the socket as ready.
            return Wait::Ready;
        }
        if (r == 0) return Wait::Timeout;
        if (errno == EINTR) continue;  // a signal is not a failure of the wait
        fail();
        return Wait::Error;
    }
}

}  // namespace

bool socketStartup(int* grantedMajor, int* grantedMinor) {
    if (grantedMajor) *grantedMajor = 2;
    if (grantedMinor) *grantedMinor = 2;
    return true;
}

Socket tcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail();
    return Socket{fd};
}

Socket udpSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail();
    return Socket{fd};
}

int closeSocket(Socket s) {
    if (!s.valid()) {
        t_lastError = kErrNotSocket;
        return -1;
    }
    // close() releases the descriptor even when it reports EINTR; never retry.
    return ::close(fdOf(s)) == 0 || errno == EINTR ? 0 : fail();
}

int lastError() { return t_lastError; }

std::string errorText(int err) {
    switch (err) {
    case kErrWouldBlock: return std::strerror(EWOULDBLOCK);
    case kErrConnAborted: return std::strerror(ECONNABORTED);
    case kErrConnReset: return std::strerror(ECONNRESET);
    case kErrNotSocket: return std::strerror(ENOTSOCK);
    default: return std::strerror(err);
    }
}

static int setInt(Socket s, int level, int name, int value) {
    return ::setsockopt(fdOf(s), level, name, &value, sizeof value) == 0 ? 0 : fail();
}

int setReuseAddress(Socket s, bool on) { return setInt(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
int setSendBuffer(Socket s, int bytes) { return setInt(s, SOL_SOCKET, SO_SNDBUF, bytes); }
int setReceiveBuffer(Socket s, int bytes) { return setInt(s, SOL_SOCKET, SO_RCVBUF, bytes); }
int setNoDelay(Socket s, bool on) { return setInt(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
int setBroadcast(Socket s, bool on) { return setInt(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

int getReceiveBuffer(Socket s, int* bytes) {
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(fdOf(s), SOL_SOCKET, SO_RCVBUF, &v, &len) != 0) return fail();
    *bytes = v;
    return 0;
}

int setReceiveTimeout(Socket s, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return ::setsockopt(fdOf(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : fail();
}

int setNonBlocking(Socket s) {
    int flags = ::fcntl(fdOf(s), F_GETFL, 0);
    if (flags < 0 || ::fcntl(fdOf(s), F_SETFL, flags | O_NONBLOCK) < 0) return fail();
    return 0;
}

int pendingError(Socket s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fdOf(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail();
    return err == 0 ? 0 : mapErrno(err);
}

bool parseIpv4(const char* text, Ipv4* out) {
    if (!text) return false;
    in_addr_t a = ::inet_addr(text);
    if (a == INADDR_NONE) return false;
    std::memcpy(out->b, &a, 4);
    return true;
}

int connectStart(Socket s, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    return ::connect(fdOf(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : fail();
}

int bindTo(Socket s, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    return ::bind(fdOf(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : fail();
}

int listenOn(Socket s, int backlog) { return ::listen(fdOf(s), backlog) == 0 ? 0 : fail(); }

Socket acceptFrom(Socket listener, Ipv4* peer) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = ::accept4(fdOf(listener), reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        fail();
        return Socket{};
    }
    if (peer) std::memcpy(peer->b, &a.sin_addr.s_addr, 4);
    return Socket{fd};
}

int localPort(Socket s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fdOf(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return fail();
    return ntohs(a.sin_port);
}

Wait waitReadable(Socket s, int ms) { return waitFor(s, POLLIN, ms); }
Wait waitWritable(Socket s, int ms) { return waitFor(s, POLLOUT, ms); }

int waitEitherReadable(Socket a, Socket b, int ms) {
    pollfd p[2] = {{fdOf(a), POLLIN, 0}, {fdOf(b), POLLIN, 0}};
    for (;;) {
        int r = ::poll(p, 2, ms < 0 ? -1 : ms);
        if (r > 0) return p[0].revents ? 0 : 1;
        if (r == 0) return -1;
        if (errno == EINTR) continue;
        fail();
        return -2;
    }
}

long sendSome(Socket s, const void* data, std::size_t len) {
    // MSG_NOSIGNAL: a controller that closed the connection must not kill the
    // host application with SIGPIPE; the send fails with an error instead.
    ssize_t n;
    do n = ::send(fdOf(s), data, len, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<long>(n);
}

long recvSome(Socket s, void* data, std::size_t len) {
    ssize_t n;
    do n = ::recv(fdOf(s), data, len, 0);
    while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<long>(n);
}

long peekSome(Socket s, void* data, std::size_t len) {
    ssize_t n;
    do n = ::recv(fdOf(s), data, len, MSG_PEEK);
    while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<long>(n);
}

long recvNow(Socket s, void* data, std::size_t len) {
    ssize_t n;
    do n = ::recv(fdOf(s), data, len, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<long>(n);
}

long pendingBytes(Socket s) {
    int n = 0;
    return ::ioctl(fdOf(s), FIONREAD, &n) != 0 ? fail() : static_cast<long>(n);
}

long sendTo(Socket s, const void* data, std::size_t len, const Ipv4& ip, std::uint16_t port) {
    sockaddr_in a = toSockaddr(ip, port);
    ssize_t n = ::sendto(fdOf(s), data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n < 0 ? fail() : static_cast<long>(n);
}

long recvFrom(Socket s, void* data, std::size_t len, Ipv4* from, std::uint16_t* port) {
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    ssize_t n;
    // A signal delivered to the host application is not the end of the wait.
    do n = ::recvfrom(fdOf(s), data, len, 0, reinterpret_cast<sockaddr*>(&a), &alen);
    while (n < 0 && errno == EINTR);
    if (n < 0) return fail();
    if (from) std::memcpy(from->b, &a.sin_addr.s_addr, 4);
    if (port) *port = ntohs(a.sin_port);
    return static_cast<long>(n);
}

void shutdownBoth(Socket s) {
    if (s.valid()) ::shutdown(fdOf(s), SHUT_RDWR);
}

std::vector<Adapter> adapters() {
    std::vector<Adapter> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_name) continue;
        Adapter* a = nullptr;
        for (auto& known : out)
            if (known.name == i->ifa_name) a = &known;
        if (!a) {
            out.push_back(Adapter{i->ifa_name, {}});
            a = &out.back();
        }
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
            Ipv4 ip;
            std::memcpy(ip.b, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr, 4);
            a->addresses.push_back(ip);
        }
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace quil::platform
