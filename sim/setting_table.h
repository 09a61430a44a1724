// The settings of the simulated controller that "SR" reads and "SW" writes.
//
// A settings family describes its settings in a table and installs it; the
// table answers the family's groups ("SR,HA", "SW,HA", ...) in setting mode
// ("Q0") only. Every setting is kept per program (0 to 7, the active one is
// Model::programNo()); a program never written reads the initial values.
//
//   SW,<group>[,<index>],<value>,...  stores the values; answered with the
//                                     line's first fields ("SW,HG")
//   SR,<group>[,<index>]              answered with the line's fields and
//                                     then the values as the controller
//                                     prints them
//
// where <group> is one or two group letter pairs ("HG", "HA,M") and <index>
// a head or OUT number ("01"). A line is refused with 61 when it carries the
// wrong number of arguments or a value not in its text form, with 64 for an
// index outside its range, and with 62 (or the setting's own number) for
// values out of range or that do not fit together.
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

    static SettingValue number(int first, int last, int initial, int width = 0) {
        return {In::Decimal, Out::Decimal, first, last, initial, width};
    }
};

struct SettingSpec {
    std::string group;  // "HG", "HA,M"
    int indexLast = 0;  // the index runs from 1 to indexLast; 0: no index
    std::vector<SettingValue> values;
    std::size_t writeReplyFields = 2;  // the fields of the "SW" line echoed
    // The error number for values that are each in range but do not fit
    // together, or 0 when they do.
    std::function<int(const std::vector<int>&)> relation = nullptr;
};

// A calculation method as SettingValue::In::Method stores it: the method
// (0 a head, 1 an OUT, 2 to 7 the calculations "C01" to "C06") times 100 plus
// the head or OUT number.
inline constexpr int kMethodBase = 100;

// Installs the handlers of every group of the table. Values printed as
// lengths use the display unit kept as the first value of unitGroup for the
// same index (none: hundredths).
void installSettings(Model& model, std::vector<SettingSpec> specs, const std::string& unitGroup = "");

}  // namespace quil::sim
