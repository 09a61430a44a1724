// Encoder inputs, analog outputs and digital outputs of the models 34 to 39:
// the encoders' current values and reset, the encoder number, the encoder
// parameters, the analog output channel and the digital output level.
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <optional>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/device.h"
#include "quil/exchange.h"

namespace quil {
namespace {

constexpr std::int32_t kChannels = 3;        // encoder channels 1 to 3
constexpr std::int32_t kDigitalOutputs = 4;  // digital outputs 1 to 4
constexpr std::int32_t kMaxInputMode = 3;
constexpr std::int32_t kMaxInterval = 10000;
constexpr std::int32_t kMaxOperatingMode = 2;
constexpr std::int32_t kMaxDirection = 2;
constexpr std::int32_t kMaxAnalogChannel = 3;
constexpr std::int32_t kMaxLevel = 4;

bool inRange(std::int32_t v, std::int32_t first, std::int32_t last) { return v >= first && v <= last; }
bool channelOk(std::int32_t channel) { return inRange(channel, 1, kChannels); }

// A reply value: 0 where the controller sends a special text instead of a
// number (an encoder without a signal).
std::int32_t valueOf(const Reply& r, int i) { return parseSpecialValue(r.text(i)) != 0 ? 0 : r.integer(i); }

// A group of values from field 3 on. The controller sends a special text in
// field 3 for the whole group, which then reads as 0 throughout.
void readGroup(const Reply& r, std::initializer_list<std::int32_t*> outs) {
    const bool special = parseSpecialValue(r.text(3)) != 0;
    int i = 3;
    for (std::int32_t* out : outs) *out = special ? 0 : r.integer(i++);
}

enum class Retry { Yes, No };

// One member of the family on the Exchange. What the members share:
//  - they run on the encoder models only: any other model gets 8208, tested
//    right after the DeviceId and before the arguments;
//  - every bad argument gives 4103;
//  - the reply buffer is 128 bytes; the mode switch and one more try on 4101
//    go to setting mode, except for the members that are answered in either
//    mode (the current value, the reset, the digital output level), which
//    pass a refusal on as it is;
//  - the trace lines " send command fail DeviceID:%d<part> rc:%d" and
//    " Success DeviceID:%d<part>", where the part is " OutNo:%d" with the
//    channel or output number where the member takes one, then the values
//    sent or the value read.
// The family's own steps come first in a chain, the Exchange's after them.
class EncoderIo : public Exchange {
public:
    // entryFormat: null for the second exchange of a member that makes two.
    EncoderIo(std::int32_t id, const char* func, Retry retry, std::optional<std::int32_t> outNo = std::nullopt,
              const char* entryFormat = " DeviceID:%d")
        : Exchange(id, func, entryFormat) {
        check(isEncoderDevice(id), QUIL_ERROR_UNSUPPORTED);
        Exchange::retry(retry == Retry::Yes ? std::optional<Mode>(Mode::Setting) : std::nullopt);
        if (outNo) append(" OutNo:%d", *outNo);
        failure(" send command fail DeviceID:%d%s rc:%d", id, part_);
        success(" Success DeviceID:%d%s", id, part_);
    }

    EncoderIo& args(bool ok) {
        check(ok, QUIL_ERROR_PARAMETER);
        return *this;
    }
    // The values sent, for both trace lines.
    template <class... V>
    EncoderIo& values(const char* format, V... v) {
        append(format, v...);
        return *this;
    }
    // One value from field i of the reply into *out, shown in the success
    // line as name.
    EncoderIo& reads(int i, const char* name, std::int32_t* out) {
        parse([this, i, name, out](const Reply& r) {
            *out = valueOf(r, i);
            append(" %s:%d", name, *out);
        });
        return *this;
    }
    // The command once for each channel, 1 to 3, in that order: the
    // controller takes a parameter for all its channels alike.
    template <class... A>
    EncoderIo& toEveryChannel(const char* format, A... a) {
        for (std::int32_t k = 1; k <= kChannels; ++k) command(format, k, a...);
        return *this;
    }

private:
    __attribute__((format(printf, 2, 3))) void append(const char* format, ...) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(part_ + used_, sizeof part_ - used_, format, args);
        va_end(args);
        for (; used_ + 1 < sizeof part_ && part_[used_] != '\0'; ++used_) {}
    }

