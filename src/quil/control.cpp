// Mode, timing, zero, reset and program selection.
#include "quil.h"
#include "quil/codecs.h"
#include "quil/exchange.h"
#include "quil/model.h"

using namespace quil;

namespace {

constexpr int kMaxProgram = 7;

bool outOk(int32_t OutNo) { return OutNo >= 1 && OutNo <= kControlOuts; }

}  // namespace

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_SetMode(int32_t DeviceId, int32_t mode) {
    return Exchange(DeviceId, "QUIL_SetMode")
        .check(mode == 0 || mode == 1, QUIL_ERROR_PARAMETER)
        .send(std::nullopt, mode == 1 ? "Q0\r\n" : "R0\r\n")
        .failure(" send command fail DeviceID:%d Mode:%d rc:%d", DeviceId, mode)
        .success(" Success DeviceID:%d Mode:%d", DeviceId, mode)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetTimingSingle(int32_t DeviceId, int32_t OutNo, int32_t OnOff) {
    return Exchange(DeviceId, "QUIL_SetTimingSingle")
        .check(outOk(OutNo), QUIL_ERROR_RANGE)
        .send(Mode::Measure, "TS,%d,%02d\r\n", OnOff, OutNo)
        .fields(3)
        .failure(" send command TS fail DeviceID:%d OutNo:%d rc:%d", DeviceId, OutNo)
        .success(" Success DeviceID:%d OutNo:%d", DeviceId, OutNo)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetTimingMulti(int32_t DeviceId, int32_t OutMask, int32_t OnOff) {
    const OutMaskText m(OutMask);
    return Exchange(DeviceId, "QUIL_SetTimingMulti")
        .check(outMaskOk(OutMask), QUIL_ERROR_RANGE)
        .send(Mode::Measure, "TM,%d,%s\r\n", OnOff, m.text)
        .fields(3)
        .failure(" send command TM fail DeviceID:%d OutNo:%d OnOff:%d rc:%d", DeviceId, OutMask, OnOff)
        .success(" Success DeviceID:%d OutNo:%d OnOff:%d", DeviceId, OutMask, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetTimingSync(int32_t DeviceId, int32_t OnOff) {
    return Exchange(DeviceId, "QUIL_SetTimingSync")
        .send(Mode::Measure, "TP,%d\r\n", OnOff)
        .fields(2)
        .failure(" send command TP fail DeviceID:%d OnOff:%d rc:%d", DeviceId, OnOff)
        .success(" Success DeviceID:%d OnOff:%d", DeviceId, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetZeroSingle(int32_t DeviceId, int32_t OutNo, int32_t OnOff) {
    return Exchange(DeviceId, "QUIL_SetZeroSingle")
        .check(outOk(OutNo), QUIL_ERROR_RANGE)
        .send(Mode::Measure, OnOff != 0 ? "VS,%02d\r\n" : "WS,%02d\r\n", OutNo)
        .fields(2)
        .failure(" send command fail DeviceID:%d OutNo:%d OnOff:%d rc:%d", DeviceId, OutNo, OnOff)
        .success(" Success DeviceID:%d OutNo:%d OnOff:%d", DeviceId, OutNo, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetZeroMulti(int32_t DeviceId, int32_t OutMask, int32_t OnOff) {
    const OutMaskText m(OutMask);
    return Exchange(DeviceId, "QUIL_SetZeroMulti")
        .check(outMaskOk(OutMask), QUIL_ERROR_RANGE)
        .send(Mode::Measure, OnOff != 0 ? "VM,%s\r\n" : "WM,%s\r\n", m.text)
        .fields(2)
        .failure(" send command fail DeviceID:%d outno:%s OnOff:%d rc:%d", DeviceId, m.text, OnOff)
        .success(" Success DeviceID:%d outno:%s OnOff:%d", DeviceId, m.text, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetZeroSync(int32_t DeviceId, int32_t OnOff) {
    return Exchange(DeviceId, "QUIL_SetZeroSync")
        .send(Mode::Measure, OnOff != 0 ? "VA\r\n" : "WA\r\n")
        .fields(1)
        .failure(" send command fail DeviceID:%d OnOff:%d rc:%d", DeviceId, OnOff)
        .success(" Success DeviceID:%d OnOff:%d", DeviceId, OnOff)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetResetSingle(int32_t DeviceId, int32_t OutNo) {
    return Exchange(DeviceId, "QUIL_SetResetSingle")
        .check(outOk(OutNo), QUIL_ERROR_RANGE)
        .send(Mode::Measure, "DS,%02d\r\n", OutNo)
        .fields(1)
        .failure(" send command DS fail DeviceID:%d OutNo:%d rc:%d", DeviceId, OutNo)
        .success(" Success DeviceID:%d OutNo:%d", DeviceId, OutNo)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetResetMulti(int32_t DeviceId, int32_t OutMask) {
    const OutMaskText m(OutMask);
    return Exchange(DeviceId, "QUIL_SetResetMulti")
        .check(outMaskOk(OutMask), QUIL_ERROR_RANGE)
        .send(Mode::Measure, "DM,%s\r\n", m.text)
        .fields(1)
        .failure(" send command DM fail DeviceID:%d OutNo:%d rc:%d", DeviceId, m.selected)
        .success(" Success DeviceID:%d OutNo:%d", DeviceId, m.selected)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetResetSync(int32_t DeviceId) {
    return Exchange(DeviceId, "QUIL_SetResetSync")
        .send(Mode::Measure, "DA\r\n")
        .fields(1)
        .failure(" send command DA fail DeviceID:%d rc:%d", DeviceId)
        .success(" Success DeviceID:%d", DeviceId)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_SetProgramNo(int32_t DeviceId, int32_t ProgramNo) {
    return Exchange(DeviceId, "QUIL_SetProgramNo")
        .check(ProgramNo >= 0 && ProgramNo <= kMaxProgram, QUIL_ERROR_PARAMETER)
        .send(Mode::Measure, "PW,%d\r\n", ProgramNo)
        .fields(1)
        .failure(" send command PW fail DeviceID:%d ProgramNo:%d rc:%d", DeviceId, ProgramNo)
        .success(" Success DeviceID:%d ProgramNo:%d", DeviceId, ProgramNo)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetProgramNo(int32_t DeviceId, int32_t* ProgramNo) {
    return Exchange(DeviceId, "QUIL_GetProgramNo")
        .check(ProgramNo != nullptr, QUIL_ERROR_PARAMETER)
        .send(Mode::Measure, "PR\r\n")
        .fields(2)
        .parse([&](const Reply& r) { *ProgramNo = r.integer(1); })
        .failure(" send command PR fail DeviceID:%d rc:%d", DeviceId)
        .success([&](const Trace& t) { t(" Success DeviceID:%d ProgramNo:%d", DeviceId, *ProgramNo); })
        .run();
}

}  // extern "C"
