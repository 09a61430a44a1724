#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quil::test {
namespace {

// The calling thread's own namespace (not the process leader's).
int openThreadNetns() { return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC); }

bool sameNamespace(int a, int b) {
    struct stat sa {
    }, sb{};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string unshareRefused(int err) {
    return std::string("unshare(CLONE_NEWNET) refused (needs root / CAP_SYS_ADMIN): ") + std::strerror(err);
}

}  // namespace

NetnsPair::NetnsPair() : pid_(static_cast<long>(::getpid())) { ready_ = build(); }

bool NetnsPair::fail(const std::string& why) {
    why_ = why;
    return false;
}

bool NetnsPair::ip(const std::string& args, std::string* output) {
    // The child process inherits the calling thread's network namespace.
    const std::string cmd = "ip " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return fail("cannot run: " + cmd);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) text += buf;
    const int status = ::pclose(p);
    if (status != 0) return fail("`" + cmd + "` failed: " + text);
    if (output) *output = text;
    return true;
}

bool NetnsPair::waitUp(const std::string& link) {
    // Until the kernel's link watcher has run, a new veth end drops what is
    // sent through it; that can take up to a second after "up".
    constexpr int kTries = 250, kPauseMs = 20;
    for (int i = 0; i < kTries; ++i) {
        std::string state;
        if (!ip("-o link show dev " + link, &state)) return false;
        if (state.find("state UP") != std::string::npos) return true;
        platform::sleepMs(kPauseMs);
    }
    return fail(link + " did not come up");
}

bool NetnsPair::build() {
    if (::system("ip -V >/dev/null 2>&1") != 0) return fail("iproute2 (`ip`) is not installed");
    originalNs_ = openThreadNetns();
    if (originalNs_ < 0) return fail(std::string("cannot open /proc/thread-self/ns/net: ") + std::strerror(errno));

    // The controller side: made by a helper thread, kept alive by its descriptor.
    int err = 0;
    std::thread maker([&] {
        if (::unshare(CLONE_NEWNET) != 0)
            err = errno;
        else
            controllerNs_ = openThreadNetns();
    });
    maker.join();
    if (err) return fail(unshareRefused(err));
    if (controllerNs_ < 0) return fail("cannot open the controller side's namespace");

    // The searcher side: this thread itself.
    if (::unshare(CLONE_NEWNET) != 0) return fail(unshareRefused(errno));
    moved_ = true;
    searcherNs_ = openThreadNetns();
    if (searcherNs_ < 0 || sameNamespace(searcherNs_, originalNs_) || sameNamespace(controllerNs_, originalNs_))
        return fail("the private network namespaces could not be confirmed");

    const std::string s = searcherLink(), c = controllerLink();
    const std::string controllerNsPath = "/proc/" + std::to_string(pid_) + "/fd/" + std::to_string(controllerNs_);
    if (!ip("link add " + s + " type veth peer name " + c) || !ip("link set " + c + " netns " + controllerNsPath) ||
        !ip("addr add " + std::string(kSearcherAddress) + "/24 dev " + s) || !ip("link set " + s + " up"))
        return false;
    bool ok = false;
    const bool entered = inController([&] {
        ok = ip("addr add " + std::string(kControllerAddress) + "/24 dev " + c) && ip("link set " + c + " up") &&
             waitUp(c);
    });
    if (!entered) return fail("setns() into the controller side's namespace refused");
    if (!ok) return false;
    if (!waitUp(s)) return false;

    // The last guard before anything broadcasts: the searcher side must hold
    // exactly the veth end with its one address.
    int withAddress = 0;
    for (const platform::Adapter& a : platform::adapters())
        if (!a.addresses.empty()) {
            if (a.name != s) return fail("unexpected adapter with an address in the test namespace: " + a.name);
            ++withAddress;
        }
    if (withAddress != 1) return fail("the veth end of the test namespace has no address");
    return true;
}

bool NetnsPair::inController(const std::function<void()>& fn) const {
    bool entered = false;
    if (controllerNs_ < 0) return false;
    std::thread t([&] {
        entered = ::setns(controllerNs_, CLONE_NEWNET) == 0;
        if (entered) fn();
    });
    t.join();
    return entered;
}

NetnsPair::~NetnsPair() {
    if (moved_) {
        ip("link del " + searcherLink());  // takes its peer with it
        if (::setns(originalNs_, CLONE_NEWNET) != 0) {
            // Later tests of this process would run cut off from every
            // network and fail in confusing ways; stop here, loudly.
            std::fprintf(stderr, "netns: cannot return to the original namespace: %s\n", std::strerror(errno));
            std::abort();
        }
    }
    for (int fd : {searcherNs_, controllerNs_, originalNs_})
        if (fd >= 0) ::close(fd);
}

}  // namespace quil::test
