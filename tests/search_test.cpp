// Sensor search. The datagram layouts and the choice of sending addresses are
// tested without any network; whole searches run only inside private network
// namespaces (netns.h) against the simulator's search responder, because a
// search broadcasts on every adapter it finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <latch>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "netns.h"
#include "platform/platform.h"
#include "quil.h"
#include "search/search.h"
#include "sim/search_responder.h"

namespace {

namespace plat = quil::platform;
namespace search = quil::search;
using quil::sim::SearchAnswer;
using quil::sim::SearchIdentity;
using quil::sim::SearchResponder;
using quil::sim::SearchResponderOptions;

// ------------------------------------------------------------ callback record
struct Call {
    int32_t value = 0;
    bool end = false;  // the closing call: -1 and four null pointers
    std::string ip, mac, hex;
    std::vector<uint8_t> area;
};

std::mutex g_callsMutex;
std::vector<Call> g_calls;

void record(int32_t value, const char* area, const char* ip, const char* mac, const char* hex) {
    Call c;
    c.value = value;
    c.end = value == -1 && !area && !ip && !mac && !hex;
    if (area) c.area.assign(area, area + 32);
    if (ip) c.ip = ip;
    if (mac) c.mac = mac;
    if (hex) c.hex = hex;
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_calls.push_back(std::move(c));
}

std::vector<Call> takeCalls() {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return std::exchange(g_calls, {});
}

long countAnswers(const std::vector<Call>& calls) {
    return std::count_if(calls.begin(), calls.end(), [](const Call& c) { return !c.end; });
}

plat::Ipv4 ipOf(const char* text) {
    plat::Ipv4 ip;
    EXPECT_TRUE(plat::parseIpv4(text, &ip)) << text;
    return ip;
}

// The test controller's identity; the value, the word at offset 4 and the MAC
// have bytes that show a wrong byte order, missing zero padding or upper case.
SearchIdentity controllerIdentity() {
    SearchIdentity id;
    id.ip = ipOf(quil::test::kControllerAddress);
    id.mac = {0x00, 0x1a, 0xbe, 0x0f, 0x5c, 0xd2};
    id.value = 0x01020304;
    id.word4 = 0x0a0b0c0d;
    std::iota(id.area.begin(), id.area.end(), std::uint8_t{0xe0});
    return id;
}

// ------------------------------------------------------------ datagrams
TEST(SearchDatagram, RequestIsTheFixedSixtyFourBytes) {
    std::array<uint8_t, 64> expected{};
    expected[0] = 0x01, expected[2] = 0x01;   // 0x00010001
    expected[8] = 0x01, expected[11] = 0x01;  // 0x01000001
    EXPECT_EQ(search::buildRequest(), expected);
}

TEST(SearchDatagram, AnswerTextsFromHandMadeBytes) {
    struct Case {
        uint8_t word4[4], value[4], ip[4], mac[6];
        int32_t expectValue;
        const char *expectHex, *expectIp, *expectMac;
    } cases[] = {
        {{0x0d, 0x0c, 0x0b, 0x0a},
         {0x04, 0x03, 0x02, 0x01},
         {192, 168, 0, 10},
         {0x00, 0x1a, 0xbe, 0x0f, 0x5c, 0xd2},
         0x01020304,
         "0a0b0c0d",
         "192.168.0.10",
         "00:1a:be:0f:5c:d2"},
        // High bytes must print as unsigned numbers; the value keeps its sign.
        {{0xff, 0xff, 0xff, 0xff},
         {0xfe, 0xff, 0xff, 0xff},
         {255, 254, 128, 0},
         {0xff, 0xfe, 0x80, 0x7f, 0x01, 0x00},
         -2,
         "ffffffff",
         "255.254.128.0",
         "ff:fe:80:7f:01:00"},
        {{0, 0, 0, 0},
         {0, 0, 0, 0x80},
         {0, 0, 0, 0},
         {0, 0, 0, 0, 0, 0},
         INT32_MIN,
         "00000000",
         "0.0.0.0",
         "00:00:00:00:00:00"},
    };
    for (const Case& c : cases) {
        uint8_t b[search::kReplyBufferSize] = {};
        const uint8_t head[12] = {0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0x01, 0x00, 0x01, 0x01};
        std::memcpy(b, head, sizeof head);
        std::memcpy(b + 4, c.word4, 4);
        std::memcpy(b + 12, c.value, 4);
        std::memcpy(b + 48, c.ip, 4);
        std::memcpy(b + 60, c.mac, 6);
        for (int i = 0; i < 32; ++i) b[16 + i] = static_cast<uint8_t>(100 + i);
        // Bytes the library does not read must not leak into the texts.
        std::memset(b + 52, 0x77, 8);
        std::memset(b + 66, 0x77, 20);
        search::AnswerTexts t;
        ASSERT_TRUE(search::decodeAnswer(b, &t)) << c.expectIp;
        EXPECT_EQ(t.value, c.expectValue);
        EXPECT_STREQ(t.hex, c.expectHex);
        EXPECT_STREQ(t.ip, c.expectIp);
        EXPECT_STREQ(t.mac, c.expectMac);
        EXPECT_EQ(t.area, b + 16);
    }
}

TEST(SearchDatagram, OnlyAnswersAreDecoded) {
    auto buffer = [](const uint8_t* bytes, size_t n) {
        std::vector<uint8_t> b(search::kReplyBufferSize, 0);
        std::copy(bytes, bytes + n, b.begin());
        return b;
    };
    auto simAnswer = [&](SearchAnswer kind) {
        const auto a = quil::sim::encodeSearchAnswer(controllerIdentity(), kind);
        return buffer(a.data(), a.size());
    };
    const auto request = search::buildRequest();
    const auto reply = quil::sim::encodeSearchAnswer(controllerIdentity());
    const uint8_t swapped[12] = {0x01, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0x01, 0x00, 0x01, 0x00};
    const std::vector<std::vector<uint8_t>> ignored = {
        buffer(request.data(), request.size()),  // the library's own request coming back
        simAnswer(SearchAnswer::RequestKind),
        simAnswer(SearchAnswer::BadHeader),
        buffer(swapped, sizeof swapped),
        buffer(reply.data(), 8),  // cut short: the word at offset 8 reads as zero
        std::vector<uint8_t>(search::kReplyBufferSize, 0),
    };
    for (size_t i = 0; i < ignored.size(); ++i) {
        search::AnswerTexts t;
        EXPECT_FALSE(search::decodeAnswer(ignored[i].data(), &t)) << "case " << i;
    }

    // The simulator's answer, as the library reads it.
    auto b = simAnswer(SearchAnswer::Reply);
    search::AnswerTexts t;
    ASSERT_TRUE(search::decodeAnswer(b.data(), &t));
    EXPECT_EQ(t.value, 0x01020304);
    EXPECT_STREQ(t.hex, "0a0b0c0d");
    EXPECT_STREQ(t.ip, quil::test::kControllerAddress);
    EXPECT_STREQ(t.mac, "00:1a:be:0f:5c:d2");
    EXPECT_TRUE(std::equal(t.area, t.area + 32, controllerIdentity().area.begin()));
}

// ------------------------------------------------------------ adapters
TEST(SearchAdapters, EachAdapterSendsFromItsFirstNonZeroAddress) {
    const plat::Ipv4 zero{}, a = ipOf("10.1.2.3"), b = ipOf("172.20.0.5"), c = ipOf("127.0.0.1");
    struct Case {
        std::vector<plat::Adapter> adapters;
        std::vector<plat::Ipv4> expected;
    } cases[] = {
        {{}, {}},
        {{{"only-zero", {zero}}}, {}},
        {{{"none", {}}, {"zeros", {zero, zero}}}, {}},
        {{{"zero-first", {zero, a, b}}}, {a}},
        {{{"two", {b, a}}}, {b}},
        // The system's order of adapters is kept; adapters without an address drop out.
        {{{"x", {c}}, {"y", {zero}}, {"z", {zero, a}}, {"w", {}}, {"v", {b}}}, {c, a, b}},
    };
    for (const Case& k : cases) {
        std::string names;
        for (const auto& ad : k.adapters) names += ad.name + " ";
        EXPECT_EQ(search::sendingAddresses(k.adapters), k.expected) << names;
    }
}

// ------------------------------------------------------------ responder on loopback
// The simulator's responder itself, reached by unicast on loopback only.
TEST(SearchResponderLoopback, AnswersSearchRequestsOnly) {
    SearchResponderOptions o;
    o.identity = controllerIdentity();
    o.bindAddress = ipOf("127.0.0.1");
    o.port = 0;
    o.replyPort = 0;  // back to the asking socket, which is not on 3778 here
    SearchResponder responder(o);
    responder.setDelays(0, 0);
    responder.setAnswers({SearchAnswer::Reply, SearchAnswer::RequestKind});
    ASSERT_TRUE(responder.start());

    plat::Socket s = plat::udpSocket();
    ASSERT_TRUE(s.valid());
    ASSERT_EQ(plat::bindTo(s, ipOf("127.0.0.1"), 0), 0);
    const uint8_t notARequest[64] = {0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0x01, 0x00, 0x01, 0x01};
    const auto request = search::buildRequest();
    ASSERT_EQ(plat::sendTo(s, notARequest, sizeof notARequest, ipOf("127.0.0.1"), responder.port()), 64);
    ASSERT_EQ(plat::sendTo(s, request.data(), request.size(), ipOf("127.0.0.1"), responder.port()), 64);
    ASSERT_TRUE(responder.waitRequests(1, 5000));
    ASSERT_TRUE(responder.waitAnswered(5000));
    EXPECT_EQ(responder.requestsSeen(), 1);
    EXPECT_EQ(responder.datagramsSent(), 2);

    std::vector<uint8_t> got(search::kReplyBufferSize, 0);
    ASSERT_EQ(plat::setReceiveTimeout(s, 5000), 0);
    ASSERT_EQ(plat::recvFrom(s, got.data(), got.size(), nullptr, nullptr), long(quil::sim::kSearchAnswerSize));
    search::AnswerTexts t;
    ASSERT_TRUE(search::decodeAnswer(got.data(), &t));
    EXPECT_STREQ(t.ip, quil::test::kControllerAddress);
    std::fill(got.begin(), got.end(), 0);
    ASSERT_EQ(plat::recvFrom(s, got.data(), got.size(), nullptr, nullptr), long(quil::sim::kSearchAnswerSize));
    EXPECT_FALSE(search::decodeAnswer(got.data(), &t));  // the malformed second datagram
    plat::closeSocket(s);
}

// ------------------------------------------------------------ whole searches
class SearchNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!net.ready()) GTEST_SKIP() << "needs a private network namespace for broadcasting: " << net.why();
        ASSERT_TRUE(startResponder());
        takeCalls();
    }
    void TearDown() override { responder.reset(); }

    bool startResponder() {
        bool ok = false;
        net.inController([&] {
            SearchResponderOptions o;
            o.identity = controllerIdentity();
            responder = std::make_unique<SearchResponder>(o);
            ok = responder->start();
        });
        // At once: an answer that arrives while the library's sending socket
        // is still open must reach the listener all the same.
        if (ok) responder->setDelays(0, 0);
        return ok;
    }

    quil::test::NetnsPair net;  // first in, last out: the responder lives in it
    std::unique_ptr<SearchResponder> responder;
};

