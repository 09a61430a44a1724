// Private network namespaces for tests that broadcast. Linux only: test
// infrastructure, not part of the library.
//
// A search sends to 255.255.255.255 from every adapter; on the machine's own
// interfaces that would reach real networks. NetnsPair builds a small network
// of its own instead:
//
//   searcher side                           controller side
//   (the constructing thread)               (inController threads)
//   qs<pid>  kSearcherAddress/24  <-veth->  qc<pid>  kControllerAddress/24
//
// The thread that constructs a NetnsPair is moved into the searcher side and
// stays there until the object is destroyed; threads it starts meanwhile (the
// library's receiving thread, a second searching thread) are born there too.
// Code run through inController() is in the controller side, and sockets it
// creates stay there. Only these two adapters exist (loopback stays down on
// the searcher side), so a search reaches nothing else.
//
// Needs CAP_SYS_ADMIN (root) and iproute2's `ip`; without them ready() is
// false and why() says what is missing, for GTEST_SKIP. Both namespaces are
// anonymous: they and the veth pair vanish with their last user, also when a
// test process dies; the destructor also deletes the pair explicitly.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

namespace quil::test {

// Both addresses exist only inside the test's own network namespaces.
inline constexpr const char* kSearcherAddress = "192.168.0.1";     // inside the test's own network namespace
inline constexpr const char* kControllerAddress = "192.168.0.10";  // inside the test's own network namespace

class NetnsPair {
public:
    NetnsPair();
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool ready() const { return ready_; }
    const std::string& why() const { return why_; }

    // Runs fn on a thread inside the controller side and waits for it; false
    // (fn not run) when that thread could not enter it.
    bool inController(const std::function<void()>& fn) const;

    std::string searcherLink() const { return "qs" + std::to_string(pid_); }
    std::string controllerLink() const { return "qc" + std::to_string(pid_); }

private:
    bool build();
    bool fail(const std::string& why);
    // Runs an `ip` command line in the calling thread's namespace; on failure
    // records its output in why_.
    bool ip(const std::string& args, std::string* output = nullptr);
    // Waits until a link of the calling thread's namespace is up for traffic.
    bool waitUp(const std::string& link);

    long pid_ = 0;
    int originalNs_ = -1;
    int searcherNs_ = -1;
    int controllerNs_ = -1;
    bool moved_ = false;  // the constructing thread is in the searcher side
    bool ready_ = false;
    std::string why_;
};

}  // namespace quil::test
