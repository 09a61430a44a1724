// Sensor search: datagrams and sending addresses without a network; whole
// searches, which broadcast on every adapter, only inside private network
// namespaces (netns.h) against the simulator's search responder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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

plat::Ipv4 ipOf(const char* text) {
    plat::Ipv4 ip;
    EXPECT_TRUE(plat::parseIpv4(text, &ip)) << text;
    return ip;
}

// Bytes that show a wrong byte order, missing zero padding or upper case.
SearchIdentity controllerIdentity() {
    SearchIdentity id;
    id.ip = ipOf(quil::test::kControllerAddress);
    id.mac = {0x00, 0x1a, 0xbe, 0x0f, 0x5c, 0xd2};
    id.value = 0x01020304;
    id.word4 = 0x0a0b0c0d;
    std::iota(id.area.begin(), id.area.end(), std::uint8_t{0xe0});
    return id;
}

TEST(SearchDatagram, AnswersAreDecodedAndAnythingElseIgnored) {
    // High bytes print as unsigned numbers; the value keeps its sign; bytes
    // the library does not read stay out of the texts.
    uint8_t b[search::kReplyBufferSize] = {0x01, 0x00, 0x01, 0x00, 0xff, 0xff, 0xff, 0xff,
                                           0x01, 0x00, 0x01, 0x01, 0xfe, 0xff, 0xff, 0xff};
    const uint8_t ipAndMac[18] = {255,  254,  128,  0,    0x77, 0x77, 0x77, 0x77, 0x77,
                                  0x77, 0x77, 0x77, 0xff, 0xfe, 0x80, 0x7f, 0x01, 0x00};
    std::memcpy(b + 48, ipAndMac, sizeof ipAndMac);
    std::memset(b + 66, 0x77, 20);
    search::AnswerTexts t;
    ASSERT_TRUE(search::decodeAnswer(b, &t));
    EXPECT_EQ(t.value, -2);
    EXPECT_STREQ(t.hex, "ffffffff");
    EXPECT_STREQ(t.ip, "255.254.128.0");
    EXPECT_STREQ(t.mac, "ff:fe:80:7f:01:00");
    EXPECT_EQ(t.area, b + 16);
    auto buffer = [](const uint8_t* bytes, size_t n) {
        std::vector<uint8_t> v(search::kReplyBufferSize, 0);
        std::copy(bytes, bytes + n, v.begin());
        return v;
    };
    auto simAnswer = [&](SearchAnswer kind) {
        const auto a = quil::sim::encodeSearchAnswer(controllerIdentity(), kind);
        return buffer(a.data(), a.size());
    };
    const auto request = search::buildRequest();
    const uint8_t swapped[12] = {0x01, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0x01, 0x00, 0x01, 0x00};
    const std::vector<std::vector<uint8_t>> ignored = {
        buffer(request.data(), request.size()),  // the library's own request coming back
        simAnswer(SearchAnswer::RequestKind),   simAnswer(SearchAnswer::BadHeader),
        buffer(swapped, sizeof swapped),        std::vector<uint8_t>(search::kReplyBufferSize, 0),
    };
    for (size_t i = 0; i < ignored.size(); ++i) EXPECT_FALSE(search::decodeAnswer(ignored[i].data(), &t)) << i;
}

TEST(SearchAdapters, EachAdapterSendsFromItsFirstNonZeroAddress) {
    const plat::Ipv4 zero{}, a = ipOf("10.1.2.3"), b = ipOf("172.20.0.5"), c = ipOf("127.0.0.1");
    struct Case {
        std::vector<plat::Adapter> adapters;
        std::vector<plat::Ipv4> expected;
    } cases[] = {
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
        if (ok) responder->setDelays(0, 0);  // answers while the sending socket is still open
        return ok;
    }

    quil::test::NetnsPair net;  // first in, last out: the responder lives in it
    std::unique_ptr<SearchResponder> responder;
};

TEST_F(SearchNetns, AnswerIsReportedWithItsTextsAndMalformedDatagramsIgnored) {
    SetSearchOnlineCallFunc(nullptr);
    EXPECT_EQ(SearchSensor(), -2) << "no callback: nothing is sent";
    responder->setAnswers(
        {SearchAnswer::RequestKind, SearchAnswer::BadHeader, SearchAnswer::Reply, SearchAnswer::RequestKind});
    ASSERT_EQ(SearchOnline(record), 0);
    EXPECT_EQ(responder->requestsSeen(), 1) << "the refused search sent nothing";
    EXPECT_EQ(responder->datagramsSent(), 4);
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

TEST_F(SearchNetns, AQuietSecondEndsTheOneSearchAtATime) {
    responder->setAnswers({});
    SetSearchOnlineCallFunc(record);
    int32_t first = 1;
    const auto start = plat::monotonicMs();
    std::thread running([&] { first = SearchSensor(); });
    EXPECT_TRUE(responder->waitRequests(1, 10000));
    EXPECT_EQ(SearchSensor(), -100) << "refused at once while one is listening";
    EXPECT_EQ(SearchOnline(record), -100);
    running.join();
    EXPECT_EQ(first, 0);
    // The own request comes back at once; the listening then waits its second.
    EXPECT_GE(plat::monotonicMs() - start, 990u);
    EXPECT_EQ(responder->requestsSeen(), 1);
    const auto calls = takeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].end);
}

}  // namespace