    char part_[128] = "";
    std::size_t used_ = 0;
};

// The operating mode and detection direction of every channel: the second
// half of the encoder parameters, traced under its own name.
std::int32_t setEncoderFunction(std::int32_t id, std::int32_t channel, std::int32_t OperatingMode,
                                std::int32_t DetectionDirection) {
    return EncoderIo(id, "SetEncoderFunction", Retry::Yes, channel)
        .args(channelOk(channel) && inRange(OperatingMode, 0, kMaxOperatingMode) &&
              inRange(DetectionDirection, 0, kMaxDirection))
        .values(" OperatingMode:%d DetectionDirection:%d", OperatingMode, DetectionDirection)
        .toEveryChannel("SW,CQ,%02d,%1d,%1d\r\n", OperatingMode, DetectionDirection)
        .fields(2)
        .run();
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderCurrentValue(int32_t DeviceId, int32_t channel, int32_t* value) {
    return EncoderIo(DeviceId, "QUIL_GetEncoderCurrentValue", Retry::No, channel)
        .args(channelOk(channel) && value)
        .reads(1, "value", value)
        .command("CX,%02d\r\n", channel)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_EncoderReset(int32_t DeviceId, int32_t channel) {
    return EncoderIo(DeviceId, "QUIL_EncoderReset", Retry::No, channel)
        .args(channelOk(channel))
        .command("CD,%02d\r\n", channel)
        .fields(1)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderNumber(int32_t DeviceId, int32_t number) {
    return EncoderIo(DeviceId, "QUIL_SetEncoderNumber", Retry::Yes, number)
        .args(channelOk(number))
        .command("SW,CY,%02d\r\n", number)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderNumber(int32_t DeviceId, int32_t* number) {
    return EncoderIo(DeviceId, "QUIL_GetEncoderNumber", Retry::Yes)
        .args(number != nullptr)
        .reads(2, "number", number)
        .command("SR,CY\r\n")
        .fields(3)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderParameters(int32_t DeviceId, int32_t channel, int32_t InputMode,
                                                        int32_t InputTime, int32_t interval, int32_t OperatingMode,
                                                        int32_t DetectionDirection) {
    const int32_t r =
        EncoderIo(DeviceId, "QUIL_SetEncoderParameters", Retry::Yes, channel)
            .args(channelOk(channel) && inRange(InputMode, 0, kMaxInputMode) && inRange(interval, 1, kMaxInterval) &&
                  inRange(OperatingMode, 0, kMaxOperatingMode) && inRange(DetectionDirection, 0, kMaxDirection))
            .values(" InputMode:%d InputTime:%d interval:%d", InputMode, InputTime, interval)
            .toEveryChannel("SW,CS,%02d,%1d,%010d,%06d\r\n", InputMode, InputTime, interval)
            .fields(2)
            .run();
    return r != QUIL_OK ? r : setEncoderFunction(DeviceId, channel, OperatingMode, DetectionDirection);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderParameters(int32_t DeviceId, int32_t channel, int32_t* InputMode,
                                                        int32_t* InputTime, int32_t* interval, int32_t* OperatingMode,
                                                        int32_t* DetectionDirection) {
    static const char* const F = "QUIL_GetEncoderParameters";
    // Two exchanges, each under the lock for itself; what the first has read
    // stays written when the second fails. Neither traces a success line.
    const auto quiet = [](const Trace&) {};
    const int32_t r =
        EncoderIo(DeviceId, F, Retry::Yes, channel)
            .args(channelOk(channel) && InputMode && InputTime && interval && OperatingMode && DetectionDirection)
            .command("SR,CS,%02d\r\n", channel)
            .fields(6)
            .parse([&](const Reply& reply) {
                readGroup(reply, {InputMode, InputTime, interval});
            })
            .success(quiet)
            .run();
    if (r != QUIL_OK) return r;
    return EncoderIo(DeviceId, F, Retry::Yes, channel, nullptr)
        .command("SR,CQ,%02d\r\n", channel)
        .fields(5)
        .parse([&](const Reply& reply) {
            readGroup(reply, {OperatingMode, DetectionDirection});
        })
        .success(quiet)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetAnalogOutput(int32_t DeviceId, int32_t channel, int32_t OutputChannel) {
    return EncoderIo(DeviceId, "QUIL_SetAnalogOutput", Retry::Yes, channel)
        .args(channelOk(channel) && inRange(OutputChannel, 0, kMaxAnalogChannel))
        .values(" OutputChannel:%d", OutputChannel)
        .command("SW,CT,%02d,%1d\r\n", channel, OutputChannel)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetAnalogOutputChannel(int32_t DeviceId, int32_t channel, int32_t* OutputChannel) {
    return EncoderIo(DeviceId, "QUIL_GetAnalogOutputChannel", Retry::Yes, channel)
        .args(channelOk(channel) && OutputChannel)
        .reads(3, "OutputChannel", OutputChannel)
        .command("SR,CT,%02d\r\n", channel)
        .fields(4)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetIODigitalOutput(int32_t DeviceId, int32_t OutNo, int32_t Level) {
    return EncoderIo(DeviceId, "QUIL_SetIODigitalOutput", Retry::Yes, OutNo)
        .args(inRange(OutNo, 1, kDigitalOutputs) && inRange(Level, 0, kMaxLevel))
        .values(" Level:%d", Level)
        .command("SW,CU,%02d,%1d\r\n", OutNo, Level)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetIOOutputChannel(int32_t DeviceId, int32_t OutNo, int32_t* Level) {
    return EncoderIo(DeviceId, "QUIL_GetIOOutputChannel", Retry::No, OutNo)
        .args(inRange(OutNo, 1, kDigitalOutputs) && Level)
        .reads(3, "Level", Level)
        .command("SR,CU,%02d\r\n", OutNo)
        .fields(4)
        .run();
}

}  // extern "C"
