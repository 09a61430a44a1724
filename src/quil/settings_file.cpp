#include "quil/settings_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace quil::settings {

// The texts are UTF-8, written as escapes so that no compiler's idea of the
// source encoding can change them.
const FixedText kRunModes[3] = {
    {0, "OFF"},
    {1, "\xE5\xAE\x9A\xE6\x97\xB6"},  // 定时
    {2, "\xE8\xA7\xA6\xE5\x8F\x91"},  // 触发
};

const FixedText kInputModes[4] = {
    {0,
     "1\xE7\x9B\xB8"
     "1\xE9\x80\x92\xE5\xA2\x9E(\xE6\x97\xA0\xE6\x9C\x9D\xE5\x90\x91)"},  // 1相1递增(无朝向)
    {1,
     "2\xE7\x9B\xB8"
     "1\xE9\x80\x92\xE5\xA2\x9E"},  // 2相1递增
    {2,
     "2\xE7\x9B\xB8"
     "2\xE9\x80\x92\xE5\xA2\x9E"},  // 2相2递增
    {3,
     "2\xE7\x9B\xB8"
     "4\xE9\x80\x92\xE5\xA2\x9E"},  // 2相4递增
};

const FixedText kDirections[3] = {
    {0, "\xE6\xAD\xA3\xE8\xB4\x9F\xE8\xAE\xA1\xE6\x97\xB6"},  // 正负计时
    {1, "\xE6\xAD\xA3\xE8\xAE\xA1\xE6\x97\xB6"},              // 正计时
    {2, "\xE5\x80\x92\xE8\xAE\xA1\xE6\x97\xB6"},              // 倒计时
};

const FixedText kMinTimes[8] = {
    {100, "100ns"}, {200, "200ns"}, {500, "500ns"},  {1000, "1us"},
    {2000, "2us"},  {5000, "5us"},  {10000, "10us"}, {20000, "20us"},
};

namespace {
constexpr std::int32_t kNanosPerMicro = 1000;
constexpr std::int32_t kShortestTimeNs = 100;
constexpr double kHundred = 100;
}  // namespace

const char* minTimeText(std::int32_t reported) {
    if (const char* text = textOf(kMinTimes, reported)) return text;
    // Below the shortest time in nanoseconds, a count of microseconds.
    if (reported > 0 && reported < kShortestTimeNs) return textOf(kMinTimes, reported * kNanosPerMicro);
    return nullptr;
}

std::string headName(int head) { return "Head0" + std::to_string(head); }
std::string outName(int out) { return "OUT0" + std::to_string(out); }

int blockNumber(const char* name, const char* prefix, int last) {
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(name, prefix, n) != 0 || std::strlen(name) != n + 1) return 0;
    const int digit = name[n] - '0';
    return digit >= 1 && digit <= last ? digit : 0;
}

std::optional<std::int32_t> truncatedTimes(double v, double factor) {
    const double t = std::trunc(v * factor);
    if (!(t >= INT32_MIN && t <= INT32_MAX)) return std::nullopt;
    return static_cast<std::int32_t>(t);
}

std::string hundredthsText(std::int32_t v) {
    const long long magnitude = std::llabs(static_cast<long long>(v));
    char plain[40];
    std::snprintf(plain, sizeof plain, "%s%lld.%02lld", v < 0 ? "-" : "", magnitude / 100, magnitude % 100);
    // Where the double nearest to the text lies just below it, a tail far
    // below a hundredth (the shortest one that the double's precision at
    // this magnitude still sees) lifts the value just past v.
    std::string text = plain;
    for (const char* tail : {"0000001", "00001", "001"}) {
        double parsed = 0;
        platform::leadingDouble(text.c_str(), &parsed);
        if (truncatedTimes(parsed, kHundred) == v) break;
        text = std::string(plain) + tail;
    }
    return text;
}

}  // namespace quil::settings
