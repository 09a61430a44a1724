// The only header of the library that knows an operating system exists.
// Everything above it (log, links, device sessions, simulator, tools) talks to
// sockets, clocks, paths and the machine through these functions. The POSIX
// backend lives in posix/, the Windows backend beside it in win/, with the
// same file names; common.cpp holds what the standard library serves alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quil::platform {

// ---------------------------------------------------------------- sockets
struct Socket {
    std::intptr_t fd = -1;  // int on POSIX, SOCKET on Windows
    bool valid() const { return fd >= 0; }
    friend bool operator==(Socket a, Socket b) { return a.fd == b.fd; }
};

enum class Wait { Ready, Timeout, Error };

// Socket error numbers as the controller protocol code knows them. The two the
// library reacts to keep their Windows Sockets values on every platform;
// anything else is passed through as the system's own error number.
inline constexpr int kErrWouldBlock = 10035;   // also "connection in progress"
inline constexpr int kErrConnAborted = 10053;  // connection aborted locally
inline constexpr int kErrConnReset = 10054;    // reset by the peer
inline constexpr int kErrNotSocket = 10038;    // handle is not (any longer) a socket

// Starts the socket library asking for version 2.2: false when it cannot be
// started, else true with the version granted. A library that grants another
// version is stopped again at once (the caller refuses to go on). POSIX needs
// no start, so there this always grants exactly 2.2.
bool socketStartup(int* grantedMajor, int* grantedMinor);

Socket tcpSocket();         // IPv4 stream socket, blocking until setNonBlocking
Socket udpSocket();         // IPv4 datagram socket
int closeSocket(Socket s);  // 0, or -1 with lastError()

// Error number of the calling thread's last failed socket call (see kErr*).
int lastError();
// Text of an error number as the system describes it.
std::string errorText(int err);

int setReuseAddress(Socket s, bool on);
int setSendBuffer(Socket s, int bytes);
int setReceiveBuffer(Socket s, int bytes);
int getReceiveBuffer(Socket s, int* bytes);
int setNonBlocking(Socket s);
int setNoDelay(Socket s, bool on);
int setBroadcast(Socket s, bool on);
int setReceiveTimeout(Socket s, int ms);
// Pending error of a socket (SO_ERROR): 0 none, else an error number; -1 when
// the query itself failed.
int pendingError(Socket s);

// IPv4 address as its four bytes in dotted order (first byte = first component).
struct Ipv4 {
    std::uint8_t b[4] = {0, 0, 0, 0};
    static Ipv4 of(const std::uint8_t* bytes) { return Ipv4{{bytes[0], bytes[1], bytes[2], bytes[3]}}; }
    std::uint32_t word() const {  // bytes in memory order, as a host integer
        return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
    }
    friend bool operator==(const Ipv4&, const Ipv4&) = default;
};
// Parses dotted text the way the classic address parser does ("127.1" is
// 127.0.0.1); false for text it rejects (including "255.255.255.255", which
// that parser cannot tell from its error value).
bool parseIpv4(const char* text, Ipv4* out);
std::string formatIpv4(const Ipv4& ip);  // "a.b.c.d"

// Starts a connection; 0 when it completed at once, -1 otherwise (lastError()
// is kErrWouldBlock while the non-blocking connection is in progress).
int connectStart(Socket s, const Ipv4& ip, std::uint16_t port);
int bindTo(Socket s, const Ipv4& ip, std::uint16_t port);  // 0 or -1
int listenOn(Socket s, int backlog);                       // 0 or -1
Socket acceptFrom(Socket listener, Ipv4* peer = nullptr);  // invalid on failure
int localPort(Socket s);                                   // -1 on failure

// Readiness waits. ms < 0 waits without limit, 0 polls.
Wait waitReadable(Socket s, int ms);
Wait waitWritable(Socket s, int ms);
// Waits for either of two sockets to become readable: 0 or 1 is the ready
// one, -1 timeout, -2 error.
int waitEitherReadable(Socket a, Socket b, int ms);

// One send/receive call: bytes moved, 0 (receive: orderly close), or -1 with
// lastError(). Sending never raises SIGPIPE on a connection the peer closed.
long sendSome(Socket s, const void* data, std::size_t len);
long recvSome(Socket s, void* data, std::size_t len);
long peekSome(Socket s, void* data, std::size_t len);  // like recvSome, leaves the bytes queued
// Receives what has already arrived without waiting, also on a socket in
// blocking mode: -1 with kErrWouldBlock when nothing is there.
long recvNow(Socket s, void* data, std::size_t len);
// Bytes received and not yet read; -1 with lastError() on failure.
long pendingBytes(Socket s);
long sendTo(Socket s, const void* data, std::size_t len, const Ipv4& ip, std::uint16_t port);
long recvFrom(Socket s, void* data, std::size_t len, Ipv4* from, std::uint16_t* port);
// Ends both directions without releasing the handle: wakes up waiters.
void shutdownBoth(Socket s);

// ---------------------------------------------------------------- adapters
struct Adapter {
    std::string name;
    std::vector<Ipv4> addresses;  // IPv4 addresses in the system's order
};
// The machine's network interfaces in the system's order.
std::vector<Adapter> adapters();

// ---------------------------------------------------------------- terminal
// For the command-line tools' live views; the library uses none of it.
// Whether standard output goes to a terminal (not a file or a pipe).
bool stdoutIsTerminal();
// Standard input's keys one at a time, unechoed, while it lives; its end
// gives the terminal its settings back. Ctrl-C still interrupts. Without a
// terminal on standard input it reads nothing.
class TerminalKeys {
public:
    TerminalKeys();
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;
    // The next key, waiting up to waitMs for it; -1 when none came.
    int next(int waitMs);

private:
    struct Saved;
    Saved* saved_ = nullptr;
};

