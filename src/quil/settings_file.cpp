#include "quil/settings_file.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "link/json.h"
#include "platform/platform.h"
#include "quil/codecs.h"
#include "quil/device.h"

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
}  // namespace

const char* minTimeText(std::int32_t reported) {
    if (const char* text = textOf(kMinTimes, reported)) return text;
    // Below the shortest time in nanoseconds, a count of microseconds.
    if (reported > 0 && reported < kShortestTimeNs) return textOf(kMinTimes, reported * kNanosPerMicro);
    return nullptr;
}

std::string numberedName(const char* prefix, int n) { return prefix + std::to_string(n); }
std::string headName(int head) { return numberedName(kHeadBlocks.prefix, head); }
std::string outName(int out) { return numberedName(kOutBlocks.prefix, out); }

int blockNumber(const char* name, const char* prefix, int last) {
    const std::size_t n = std::strlen(prefix);
    if (std::strncmp(name, prefix, n) != 0 || std::strlen(name) != n + 1) return 0;
    const int digit = name[n] - '0';
    return digit >= 1 && digit <= last ? digit : 0;
}

std::string hundredthsText(std::int32_t v) {
    const long long magnitude = std::llabs(static_cast<long long>(v));
    char text[40];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", v < 0 ? "-" : "", magnitude / 100, magnitude % 100);
    return text;
}

namespace {

// The text after optional leading blanks and one sign, when digits follow
// in the form a decimal number may take (at most one point when allowed);
// null otherwise.
const char* plainNumber(const char* text, bool point) {
    if (!text) return nullptr;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') ++text;
    const char* number = text;
    if (*text == '+' || *text == '-') ++text;
    int digits = 0, points = 0;
    for (; *text; ++text) {
        if (*text >= '0' && *text <= '9')
            ++digits;
        else if (*text == '.' && point && points == 0)
            ++points;
        else
            return nullptr;
    }
    return digits > 0 ? number : nullptr;
}

}  // namespace

std::optional<std::int32_t> integerText(const char* text) {
    const char* number = plainNumber(text, false);
    std::int32_t v = 0;
    if (!number || !readInteger(number, &v)) return std::nullopt;
    return v;
}