TEST_F(SearchNetns, WithoutCallbackNothingIsSent) {
    SetSearchOnlineCallFunc(nullptr);
    EXPECT_EQ(SearchSensor(), -2);
    // A search that does send now: the responder must see its request as the
    // first and only one, so the refused search sent nothing before it.
    SetSearchOnlineCallFunc(record);
    EXPECT_EQ(SearchSensor(), 0);  // the callback stays set for the plain call
    EXPECT_EQ(responder->requestsSeen(), 1);
    EXPECT_EQ(countAnswers(takeCalls()), 1);
}

TEST_F(SearchNetns, AnswerIsReportedWithItsTexts) {
    ASSERT_EQ(SearchOnline(record), 0);
    const auto calls = takeCalls();
    ASSERT_EQ(calls.size(), 2u);
    const Call& a = calls[0];
    EXPECT_FALSE(a.end);
    EXPECT_EQ(a.value, 0x01020304);
    EXPECT_EQ(a.ip, "192.168.0.10");
    EXPECT_EQ(a.mac, "00:1a:be:0f:5c:d2");
    EXPECT_EQ(a.hex, "0a0b0c0d");
    const auto area = controllerIdentity().area;
    EXPECT_EQ(a.area, std::vector<uint8_t>(area.begin(), area.end()));
    EXPECT_TRUE(calls[1].end);
}

