// Head settings: one setter and one getter per setting of a sensor head (the
// "H" groups of "SW" and "SR"), and the ABLE start, stop and cancel commands.
#include "quil.h"
#include "quil/codecs.h"
#include "quil/lengths.h"
#include "quil/settings_family.h"

using namespace quil;

namespace {

constexpr int32_t kMaxAbleRange = 99;
constexpr int32_t kMaxMeasureMode = 4;
constexpr int32_t kMaxAlarmCount = 9999;
constexpr int32_t kMaxAlarmLevel = 9;
constexpr int32_t kMaxMedian = 3;
constexpr int32_t kMaxInterferenceGroup = 2;
// Mask positions travel as hundredths of the controller's length unit.
constexpr int32_t kHundredths = 100;

// Alarm and recovery numbers travel in one command, so each setter first reads
// the number it does not change. The read is a call of its own, taking and
// releasing the device lock, and nothing holds the pair together: a change of
// the other number in between is overwritten. A failed read is the result.
int32_t setAlarmPair(int32_t id, const char* func, int32_t HeadNo, int32_t value, bool isAlarm, long line) {
    Setting s = Setting::setter(id, func, Index::head(HeadNo), kSettings, line);
    s.check(inRange(value, 0, kMaxAlarmCount), QUIL_ERROR_VALUE);
    int32_t r = s.checked();
    if (r != QUIL_OK) return r;
    int32_t other = 0;
    r = isAlarm ? QUIL_GetNumRecovery(id, HeadNo, &other) : QUIL_GetNumAlarm(id, HeadNo, &other);
    if (r != QUIL_OK) return r;
    const int32_t alarm = isAlarm ? value : other;
    const int32_t recovery = isAlarm ? other : value;
    return s.send("SW,HC,N,%02d,%04d,%04d\r\n", HeadNo, alarm, recovery)
        .fields(2)
        .values(" AlarmNum:%d RecoveryNum:%d", alarm, recovery)
        .run();
}

// The alarm and recovery numbers come in one reply: field 4 and field 5.
int32_t getAlarmPair(int32_t id, const char* func, int32_t HeadNo, int32_t field, int32_t* value, long line) {
    return Setting::getter(id, func, Index::head(HeadNo), {value}, kSettings, line)
        .send("SR,HC,N,%02d\r\n", HeadNo)
        .fields(6)
        .parse([&](const Reply& r) { *value = r.integer(field); })
        .run();
}

// The controller prints the mask positions as decimals ("12.34"); they go
// back as hundredths.
int32_t getMask(int32_t id, int32_t HeadNo, int32_t* OnOff, int32_t* P1, int32_t* P2, Lengths lengths,
                long line = __builtin_LINE()) {
    return Setting::getter(id, "QUIL_GetMask", Index::head(HeadNo), {OnOff, P1, P2}, kSettings, line)
        .send("SR,HF,%02d\r\n", HeadNo)
        .fields(6)
        .parse([&](const Reply& r) -> int32_t {
            const int32_t onOff = r.integer(3);
            int32_t p[2] = {};
            for (int i = 0; i < 2; ++i) {
                const bool read = lengths == Lengths::AsFloat ? scaledInteger(r.decimal(4 + i), kHundredths, &p[i])
                                                              : exactScaled(r.text(4 + i), kHundredths, &p[i]);
                if (!read) return QUIL_ERROR_REPLY;
            }
            *OnOff = onOff;
            *P1 = p[0];
            *P2 = p[1];
            return QUIL_OK;
        })
        .run();
}

}  // namespace

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_SetAbleMode(int32_t DeviceId, int32_t HeadNo, int32_t AbleMode) {
    return Setting::setter(DeviceId, "QUIL_SetAbleMode", Index::head(HeadNo))
        .check(inRange(AbleMode, 0, 1), QUIL_ERROR_PARAMETER)
        .send("SW,HA,M,%02d,%d\r\n", HeadNo, AbleMode)
        .fields(2)
        .values(" AbleMode:%d", AbleMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetAbleMode(int32_t DeviceId, int32_t HeadNo, int32_t* AbleMode) {
    return Setting::getter(DeviceId, "QUIL_GetAbleMode", Index::head(HeadNo), {AbleMode})
        .send("SR,HA,M,%02d\r\n", HeadNo)
        .fields(5)
        .parse([&](const Reply& r) { *AbleMode = r.integer(4) != 0 ? 1 : 0; })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetAbleMinMax(int32_t DeviceId, int32_t HeadNo, int32_t Min, int32_t Max) {
    return Setting::setter(DeviceId, "QUIL_SetAbleMinMax", Index::head(HeadNo))
        .check(inRange(Min, 1, kMaxAbleRange) && inRange(Max, 1, kMaxAbleRange), QUIL_ERROR_PARAMETER)
        .send("SW,HA,R,%02d,%02d,%02d\r\n", HeadNo, Max, Min)
        .fields(2)
        .values(" Max:%d Min:%d", Max, Min)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetAbleMinMax(int32_t DeviceId, int32_t HeadNo, int32_t* Min, int32_t* Max) {
    return Setting::getter(DeviceId, "QUIL_GetAbleMinMax", Index::head(HeadNo), {Min, Max})
        .send("SR,HA,R,%02d\r\n", HeadNo)
        .fields(6)
        .parse([&](const Reply& r) { r.integers(4, Max, Min); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetMeasureMode(int32_t DeviceId, int32_t HeadNo, int32_t MeasureMode) {
    return Setting::setter(DeviceId, "QUIL_SetMeasureMode", Index::head(HeadNo))
        .check(inRange(MeasureMode, 0, kMaxMeasureMode), QUIL_ERROR_PARAMETER)
        .send("SW,HB,M,%02d,%d\r\n", HeadNo, MeasureMode)
        .fields(2)
        .values(" MeasureMode:%d", MeasureMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetMeasureMode(int32_t DeviceId, int32_t HeadNo, int32_t* MeasureMode) {
    return Setting::getter(DeviceId, "QUIL_GetMeasureMode", Index::head(HeadNo), {MeasureMode})
        .send("SR,HB,M,%02d\r\n", HeadNo)
        .reads(5, MeasureMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetBasicPoint(int32_t DeviceId, int32_t HeadNo, int32_t BasicPoint) {
    return Setting::setter(DeviceId, "QUIL_SetBasicPoint", Index::head(HeadNo))
        .check(inRange(BasicPoint, 0, 1), QUIL_ERROR_PARAMETER)
        .send("SW,HB,B,%02d,%d\r\n", HeadNo, BasicPoint)
        .fields(2)
        .values(" BasicPoint:%d", BasicPoint)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetBasicPoint(int32_t DeviceId, int32_t HeadNo, int32_t* BasicPoint) {
    return Setting::getter(DeviceId, "QUIL_GetBasicPoint", Index::head(HeadNo), {BasicPoint})
        .send("SR,HB,B,%02d\r\n", HeadNo)
        .fields(5)
        .parse([&](const Reply& r) {
            // Only the two known reference points are taken; any other
            // number leaves the caller's value as it was.
            const int32_t point = r.integer(4);
            if (inRange(point, 0, 1)) *BasicPoint = point;
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetNumAlarm(int32_t DeviceId, int32_t HeadNo, int32_t AlarmNum) {
    return setAlarmPair(DeviceId, "QUIL_SetNumAlarm", HeadNo, AlarmNum, true, __LINE__);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetNumAlarm(int32_t DeviceId, int32_t HeadNo, int32_t* AlarmNum) {
    return getAlarmPair(DeviceId, "QUIL_GetNumAlarm", HeadNo, 4, AlarmNum, __LINE__);
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetNumRecovery(int32_t DeviceId, int32_t HeadNo, int32_t RecoveryNum) {
    return setAlarmPair(DeviceId, "QUIL_SetNumRecovery", HeadNo, RecoveryNum, false, __LINE__);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetNumRecovery(int32_t DeviceId, int32_t HeadNo, int32_t* RecoveryNum) {
    return getAlarmPair(DeviceId, "QUIL_GetNumRecovery", HeadNo, 5, RecoveryNum, __LINE__);
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetAlarmLevel(int32_t DeviceId, int32_t HeadNo, int32_t AlarmLevel) {
    return Setting::setter(DeviceId, "QUIL_SetAlarmLevel", Index::head(HeadNo))
        .check(inRange(AlarmLevel, 0, kMaxAlarmLevel), QUIL_ERROR_VALUE)
        .send("SW,HC,L,%02d,%d\r\n", HeadNo, AlarmLevel)
        .fields(2)
        .values(" AlarmLevel:%d", AlarmLevel)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetAlarmLevel(int32_t DeviceId, int32_t HeadNo, int32_t* AlarmLevel) {
    return Setting::getter(DeviceId, "QUIL_GetAlarmLevel", Index::head(HeadNo), {AlarmLevel})
        .send("SR,HC,L,%02d\r\n", HeadNo)
        .reads(5, AlarmLevel)
        .run();
}

// The ABLE commands carry no value; stop and cancel reach every head.
QUIL_API int32_t QUIL_STDCALL QUIL_AbleStart(int32_t DeviceId, int32_t HeadNo) {
    return Setting::setter(DeviceId, "QUIL_AbleStart", Index::head(HeadNo))
        .send("SW,HD,S,%02d\r\n", HeadNo)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_AbleStop(int32_t DeviceId) {
    return Setting::setter(DeviceId, "QUIL_AbleStop", Index::none()).send("SW,HD,P\r\n").fields(2).run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_AbleCancel(int32_t DeviceId) {
    return Setting::setter(DeviceId, "QUIL_AbleCancel", Index::none()).send("SW,HD,C\r\n").fields(2).run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetReflectionMode(int32_t DeviceId, int32_t HeadNo, int32_t ReflectionMode) {
    return Setting::setter(DeviceId, "QUIL_SetReflectionMode", Index::head(HeadNo))
        .check(inRange(ReflectionMode, 0, 1), QUIL_ERROR_VALUE)
        .send("SW,HE,%02d,%d\r\n", HeadNo, ReflectionMode)
        .fields(2)
        .values(" ReflectionMode:%d", ReflectionMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetReflectionMode(int32_t DeviceId, int32_t HeadNo, int32_t* ReflectionMode) {
    return Setting::getter(DeviceId, "QUIL_GetReflectionMode", Index::head(HeadNo), {ReflectionMode})
        .send("SR,HE,%02d\r\n", HeadNo)
        .reads(4, ReflectionMode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetMask(int32_t DeviceId, int32_t HeadNo, int32_t OnOff, int32_t P1, int32_t P2) {
    const ValueText p1(P1), p2(P2);
    // A position of more than six digits would not fit the command's field.
    return Setting::setter(DeviceId, "QUIL_SetMask", Index::head(HeadNo))
        .check(p1.fits && p2.fits, QUIL_ERROR_VALUE)
        .send("SW,HF,%02d,%d,%s,%s\r\n", HeadNo, OnOff, p1.text, p2.text)
        .fields(2)
        .values(" OnOff:%d P1:%s P2:%s", OnOff, p1.text, p2.text)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetMask(int32_t DeviceId, int32_t HeadNo, int32_t* OnOff, int32_t* P1, int32_t* P2) {
    return getMask(DeviceId, HeadNo, OnOff, P1, P2, Lengths::AsFloat);
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetMedian(int32_t DeviceId, int32_t HeadNo, int32_t Median) {
    return Setting::setter(DeviceId, "QUIL_SetMedian", Index::head(HeadNo))
        .check(inRange(Median, 0, kMaxMedian), QUIL_ERROR_VALUE)
        .send("SW,HG,%02d,%d\r\n", HeadNo, Median)
        .fields(2)
        .values(" Median:%d", Median)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetMedian(int32_t DeviceId, int32_t HeadNo, int32_t* Median) {
    return Setting::getter(DeviceId, "QUIL_GetMedian", Index::head(HeadNo), {Median})
        .send("SR,HG,%02d\r\n", HeadNo)
        .reads(4, Median)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetLaserCtrlGroup(int32_t DeviceId, int32_t HeadNo, int32_t LaserCtrlGroup) {
    // The controller answers this one with three fields.
    return Setting::setter(DeviceId, "QUIL_SetLaserCtrlGroup", Index::head(HeadNo))
        .check(inRange(LaserCtrlGroup, 0, 1), QUIL_ERROR_VALUE)
        .send("SW,HH,%02d,%d\r\n", HeadNo, LaserCtrlGroup)
        .fields(3)
        .values(" LaserCtrlGroup:%d", LaserCtrlGroup)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetLaserCtrlGroup(int32_t DeviceId, int32_t HeadNo, int32_t* LaserCtrlGroup) {
    return Setting::getter(DeviceId, "QUIL_GetLaserCtrlGroup", Index::head(HeadNo), {LaserCtrlGroup})
        .send("SR,HH,%02d\r\n", HeadNo)
        .reads(4, LaserCtrlGroup)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetMutualInterferencePreventionGroup(int32_t DeviceId, int32_t HeadNo,
                                                                        int32_t Group) {
    return Setting::setter(DeviceId, "QUIL_SetMutualInterferencePreventionGroup", Index::head(HeadNo))
        .check(inRange(Group, 0, kMaxInterferenceGroup), QUIL_ERROR_VALUE)
        .send("SW,HJ,%02d,%d\r\n", HeadNo, Group)
        .fields(2)
        .values(" Group:%d", Group)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetMutualInterferencePreventionGroup(int32_t DeviceId, int32_t HeadNo,
                                                                        int32_t* Group) {
    return Setting::getter(DeviceId, "QUIL_GetMutualInterferencePreventionGroup", Index::head(HeadNo), {Group})
        .send("SR,HJ,%02d\r\n", HeadNo)
        .reads(4, Group)
        .run();
}

}  // extern "C"

std::int32_t quil::exact::getMask(std::int32_t id, std::int32_t head, std::int32_t* onOff, std::int32_t* p1,
                                  std::int32_t* p2) {
    return ::getMask(id, head, onOff, p1, p2, Lengths::Exact);
}
