// The settings families: one exported function per controller setting, written
// with an "SW" command and read back with an "SR" command in setting mode.
//
// What every member shares lives here: the reply buffer size (128 for setters
// and commands, 256 for getters), the mode recovery ("Q0" before the one
// retry on 4101), the check of the head or OUT number (4105), the getters'
// null-pointer check (8205, after the number check) and the frame of the
// trace lines:
//
//   " send command fail DeviceID:%d HeadNo:%d" <values> " rc:%d"
//   " Success DeviceID:%d HeadNo:%d" <values> " rc:%d"
//
// with "OutNo" for the output settings, and without the index part for the
// controller-wide settings (Index::none()). Getters trace no values.
//
// A member states only what is its own: its value checks, its command, its
// field count, its parse and the value part of its trace lines.
//
//   return Setting::setter(DeviceId, "QUIL_SetMedian", Index::head(HeadNo))
//       .check(inRange(Median, 0, 3), QUIL_ERROR_VALUE)
//       .send("SW,HG,%02d,%d\r\n", HeadNo, Median)
//       .fields(2)
//       .values(" Median:%d", Median)
//       .run();
//
//   return Setting::getter(DeviceId, "QUIL_GetMedian", Index::head(HeadNo), {Median})
//       .send("SR,HG,%02d\r\n", HeadNo)
//       .fields(4)
//       .parse([&](const Reply& r) { *Median = r.integer(3); })
//       .run();
//
// A controller-wide setting passes Index::none() and traces
// " send command fail DeviceID:%d" <values> " rc:%d". Setters that send
// lengths use ValueText (the sign-and-six-digits text and whether the value
// fits it) and check value.fits with QUIL_ERROR_VALUE. Two further steps serve
// the members that need a second exported call, which must run without the
// device lock (the lock is not recursive):
// - checked() gives the result of the DeviceId and argument checks without
//   sending anything, so a setter can read another setting first and only
//   then state its command;
// - afterUnlock(fn) runs fn once the exchange has succeeded and the lock is
//   released; a non-zero result of fn is the call's result and no success
//   line is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/exchange.h"

namespace quil {

// The number that selects what a setting belongs to, with its valid range.
struct Index {
    const char* name;  // traced as " name:%d"; nullptr for none
    std::int32_t number;
    std::int32_t last;  // valid from 1 to last

    static constexpr std::int32_t kHeads = 4;

    static Index head(std::int32_t HeadNo) { return {"HeadNo", HeadNo, kHeads}; }
    static Index out(std::int32_t OutNo, std::int32_t last) { return {"OutNo", OutNo, last}; }
    static Index none() { return {nullptr, 0, 0}; }
};

// The value check of most setters: v from first to last.
inline bool inRange(std::int32_t v, std::int32_t first, std::int32_t last) { return v >= first && v <= last; }

// A setting value as the controller takes it: a sign and six digits. Values
// of more digits do not fit the command's field; fits tells.
struct ValueText {
    static constexpr int kDigits = 6;
    explicit ValueText(std::int32_t v) : fits(digitCount(v) <= kDigits) { formatSigned6(v, text); }
    char text[kSigned6TextSize] = {};
    bool fits;
};

class Setting {
public:
    static constexpr std::size_t kSetterReplySize = 128;
    static constexpr std::size_t kGetterReplySize = 256;

    // A setter or a command without a value.
    static Setting setter(std::int32_t id, const char* func, Index index, long line = __builtin_LINE()) {
        return Setting(id, func, index, kSetterReplySize, {}, line);
    }
    // A getter writing through outputs: each must be non-null.
    static Setting getter(std::int32_t id, const char* func, Index index, std::initializer_list<const void*> outputs,
                          long line = __builtin_LINE()) {
        return Setting(id, func, index, kGetterReplySize, outputs, line);
    }
    Setting(const Setting&) = delete;

    Setting& check(bool ok, std::int32_t code);
    // The command (printf-style, ending in "\r\n").
    Setting& send(const char* format, ...) __attribute__((format(printf, 2, 3)));
    Setting& fields(int n) {
        exchange_.fields(n);
        return *this;
    }
    // The value part of the trace lines, each value as " name:format".
    Setting& values(const char* format, ...) __attribute__((format(printf, 2, 3)));
    template <class F>
    Setting& parse(F f) {
        exchange_.parse(std::move(f));
        return *this;
    }
    Setting& afterUnlock(std::function<std::int32_t()> fn) {
        afterUnlock_ = std::move(fn);
        return *this;
    }

    // The DeviceId check, then the first failing argument check: QUIL_OK when
    // the call may go ahead. Sends nothing and writes no trace.
    std::int32_t checked() const;
    std::int32_t run();

private:
    Setting(std::int32_t id, const char* func, Index index, std::size_t replySize,
            std::initializer_list<const void*> outputs, long line);

    std::int32_t id_;
    Trace trace_;
    Exchange exchange_;
    std::int32_t failedCheck_ = QUIL_OK;
    // " DeviceID:n HeadNo:n" and the value part: the traces' common middle.
    std::string subject_;
    std::function<std::int32_t()> afterUnlock_;
};

}  // namespace quil
