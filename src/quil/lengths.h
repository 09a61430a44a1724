// The length settings (mask positions, tolerance limits, scaling points,
// offset) as integers of their resolution. The exported getters convert the
// controller's decimal text through a 32-bit float and truncate, as they
// always have ("0.53" gives 52); a settings save must give back exactly what
// the controller holds, so it reads the same replies exactly.
#pragma once

#include <cstdint>

namespace quil {

enum class Lengths { AsFloat, Exact };

namespace exact {
std::int32_t getMask(std::int32_t id, std::int32_t head, std::int32_t* onOff, std::int32_t* p1, std::int32_t* p2);
std::int32_t getTolerance(std::int32_t id, std::int32_t out, std::int32_t* upper, std::int32_t* lower,
                          std::int32_t* hysteresis);
std::int32_t getScaling(std::int32_t id, std::int32_t out, std::int32_t* i1, std::int32_t* o1, std::int32_t* i2,
                        std::int32_t* o2);
std::int32_t getOffset(std::int32_t id, std::int32_t out, std::int32_t* offset);
}  // namespace exact

}  // namespace quil