// ---------------------------------------------------------------- time, ids
struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime localTime();
void sleepMs(int ms);
long processId();
long threadId();
std::uint64_t monotonicMs();

// The end of a wait that is bounded in total, over several waits.
class Deadline {
public:
    explicit Deadline(int ms) : end_(monotonicMs() + static_cast<std::uint64_t>(ms > 0 ? ms : 0)) {}
    bool expired() const { return monotonicMs() >= end_; }
    // At least 1 while not expired (0 means "no limit" to some waits).
    int remainingMs() const {
        const std::uint64_t now = monotonicMs();
        return now >= end_ ? 0 : static_cast<int>(end_ - now);
    }

private:
    std::uint64_t end_;
};

// ---------------------------------------------------------------- threads
// Stack of every thread the library starts (stream receive, storage watcher,
// search receive). Their own frames take a few KiB (the largest buffers are
// 4 KiB of socket scratch and 1.5 KiB of trace text; cJSON parses a reply at
// most 1000 levels deep, well under 256 KiB), but they also run the
// application's callbacks, which are written for an ordinary thread: 1 MiB
// is what a Windows thread gets by default. Set explicitly so that neither
// the host executable's stack setting (Windows takes the default from it)
// nor the shell's stack limit (glibc takes it from RLIMIT_STACK, often
// 8 MiB, sometimes unlimited, then 2 MiB) decides it. The reservation is
// address space; pages are committed as they are touched.
inline constexpr std::size_t kThreadStackBytes = 1024 * 1024;

// A thread of the library's own with an explicit stack size (POSIX thread
// attributes; _beginthreadex on Windows). Used like std::thread: joined or
// detached before it goes; one still running when it is destroyed is
// detached.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts fn on a new thread with a stack of stackBytes. False when the
    // system refuses (nothing runs then), or when this one is still joinable.
    bool start(std::function<void()> fn, std::size_t stackBytes = kThreadStackBytes);
    bool joinable() const { return handle_ != nullptr; }
    // The calling thread is this one (which cannot join itself).
    bool isCurrent() const;
    void join();
    void detach();

private:
    struct Handle;  // the system's thread handle and id
    Handle* handle_ = nullptr;
};

// ---------------------------------------------------------------- files, machine
// Directory of the running program's executable (not of this library).
// Empty when it cannot be found.
std::string applicationDirectory();
// Tests place the log and its INI file in a directory of their own.
void overrideApplicationDirectory(const std::string& dir);
#ifdef _WIN32
inline constexpr const char* kPathSeparator = "\\";
#else
inline constexpr const char* kPathSeparator = "/";
#endif

// Integer value of key in section of an INI file, matching section and key
// names without regard to case, parsed like atoi; def when the file, the
// section or the key is missing.
int iniReadInt(const std::string& path, const char* section, const char* key, int def);

// Machine memory in use, in percent; -1 when unknown.
int memoryLoadPercent();
// Resident memory of this process in bytes; -1 when unknown.
long long residentBytes();
// Address space this process has taken, in bytes; -1 when unknown.
long long addressSpaceBytes();
// Zero-filled memory straight from the system, given back to it whole by
// unmapPages: large buffers that must not linger in the C library's heap once
// freed. Null when the system refuses.
void* mapPages(std::size_t bytes);
void unmapPages(void* p, std::size_t bytes);
// Full path of the running program's executable; empty when unknown.
std::string executablePath();
// Keeps the calling thread, and the threads it starts afterwards, on one
// processor (the first one it may run on): measurements then do not depend
// on how the system spreads threads. False when the system refuses.
bool pinProcessToOneCpu();

// Locale-independent conversions with the C locale's results (the host
// application may have set any locale).
double toDouble(const char* text);  // atof
int toInt(const char* text);        // atoi

// ---------------------------------------------------------------- files
enum class FileRead { Ok, NotRegular, TooLarge, Failed };
// Reads the regular file at path whole into text, opening it once: the open
// never waits on a pipe or device put in the file's place, and the kind of
// file is judged on the open handle. TooLarge, having read at most limit + 1
// bytes, when it holds more than limit bytes. Failed when it cannot be
// opened or read.
FileRead readRegularFile(const char* path, std::size_t limit, std::string* text);

// A short file name (".quil-<12 hex digits>.tmp") that nobody can guess
// ahead of its use.
std::string temporaryFileName();

// Makes every later sync of a file's content to the disk fail (true) or work
// again (false): the tests' way to reach a save whose content did not reach
// the disk. The file backends ask fileSyncsFail() before each sync.
void failFileSyncs(bool fail);
bool fileSyncsFail();

// A file written to take the place of `path` whole or not at all. The new
// content goes into a file created exclusively, under a short random name,
// beside the file that path finally names: through symbolic links, so a link
// stays a link and its target gets the content, and nothing planted at the
// new file's name is followed. Where that folder takes no new file but the
// file itself is writable, the file is rewritten in place instead.
// commit() puts the content on the disk, gives it the permission bits of the
// file it replaces, moves it into that file's place and syncs the folder.
// Without a commit, or when it fails, the new file is removed and the old
// one stays as it was.
class FileReplacement {
public:
    explicit FileReplacement(const char* path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    std::FILE* file() const { return file_; }  // null when nothing could be created; text mode
    bool inPlace() const { return inPlace_; }
    bool commit();

private:
    std::FILE* file_ = nullptr;
    std::string temp_, target_;
    bool inPlace_ = false;
    bool committed_ = false;
};

}  // namespace quil::platform
