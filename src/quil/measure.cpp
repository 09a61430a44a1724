// Measured values: one OUT, a chosen set among OUT1 to OUT4, or OUT1 to OUT4.
#include <algorithm>

#include "quil.h"
#include "quil/codecs.h"
#include "quil/exchange.h"
#include "quil/model.h"

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcDataSingle(int32_t DeviceId, int32_t OutNo, QuilCalcData* data) {
    return Exchange(DeviceId, "QUIL_GetCalcDataSingle")
        .check(OutNo >= 1 && OutNo <= kMaxOut, QUIL_ERROR_RANGE)
        .check(data != nullptr, QUIL_ERROR_PARAMETER)
        .send(Mode::Measure, "MS,%02d\r\n", OutNo)
        .parse([&](const Reply& r) {
            // The OUT number is the one asked for; field 1 is not looked at.
            QuilCalcData read{OutNo, 0, 0.0f};
            r.measured(2, &read.status, &read.value);
            *data = read;
        })
        .failure(" send command MS fail DeviceID:%d OutNo:%d  rc:%d", DeviceId, OutNo)
        .success([&](const Trace& t) {
            t(" Success DeviceID:%d OutNo:%d value:%f", DeviceId, OutNo, static_cast<double>(data->value));
        })
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcDataMulti(int32_t DeviceId, int32_t OutMask, QuilCalcData* data) {
    const OutMaskText mask(OutMask);
    const int selected = mask.selected;
    return Exchange(DeviceId, "QUIL_GetCalcDataMulti")
        .check(outMaskOk(OutMask), QUIL_ERROR_RANGE)
        .check(data != nullptr, QUIL_ERROR_PARAMETER)
        .send(Mode::Measure, "MM,%s\r\n", mask.text)
        .fields(selected + 2,
                [&](const Trace& t, int count) {
                    t(" fail DeviceID:%d OutNo:%d strNum:%d rc:%d", DeviceId, selected, count, 0);
                })
        .parse([&](const Reply& r) {
            // Packed in ascending OUT order, without gaps; every value is read
            // before the first is written.
            QuilCalcData read[kControlOuts] = {};
            int k = 0;
            for (int i = 0; i < kControlOuts; ++i) {
                if (mask.text[i] != '1') continue;
                read[k].OutNo = i + 1;
                r.measured(k + 2, &read[k].status, &read[k].value);
                ++k;
            }
            std::copy(read, read + k, data);
        })
        .failure(" send command MM fail DeviceID:%d rc:%d", DeviceId)
        .success(" Success DeviceID:%d OutNo:%d", DeviceId, selected)
        .run();
}

QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcDataALL(int32_t DeviceId, QuilCalcData* data) {
    return Exchange(DeviceId, "QUIL_GetCalcDataALL")
        .check(data != nullptr, QUIL_ERROR_PARAMETER)
        .send(Mode::Measure, "MA\r\n")
        .fields(5)
        .parse([&](const Reply& r) {
            QuilCalcData read[kControlOuts] = {};
            for (int i = 0; i < kControlOuts; ++i) {
                read[i].OutNo = i + 1;
                r.measured(i + 1, &read[i].status, &read[i].value);
            }
            std::copy(read, read + kControlOuts, data);
        })
        .failure(" send command MA fail DeviceID:%d rc:%d", DeviceId)
        .success(" Success DeviceID:%d", DeviceId)
        .run();
}

}  // extern "C"
