// Encoder inputs, analog outputs and digital outputs of the models 34 to 39:
// the encoders' current values and reset, the encoder number, the encoder
// parameters, the analog output channel and the digital output level.
#include "quil.h"
#include "quil/codecs.h"
#include "quil/device.h"
#include "quil/settings_family.h"

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
constexpr int kMaxGroup = 3;  // values in one reply: input mode, time, interval

// What the members share beyond the settings frame: they run on the encoder
// models only (any other model gets 8208, right after the DeviceId and
// before the arguments); every bad argument, the channel or output number
// and a null output included, gives 4103; the reply buffer is 128 bytes for
// getters too; the success line has no " rc:" and shows the value a getter
// has read. The channel or output number is traced as " OutNo:%d".
constexpr Family kEncoderIo{128, 128, QUIL_ERROR_PARAMETER, QUIL_ERROR_PARAMETER, isEncoderDevice, false};

Index channelNo(std::int32_t channel) { return Index::out(channel, kChannels); }

// A group of values from field 3 on. The controller sends a special text in
// field 3 for the whole group, which then reads as 0 throughout.
void readGroup(const Reply& r, std::initializer_list<std::int32_t*> outs) {
    const bool special = parseSpecialValue(r.text(3)) != QUIL_VALUE_NORMAL;
    // Every field is read before the first output is written.
    std::int32_t values[kMaxGroup] = {};
    int i = 0;
    for (; i < static_cast<int>(outs.size()); ++i) values[i] = special ? 0 : r.integer(3 + i);
    i = 0;
    for (std::int32_t* out : outs) *out = values[i++];
}

