#include "sim/commands.h"

#include <charconv>

namespace quil::sim {

Args::Args(const Command& command, std::size_t count) : command_(command), next_(1) {
    if (command.fields.size() != count + 1) fail(Model::kErrParameter);
}

const std::string* Args::next() { return ok() ? &command_.fields.at(next_++) : nullptr; }

int Args::fail(int errorNo) {
    if (ok()) errorNo_ = errorNo;
    return 0;
}

std::string Args::text() {
    const std::string* t = next();
    return t ? *t : std::string();
}

int Args::integer() {
    const std::string* text = next();
    if (!text) return 0;
    int value = 0;
    const char* end = text->data() + text->size();
    auto [stop, ec] = std::from_chars(text->data(), end, value);
    // from_chars takes a '-' but no '+' and no blanks, as the controller does.
    if (text->empty() || ec != std::errc() || stop != end) return fail(Model::kErrParameter);
    return value;
}

int Args::within(int first, int last, int errorNo) {
    int value = integer();
    if (ok() && (value < first || value > last)) return fail(errorNo);
    return value;
}

int Args::choice(int first, int last) { return within(first, last, Model::kErrParameter); }

int Args::out(int last) { return within(1, last, Model::kErrRange); }

unsigned Args::mask() {
    const std::string* text = next();
    if (!text) return 0;
    if (text->size() != kMaskOuts) return fail(Model::kErrParameter);
    unsigned bits = 0;
    for (int i = 0; i < kMaskOuts; ++i) {
        char c = (*text)[static_cast<std::size_t>(i)];
        if (c != '0' && c != '1') return fail(Model::kErrParameter);
        if (c == '1') bits |= 1u << i;
    }
    if (bits == 0) return fail(Model::kErrRange);
    return bits;
}

}  // namespace quil::sim
