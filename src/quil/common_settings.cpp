// Common settings: controller-wide settings that belong to no head or OUT
// (sampling cycle, mutual interference prevention, strobe time, data storage
// size and cycle, running mode, encoder input mode) and the counts of heads
// and OUTs in use.
#include "quil.h"
#include "quil/codecs.h"
#include "quil/device.h"
#include "quil/model.h"
#include "quil/settings_family.h"

namespace quil {
namespace {

constexpr std::int32_t kMaxInterference = 2;
constexpr std::int32_t kMaxStrobeTime = 3;
constexpr std::int32_t kMaxNumStorage = 1200000;
constexpr std::int32_t kMaxStorageCycle = 10;
constexpr std::int32_t kMaxTrigInterval = 10000;

// The library's numbers of the sampling cycles: 30 to 37, as the encoder
// models' cycles are read back, and 10 to 15. The controller's codes count
// from 0 within either range.
struct CycleCodes {
    std::int32_t first, last;
};
constexpr CycleCodes kCycleCodes[] = {{30, 37}, {10, 15}};
constexpr std::int32_t kEncoderCycleBase = 30;

// The controller's code of a sampling cycle, or -1 for none.
std::int32_t controllerCycle(std::int32_t cycle) {
    for (const CycleCodes& c : kCycleCodes)
        if (cycle >= c.first && cycle <= c.last) return cycle - c.first;
    return -1;
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_SetSamplingCycle(int32_t DeviceId, int32_t SamplingCycle) {
    const int32_t code = controllerCycle(SamplingCycle);
    return Setting::setter(DeviceId, "QUIL_SetSamplingCycle", Index::none())
        .check(code >= 0, QUIL_ERROR_VALUE)
        .send("SW,CA,%d\r\n", code)
        .fields(2)
        .values(" SamplingCycle:%d", SamplingCycle)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetMutualInterferencePrevention(int32_t DeviceId, int32_t OnOff) {
    return Setting::setter(DeviceId, "QUIL_SetMutualInterferencePrevention", Index::none())
        .check(inRange(OnOff, 0, kMaxInterference), QUIL_ERROR_VALUE)
        .send("SW,CB,%d\r\n", OnOff)
        .fields(2)
        .values(" OnOff:%d", OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetStrobeTime(int32_t DeviceId, int32_t StrobeTime) {
    return Setting::setter(DeviceId, "QUIL_SetStrobeTime", Index::none())
        .check(inRange(StrobeTime, 0, kMaxStrobeTime), QUIL_ERROR_VALUE)
        .send("SW,CE,%d\r\n", StrobeTime)
        .fields(2)
        .values(" StrobeTime:%d", StrobeTime)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetDataStorage(int32_t DeviceId, int32_t NumStorage, int32_t StorageCycle) {
    return Setting::setter(DeviceId, "QUIL_SetDataStorage", Index::none())
        .check(inRange(NumStorage, 0, kMaxNumStorage), QUIL_ERROR_PARAMETER)
        .check(inRange(StorageCycle, 0, kMaxStorageCycle), QUIL_ERROR_VALUE)
        .send("SW,CF,%07d,%02d\r\n", NumStorage, StorageCycle)
        .fields(2)
        .values(" NumStorage:%d  StorageCycle:%d", NumStorage, StorageCycle)
        .run();
}

// The encoder models set these per channel (QUIL_SetEncoderParameters).
QUIL_API int32_t QUIL_STDCALL QUIL_SetRunningMode(int32_t DeviceId, int32_t Runningmode, int32_t CatchDirection) {
    return Setting::setter(DeviceId, "QUIL_SetRunningMode", Index::none())
        .check(!isEncoderDevice(DeviceId), QUIL_ERROR_UNSUPPORTED)
        .send("SW,CJ,%d,%d\r\n", Runningmode, CatchDirection)
        .fields(2)
        .values(" Runningmode:%d  CatchDirection:%d", Runningmode, CatchDirection)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderMode(int32_t DeviceId, int32_t Inputmode, int32_t InputTime,
                                                  int32_t TrigInterval) {
    return Setting::setter(DeviceId, "QUIL_SetEncoderMode", Index::none())
        .check(!isEncoderDevice(DeviceId), QUIL_ERROR_UNSUPPORTED)
        .check(inRange(TrigInterval, 1, kMaxTrigInterval), QUIL_ERROR_PARAMETER)
        .send("SW,CI,%d,%010d,%06d\r\n", Inputmode, InputTime, TrigInterval)
        .fields(2)
        .values(" Inputmode:%d InputTime:%d TrigInterval:%d", Inputmode, InputTime, TrigInterval)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetSamplingCycle(int32_t DeviceId, int32_t* SamplingCycle) {
    int32_t code = 0;
    return Setting::getter(DeviceId, "QUIL_GetSamplingCycle", Index::none(), {SamplingCycle})
        .send("SR,CA\r\n")
        .fields(3)
        .parse([&](const Reply& r) { code = r.integer(2); })
        .then([&]() -> int32_t {
            // The controller's code means a cycle of the model's group: the
            // model is asked in an exchange of its own. Without a model or a
            // group the code cannot be read, and nothing is written.
            int32_t type = -1;
            int32_t group = 0;
            int32_t r = QUIL_GetDeviceType(DeviceId, &type);
            if (r == QUIL_OK) r = modelGroupOf(&type, &group);
            if (r != QUIL_OK) return r;
            *SamplingCycle = group == kEncoderModelGroup ? code + kEncoderCycleBase : code;
            return QUIL_OK;
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetMutualInterferencePrevention(int32_t DeviceId, int32_t* OnOff) {
    return Setting::getter(DeviceId, "QUIL_GetMutualInterferencePrevention", Index::none(), {OnOff})
        .send("SR,CB\r\n")
        .reads(3, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetStrobeTime(int32_t DeviceId, int32_t* StrobeTime) {
    return Setting::getter(DeviceId, "QUIL_GetStrobeTime", Index::none(), {StrobeTime})
        .send("SR,CE\r\n")
        .reads(3, StrobeTime)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetDataStorage(int32_t DeviceId, int32_t* NumStorage, int32_t* StorageCycle) {
    return Setting::getter(DeviceId, "QUIL_GetDataStorage", Index::none(), {NumStorage, StorageCycle})
        .send("SR,CF\r\n")
        .fields(4)
        .parse([&](const Reply& r) { r.integers(2, NumStorage, StorageCycle); })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetNumOfUsedHeads(int32_t DeviceId, int32_t* number) {
    return Setting::getter(DeviceId, "QUIL_GetNumOfUsedHeads", Index::none(), {number})
        .send("SR,EF\r\n")
        .reads(3, number)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetNumOfUsedOut(int32_t DeviceId, int32_t* number) {
    return Setting::getter(DeviceId, "QUIL_GetNumOfUsedOut", Index::none(), {number})
        .send("SR,EE\r\n")
        .reads(3, number)
        .run();
}

}  // extern "C"
