// The command families of the simulated controller. Each family installs its
// handlers into a model with one function; the model's constructor calls
// them all. Args is the argument reader the handlers share, so that every
// family refuses malformed lines with the same error numbers.
#pragma once

#include <cstddef>
#include <string>

#include "sim/model.h"

namespace quil::sim {

// Measured values ("MS", "MM", "MA"), timing ("TS", "TM", "TP"), zero ("VS",
// "WS", "VM", "WM", "VA", "WA"), reset ("DS", "DM", "DA") and program ("PW",
// "PR"). All of them are measurement-mode commands.
void installMeasureCommands(Model& model);

// Data storage: recording start, stop and clear ("AS", "AP", "AQ"), its
// status ("AN") and the read-outs of stored OUT and encoder values ("AO",
// "AR"). All of them are measurement-mode commands.
void installStorageCommands(Model& model);

// The JSON messages on the command link ("#J,{...}"): register read and
// write, and the batch streaming switch. Also sets the registers' defaults.
void installJsonCommands(Model& model);

// The setting groups of "SR" (read) and "SW" (write), installed per group
// ("SR,HA", "SW,HA", ...): the head settings (H groups), the output settings
// (O groups and "LM"), the common settings (C and E groups) and the encoder
// and I/O commands ("CX", "CD" and the C groups of the encoder models).
void installHeadCommands(Model& model);
void installOutputCommands(Model& model);
void installCommonCommands(Model& model);
// The current value of encoder channel n, which "CX,0n" answers and "CD,0n"
// sets to "0", is the model value "CX,0n" (Model::value); any text set there
// is sent as it is, special texts included.
void installEncoderCommands(Model& model);
// The controller settings that only the settings files reach: network,
// serial line, autosend, invalid data, input/output functions and the
// output-count type.
void installControllerSettingsCommands(Model& model);
// The network settings the controller reports, as dotted text. The
// simulator reports the address it listens on.
void setNetworkSettings(Model& model, const std::string& address, const std::string& mask, const std::string& gateway);

// Reads a command's arguments (fields 1 on) in order. The first one that does
// not fit decides the error reply; reads after it give 0 and change nothing,
// so a handler reads all its arguments and then asks ok() once:
//
//   Args a(c, 1);
//   int out = a.out(Model::kOutCount);
//   if (!a.ok()) return a.error();
class Args {
public:
    // The controller's OUT masks are four characters, OUT1 first.
    static constexpr int kMaskOuts = 4;

    // A line that does not carry exactly `count` arguments is refused with
    // kErrParameter.
    Args(const Command& command, std::size_t count);

    // The argument's text as it is ("" once a read has failed).
    std::string text();
    // A decimal integer, with a '-' for a negative one.
    int integer();
    // An integer from first to last; kErrParameter outside.
    int choice(int first, int last);
    // An OUT number ("03") from 1 to last; kErrRange outside.
    int out(int last);
    // An OUT mask ("1010"): bit 0 is OUT1. kErrParameter when it is not four
    // '0' or '1', kErrRange when it selects no OUT.
    unsigned mask();

    bool ok() const { return errorNo_ == 0; }
    // "ER,<code>,<number>\r\n" for the first failure.
    std::string error() const { return Model::error(command_, errorNo_); }

private:
    // The next argument's text, or nullptr once a read has failed.
    const std::string* next();
    int fail(int errorNo);
    // An integer from first to last; errorNo outside.
    int within(int first, int last, int errorNo);

    const Command& command_;
    std::size_t next_;
    int errorNo_ = 0;
};

}  // namespace quil::sim
