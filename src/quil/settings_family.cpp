#include "quil/settings_family.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "quil/device.h"

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

Setting::Setting(std::int32_t id, const char* func, Index index, std::size_t replySize,
                 std::initializer_list<const void*> outputs, long line)
    : id_(id), trace_(func, line), exchange_(id, func, " DeviceID:%d", line) {
    exchange_.replySize(replySize);
    subject_ = " DeviceID:" + std::to_string(id);
    if (index.name) {
        check(index.number >= 1 && index.number <= index.last, QUIL_ERROR_RANGE);
        subject_ += std::string(" ") + index.name + ":" + std::to_string(index.number);
    }
    check(std::none_of(outputs.begin(), outputs.end(), [](const void* p) { return p == nullptr; }),
          QUIL_ERROR_NULL_POINTER);
}

Setting& Setting::check(bool ok, std::int32_t code) {
    if (!ok && failedCheck_ == QUIL_OK) failedCheck_ = code;
    exchange_.check(ok, code);
    return *this;
}

Setting& Setting::send(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string command = formatted(format, args);
    va_end(args);
    exchange_.send(Mode::Setting, "%s", command.c_str());
    return *this;
}

Setting& Setting::values(const char* format, ...) {
    va_list args;
    va_start(args, format);
    subject_ += formatted(format, args);
    va_end(args);
    return *this;
}

std::int32_t Setting::checked() const {
    const std::int32_t r = checkDeviceId(id_);
    return r != QUIL_OK ? r : failedCheck_;
}

std::int32_t Setting::run() {
    exchange_.failure(" send command fail%s rc:%d", subject_.c_str());
    if (!afterUnlock_) {
        exchange_.success(" Success%s rc:%d", subject_.c_str(), QUIL_OK);
        return exchange_.run();
    }
    std::int32_t r = exchange_.run();
    if (r != QUIL_OK) return r;
    if ((r = afterUnlock_()) != QUIL_OK) return r;
    trace_(" Success%s rc:%d", subject_.c_str(), QUIL_OK);
    return QUIL_OK;
}

}  // namespace quil
