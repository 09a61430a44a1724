// Setting groups of "SR" (read) and "SW" (write) described as table rows.
//
// A group holds one or more integer values, per program or once, and per
// index (an encoder channel, an output number) or once:
//
//   SW,<group>[,<index>],<value>...   answered "SW,<group>"
//   SR,<group>[,<index>]              answered "SR,<group>[,<index>],<value>..."
//
// A write is range-checked value by value (error 62 outside, 61 for a value
// that is not a number or a wrong count, 64 for an index outside its range)
// and changes nothing when refused. Values read back as the controller
// prints them, with the group's digit counts.
#pragma once

#include <string>
#include <vector>

#include "sim/model.h"

namespace quil::sim {

// One value of a group: its range and the digits it is printed with
// (leading zeros; 0 prints it as it is). A range that depends on the model
// gives its last value through lastFor instead.
struct SettingValue {
    int first;
    int last;
    int width = 0;
    int (*lastFor)(int modelCode) = nullptr;
};

struct SettingGroup {
    std::string group;  // "CA"
    std::vector<SettingValue> values;
    int indexCount = 0;  // index 1 to indexCount, printed with two digits; 0: none
    bool perProgram = false;
    // The models that have the group; the others answer error 99 as for an
    // unknown command. Null: every model.
    bool (*available)(int modelCode) = nullptr;
    int readMode = Model::kSetting;  // kAnyMode: "SR" is answered in either mode
};

// Installs the group's "SR" and "SW" handlers. Values start at the first
// value of their range.
void installSettingGroup(Model& model, const SettingGroup& group);

// A handler that models outside `available` answer with error 99 and that
// is refused with error 51 outside `mode` (kAnyMode: none), in that order.
Model::Handler onlyFor(bool (*available)(int modelCode), int mode, Model::Handler handler);

// An integer with at least `width` digits, leading zeros filled in.
std::string digits(int value, int width);

}  // namespace quil::sim
