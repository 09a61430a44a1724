#include "quil/controller_settings.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/exchange.h"
#include "quil/model.h"

namespace quil {
namespace {

constexpr std::int32_t kMaxBaud = 4;
constexpr std::int32_t kMaxParity = 3;
constexpr std::int32_t kMaxType = 2;
constexpr std::int32_t kMaxMonitorMode = 2;
constexpr double kMaxSixDigits = 999999;
constexpr double kRangeScale = 100;        // monitor range: hundredths
constexpr double kVoltScale = 1000;        // monitor voltages: millivolts
constexpr double kReflectorScale = 10000;  // reflector value: ten-thousandths
constexpr int kAddressDigits = 12;
constexpr int kGroupDigits = 3;

bool outIn(std::int32_t out, std::int32_t last) { return out >= 1 && out <= last; }
bool within(std::int32_t v, std::int32_t last) { return v >= 0 && v <= last; }

// v times scale as whole units (truncated toward zero, unless within a
// millionth of a whole number: see wholeUnits), when the result has at most
// six digits; false otherwise (also for a NaN or an infinity), out untouched.
bool scaledSix(double v, double scale, std::int32_t* out) {
    const double s = wholeUnits(v * scale);
    if (!(std::fabs(s) <= kMaxSixDigits)) return false;
    *out = static_cast<std::int32_t>(s);
    return true;
}

// A selection text is sent inside the command line: it must not end that
// line early or make it longer than a command can be.
bool sendableSelection(const char* text) {
    if (!text) return false;
    const std::size_t n = std::strlen(text);
    if (n > kMaxSelectionText) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// One controller settings command on the Exchange. What the members share:
// trace lines under the source file "communication", the failure line
// " send command fail DeviceID:%d rc:%d" and the success line
// " Success DeviceID:%d" (the few members whose lines differ replace them).
// Every command is a setting-mode command: sent with Mode::Setting, the
// mode to switch to before the one more try on 4101.
class ControllerSetting : public Exchange {
public:
    ControllerSetting(std::int32_t id, const char* func, const char* entry = " DeviceID:%d",
                      long line = __builtin_LINE())
        : Exchange(TraceFile{"communication"}, id, func, entry, line) {
        failure(" send command fail DeviceID:%d rc:%d", id);
        success(" Success DeviceID:%d", id);
    }
};

// "SR,EH,<letter>": an address in field 3.
std::int32_t readAddress(std::int32_t id, const char* func, char letter, char* address,
                         const char* entry = " DeviceID:%d", const char* done = " Success DeviceID:%d") {
    return ControllerSetting(id, func, entry)
        .send(Mode::Setting, "SR,EH,%c\r\n", letter)
        .fields(4)
        .parse([&](const Reply& r) { return dottedAddress(r.text(3), address) ? QUIL_OK : QUIL_ERROR_REPLY; })
        .success(done, id)
        .run();
}

// "SW,<group>,<value>", answered with 2 fields.
std::int32_t writeValue(std::int32_t id, const char* func, const char* group, std::int32_t value) {
    return ControllerSetting(id, func).send(Mode::Setting, "SW,%s,%d\r\n", group, value).fields(2).run();
}

// "SR,<group>": the values are the reply's last fields, from field `first`
// on ("SR,CJ" answers "SR,CJ,<run mode>,<direction>", first 2).
template <class... Out>
std::int32_t readFields(std::int32_t id, const char* func, const char* group, int first, Out*... out) {
    return ControllerSetting(id, func)
        .send(Mode::Setting, "SR,%s\r\n", group)
        .fields(first + static_cast<int>(sizeof...(Out)))
        .parse([&](const Reply& r) { r.integers(first, out...); })
        .run();
}
std::int32_t readValue(std::int32_t id, const char* func, const char* group, std::int32_t* value) {
    return readFields(id, func, group, 2, value);
}

// An OUT setting of one small number: "SW,<group>,<OUT>,<value>", 2 fields.
std::int32_t writeOutChoice(std::int32_t id, const char* func, const char* format, std::int32_t out, std::int32_t value,
                            std::int32_t last) {
    return ControllerSetting(id, func)
        .check(outIn(out, kControlOuts), QUIL_ERROR_RANGE)
        .check(within(value, last), QUIL_ERROR_VALUE)
        .send(Mode::Setting, format, out, value)
        .fields(2)
        .run();
}

}  // namespace

bool dottedAddress(const char* field, char* out) {
    if (std::strlen(field) < static_cast<std::size_t>(kAddressDigits)) return false;
    std::int32_t bytes[4];
    for (int i = 0; i < 4; ++i)
        if (!readInteger(std::string_view(field + i * kGroupDigits, kGroupDigits), &bytes[i])) return false;
    std::snprintf(out, kDottedAddressSize, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    return true;
}

std::int32_t GetIPAddress(std::int32_t id, char* address) {
    return readAddress(id, "GetIPAddress", 'I', address, "DeviceID:%d", "Success DeviceID:%d");
}

std::int32_t GetDefaultGateway(std::int32_t id, char* address) {
    return readAddress(id, "GetDefaultGateway", 'G', address);
}

std::int32_t GetSubnetMask(std::int32_t id, char* address) { return readAddress(id, "GetSubnetMask", 'M', address); }

std::int32_t GetRunModeDetDir(std::int32_t id, std::int32_t* runMode, std::int32_t* direction) {
    return readFields(id, "GetRunModeDetDir", "CJ", 2, runMode, direction);
}

std::int32_t GetInputModeMinTimePoint(std::int32_t id, std::int32_t* inputMode, std::int32_t* minTime,
                                      std::int32_t* points) {
    return readFields(id, "GetInputModeMinTimePoint", "CI", 2, inputMode, minTime, points);
}

std::int32_t SetBaudRate(std::int32_t id, std::int32_t baud, std::int32_t parity) {
    return ControllerSetting(id, "SetBaudRate")
        .check(within(baud, kMaxBaud) && within(parity, kMaxParity), QUIL_ERROR_PARAMETER)
        .send(Mode::Setting, "SW,EH,B,%d,%d\r\n", baud, parity)
        .fields(2)
        .run();
}

std::int32_t GetBaudRate(std::int32_t id, std::int32_t* baud, std::int32_t* parity) {
    return readFields(id, "GetBaudRate", "EH,B", 3, baud, parity);
}

std::int32_t SetAutosendIndex(std::int32_t id, std::uint8_t value) {
    return writeValue(id, "SetAutosendIndex", "EH,C", value);
}

std::int32_t GetAutosendIndex(std::int32_t id, std::int32_t* value) {
    // Read back with the reading form of the command that writes it.
    return readFields(id, "GetAutosendIndex", "EH,C", 3, value);
}

std::int32_t SetInvalidData(std::int32_t id, std::uint8_t value) {
    return ControllerSetting(id, "SetInvalidData").send(Mode::Setting, "PV,%d\r\n", value).fields(1).run();
}

std::int32_t GetInvalidData(std::int32_t id, std::int32_t* value) {
    return ControllerSetting(id, "GetInvalidData")
        .send(Mode::Setting, "PI,%d\r\n", *value)
        .fields(2)
        .parse([&](const Reply& r) { *value = r.integer(1); })
        .run();
}

std::int32_t SetInOut_In(std::int32_t id, std::int32_t value) { return writeValue(id, "SetInOut_In", "CK", value); }
std::int32_t GetInOut_In(std::int32_t id, std::int32_t* value) { return readValue(id, "GetInOut_In", "CK", value); }
std::int32_t SetInOut_InDQ(std::int32_t id, std::int32_t value) { return writeValue(id, "SetInOut_InDQ", "CL", value); }
std::int32_t GetInOut_InDQ(std::int32_t id, std::int32_t* value) { return readValue(id, "GetInOut_InDQ", "CL", value); }
std::int32_t SetInOut_DataOut(std::int32_t id, std::int32_t value) {
    return writeValue(id, "SetInOut_DataOut", "CM", value);
}
std::int32_t GetInOut_DataOut(std::int32_t id, std::int32_t* value) {
    return readValue(id, "GetInOut_DataOut", "CM", value);
}
std::int32_t SetInOut_MONIOut(std::int32_t id, std::int32_t value) {
    return writeValue(id, "SetInOut_MONIOut", "CN", value);
}
std::int32_t GetInOut_MONIOut(std::int32_t id, std::int32_t* value) {
    return readValue(id, "GetInOut_MONIOut", "CN", value);
}

std::int32_t SetAVEOUTSelectState(std::int32_t id, std::int32_t out, const char* selection) {
    const bool sendable = sendableSelection(selection);
    return ControllerSetting(id, "SetAVEOUTSelectState")
        .check(outIn(out, kControlOuts), QUIL_ERROR_RANGE)
        .check(sendable, QUIL_ERROR_PARAMETER)
        .send(Mode::Setting, "SW,OA,M,%02d,%s\r\n", out, sendable ? selection : "")
        .fields(3)
        .run();
}

std::int32_t SetMeasurementTypeIndex(std::int32_t id, std::int32_t out, std::int32_t type) {
    return writeOutChoice(id, "SetMeasurementTypeIndex", "SW,OI,%02d,%d\r\n", out, type, kMaxType);
}

std::int32_t SetMoNiModeIndex(std::int32_t id, std::int32_t out, std::int32_t mode) {
    return writeOutChoice(id, "SetMoNiModeIndex", "SW,VK,%02d,%02d\r\n", out, mode, kMaxMonitorMode);
}

std::int32_t SetMoNiMeasUpDown(std::int32_t id, std::int32_t out, double upper, double lower) {
    std::int32_t u = 0, l = 0;
    const bool fit = scaledSix(upper, kRangeScale, &u) && scaledSix(lower, kRangeScale, &l);
    char up[kSigned6TextSize], down[kSigned6TextSize];
    formatSigned6(u, up);
    formatSigned6(l, down);
    return ControllerSetting(id, "SetMoNiMeasUpDown", "DeviceID:%d")
        .check(outIn(out, kMaxOut), QUIL_ERROR_RANGE)
        .check(fit && lower < upper, QUIL_ERROR_VALUE)
        .send(Mode::Setting, "SW,VJ,%02d,%s,%s\r\n", out, up, down)
        .fields(2)
        .failure("send command fail DeviceID:%d OutNo:%d of_up:%s of_down:%s rc:%d", id, out, up, down)
        .success("Success DeviceID:%d OutNo:%d of_up:%s of_down:%s rc:%d", id, out, up, down, QUIL_OK)
        .run();
}

std::int32_t SetMoNiVol(std::int32_t id, std::int32_t out, double lower, double upper) {
    std::int32_t l = 0, h = 0;
    const bool fit = scaledSix(lower, kVoltScale, &l) && scaledSix(upper, kVoltScale, &h);
    return ControllerSetting(id, "SetMoNiVol", "DeviceID:%d")
        .check(outIn(out, kMaxOut), QUIL_ERROR_RANGE)
        .check(fit && lower < upper, QUIL_ERROR_VALUE)
        .send(Mode::Setting, "SW,VI,%02d,%06d,%06d\r\n", out, l, h)
        .fields(2)
        .failure("send command fail DeviceID:%d OutNo:%d of_up:%f of_down:%f rc:%d", id, out, upper, lower)
        .success("Success DeviceID:%d OutNo:%d of_up:%f of_down:%f rc:%d", id, out, upper, lower, QUIL_OK)
        .run();
}

std::int32_t SetReflactor(std::int32_t id, std::int32_t out, std::uint8_t flag, double value) {
    std::int32_t v = 0;
    const bool fit = scaledSix(value, kReflectorScale, &v);
    char text[kSigned6TextSize];
    formatSigned6(v, text);
    return ControllerSetting(id, "SetReflactor", "DeviceID:%d")
        .check(outIn(out, kMaxOut), QUIL_ERROR_RANGE)
        .check(fit, QUIL_ERROR_VALUE)
        .send(Mode::Setting, "SW,OL,%02d,%d,%s\r\n", out, flag, text)
        .fields(2)
        .failure("send command fail DeviceID:%d OutNo:%d of:%s rc:%d", id, out, text)
        .success("Success DeviceID:%d OutNo:%d of:%s rc:%d", id, out, text, QUIL_OK)
        .run();
}

std::int32_t GetOUTNum(std::int32_t id, std::uint8_t* type) {
    return ControllerSetting(id, "GetOUTNum", "DeviceID:%d")
        .send(Mode::Setting, "SR,CP\r\n")
        .fields(3)
        .parse([&](const Reply& r) { *type = r.integer(2) != 0 ? 1 : 0; })
        .failure(" send command fail DeviceID:%d", id)
        .success([&](const Trace& t) { t("Success DeviceID:%d type:%d", id, *type); })
        .run();
}

}  // namespace quil
