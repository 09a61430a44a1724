// The one wrapper that every exported command function runs through.
//
// An exported function states only what is its own: its checks, its command,
// its retry mode, its expected field count, its parse and its trace texts.
// The exchange runs the common steps in their fixed order: entry trace, the
// DeviceId check, the argument checks (no traffic, no trace), the device lock,
// the command, one mode recovery on 4101, the failure trace, the field-count
// test, the parse, clearing the reply fields, unlocking, the success trace.
//
//   return Exchange(id, "QUIL_GetProgramNo")
//       .check(ProgramNo != nullptr, QUIL_ERROR_PARAMETER)
//       .send(Mode::Measure, "PR\r\n")
//       .fields(2)
//       .parse([&](const Reply& r) { *ProgramNo = r.integer(1); })
//       .failure(" send command PR fail DeviceID:%d rc:%d", id)
//       .success([&](const Trace& t) { t(" Success DeviceID:%d ProgramNo:%d", id, *ProgramNo); })
//       .run();
//
// A few steps serve the functions that do more than one command:
// - send() more than once: the commands go out in turn under the one lock
//   (a setting the controller takes per channel);
// - then(): a second exported call once the lock is released (the lock is
//   not recursive), before the success line;
// - checked(): the checks' outcome without sending, for a function that
//   makes another call before its own command;
// - bulk(): a command whose long reply is read whole (the stored values),
//   handed to the parse as Reply::line();
// - a null entry format: no entry line, for the second exchange of a
//   function that makes two.
// The settings families build their members on this through one helper
// (settings_family.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quil.h"
#include "quil/communication.h"

namespace quil {

// What a reply field accessor throws for a field that is not the number it
// should be. Exchange::run catches it and ends the call with
// QUIL_ERROR_REPLY; it never leaves the library.
struct BadReplyField {};

// Read access to the reply fields while a reply is parsed.
//
// The number accessors read a field whole, by the value codecs (codecs.h):
// a field that is not the number it should be ("abc", "0x10", " 5",
// "99999999999") throws BadReplyField, so the parse stops before it writes
// anything more and the call fails with QUIL_ERROR_REPLY. A parse therefore
// reads every field it needs before it writes the first output (integers()
// does both for a run of integer fields).
class Reply {
public:
    Reply(char** fields, int count, const char* line = "") : fields_(fields), count_(count), line_(line) {}
    int count() const { return count_; }
    // The whole reply of a bulk() command (no fields), CR LF cut off.
    const char* line() const { return line_; }
    // Field i as text; fields past the reply read as empty text.
    const char* text(int i) const;
    // An optional sign and decimal digits that fit 32 bits.
    std::int32_t integer(int i) const;
    // The controller's decimal form ("+012.345").
    float decimal(int i) const;
    // A measured value: a special text's status and 0.0, or status 0 and the
    // decimal.
    void measured(int i, std::int32_t* status, float* value) const;
    // Fields first, first + 1, ... as integers into outs, in order: all of
    // them, or none when one field is not an integer.
    template <class... Out>
    void integers(int first, Out*... outs) const {
        int i = first;
        // One value per output, read left to right.
        const std::int32_t values[] = {(static_cast<void>(outs), integer(i++))...};
        int k = 0;
        ((*outs = values[k++]), ...);
    }

private:
    [[noreturn]] static void bad() { throw BadReplyField{}; }

    char** fields_;
    int count_;
    const char* line_;
};

// Writes one trace line of the running function (level 1, source file
// "quil" for the exported functions); handed to the trace callbacks of an
// Exchange.
class Trace {
public:
    Trace(const char* func, long line, const char* file = "quil") : func_(func), file_(file), line_(line) {}
    void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3)));

private:
    const char* func_;
    const char* file_;
    long line_;
};

// The source file that an exchange's trace lines name, where it is not
// "quil" (the controller settings commands trace as "communication").
struct TraceFile {
    const char* name;
};

class Exchange {
public:
    using Parse = std::function<std::int32_t(const Reply&)>;
    using TraceFn = std::function<void(const Trace&, std::int32_t rc)>;

    // Writes the entry trace " DeviceID:%d" (format overridable for the few
    // functions whose entry line differs; none when null, for the second
    // exchange of a function that makes two).
    Exchange(std::int32_t id, const char* func, const char* entryFormat = " DeviceID:%d", long line = __builtin_LINE());
    Exchange(TraceFile file, std::int32_t id, const char* func, const char* entryFormat = " DeviceID:%d",
             long line = __builtin_LINE());
    Exchange(const Exchange&) = delete;

