#include "sim/script.h"

#include <utility>

namespace quil::sim {

Script& Script::add(Rule rule) {
    if (rule.times == 0) return *this;  // a rule that may never fire
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(std::move(rule));
    return *this;
}

Script& Script::replyOnce(std::string bytes) { return replyTo("", std::move(bytes), 1); }

Script& Script::replyTo(std::string prefix, std::string bytes, int times) {
    return add(Rule{.kind = Kind::Reply, .prefix = std::move(prefix), .times = times, .bytes = std::move(bytes)});
}

Script& Script::silence(int times) { return silenceTo("", times); }

Script& Script::silenceTo(std::string prefix, int times) {
    return add(Rule{.kind = Kind::Silence, .prefix = std::move(prefix), .times = times});
}

Script& Script::delayOnce(int ms) { return delayTo("", ms, 1); }

Script& Script::delayTo(std::string prefix, int ms, int times) {
    return add(Rule{.kind = Kind::Delay, .prefix = std::move(prefix), .times = times, .ms = ms});
}

Script& Script::closeAfter(int lines) { return add(Rule{.kind = Kind::Close, .linesToPass = lines < 0 ? 0 : lines}); }

Script& Script::sendInPieces(std::size_t pieceSize, int pauseMs) {
    return add(Rule{.kind = Kind::Pieces, .ms = pauseMs, .pieceSize = pieceSize});
}

void Script::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

std::size_t Script::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.size();
}

void Script::useOnce(Rule& rule) {
    if (rule.times > 0) --rule.times;
}

Script::Plan Script::plan(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A close rule counts every line that arrives while it waits, also the
    // lines that an earlier rule answers; the counting line itself passes.
    for (Rule& r : rules_) {
        r.passing = r.kind == Kind::Close && r.linesToPass > 0;
        if (r.passing) --r.linesToPass;
    }

    Plan p;
    Rule* delay = nullptr;
    Rule* pieces = nullptr;
    Rule* decider = nullptr;
    for (Rule& r : rules_) {
        if (line.compare(0, r.prefix.size(), r.prefix) != 0) continue;
        Rule** slot = r.kind == Kind::Delay ? &delay : r.kind == Kind::Pieces ? &pieces : &decider;
        if (!*slot && !r.passing) *slot = &r;
    }

    if (delay) {
        p.delayMs = delay->ms;
        useOnce(*delay);
    }
    if (decider) {
        useOnce(*decider);
        switch (decider->kind) {
        case Kind::Reply:
            p.answer = Plan::Answer::Bytes;
            p.bytes = decider->bytes;
            break;
        case Kind::Silence: p.answer = Plan::Answer::Silence; break;
        default: p.answer = Plan::Answer::Close; break;
        }
    }
    bool answers = p.answer == Plan::Answer::Model || p.answer == Plan::Answer::Bytes;
    if (pieces && answers) {
        p.pieceSize = pieces->pieceSize;
        p.pauseMs = pieces->ms;
        useOnce(*pieces);
    }
    rules_.remove_if([](const Rule& r) { return r.times == 0; });
    return p;
}

}  // namespace quil::sim