// The operating mode and detection direction of every channel: the second
// half of the encoder parameters, traced under its own name. The controller
// takes a parameter for all its channels alike, so both halves send their
// command to channel 1, 2 and 3 in turn, under one device lock.
std::int32_t setEncoderFunction(std::int32_t id, std::int32_t channel, std::int32_t OperatingMode,
                                std::int32_t DetectionDirection) {
    Setting s = Setting::setter(id, "SetEncoderFunction", channelNo(channel), kEncoderIo);
    for (std::int32_t k = 1; k <= kChannels; ++k)
        s.send("SW,CQ,%02d,%1d,%1d\r\n", k, OperatingMode, DetectionDirection);
    return s
        .check(inRange(OperatingMode, 0, kMaxOperatingMode) && inRange(DetectionDirection, 0, kMaxDirection),
               QUIL_ERROR_PARAMETER)
        .values(" OperatingMode:%d DetectionDirection:%d", OperatingMode, DetectionDirection)
        .fields(2)
        .run();
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

// The current value, the reset and the digital output level are answered in
// either mode: a mode refusal is passed on as it is.
QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderCurrentValue(int32_t DeviceId, int32_t channel, int32_t* value) {
    return Setting::getter(DeviceId, "QUIL_GetEncoderCurrentValue", channelNo(channel), {value}, kEncoderIo)
        .anyMode()
        .send("CX,%02d\r\n", channel)
        .reads(2, value)
        .shows(" value:%d", value)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_EncoderReset(int32_t DeviceId, int32_t channel) {
    return Setting::setter(DeviceId, "QUIL_EncoderReset", channelNo(channel), kEncoderIo)
        .anyMode()
        .send("CD,%02d\r\n", channel)
        .fields(1)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderNumber(int32_t DeviceId, int32_t number) {
    return Setting::setter(DeviceId, "QUIL_SetEncoderNumber", channelNo(number), kEncoderIo)
        .send("SW,CY,%02d\r\n", number)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderNumber(int32_t DeviceId, int32_t* number) {
    return Setting::getter(DeviceId, "QUIL_GetEncoderNumber", Index::none(), {number}, kEncoderIo)
        .send("SR,CY\r\n")
        .reads(3, number)
        .shows(" number:%d", number)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderParameters(int32_t DeviceId, int32_t channel, int32_t InputMode,
                                                        int32_t InputTime, int32_t interval, int32_t OperatingMode,
                                                        int32_t DetectionDirection) {
    Setting s = Setting::setter(DeviceId, "QUIL_SetEncoderParameters", channelNo(channel), kEncoderIo);
    for (int32_t k = 1; k <= kChannels; ++k) s.send("SW,CS,%02d,%1d,%010d,%06d\r\n", k, InputMode, InputTime, interval);
    const int32_t r =
        s.check(inRange(InputMode, 0, kMaxInputMode) && inRange(interval, 1, kMaxInterval) &&
                    inRange(OperatingMode, 0, kMaxOperatingMode) && inRange(DetectionDirection, 0, kMaxDirection),
                QUIL_ERROR_PARAMETER)
            .values(" InputMode:%d InputTime:%d interval:%d", InputMode, InputTime, interval)
            .fields(2)
            .run();
    return r != QUIL_OK ? r : setEncoderFunction(DeviceId, channel, OperatingMode, DetectionDirection);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderParameters(int32_t DeviceId, int32_t channel, int32_t* InputMode,
                                                        int32_t* InputTime, int32_t* interval, int32_t* OperatingMode,
                                                        int32_t* DetectionDirection) {
    static const char* const F = "QUIL_GetEncoderParameters";
    // Two exchanges, each under the lock for itself; what the first has read
    // stays written when the second fails. Neither traces a success line,
    // and the second no entry line.
    const int32_t r = Setting::getter(DeviceId, F, channelNo(channel),
                                      {InputMode, InputTime, interval, OperatingMode, DetectionDirection}, kEncoderIo)
                          .send("SR,CS,%02d\r\n", channel)
                          .fields(6)
                          .parse([&](const Reply& reply) {
                              readGroup(reply, {InputMode, InputTime, interval});
                          })
                          .withoutSuccessLine()
                          .run();
    if (r != QUIL_OK) return r;
    return Setting::getter(DeviceId, F, channelNo(channel), {}, kEncoderIo, __LINE__, nullptr)
        .send("SR,CQ,%02d\r\n", channel)
        .fields(5)
        .parse([&](const Reply& reply) {
            readGroup(reply, {OperatingMode, DetectionDirection});
        })
        .withoutSuccessLine()
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetAnalogOutput(int32_t DeviceId, int32_t channel, int32_t OutputChannel) {
    return Setting::setter(DeviceId, "QUIL_SetAnalogOutput", channelNo(channel), kEncoderIo)
        .check(inRange(OutputChannel, 0, kMaxAnalogChannel), QUIL_ERROR_PARAMETER)
        .send("SW,CT,%02d,%1d\r\n", channel, OutputChannel)
        .fields(2)
        .values(" OutputChannel:%d", OutputChannel)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetAnalogOutputChannel(int32_t DeviceId, int32_t channel, int32_t* OutputChannel) {
    return Setting::getter(DeviceId, "QUIL_GetAnalogOutputChannel", channelNo(channel), {OutputChannel}, kEncoderIo)
        .send("SR,CT,%02d\r\n", channel)
        .reads(4, OutputChannel)
        .shows(" OutputChannel:%d", OutputChannel)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetIODigitalOutput(int32_t DeviceId, int32_t OutNo, int32_t Level) {
    return Setting::setter(DeviceId, "QUIL_SetIODigitalOutput", Index::out(OutNo, kDigitalOutputs), kEncoderIo)
        .check(inRange(Level, 0, kMaxLevel), QUIL_ERROR_PARAMETER)
        .send("SW,CU,%02d,%1d\r\n", OutNo, Level)
        .fields(2)
        .values(" Level:%d", Level)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetIOOutputChannel(int32_t DeviceId, int32_t OutNo, int32_t* Level) {
    return Setting::getter(DeviceId, "QUIL_GetIOOutputChannel", Index::out(OutNo, kDigitalOutputs), {Level}, kEncoderIo)
        .anyMode()
        .send("SR,CU,%02d\r\n", OutNo)
        .reads(4, Level)
        .shows(" Level:%d", Level)
        .run();
}

}  // extern "C"
