// The settings families: one exported function per controller setting,
// written with an "SW" command and read back with an "SR" command in setting
// mode, and the encoder and I/O members of the encoder models.
//
// What every member shares lives here: the reply buffer size, the mode
// recovery ("Q0" before the one retry on 4101), the check of the head, OUT or
// channel number, the getters' null-pointer check (after the number check)
// and the frame of the trace lines:
//
//   " send command fail DeviceID:%d HeadNo:%d" <values> " rc:%d"
//   " Success DeviceID:%d HeadNo:%d" <values> " rc:%d"
//
// with "OutNo" for an OUT, an encoder channel or a digital output, and
// without the index part for the controller-wide settings (Index::none()).
// Getters trace no values unless they show what they read (shows()).
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
//       .reads(4, Median)
//       .run();
//
// What sets one family apart from another is its Family: the head, output
// and common settings are kSettings; the encoder and I/O family has its own
// (encoder_io.cpp). Setters that send lengths use ValueText (the
// sign-and-six-digits text and whether the value fits it) and check
// value.fits with QUIL_ERROR_VALUE. A member that needs a second exported
// call, which must run without the device lock (the lock is not recursive),
// makes it in then() (Exchange::then), or, to read another setting before
// its own command, asks checked() first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/exchange.h"
#include "quil/model.h"

namespace quil {

// The number that selects what a setting belongs to, with its valid range.
struct Index {
    const char* name;  // traced as " name:%d"; nullptr for none
    std::int32_t number;
    std::int32_t last;  // valid from 1 to last

    static Index head(std::int32_t HeadNo) { return {"HeadNo", HeadNo, kHeads}; }
    static Index out(std::int32_t OutNo, std::int32_t last) { return {"OutNo", OutNo, last}; }
    static Index none() { return {nullptr, 0, 0}; }
};

// What sets one family of settings functions apart from another.
struct Family {
    std::size_t setterReply;  // the reply buffer of a setter or command
    std::size_t getterReply;  // the reply buffer of a getter
    std::int32_t badIndex;    // the code for an index outside 1..last
    std::int32_t nullOutput;  // the code for a null output
    // The devices the family serves; any other gets 8208, before any other
    // check. Null: every device.
    bool (*serves)(std::int32_t id);
    bool successRc;  // the success line ends in " rc:0"
};

// The head, output and common settings.
inline constexpr Family kSettings{128, 256, QUIL_ERROR_RANGE, QUIL_ERROR_NULL_POINTER, nullptr, true};

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
    // A setter or a command without a value.
    static Setting setter(std::int32_t id, const char* func, Index index, const Family& family = kSettings,
                          long line = __builtin_LINE()) {
        return Setting(family, id, func, index, family.setterReply, {}, line, kEntry);
    }
    // A getter writing through outputs: each must be non-null. entryFormat
    // as for the Exchange: null for the second exchange of a member that
    // makes two.
    static Setting getter(std::int32_t id, const char* func, Index index, std::initializer_list<const void*> outputs,
                          const Family& family = kSettings, long line = __builtin_LINE(),
                          const char* entryFormat = kEntry) {
        return Setting(family, id, func, index, family.getterReply, outputs, line, entryFormat);
    }
    Setting(const Setting&) = delete;

    Setting& check(bool ok, std::int32_t code) {
        exchange_.check(ok, code);
        return *this;
    }
    // A mode refusal (4101) is passed on as it is, without the switch to
    // setting mode and the retry: for the members the controller answers in
    // either mode.
    Setting& anyMode() {
        retry_ = std::nullopt;
        return *this;
    }
    // The command (printf-style, ending in "\r\n"). Several go out in turn
    // under the one device lock, as Exchange::send describes.
    Setting& send(const char* format, ...) __attribute__((format(printf, 2, 3)));
    Setting& fields(int n) {
        exchange_.fields(n);
        return *this;
    }
    // A getter of one number: the reply has n fields and the number is the
    // last one. A special text ("+FFFFFFF", "-FFFFFFF", "XXXXXXXX") reads as 0.
    Setting& reads(int n, std::int32_t* out);
    template <class F>
    Setting& parse(F f) {
        exchange_.parse(std::move(f));
        return *this;
    }
    // The value part of the trace lines, each value as " name:format".
    Setting& values(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A value read, shown at the end of the success line as format
    // (" name:%d") with the value *value has once the reply is parsed.
    Setting& shows(const char* format, const std::int32_t* value) {
        shown_.emplace_back(format, value);
        return *this;
    }
    // See Exchange::then.
    Setting& then(std::function<std::int32_t()> fn) {
        exchange_.then(std::move(fn));
        return *this;
    }
    // No success line: a member made of two exchanges writes none.
    Setting& withoutSuccessLine() {
        successLine_ = false;
        return *this;
    }

    // See Exchange::checked.
    std::int32_t checked() const { return exchange_.checked(); }
    std::int32_t run();

private:
    static constexpr const char* kEntry = " DeviceID:%d";

    Setting(const Family& family, std::int32_t id, const char* func, Index index, std::size_t replySize,
            std::initializer_list<const void*> outputs, long line, const char* entryFormat);

    Family family_;
    Exchange exchange_;
    // Handed to the exchange by run(), with the retry mode then in force.
    std::vector<std::string> commands_;
    std::optional<Mode> retry_ = Mode::Setting;
    bool successLine_ = true;
    // " DeviceID:n HeadNo:n" and the value part: the traces' common middle.
    std::string subject_;
    std::vector<std::pair<const char*, const std::int32_t*>> shown_;
};

}  // namespace quil