std::optional<double> decimalText(const char* text) {
    const char* number = plainNumber(text, true);
    if (!number) return std::nullopt;
    const double v = platform::toDouble(number);
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

std::optional<std::int32_t> timesFactor(double v, double factor) {
    const double t = wholeUnits(v * factor);
    if (!(t >= INT32_MIN && t <= INT32_MAX)) return std::nullopt;
    return static_cast<std::int32_t>(t);
}

bool linkFailure(std::int32_t code) {
    switch (code) {
    case QUIL_ERROR_TIMEOUT:
    case QUIL_ERROR_SEND:
    case QUIL_ERROR_REPLY:
    case QUIL_ERROR_OVERFLOW:
    case QUIL_ERROR_WAIT:
    case QUIL_ERROR_OPEN:
    case QUIL_ERROR_NO_LINK: return true;
    default: return false;
    }
}

namespace {

template <class F>
std::int32_t laserPowerExchange(std::int32_t id, F exchange) {
    if (const std::int32_t r = checkDeviceId(id); r != QUIL_OK) return r;
    std::lock_guard<std::mutex> lock(deviceLock(id));
    if (!openInHeldSession(id)) return QUIL_ERROR_OPEN;
    const std::int32_t j = exchange(static_cast<std::uint32_t>(id));
    // An exchange that failed as such (no link, no reply in time) is a
    // time-out; the other codes are the controller's answers.
    return j == QUIL_JSON_OK ? QUIL_OK : j == QUIL_JSON_NO_REPLY ? QUIL_ERROR_TIMEOUT : QUIL_ERROR_UNKNOWN;
}

}  // namespace

std::int32_t readLaserPower(std::int32_t id, std::int32_t head, std::int32_t* power) {
    std::uint32_t reg = 0;
    const std::int32_t r = laserPowerExchange(
        id, [&](std::uint32_t link) { return link::jsonRegRead(link, head, kLaserPowerRegister, &reg); });
    if (r == QUIL_OK) *power = static_cast<std::int32_t>(reg >> kLaserPowerShift);
    return r;
}

std::int32_t writeLaserPower(std::int32_t id, std::int32_t head, std::int32_t power) {
    const std::uint32_t reg = static_cast<std::uint32_t>(power) << kLaserPowerShift;
    return laserPowerExchange(
        id, [&](std::uint32_t link) { return link::jsonRegWrite(link, head, kLaserPowerRegister, reg); });
}

namespace {

// Walks a document the way TinyXML's parser steps through it, counting the
// element depth and each element's attributes. Where the parser would stop
// with an error, the scan stops too and accepts: the parser reads no further.
class DocumentScan {
public:
    // The parser reads a text up to its first zero byte.
    explicit DocumentScan(std::string_view text) : t_(text.substr(0, text.find('\0'))) {}

    bool withinLimits() {
        while (true) {
            skipBlanks();
            if (p_ >= t_.size()) return true;
            if (t_[p_] != '<') {
                // Text outside the root ends the parse; inside an element
                // it runs to the next '<' the parser sees, stepping over
                // whole characters as their first byte announces them.
                if (depth_ == 0) return true;
                while (p_ < t_.size() && t_[p_] != '<')
                    if ((p_ = step(p_)) == kStop) return true;
                continue;
            }
            const Step s = markup();
            if (s != Step::Next) return s == Step::Stop;
        }
    }

private:
    enum class Step { Next, Stop, Refuse };

    static bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    static bool nameStart(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 127 || std::isalpha(u) || c == '_';
    }
    static bool nameChar(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 127 || std::isalnum(u) || c == '_' || c == '-' || c == '.' || c == ':';
    }
    static constexpr std::size_t kStop = std::string_view::npos;
    // The parser's step over one character of text or of a quoted value,
    // from p: a UTF-8 lead byte announces its character's length, and a
    // numeric character reference ("&#...;", "&#x...;") runs to the next
    // ';' when what lies between that ';' and the last '#' (or 'x') before it
    // are digits, whatever else it steps over. kStop where the parser stops
    // with an error.
    std::size_t step(std::size_t p) const {
        const auto u = static_cast<unsigned char>(t_[p]);
        if (u >= 0xC2 && u <= 0xDF) return p + 2;
        if (u >= 0xE0 && u <= 0xEF) return p + 3;
        if (u >= 0xF0 && u <= 0xF4) return p + 4;
        if (t_[p] != '&' || p + 2 >= t_.size() || t_[p + 1] != '#') return p + 1;
        const bool hex = t_[p + 2] == 'x';
        if (hex && p + 3 >= t_.size()) return kStop;
        const std::size_t end = t_.find(';', hex ? p + 3 : p + 2);
        if (end == kStop) return kStop;
        for (std::size_t i = t_.rfind(hex ? 'x' : '#', end - 1) + 1; i < end; ++i) {
            const char c = t_[i];
            const bool digit = (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
            if (!digit) return kStop;
        }
        return end + 1;
    }
    bool at(std::string_view s, bool anyCase = false) const {
        if (t_.size() - p_ < s.size()) return false;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const char c = t_[p_ + i];
            if (anyCase ? std::tolower(static_cast<unsigned char>(c)) != s[i] : c != s[i]) return false;
        }
        return true;
    }
    // Blanks, and the byte-order marks that the parser skips with them.
    void skipBlanks() {
        while (p_ < t_.size()) {
            if (at("\xEF\xBB\xBF") || at("\xEF\xBF\xBE") || at("\xEF\xBF\xBF"))
                p_ += 3;
            else if (blank(t_[p_]))
                ++p_;
            else
                break;
        }
    }
    void skipPast(std::string_view end) {
        const std::size_t e = t_.find(end, p_);
        p_ = e == std::string_view::npos ? t_.size() : e + end.size();
    }
    void skipName() {
        while (p_ < t_.size() && nameChar(t_[p_])) ++p_;
    }

    Step markup() {
        if (at("<?xml", true)) return declaration();
        if (at("<!--")) {
            p_ += 4;
            skipPast("-->");
        } else if (at("<![CDATA[")) {
            p_ += 9;
            skipPast("]]>");
        } else if (at("</") && depth_ > 0) {
            // An end tag that does not match its element stops the parser.
            --depth_;
            skipPast(">");
        } else if (p_ + 1 < t_.size() && nameStart(t_[p_ + 1])) {
            return element();
        } else {
            skipPast(">");  // "<!DOCTYPE ...>" and anything else the parser keeps unread
        }
        return Step::Next;
    }

    Step declaration() {
        p_ += 5;
        while (p_ < t_.size()) {
            if (t_[p_] == '>') {
                ++p_;
                return Step::Next;
            }
            skipBlanks();
            if (at("version", true) || at("encoding", true) || at("standalone", true)) {
                if (const Step s = attribute(); s != Step::Next) return s;
            } else {
                while (p_ < t_.size() && t_[p_] != '>' && !blank(t_[p_])) ++p_;
            }
        }
        return Step::Stop;
    }

    Step element() {
        // The parser makes an element of every start it meets, also one
        // that ends in an error: its level counts from its start.
        if (depth_ + 1 > kMaxDocumentDepth) return Step::Refuse;
        ++p_;
        skipName();
        for (int attributes = 0;;) {
            skipBlanks();
            if (p_ >= t_.size()) return Step::Stop;
            if (t_[p_] == '/') {
                if (!at("/>")) return Step::Stop;
                p_ += 2;
                return Step::Next;
            }
            if (t_[p_] == '>') {
                ++p_;
                ++depth_;
                return Step::Next;
            }
            if (++attributes > kMaxElementAttributes) return Step::Refuse;
            if (const Step s = attribute(); s != Step::Next) return s;
        }
    }

    // name = "value", 'value' or an unquoted value.
    Step attribute() {
        if (!nameStart(t_[p_])) return Step::Stop;
        skipName();
        skipBlanks();
        if (p_ >= t_.size() || t_[p_] != '=') return Step::Stop;
        ++p_;
        skipBlanks();
        if (p_ >= t_.size()) return Step::Stop;
        const std::size_t start = p_;
        const char quote = t_[p_];
        if (quote == '"' || quote == '\'') {
            for (++p_; p_ < t_.size() && t_[p_] != quote;)
                if ((p_ = step(p_)) == kStop) return Step::Stop;
            if (p_ >= t_.size()) return Step::Stop;
            ++p_;
        } else {
            while (p_ < t_.size() && !blank(t_[p_]) && t_[p_] != '/' && t_[p_] != '>') {
                if (t_[p_] == '"' || t_[p_] == '\'') return Step::Stop;
                ++p_;
            }
        }
        return p_ - start > kMaxAttributeBytes + 2 ? Step::Refuse : Step::Next;
    }

    std::string_view t_;
    std::size_t p_ = 0;
    int depth_ = 0;
};

}  // namespace

bool withinDocumentLimits(std::string_view text) {
    return text.size() <= kMaxDocumentBytes && DocumentScan(text).withinLimits();
}

}  // namespace quil::settings
