// The signal a simulated controller measures: what its OUTs read and what
// its stream carries, so that a live view has something to show. Every shape
// but Constant is a function of time (measured values) or of a sample's place
// in the stream, and of the seed alone: the same options give the same values.
#pragma once

#include <cstdint>
#include <string>

namespace quil::sim {

enum class SignalShape {
    Constant,  // each OUT holds its set value; the stream counts (see Stream::value)
    Sine,      // OUT k: k + amplitude * sin(2 pi t / period + (k - 1) pi / 4)
    Steps,     // OUT k: k + amplitude * one of -1, -0.5, 0, 0.5, 1, a new level each quarter period;
               // one step in eight is out of range ("+FFFFFFF" or "-FFFFFFF")
    Noise,     // OUT k: k + amplitude * a value from -1 to 1, a new one every hundredth of the period
};

struct SignalOptions {
    SignalShape shape = SignalShape::Constant;
    int periodMs = 2000;
    double amplitude = 1.0;  // in the OUT's units
    std::uint32_t seed = 1;
};

// "constant", "sine", "steps", "noise".
bool parseSignalShape(const char* text, SignalShape* shape);
const char* signalShapeName(SignalShape shape);

struct SignalSample {
    double value = 0;  // meaningful when range is 0
    int range = 0;     // 0 in range, 1 above it, -1 below it
};

// OUT or channel k (1 to 8) at t milliseconds; not for Constant.
SignalSample signalAt(const SignalOptions& options, int k, double tMs);

// A sample as the controller prints a measured value: "+001.234", or
// "+FFFFFFF" / "-FFFFFFF" out of range.
std::string signalText(const SignalSample& sample);

// A sample as a stream value: thousandths of the OUT's unit, rounded;
// INT32_MAX / INT32_MIN out of range.
std::uint32_t signalWord(const SignalSample& sample);

}  // namespace quil::sim
