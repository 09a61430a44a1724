// The platform layer's promises that the code above it relies on, the same
// on every system: each backend must keep them in its own way.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <string>

#include "platform/platform.h"

namespace {

namespace plat = quil::platform;

// A listener on 127.0.0.1 and one connection to it, both ends left blocking.
struct Connected {
    plat::Socket listener, client, served;
    bool make() {
        plat::Ipv4 loopback;
        if (!plat::parseIpv4("127.0.0.1", &loopback)) return false;
        listener = plat::tcpSocket();
        client = plat::tcpSocket();
        if (plat::bindTo(listener, loopback, 0) != 0 || plat::listenOn(listener, 4) != 0) return false;
        if (plat::connectStart(client, loopback, static_cast<std::uint16_t>(plat::localPort(listener))) != 0)
            return false;
        served = plat::acceptFrom(listener);
        return served.valid();
    }
    void close() {
        for (plat::Socket s : {client, served, listener}) EXPECT_EQ(plat::closeSocket(s), 0);
    }
};

// A thread waiting without limit on a socket is woken when another thread
// shuts that socket down: the simulator stops its acceptor this way, and
// Windows cannot shut down a listening socket at all.
TEST(PlatformSockets, ShutdownWakesAWaitWithoutLimit) {
    Connected c;
    ASSERT_TRUE(c.make());
    for (plat::Socket s : {c.listener, c.served}) {
        auto woken = std::async(std::launch::async, [s] { return plat::waitReadable(s, -1); });
        EXPECT_EQ(woken.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "nothing to read yet";
        plat::shutdownBoth(s);
        ASSERT_EQ(woken.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(woken.get(), plat::Wait::Ready);
    }
    char byte = 0;
    EXPECT_EQ(plat::recvSome(c.client, &byte, 1), 0) << "the peer sees the connection end";
    c.close();
    EXPECT_EQ(plat::waitReadable(c.listener, 0), plat::Wait::Error) << "a closed handle is no socket";
    EXPECT_EQ(plat::lastError(), plat::kErrNotSocket);
}

TEST(PlatformSystem, ApplicationDirectoryHoldsTheProgram) {
    const std::string exe = plat::executablePath();
    const std::string dir = plat::applicationDirectory();
    ASSERT_FALSE(dir.empty());
    ASSERT_GT(exe.size(), dir.size());
    EXPECT_EQ(exe.substr(0, dir.size() + 1), dir + plat::kPathSeparator);
    EXPECT_EQ(exe.find(plat::kPathSeparator, dir.size() + 1), std::string::npos) << "cut at the last separator";
}

TEST(PlatformSystem, PinsToOneProcessor) { EXPECT_TRUE(plat::pinProcessToOneCpu()); }

// The number conversions give the same results on every system, whatever
// the C library of the system does with the odd texts.
TEST(PlatformSystem, ConversionsAsC99Atof) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"12.345", 12.345},  {"  -2.5e3x", -2500.0}, {"+.5", 0.5}, {"0x1p4", 16.0}, {"-0x", -0.0}, {"1e-400", 0.0},
        {"1e400", HUGE_VAL}, {"-inf", -HUGE_VAL},    {"", 0.0},    {"-.", 0.0},     {"abc", 0.0},  {"+-1", 0.0},
    };
    for (const auto& c : cases) {
        const double v = plat::toDouble(c.text);
        EXPECT_EQ(v, c.value) << '"' << c.text << '"';
        EXPECT_EQ(std::signbit(v), std::signbit(c.value)) << '"' << c.text << '"';
    }
    EXPECT_TRUE(std::isnan(plat::toDouble("nan")));
    EXPECT_EQ(plat::toDouble("0.1"), 0.1) << "rounded correctly";
    EXPECT_EQ(plat::toDouble("2.2250738585072011e-308"), 2.2250738585072011e-308);
    EXPECT_EQ(plat::toInt(" 42abc"), 42);
    EXPECT_EQ(plat::toInt("-17"), -17);
}

}  // namespace
