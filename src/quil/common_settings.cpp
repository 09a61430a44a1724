// Common settings: controller-wide settings that belong to no head or OUT
// (sampling cycle, mutual interference prevention, strobe time, data storage
// size and cycle, running mode, encoder input mode) and the counts of heads
// and OUTs in use.
#include <cstdio>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/device.h"
#include "quil/exchange.h"

namespace quil {
namespace {

constexpr std::size_t kWriteReplySize = 128;
constexpr std::size_t kReadReplySize = 256;
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

bool inRange(std::int32_t v, std::int32_t first, std::int32_t last) { return v >= first && v <= last; }

// One common setting on the Exchange. What the members share: the mode
// switch and one more try on 4101 go to setting mode; a write passes reply
// size 128, a read 256; the trace lines are
// " send command fail DeviceID:%d<values> rc:%d" and
// " Success DeviceID:%d<values> rc:%d", where a write's value part shows
// the values it was given and a read has none.
class CommonSetting : public Exchange {
public:
    // A read.
    CommonSetting(std::int32_t id, const char* func) : Exchange(id, func) { frame(id, kReadReplySize); }
    // A write, with the value part of its trace lines.
    template <class... V>
    CommonSetting(std::int32_t id, const char* func, const char* values, V... v) : Exchange(id, func) {
        std::snprintf(part_, sizeof part_, values, v...);
        frame(id, kWriteReplySize);
    }

private:
    void frame(std::int32_t id, std::size_t replyBytes) {
        retry(Mode::Setting).replySize(replyBytes);
        failure(" send command fail DeviceID:%d%s rc:%d", id, part_);
        success(" Success DeviceID:%d%s rc:%d", id, part_, QUIL_OK);
    }

    char part_[128] = "";
};

// The reads answered with one number in field 2.
std::int32_t readSingle(std::int32_t id, const char* func, const char* letters, std::int32_t* out) {
    return CommonSetting(id, func)
        .check(out != nullptr, QUIL_ERROR_NULL_POINTER)
        .command("SR,%s\r\n", letters)
        .fields(3)
        .parse([&](const Reply& r) { *out = r.integer(2); })
        .run();
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_SetSamplingCycle(int32_t DeviceId, int32_t SamplingCycle) {
    const int32_t code = controllerCycle(SamplingCycle);
    return CommonSetting(DeviceId, "QUIL_SetSamplingCycle", " SamplingCycle:%d", SamplingCycle)
        .check(code >= 0, QUIL_ERROR_VALUE)
        .command("SW,CA,%d\r\n", code)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetMutualInterferencePrevention(int32_t DeviceId, int32_t OnOff) {
    return CommonSetting(DeviceId, "QUIL_SetMutualInterferencePrevention", " OnOff:%d", OnOff)
        .check(inRange(OnOff, 0, kMaxInterference), QUIL_ERROR_VALUE)
        .command("SW,CB,%d\r\n", OnOff)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetStrobeTime(int32_t DeviceId, int32_t StrobeTime) {
    return CommonSetting(DeviceId, "QUIL_SetStrobeTime", " StrobeTime:%d", StrobeTime)
        .check(inRange(StrobeTime, 0, kMaxStrobeTime), QUIL_ERROR_VALUE)
        .command("SW,CE,%d\r\n", StrobeTime)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetDataStorage(int32_t DeviceId, int32_t NumStorage, int32_t StorageCycle) {
    return CommonSetting(DeviceId, "QUIL_SetDataStorage", " NumStorage:%d  StorageCycle:%d", NumStorage, StorageCycle)
        .check(inRange(NumStorage, 0, kMaxNumStorage), QUIL_ERROR_PARAMETER)
        .check(inRange(StorageCycle, 0, kMaxStorageCycle), QUIL_ERROR_VALUE)
        .command("SW,CF,%07d,%02d\r\n", NumStorage, StorageCycle)
        .fields(2)
        .run();
}

// The encoder models set these per channel (QUIL_SetEncoderParameters).
QUIL_API int32_t QUIL_STDCALL QUIL_SetRunningMode(int32_t DeviceId, int32_t Runningmode, int32_t CatchDirection) {
    return CommonSetting(DeviceId, "QUIL_SetRunningMode", " Runningmode:%d  CatchDirection:%d", Runningmode,
                         CatchDirection)
        .check(!isEncoderDevice(DeviceId), QUIL_ERROR_UNSUPPORTED)
        .command("SW,CJ,%d,%d\r\n", Runningmode, CatchDirection)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderMode(int32_t DeviceId, int32_t Inputmode, int32_t InputTime,
                                                  int32_t TrigInterval) {
    return CommonSetting(DeviceId, "QUIL_SetEncoderMode", " Inputmode:%d InputTime:%d TrigInterval:%d", Inputmode,
                         InputTime, TrigInterval)
        .check(!isEncoderDevice(DeviceId), QUIL_ERROR_UNSUPPORTED)
        .check(inRange(TrigInterval, 1, kMaxTrigInterval), QUIL_ERROR_PARAMETER)
        .command("SW,CI,%d,%010d,%06d\r\n", Inputmode, InputTime, TrigInterval)
        .fields(2)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetSamplingCycle(int32_t DeviceId, int32_t* SamplingCycle) {
    int32_t code = 0;
    return CommonSetting(DeviceId, "QUIL_GetSamplingCycle")
        .check(SamplingCycle != nullptr, QUIL_ERROR_NULL_POINTER)
        .command("SR,CA\r\n")
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
    return readSingle(DeviceId, "QUIL_GetMutualInterferencePrevention", "CB", OnOff);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetStrobeTime(int32_t DeviceId, int32_t* StrobeTime) {
    return readSingle(DeviceId, "QUIL_GetStrobeTime", "CE", StrobeTime);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetDataStorage(int32_t DeviceId, int32_t* NumStorage, int32_t* StorageCycle) {
    return CommonSetting(DeviceId, "QUIL_GetDataStorage")
        .check(NumStorage && StorageCycle, QUIL_ERROR_NULL_POINTER)
        .command("SR,CF\r\n")
        .fields(4)
        .parse([&](const Reply& r) {
            *NumStorage = r.integer(2);
            *StorageCycle = r.integer(3);
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetNumOfUsedHeads(int32_t DeviceId, int32_t* number) {
    return readSingle(DeviceId, "QUIL_GetNumOfUsedHeads", "EF", number);
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetNumOfUsedOut(int32_t DeviceId, int32_t* number) {
    return readSingle(DeviceId, "QUIL_GetNumOfUsedOut", "EE", number);
}

}  // extern "C"
