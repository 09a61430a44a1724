// The controller models as the library knows them: the limits of a device,
// the ranges of model numbers and what sets them apart, and the text of an
// OUT selection. Every command function takes them from here.
#pragma once

#include <cstdint>
#include <iterator>

#include "quil.h"
#include "quil/codecs.h"

namespace quil {

inline constexpr std::int32_t kHeads = 4;   // measuring heads: Head1 to Head4
inline constexpr std::int32_t kMaxOut = 8;  // outputs: OUT1 to OUT8
// Judgement, filter, trigger and calculation settings, the controls of one
// OUT and the measured values of a selection reach OUT1 to OUT4.
inline constexpr std::int32_t kControlOuts = 4;
// An OUT selection: bit 0 for OUT1 to bit 3 for OUT4; at least one set.
inline constexpr std::int32_t kMaxOutMask = (1 << kControlOuts) - 1;
inline constexpr bool outMaskOk(std::int32_t mask) { return mask >= 1 && mask <= kMaxOutMask; }

// The model groups, each a range of the model numbers that the controller
// reports (QUIL_GetDeviceType).
struct ModelRange {
    std::int32_t first, last, group;
};
inline constexpr ModelRange kModelGroups[] = {{0, 3, 3}, {4, 11, 5}, {34, 39, 7}};
// The highest model number a controller reports; a higher one is no reply.
inline constexpr std::int32_t kHighestModel = kModelGroups[std::size(kModelGroups) - 1].last;
// The models 34 to 39: two heads, three encoder inputs, analog outputs and
// digital outputs.
inline constexpr std::int32_t kEncoderModelGroup = 7;

// Model group of a device type. Any other type gives QUIL_ERROR_UNKNOWN and
// leaves group alone.
inline std::int32_t modelGroupOf(const std::int32_t* type, std::int32_t* group) {
    for (const ModelRange& r : kModelGroups) {
        if (*type >= r.first && *type <= r.last) {
            *group = r.group;
            return QUIL_OK;
        }
    }
    return QUIL_ERROR_UNKNOWN;
}
inline bool isEncoderModel(std::int32_t type) {
    std::int32_t group = 0;
    return modelGroupOf(&type, &group) == QUIL_OK && group == kEncoderModelGroup;
}
// The heads of a model: Head1 and Head2 on the encoder models.
inline constexpr std::int32_t kEncoderModelHeads = 2;
inline std::int32_t headsOf(std::int32_t type) { return isEncoderModel(type) ? kEncoderModelHeads : kHeads; }

// The four-character OUT selection text of a mask ("1010" for OUT1 and
// OUT3), as the selection commands take it, and its count of OUTs.
struct OutMaskText {
    explicit OutMaskText(std::int32_t mask) : selected(outMaskToText(text, mask)) {}
    char text[kOutMaskTextSize] = {};
    int selected;
};

}  // namespace quil
