// The search side of a simulated controller: it listens on UDP port 3778 and
// answers each search request with the datagram a controller sends back,
// addressed to port 3778 of the requester.
//
// It only ever answers a request it received; it never broadcasts. What it
// sends per request is set by the test: one answer (the default), many (to
// reach a searcher's datagram limit), malformed ones, or nothing.
//
// Threads: one receiver per responder. stop() (and the destructor) ends it,
// also in the middle of a delay.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace quil::sim {

inline constexpr std::uint16_t kSearchPort = 3778;
inline constexpr std::size_t kSearchAnswerSize = 68;

// What a controller tells about itself in its answer.
struct SearchIdentity {
    platform::Ipv4 ip;                    // offset 48: its address
    std::array<std::uint8_t, 6> mac{};    // offset 60
    std::int32_t value = 0;               // offset 12
    std::array<std::uint8_t, 32> area{};  // offset 16
    std::uint32_t word4 = 0;              // offset 4
};

enum class SearchAnswer {
    Reply,        // a well-formed answer
    RequestKind,  // laid out as an answer, but the word at offset 8 is a request's
    BadHeader,    // the word at offset 0 is wrong
};

std::array<std::uint8_t, kSearchAnswerSize> encodeSearchAnswer(const SearchIdentity& id,
                                                               SearchAnswer kind = SearchAnswer::Reply);
// True for a datagram whose header words are those of a search request.
bool isSearchRequest(const std::uint8_t* data, std::size_t len);

struct SearchResponderOptions {
    SearchIdentity identity;
    platform::Ipv4 bindAddress = {};        // the wildcard address: broadcasts only reach that
    std::uint16_t port = kSearchPort;       // listening port; 0 picks a free one (see port())
    std::uint16_t replyPort = kSearchPort;  // 0: answer to the request's source port
    bool verbose = false;                   // print each request and what was sent
};

class SearchResponder {
public:
    explicit SearchResponder(SearchResponderOptions o = {});
    ~SearchResponder();
    SearchResponder(const SearchResponder&) = delete;
    SearchResponder& operator=(const SearchResponder&) = delete;

    // Listening when it returns true.
    bool start();
    void stop();
    std::uint16_t port() const;  // as bound

    // The datagrams sent for each request, in this order; empty: no answer.
    void setAnswers(std::vector<SearchAnswer> answers);
    // A pause before the first datagram of a request's answers, and between
    // datagrams. A controller takes a moment to answer; a searcher should not
    // depend on an answer arriving within microseconds. Default: 20 ms, 0 ms.
    void setDelays(int firstMs, int betweenMs);

    int requestsSeen() const;   // search requests received since start()
    int datagramsSent() const;  // answers of every kind sent since start()
    // Waits until at least count requests arrived; false on time-out.
    bool waitRequests(int count, int timeoutMs) const;
    // Waits until every answer of the requests seen so far has been sent.
    bool waitAnswered(int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quil::sim
