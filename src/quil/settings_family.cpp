#include "quil/settings_family.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace quil {

namespace {

// Longer than any setting command or value part: group letters, an index
// and a few value texts.
constexpr std::size_t kTextSize = 128;

std::string formatted(const char* format, va_list args) {
    char text[kTextSize];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

}  // namespace

Setting::Setting(const Family& family, std::int32_t id, const char* func, Index index, std::size_t replySize,
                 std::initializer_list<const void*> outputs, long line, const char* entryFormat)
    : family_(family), exchange_(id, func, entryFormat, line), subject_(" DeviceID:" + std::to_string(id)) {
    exchange_.replySize(replySize);
    if (family.serves) check(family.serves(id), QUIL_ERROR_UNSUPPORTED);
    if (index.name) {
        check(inRange(index.number, 1, index.last), family.badIndex);
        subject_ += std::string(" ") + index.name + ":" + std::to_string(index.number);
    }
    check(std::none_of(outputs.begin(), outputs.end(), [](const void* p) { return p == nullptr; }), family.nullOutput);
}

Setting& Setting::send(const char* format, ...) {
    va_list args;
    va_start(args, format);
    commands_.push_back(formatted(format, args));
    va_end(args);
    return *this;
}

Setting& Setting::reads(int n, std::int32_t* out) {
    fields(n);
    return parse([n, out](const Reply& r) {
        const char* text = r.text(n - 1);
        *out = parseSpecialValue(text) != QUIL_VALUE_NORMAL ? 0 : r.integer(n - 1);
    });
}

Setting& Setting::values(const char* format, ...) {
    va_list args;
    va_start(args, format);
    subject_ += formatted(format, args);
    va_end(args);
    return *this;
}

std::int32_t Setting::run() {
    for (const std::string& command : commands_) exchange_.send(retry_, "%s", command.c_str());
    exchange_.failure(" send command fail%s rc:%d", subject_.c_str());
    if (successLine_)
        exchange_.success([this](const Trace& t) {
            std::string line = subject_;
            for (const auto& [format, value] : shown_) {
                char text[kTextSize];
                std::snprintf(text, sizeof text, format, *value);
                line += text;
            }
            if (family_.successRc)
                t(" Success%s rc:%d", line.c_str(), QUIL_OK);
            else
                t(" Success%s", line.c_str());
        });
    return exchange_.run();
}

}  // namespace quil