    // Argument check: when ok is false the exchange ends with code before
    // anything is sent. The first failing check wins.
    Exchange& check(bool ok, std::int32_t code) {
        if (!ok && !failedCheck_) {
            failedCheck_ = code;
            failedAt_ = checks_;
        }
        ++checks_;
        return *this;
    }
    // A check that needs the device (its model): fn runs once the DeviceId
    // is known valid, in its place among the checks, and gives its code or
    // QUIL_OK.
    Exchange& check(std::function<std::int32_t()> fn) {
        deviceChecks_.push_back({checks_++, std::move(fn)});
        return *this;
    }
    // The command, printf-style (the format ends in "\r\n"), with the mode to
    // switch to before the one retry on 4101 (none without a mode).
    //
    // Several commands go out in turn under the one device lock, each with
    // its own mode recovery; a failed one does not stop the later ones, and
    // the exchange's outcome (result and reply) is that of the last one.
    Exchange& send(std::optional<Mode> retry, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // A command whose long reply is read whole into the device's bulk
    // buffer (no mode recovery, no fields, no reply check: an error reply is
    // found by the parse, in Reply::line()).
    Exchange& bulk(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Runs fn under the device lock in place of a command line (the JSON
    // register messages); its result is the exchange's result, passed back
    // as it is. No mode recovery applies.
    Exchange& transact(std::function<std::int32_t()> fn) {
        transact_ = std::move(fn);
        return *this;
    }
    // Reply buffer size of sendCommand (128 unless a function names another).
    Exchange& replySize(std::size_t size) {
        replySize_ = size;
        return *this;
    }
    // The reply must have exactly n fields, else 8195; mismatch writes a
    // trace line for a wrong count (most functions write none).
    Exchange& fields(int n, std::function<void(const Trace&, int count)> mismatch = nullptr) {
        expectedFields_ = n;
        mismatch_ = std::move(mismatch);
        return *this;
    }
    // Parse step: a void lambda, or one returning a result code (non-zero
    // ends the call with that code, without a trace line).
    template <class F>
    Exchange& parse(F f) {
        if constexpr (std::is_void_v<std::invoke_result_t<F, const Reply&>>)
            parse_ = [f](const Reply& r) -> std::int32_t {
                f(r);
                return QUIL_OK;
            };
        else
            parse_ = std::move(f);
        return *this;
    }
    // Failure trace after the exchange: format with the given arguments and
    // the result code appended as the last argument.
    template <class... A>
    Exchange& failure(const char* format, A... args) {
        failure_ = [format, args...](const Trace& t, std::int32_t rc) { t(format, args..., rc); };
        return *this;
    }
    // Success trace with fixed arguments, or a callback for lines that show
    // parsed values.
    template <class... A>
    Exchange& success(const char* format, A... args) {
        success_ = [format, args...](const Trace& t, std::int32_t) { t(format, args...); };
        return *this;
    }
    Exchange& success(std::function<void(const Trace&)> f) {
        success_ = [f = std::move(f)](const Trace& t, std::int32_t) { f(t); };
        return *this;
    }
    // Runs fn once the reply has been parsed and the device lock released,
    // before the success line: for a function that makes a second exported
    // call, which takes the lock itself. A non-zero result ends the call with
    // that code, without a trace line.
    Exchange& then(std::function<std::int32_t()> fn) {
        then_ = std::move(fn);
        return *this;
    }
    // A trace line right after a successful exchange, before the field
    // count is tested (the storage status read; the storage controls write
    // their success line there and none after).
    template <class... A>
    Exchange& afterExchange(const char* format, A... args) {
        exchanged_ = [format, args...](const Trace& t, std::int32_t) { t(format, args...); };
        return *this;
    }

    // The DeviceId check, then the first failing argument check: QUIL_OK
    // when the call may go ahead. Sends nothing and writes no trace.
    std::int32_t checked() const;
    std::int32_t run();

private:
    std::int32_t id_;
    Trace trace_;
    struct Command {
        std::optional<Mode> retry;
        std::string line;
    };
    struct DeviceCheck {
        int at;  // its place among the checks
        std::function<std::int32_t()> fn;
    };

    std::int32_t failedCheck_ = QUIL_OK;
    int failedAt_ = 0;
    int checks_ = 0;
    std::vector<DeviceCheck> deviceChecks_;
    std::vector<Command> commands_;
    bool bulk_ = false;
    std::size_t replySize_ = 128;
    int expectedFields_ = -1;
    Parse parse_;
    std::function<std::int32_t()> transact_;
    std::function<std::int32_t()> then_;
    TraceFn failure_;
    TraceFn success_;
    TraceFn exchanged_;
    std::function<void(const Trace&, int)> mismatch_;
};

}  // namespace quil
