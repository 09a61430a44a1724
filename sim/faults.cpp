#include "sim/faults.h"

namespace quil::sim {

bool Faults::any() const {
    return dropAfterLines > 0 || lateMs > 0 || dripMs > 0 || garbage || mute || dropStreamAfterPackets > 0;
}

std::string describe(const Faults& f) {
    std::string out;
    auto add = [&](const char* option, std::uint64_t value, bool on) {
        if (!on) return;
        if (!out.empty()) out += ' ';
        out += option;
        if (value > 0) out += ' ' + std::to_string(value);
    };
    add("--drop-after", static_cast<std::uint64_t>(f.dropAfterLines), f.dropAfterLines > 0);
    add("--late", static_cast<std::uint64_t>(f.lateMs), f.lateMs > 0);
    add("--drip", static_cast<std::uint64_t>(f.dripMs), f.dripMs > 0);
    add("--garbage", 0, f.garbage);
    add("--mute", 0, f.mute);
    add("--drop-stream-after", f.dropStreamAfterPackets, f.dropStreamAfterPackets > 0);
    return out;
}

std::string garbageLine(std::uint32_t* seed) {
    // A small linear congruential generator: the same seed gives the same
    // garbage, so a failure seen once can be seen again.
    auto next = [seed] {
        *seed = *seed * 1664525u + 1013904223u;
        return *seed >> 24;
    };
    const std::uint32_t length = 8 + next() % 33;
    std::string line;
    line.reserve(length + 2);
    line += static_cast<char>(0x80 | next());
    while (line.size() < length) {
        const char c = static_cast<char>(next());
        if (c != '\r' && c != '\n') line += c;
    }
    return line + "\r\n";
}

void applyFaults(const Faults& f, int lineOnConnection, std::uint32_t* garbageSeed, Script::Plan* plan) {
    using Answer = Script::Plan::Answer;
    if (f.dropAfterLines > 0 && lineOnConnection > f.dropAfterLines) {
        plan->answer = Answer::Close;
        return;
    }
    if (plan->answer == Answer::Model) {
        if (f.mute)
            plan->answer = Answer::Silence;
        else if (f.garbage) {
            plan->answer = Answer::Bytes;
            plan->bytes = garbageLine(garbageSeed);
        }
    }
    if (plan->delayMs == 0) plan->delayMs = f.lateMs;
    if (plan->pieceSize == 0 && f.dripMs > 0) {
        plan->pieceSize = 1;
        plan->pauseMs = f.dripMs;
    }
}

}  // namespace quil::sim
