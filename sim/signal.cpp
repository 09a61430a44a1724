#include "sim/signal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace quil::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct ShapeName {
    SignalShape shape;
    const char* name;
};
constexpr ShapeName kShapes[] = {
    {SignalShape::Constant, "constant"},
    {SignalShape::Sine, "sine"},
    {SignalShape::Steps, "steps"},
    {SignalShape::Noise, "noise"},
};

// A well-mixed 32-bit number from the seed, the OUT and a slot of time.
std::uint32_t mix(std::uint32_t seed, int k, std::int64_t slot) {
    std::uint64_t x = (static_cast<std::uint64_t>(seed) << 32) ^ (static_cast<std::uint64_t>(k) << 56) ^
                      static_cast<std::uint64_t>(slot);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
}

}  // namespace

bool parseSignalShape(const char* text, SignalShape* shape) {
    for (const ShapeName& s : kShapes)
        if (std::strcmp(text, s.name) == 0) {
            *shape = s.shape;
            return true;
        }
    return false;
}

const char* signalShapeName(SignalShape shape) {
    for (const ShapeName& s : kShapes)
        if (s.shape == shape) return s.name;
    return "?";
}

SignalSample signalAt(const SignalOptions& o, int k, double tMs) {
    const double period = o.periodMs > 0 ? o.periodMs : 1;
    SignalSample s;
    switch (o.shape) {
    case SignalShape::Constant: s.value = k; break;
    case SignalShape::Sine: s.value = k + o.amplitude * std::sin(2 * kPi * tMs / period + (k - 1) * kPi / 4); break;
    case SignalShape::Steps: {
        const auto step = static_cast<std::int64_t>(std::floor(tMs / (period / 4)));
        const std::uint32_t h = mix(o.seed, k, step);
        if (h % 8 == 0) {
            s.range = (h >> 3) % 2 ? 1 : -1;
        } else {
            s.value = k + o.amplitude * (static_cast<int>((h >> 3) % 5) - 2) / 2.0;
        }
        break;
    }
    case SignalShape::Noise: {
        const auto slot = static_cast<std::int64_t>(std::floor(tMs / (period / 100)));
        s.value = k + o.amplitude * (mix(o.seed, k, slot) / 2147483647.5 - 1);
        break;
    }
    }
    return s;
}

std::string signalText(const SignalSample& s) {
    if (s.range > 0) return "+FFFFFFF";
    if (s.range < 0) return "-FFFFFFF";
    char text[32];
    std::snprintf(text, sizeof text, "%+08.3f", s.value);
    return text;
}

std::uint32_t signalWord(const SignalSample& s) {
    if (s.range != 0)
        return static_cast<std::uint32_t>(s.range > 0 ? std::numeric_limits<std::int32_t>::max()
                                                      : std::numeric_limits<std::int32_t>::min());
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(s.value * 1000)));
}

}  // namespace quil::sim
