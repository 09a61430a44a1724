// Standing faults of a simulated controller, for rehearsing failures: a
// controller that drops its connection, answers late, drips its replies,
// answers garbage, goes mute, or cuts its data stream.
//
// Unlike the script (sim/script.h), whose rules are used up and are shared
// by all connections, faults hold for every line until they are changed, and
// the line count of dropAfterLines is that of each connection. They act on
// the plan the script makes for a line and only where the script left the
// default: an answer rule of the script wins over garbage and mute, its delay
// over lateMs, its pieces over dripMs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/script.h"

namespace quil::sim {

struct Faults {
    int dropAfterLines = 0;  // > 0: a command connection is closed, unanswered, at its line after this many
    int lateMs = 0;          // > 0: every answer goes out this late
    int dripMs = 0;          // > 0: every answer goes out one byte at a time, this pause between the bytes
    bool garbage = false;    // every line is answered with one line of garbage (the model does not see it)
    bool mute = false;       // lines are read and never answered
    // > 0: a run of the data stream writes this many packets, then half of
    // the next one, and closes its roll connection.
    std::uint64_t dropStreamAfterPackets = 0;

    bool any() const;
};

// The faults in the words of quilsim's options ("--late 300 --garbage"); ""
// for none.
std::string describe(const Faults& faults);

// Makes the plan of a line follow the faults: lineOnConnection counts the
// lines of its connection from 1 (this one included); garbageSeed is the
// state of the garbage generator, advanced by each garbage line.
void applyFaults(const Faults& faults, int lineOnConnection, std::uint32_t* garbageSeed, Script::Plan* plan);

// One line of garbage ending in CR LF: 8 to 40 bytes of any value but CR and
// LF, the first one with its top bit set, so that it is never a reply field
// of the controller (two letters, "ER", a number).
std::string garbageLine(std::uint32_t* seed);

}  // namespace quil::sim
