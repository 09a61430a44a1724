// The settings of the simulated controller that "SR" reads and "SW" writes.
//
// A command family describes its settings as the rows of a table and
// installs them; the table answers the family's groups ("SR,HA", "SW,HA",
// ...):
//
//   SW,<group>[,<index>],<value>,...  stores the values; answered with the
//                                     line's first fields ("SW,HG")
//   SR,<group>[,<index>]              answered with the line's fields and
//                                     then the values as the controller
//                                     prints them
//
// where <group> is one or two group letter pairs ("HG", "HA,M") and <index>
// a head, OUT, channel or output number ("01"). A setting is kept per
// program (0 to 7, the active one is Model::programNo()) or once for all
// programs; a program never written reads the initial values.
//
// A model that lacks a group answers it with 99, in either mode; the others
// answer it in setting mode ("Q0") only, apart from the groups also read in
// measurement mode (51 otherwise). A line is refused with 61 when it
// carries the wrong number of arguments or a value not in its text form,
// with 64 for an index outside its range, and with 62 (or the group's own
// number) for values out of range or that do not fit together, in that
// order. A refused write changes nothing.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "sim/model.h"

namespace quil::sim {

struct SettingValue {
    // How "SW" carries the value: a decimal integer ("7", "0000010"), a sign
    // and six digits ("+001234"), a calculation method ("H01", "O08",
    // "C03"), or an OUT mask ("1010", OUT1 first).
    enum class In { Decimal, Signed6, Method, Mask };
    // How "SR" prints it: decimal (width digits with leading zeros), a
    // length in hundredths ("+0012.34"), a length in the display unit of the
    // setting's index ("+012.345" in thousandths), a method, a mask.
    enum class Out { Decimal, Hundredths, Length, Method, Mask };

    In in = In::Decimal;
    Out out = Out::Decimal;
    int first = 0;  // the range "SW" accepts
    int last = 0;
    int initial = 0;
    int width = 0;
    // A last value that depends on the model, in place of last; null: none.
    int (*lastFor)(int modelCode) = nullptr;

    static SettingValue number(int first, int last, int initial, int width = 0) {
        return {In::Decimal, Out::Decimal, first, last, initial, width};
    }
};

struct SettingGroup {
    std::string group;  // "HG", "HA,M"
    int indexLast = 0;  // the index runs from 1 to indexLast; 0: no index
    std::vector<SettingValue> values;
    std::size_t writeReplyFields = 2;  // the fields of the "SW" line echoed
    // The error number for values that are each in range but do not fit
    // together, or 0 when they do.
    std::function<int(const std::vector<int>&)> relation = nullptr;
    bool perProgram = true;
    // The models that have the group; null: every model.
    bool (*available)(int modelCode) = nullptr;
    int readMode = Model::kSetting;  // Model::kAnyMode: "SR" in either mode
};

// A calculation method as SettingValue::In::Method stores it: the method
// (0 a head, 1 an OUT, 2 to 7 the calculations "C01" to "C06") times 100 plus
// the head or OUT number.
inline constexpr int kMethodBase = 100;

// Installs the handlers of every group of the table. Values printed as
// lengths use the display unit kept as the first value of unitGroup for the
// same index (none: hundredths).
void installSettings(Model& model, std::vector<SettingGroup> groups, const std::string& unitGroup = "");

// A handler that models outside `available` (null: none) answer with error
// 99 and that is refused with error 51 outside `mode` (Model::kAnyMode:
// none), in that order.
Model::Handler onlyFor(bool (*available)(int modelCode), int mode, Model::Handler handler);

// An integer with at least `width` digits, leading zeros filled in.
std::string digits(int value, int width);

}  // namespace quil::sim
