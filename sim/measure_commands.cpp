// Measured values, timing, zero, reset and program selection: the commands a
// controller accepts in measurement mode ("R0") and refuses with error 51 in
// setting mode ("Q0").
//
// "MS" reaches every OUT; the masks of "MM" and of the control commands name
// OUT1 to OUT4 only, and the single-OUT control commands take the same four.
#include <optional>
#include <string>
#include <vector>

#include "sim/commands.h"

namespace quil::sim {
namespace {

constexpr int kControlOuts = Args::kMaskOuts;
constexpr unsigned kAllMaskOuts = (1u << Args::kMaskOuts) - 1;

// An OUT's bit in a mask (bit 0 = OUT1); none for 0, what a failed read gives.
unsigned outBit(int out) { return out >= 1 ? 1u << (out - 1) : 0; }

// The values of the OUTs selected by bits, in ascending order, appended to
// fields.
void appendValues(const Model& m, unsigned bits, std::vector<std::string>& fields) {
    for (int out = 1; out <= Args::kMaskOuts; ++out)
        if (bits & outBit(out)) fields.push_back(m.outValue(out));
}

std::string measureSingle(Model& m, const Command& c) {
    Args a(c, 1);
    int out = a.out(Model::kOutCount);
    if (!a.ok()) return a.error();
    return Model::reply({c.code, c.fields[1], m.outValue(out)});
}

std::string measureMulti(Model& m, const Command& c) {
    Args a(c, 1);
    unsigned bits = a.mask();
    if (!a.ok()) return a.error();
    std::vector<std::string> fields{c.code, c.fields[1]};
    appendValues(m, bits, fields);
    return Model::reply(fields);
}

std::string measureAll(Model& m, const Command& c) {
    Args a(c, 0);
    if (!a.ok()) return a.error();
    std::vector<std::string> fields{c.code};
    appendValues(m, kAllMaskOuts, fields);
    return Model::reply(fields);
}

std::string writeProgram(Model& m, const Command& c) {
    Args a(c, 1);
    int program = a.choice(0, Model::kProgramCount - 1);
    if (!a.ok()) return a.error();
    m.setProgramNo(program);
    return Model::reply({c.code});
}

std::string readProgram(Model& m, const Command& c) {
    Args a(c, 0);
    if (!a.ok()) return a.error();
    return Model::reply({c.code, std::to_string(m.programNo())});
}

// Timing, zero and reset come in three forms that differ only in which OUTs
// they reach: one OUT ("nn"), a mask ("abcd") or all of them.
enum class Reach { One, Mask, All };

struct Control {
    Reach reach;
    // Empty: OnOff is the first argument (timing). Set: the line carries no
    // OnOff; the zero commands say it with their letter (V on, W off), and
    // reset has none, so its value is not used.
    std::optional<bool> fixedOn;
    void (*apply)(Model&, int out, bool on);
    // Timing and zero echo the whole line; reset answers its letters only.
    bool echo;
};

Model::Handler controlHandler(Control k) {
    return [k](Model& m, const Command& c) {
        Args a(c, (k.fixedOn ? 0 : 1) + (k.reach == Reach::All ? 0 : 1));
        bool on = k.fixedOn ? *k.fixedOn : a.integer() != 0;
        unsigned bits = k.reach == Reach::One    ? outBit(a.out(kControlOuts))
                        : k.reach == Reach::Mask ? a.mask()
                                                 : kAllMaskOuts;
        if (!a.ok()) return a.error();
        for (int out = 1; out <= kControlOuts; ++out)
            if (bits & outBit(out)) k.apply(m, out, on);
        return k.echo ? Model::reply(c.fields) : Model::reply({c.code});
    };
}

void applyTiming(Model& m, int out, bool on) { m.setTiming(out, on); }
void applyZero(Model& m, int out, bool on) { m.setZero(out, on); }
void applyReset(Model& m, int out, bool) { m.addReset(out); }

}  // namespace

void installMeasureCommands(Model& model) {
    constexpr std::optional<bool> kOnOffArgument = std::nullopt;
    const struct {
        const char* code;
        Model::Handler handler;
    } commands[] = {
        {"MS", measureSingle},
        {"MM", measureMulti},
        {"MA", measureAll},
        {"TS", controlHandler({Reach::One, kOnOffArgument, applyTiming, true})},
        {"TM", controlHandler({Reach::Mask, kOnOffArgument, applyTiming, true})},
        {"TP", controlHandler({Reach::All, kOnOffArgument, applyTiming, true})},
        {"VS", controlHandler({Reach::One, true, applyZero, true})},
        {"VM", controlHandler({Reach::Mask, true, applyZero, true})},
        {"VA", controlHandler({Reach::All, true, applyZero, true})},
        {"WS", controlHandler({Reach::One, false, applyZero, true})},
        {"WM", controlHandler({Reach::Mask, false, applyZero, true})},
        {"WA", controlHandler({Reach::All, false, applyZero, true})},
        {"DS", controlHandler({Reach::One, false, applyReset, false})},
        {"DM", controlHandler({Reach::Mask, false, applyReset, false})},
        {"DA", controlHandler({Reach::All, false, applyReset, false})},
        {"PW", writeProgram},
        {"PR", readProgram},
    };
    for (const auto& command : commands) model.on(command.code, command.handler, Model::kMeasurement);
}

}  // namespace quil::sim