TEST_F(SearchNetns, QuietSecondEndsTheSearch) {
    responder->setAnswers({});
    const auto start = plat::monotonicMs();
    ASSERT_EQ(SearchOnline(record), 0);
    const auto elapsed = plat::monotonicMs() - start;
    const auto calls = takeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].end);
    EXPECT_EQ(responder->requestsSeen(), 1);
    // The own request comes back at once; the listening then waits its second.
    EXPECT_GE(elapsed, 990u);
}

TEST_F(SearchNetns, MalformedDatagramsAreIgnored) {
    responder->setAnswers(
        {SearchAnswer::RequestKind, SearchAnswer::BadHeader, SearchAnswer::Reply, SearchAnswer::RequestKind});
    ASSERT_EQ(SearchOnline(record), 0);
    const auto calls = takeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].ip, quil::test::kControllerAddress);
    EXPECT_TRUE(calls[1].end);
    EXPECT_EQ(responder->datagramsSent(), 4);
}

TEST_F(SearchNetns, TwoHundredDatagramsEndTheListening) {
    // 1 own request + 100 ignored + 99 answers make 200 datagrams; the rest of
    // the answers arrive after the listening has ended.
    std::vector<SearchAnswer> plan(100, SearchAnswer::RequestKind);
    plan.insert(plan.end(), 150, SearchAnswer::Reply);
    responder->setAnswers(plan);
    responder->setDelays(200, 1);  // paced, so that no answer is dropped for buffer space
    ASSERT_EQ(SearchOnline(record), 0);
    const auto calls = takeCalls();
    EXPECT_EQ(countAnswers(calls), 99);
    EXPECT_EQ(calls.size(), 99u) << "no closing -1 call after the 200th datagram";
    EXPECT_TRUE(responder->waitAnswered(10000));
}

