// Output settings: one setter and one getter per setting of an OUT (the "O"
// groups of "SW" and "SR", and "LM" for the tolerance).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/lengths.h"
#include "quil/model.h"
#include "quil/settings_family.h"

using namespace quil;

namespace {

constexpr int32_t kMaxMethod = 7;
constexpr int32_t kMaxCalcTarget = 9;
constexpr int32_t kMaxAddSub = 4;
constexpr int32_t kMaxFilterPara = 9;
constexpr int32_t kMaxCalcMode = 4;
constexpr int32_t kMaxDisplayUnit = 6;
// Scaling points further apart in output than twice their input distance are
// beyond what the controller can scale.
constexpr int64_t kMaxScalingSlope = 2;
constexpr std::size_t kMaxScaledValues = 4;

// The calculation method as the controller names it: "H%02d" for a head
// (method 0), "O%02d" for an OUT (method 1) and "C%02d" for the methods 2 to
// 7, numbered from 1 there. Only the head and OUT forms carry the number.
struct MethodText {
    MethodText(int32_t method, int32_t number) {
        const char letter = method == 0 ? 'H' : method == 1 ? 'O' : 'C';
        std::snprintf(text, sizeof text, "%c%02d", letter, method <= 1 ? number : method - 1);
    }
    char text[16] = {};  // a letter and any int32_t
};

// The reverse, from the third character only: a number is read back as one
// digit. A text of another form writes neither output.
void parseMethod(const char* text, int32_t* method, int32_t* number) {
    if (std::strlen(text) < 3 || text[2] < '0' || text[2] > '9') return;
    const int32_t digit = text[2] - '0';
    switch (text[0]) {
    case 'H':
        *method = 0;
        *number = digit;
        break;
    case 'O':
        *method = 1;
        *number = digit;
        break;
    case 'C': *method = digit + 1; break;
    default: break;
    }
}

// Two scaling points need distinct inputs (checked before) and a slope the
// controller can follow; the quotient is an integer one.
bool slopeInReach(int32_t I1, int32_t O1, int32_t I2, int32_t O2) {
    if (I1 == I2) return true;
    const int64_t in = std::llabs(int64_t{I2} - I1);
    const int64_t out = std::llabs(int64_t{O2} - O1);
    return out / in <= kMaxScalingSlope;
}

// Tolerance limits, scaling points and the offset: the controller prints them
// as decimals in the OUT's display unit ("+0012.34"), and the caller gets
// integers in that unit's resolution. The unit is a setting of its own, read
// with QUIL_GetDisplayUnit once this exchange has released the device lock;
// when that read fails its code is the result and nothing is written. A
// field that is not a decimal, or a value beyond the 32-bit range in that
// resolution, gives 8195 and writes nothing either.
int32_t getScaled(int32_t id, const char* func, int32_t OutNo, int32_t lastOut, const char* group,
                  std::initializer_list<int32_t*> outputs, Lengths lengths = Lengths::AsFloat,
                  long line = __builtin_LINE()) {
    constexpr int kFirstField = 3;
    // The decimals as the getters have always read them, and their texts for
    // the exact reading.
    std::array<float, kMaxScaledValues> read{};
    std::array<std::string, kMaxScaledValues> texts;
    const bool allSet = std::none_of(outputs.begin(), outputs.end(), [](const int32_t* p) { return p == nullptr; });
    return Setting::getter(id, func, Index::out(OutNo, lastOut), {}, kSettings, line)
        .check(allSet, QUIL_ERROR_NULL_POINTER)
        .send("SR,%s,%02d\r\n", group, OutNo)
        .fields(kFirstField + static_cast<int>(outputs.size()))
        .parse([&](const Reply& r) {
            for (std::size_t i = 0; i < outputs.size(); ++i) {
                read[i] = r.decimal(kFirstField + static_cast<int>(i));
                texts[i] = r.text(kFirstField + static_cast<int>(i));
            }
        })
        .then([&]() -> int32_t {
            int32_t unit = 0;
            const int32_t r = QUIL_GetDisplayUnit(id, OutNo, &unit);
            if (r != QUIL_OK) return r;
            int32_t scale = 1;
            unitScale(static_cast<uint32_t>(unit), &scale);
            std::array<int32_t, kMaxScaledValues> scaled{};
            for (std::size_t i = 0; i < outputs.size(); ++i) {
                const bool fits = lengths == Lengths::AsFloat ? scaledInteger(read[i], scale, &scaled[i])
                                                              : exactScaled(texts[i].c_str(), scale, &scaled[i]);
                if (!fits) return QUIL_ERROR_REPLY;
            }
            std::size_t i = 0;
            for (int32_t* out : outputs) *out = scaled[i++];
            return QUIL_OK;
        })
        .run();
}

}  // namespace

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_SetTolerance(int32_t DeviceId, int32_t OutNo, int32_t UpperLimit, int32_t LowerLimit,
                                                int32_t Hystersys) {
    const ValueText upper(UpperLimit), lower(LowerLimit);
    // The reply's field count is not looked at.
    return Setting::setter(DeviceId, "QUIL_SetTolerance", Index::out(OutNo, kControlOuts))
        .check(upper.fits && lower.fits && digitCount(Hystersys) <= ValueText::kDigits, QUIL_ERROR_VALUE)
        .check(UpperLimit >= LowerLimit, QUIL_ERROR_VALUE)
        .check(int64_t{Hystersys} < int64_t{UpperLimit} - LowerLimit, QUIL_ERROR_VALUE)
        .send("SW,LM,%02d,%s,%s,%07d\r\n", OutNo, upper.text, lower.text, Hystersys)
        .values(" UpperLimit:%d LowerLimit:%d Hystersys:%d", UpperLimit, LowerLimit, Hystersys)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetTolerance(int32_t DeviceId, int32_t OutNo, int32_t* UpperLimit,
                                                int32_t* LowerLimit, int32_t* Hystersys) {
    return getScaled(DeviceId, "QUIL_GetTolerance", OutNo, kControlOuts, "LM", {UpperLimit, LowerLimit, Hystersys});
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetCalcMethod(int32_t DeviceId, int32_t OutNo, int32_t Method, int32_t Number) {
    const MethodText method(Method, Number);
    // The reply's field count is not looked at.
    return Setting::setter(DeviceId, "QUIL_SetCalcMethod", Index::out(OutNo, kMaxOut))
        .check(inRange(Method, 0, kMaxMethod), QUIL_ERROR_RANGE)
        .send("SW,OA,H,%02d,%s\r\n", OutNo, method.text)
        .values(" ggg:%s", method.text)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcMethod(int32_t DeviceId, int32_t OutNo, int32_t* Method, int32_t* Number) {
    return Setting::getter(DeviceId, "QUIL_GetCalcMethod", Index::out(OutNo, kMaxOut), {Method, Number})
        .send("SR,OA,H,%02d\r\n", OutNo)
        .fields(5)
        .parse([&](const Reply& r) { parseMethod(r.text(4), Method, Number); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetCalcTarget(int32_t DeviceId, int32_t OutNo, int32_t CalcTarget) {
    return Setting::setter(DeviceId, "QUIL_SetCalcTarget", Index::out(OutNo, kControlOuts))
        .check(inRange(CalcTarget, 0, kMaxCalcTarget), QUIL_ERROR_VALUE)
        .send("SW,OA,T,%02d,%d\r\n", OutNo, CalcTarget)
        .fields(3)
        .values(" CalcTarget:%d", CalcTarget)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcTarget(int32_t DeviceId, int32_t OutNo, int32_t* CalcTarget) {
    return Setting::getter(DeviceId, "QUIL_GetCalcTarget", Index::out(OutNo, kControlOuts), {CalcTarget})
        .send("SR,OA,T,%02d\r\n", OutNo)
        .reads(5, CalcTarget)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetOutAddSub(int32_t DeviceId, int32_t OutNo, int32_t AddSub1, int32_t AddSub2) {
    return Setting::setter(DeviceId, "QUIL_SetOutAddSub", Index::out(OutNo, kMaxOut))
        .check(inRange(AddSub1, 1, kMaxAddSub) && inRange(AddSub2, 1, kMaxAddSub), QUIL_ERROR_VALUE)
        .send("SW,OA,C,%02d,%02d,%02d\r\n", OutNo, AddSub1, AddSub2)
        .fields(3)
        .values(" AddSub1:%d AddSub2:%d", AddSub1, AddSub2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetOutAddSub(int32_t DeviceId, int32_t OutNo, int32_t* AddSub1, int32_t* AddSub2) {
    return Setting::getter(DeviceId, "QUIL_GetOutAddSub", Index::out(OutNo, kMaxOut), {AddSub1, AddSub2})
        .send("SR,OA,C,%02d\r\n", OutNo)
        .fields(6)
        .parse([&](const Reply& r) { r.integers(4, AddSub1, AddSub2); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetOutOperation(int32_t DeviceId, int32_t OutNo, int32_t Mask) {
    const OutMaskText mask(Mask);
    return Setting::setter(DeviceId, "QUIL_SetOutOperation", Index::out(OutNo, kControlOuts))
        .check(outMaskOk(Mask), QUIL_ERROR_VALUE)
        .send("SW,OA,M,%02d,%s\r\n", OutNo, mask.text)
        .fields(3)
        .values(" mask:%s", mask.text)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetOutOperation(int32_t DeviceId, int32_t OutNo, int32_t* Mask) {
    return Setting::getter(DeviceId, "QUIL_GetOutOperation", Index::out(OutNo, kControlOuts), {Mask})
        .send("SR,OA,M,%02d\r\n", OutNo)
        .fields(5)
        .parse([&](const Reply& r) { return outTextToMask(r.text(4), Mask); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetScaling(int32_t DeviceId, int32_t OutNo, int32_t I1, int32_t O1, int32_t I2,
                                              int32_t O2) {
    const ValueText i1(I1), o1(O1), i2(I2), o2(O2);
    return Setting::setter(DeviceId, "QUIL_SetScaling", Index::out(OutNo, kMaxOut))
        .check(i1.fits && o1.fits && i2.fits && o2.fits, QUIL_ERROR_VALUE)
        .check(I1 != I2, QUIL_ERROR_PARAMETER)
        .check(slopeInReach(I1, O1, I2, O2), QUIL_ERROR_PARAMETER)
        .send("SW,OB,%02d,%s,%s,%s,%s\r\n", OutNo, i1.text, o1.text, i2.text, o2.text)
        .fields(2)
        .values(" I1:%s O1:%s I2:%s O2:%s", i1.text, o1.text, i2.text, o2.text)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetScaling(int32_t DeviceId, int32_t OutNo, int32_t* I1, int32_t* O1, int32_t* I2,
                                              int32_t* O2) {
    return getScaled(DeviceId, "QUIL_GetScaling", OutNo, kMaxOut, "OB", {I1, O1, I2, O2});
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetFilter(int32_t DeviceId, int32_t OutNo, int32_t FilterMode, int32_t FilterPara) {
    // Only the averaging filter (mode 0) can be set.
    return Setting::setter(DeviceId, "QUIL_SetFilter", Index::out(OutNo, kControlOuts))
        .check(FilterMode == 0 && inRange(FilterPara, 0, kMaxFilterPara), QUIL_ERROR_VALUE)
        .send("SW,OC,%02d,%d,%d\r\n", OutNo, FilterMode, FilterPara)
        .fields(2)
        .values(" FilterMode:%d FilterPara:%d", FilterMode, FilterPara)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetFilter(int32_t DeviceId, int32_t OutNo, int32_t* FilterMode,
                                             int32_t* FilterPara) {
    return Setting::getter(DeviceId, "QUIL_GetFilter", Index::out(OutNo, kControlOuts), {FilterMode, FilterPara})
        .send("SR,OC,%02d\r\n", OutNo)
        .fields(5)
        .parse([&](const Reply& r) { r.integers(3, FilterMode, FilterPara); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetTriggerMode(int32_t DeviceId, int32_t OutNo, int32_t TriggerMode) {
    return Setting::setter(DeviceId, "QUIL_SetTriggerMode", Index::out(OutNo, kControlOuts))
        .check(inRange(TriggerMode, 0, 1), QUIL_ERROR_VALUE)
        .send("SW,OE,M,%02d,%d\r\n", OutNo, TriggerMode)
        .fields(2)
        .values(" TriggerMode:%d", TriggerMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetTriggerMode(int32_t DeviceId, int32_t OutNo, int32_t* TriggerMode) {
    return Setting::getter(DeviceId, "QUIL_GetTriggerMode", Index::out(OutNo, kControlOuts), {TriggerMode})
        .send("SR,OE,M,%02d\r\n", OutNo)
        .reads(5, TriggerMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetOffset(int32_t DeviceId, int32_t OutNo, int32_t Offset) {
    const ValueText offset(Offset);
    return Setting::setter(DeviceId, "QUIL_SetOffset", Index::out(OutNo, kMaxOut))
        .check(offset.fits, QUIL_ERROR_VALUE)
        .send("SW,OF,%02d,%s\r\n", OutNo, offset.text)
        .fields(2)
        .values(" of:%s", offset.text)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetOffset(int32_t DeviceId, int32_t OutNo, int32_t* Offset) {
    return getScaled(DeviceId, "QUIL_GetOffset", OutNo, kMaxOut, "OF", {Offset});
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetCalcMode(int32_t DeviceId, int32_t OutNo, int32_t CalcMode) {
    return Setting::setter(DeviceId, "QUIL_SetCalcMode", Index::out(OutNo, kControlOuts))
        .check(inRange(CalcMode, 0, kMaxCalcMode), QUIL_ERROR_VALUE)
        .send("SW,OD,%02d,%d\r\n", OutNo, CalcMode)
        .fields(2)
        .values(" CalcMode:%d", CalcMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcMode(int32_t DeviceId, int32_t OutNo, int32_t* CalcMode) {
    return Setting::getter(DeviceId, "QUIL_GetCalcMode", Index::out(OutNo, kControlOuts), {CalcMode})
        .send("SR,OD,%02d\r\n", OutNo)
        .reads(4, CalcMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetDisplayUnit(int32_t DeviceId, int32_t OutNo, int32_t DisplayUnit) {
    return Setting::setter(DeviceId, "QUIL_SetDisplayUnit", Index::out(OutNo, kMaxOut))
        .check(inRange(DisplayUnit, 0, kMaxDisplayUnit), QUIL_ERROR_VALUE)
        .send("SW,OG,%02d,%d\r\n", OutNo, DisplayUnit)
        .fields(2)
        .values(" DisplayUnit:%d", DisplayUnit)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetDisplayUnit(int32_t DeviceId, int32_t OutNo, int32_t* DisplayUnit) {
    return Setting::getter(DeviceId, "QUIL_GetDisplayUnit", Index::out(OutNo, kMaxOut), {DisplayUnit})
        .send("SR,OG,%02d\r\n", OutNo)
        .reads(4, DisplayUnit)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetSynchronization(int32_t DeviceId, int32_t OutNo, int32_t OnOff) {
    return Setting::setter(DeviceId, "QUIL_SetSynchronization", Index::out(OutNo, kMaxOut))
        .send("SW,OJ,%02d,%d\r\n", OutNo, OnOff)
        .fields(2)
        .values(" OnOff:%d", OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetSynchronization(int32_t DeviceId, int32_t OutNo, int32_t* OnOff) {
    // Read back for OUT1 to OUT4 only, although OUT5 to OUT8 can be set.
    return Setting::getter(DeviceId, "QUIL_GetSynchronization", Index::out(OutNo, kControlOuts), {OnOff})
        .send("SR,OJ,%02d\r\n", OutNo)
        .reads(4, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetStorageTarget(int32_t DeviceId, int32_t OutNo, int32_t OnOff) {
    return Setting::setter(DeviceId, "QUIL_SetStorageTarget", Index::out(OutNo, kMaxOut))
        .send("SW,OK,%02d,%d\r\n", OutNo, OnOff)
        .fields(2)
        .values(" OnOff:%d", OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetStorageTarget(int32_t DeviceId, int32_t OutNo, int32_t* OnOff) {
    return Setting::getter(DeviceId, "QUIL_GetStorageTarget", Index::out(OutNo, kMaxOut), {OnOff})
        .send("SR,OK,%02d\r\n", OutNo)
        .reads(4, OnOff)
        .run();
}

}  // extern "C"

std::int32_t quil::exact::getTolerance(std::int32_t id, std::int32_t out, std::int32_t* upper, std::int32_t* lower,
                                       std::int32_t* hysteresis) {
    return getScaled(id, "QUIL_GetTolerance", out, kControlOuts, "LM", {upper, lower, hysteresis}, Lengths::Exact);
}

std::int32_t quil::exact::getScaling(std::int32_t id, std::int32_t out, std::int32_t* i1, std::int32_t* o1,
                                     std::int32_t* i2, std::int32_t* o2) {
    return getScaled(id, "QUIL_GetScaling", out, kMaxOut, "OB", {i1, o1, i2, o2}, Lengths::Exact);
}

std::int32_t quil::exact::getOffset(std::int32_t id, std::int32_t out, std::int32_t* offset) {
    return getScaled(id, "QUIL_GetOffset", out, kMaxOut, "OF", {offset}, Lengths::Exact);
}