TEST_F(SearchNetns, OneSearchAtATime) {
    responder->setAnswers({});
    SetSearchOnlineCallFunc(record);
    // A search started while one is listening is refused at once.
    int32_t first = 1;
    std::thread running([&] { first = SearchSensor(); });
    EXPECT_TRUE(responder->waitRequests(1, 10000));
    EXPECT_EQ(SearchSensor(), -100);
    EXPECT_EQ(SearchOnline(record), -100);
    running.join();
    EXPECT_EQ(first, 0);

    // Two started together: exactly one runs.
    int32_t results[2] = {1, 1};
    std::latch go(2);
    std::vector<std::thread> both;
    for (int32_t& r : results)
        both.emplace_back([&] {
            go.arrive_and_wait();
            r = SearchSensor();
        });
    for (auto& t : both) t.join();
    std::sort(std::begin(results), std::end(results));
    EXPECT_EQ(results[0], -100);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(responder->requestsSeen(), 2);
    // One closing call per search that ran.
    const auto calls = takeCalls();
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_TRUE(std::all_of(calls.begin(), calls.end(), [](const Call& c) { return c.end; }));
}

TEST_F(SearchNetns, TakenPortIsReportedAndTheSearchStillEnds) {
    // Another program holds port 3778 of the adapter's address without
    // sharing it: neither the listener nor the sending socket can bind.
    plat::Socket holder = plat::udpSocket();
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(plat::bindTo(holder, ipOf(quil::test::kSearcherAddress), search::kSearchPort), 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t r = SearchOnline(record);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    plat::closeSocket(holder);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "") << "the library's console lines go to standard error";
    EXPECT_NE(err.find("bind local ip error!\n"), std::string::npos) << err;
    EXPECT_NE(err.find("bind: "), std::string::npos) << err;
    // Without a listener there is nobody to make the closing call.
    EXPECT_TRUE(takeCalls().empty());
}

}  // namespace
