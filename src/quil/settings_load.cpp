// Loading a settings file into a controller: the document is walked in
// document order and each element it knows is applied with its setter.
//
// Values that a later element applies together with its own (the lower ABLE
// limit with the upper one, the baud rate with the parity, ...) are held
// until then: those of a head or output block for that block only, those of
// the environment and common settings for the whole load. A held value is
// unset until an element sets it; an element that needs an unset one applies
// nothing. So does an element without the attribute it needs, or whose
// number is not a plain number in its range: whatever the controller holds
// stays as it is. A setting the controller refuses is counted and the load
// goes on with the next element; a failure of the link ends the load at
// once, with nothing more sent.
#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "elog/console.h"
#include "link/json.h"
#include "platform/platform.h"
#include "quil.h"
#include "quil/controller_settings.h"
#include "quil/device.h"
#include "quil/settings_file.h"
#include "quil/trace.h"

namespace quil {
namespace {

using namespace settings;

constexpr std::int32_t kMaxHeadMeasureMode = 4;
// The declaration's texts on the console line: printable and short.
constexpr std::size_t kMaxDeclarationText = 64;
// Room for the names of refused settings in the report.
constexpr std::size_t kRefusedNamesRoom = sizeof(QuilLoadReport::refusedNames);

using Text = const char*;

// The attribute's text, by default the one named like the element; null
// when missing.
Text attributeOf(const TiXmlElement& e, const char* name = nullptr) { return e.Attribute(name ? name : e.Value()); }

std::optional<std::int32_t> integer(Text text) { return integerText(text); }
std::optional<std::int32_t> integer(const TiXmlElement& e) { return integer(attributeOf(e)); }
std::optional<std::int32_t> inRange(const std::optional<std::int32_t>& v, std::int32_t first, std::int32_t last) {
    return v && *v >= first && *v <= last ? v : std::nullopt;
}
std::optional<double> decimal(const TiXmlElement& e) { return decimalText(attributeOf(e)); }

// One of the texts "0" to the digit `last`, compared whole.
std::optional<std::int32_t> choice(const TiXmlElement& e, int last) {
    const Text text = attributeOf(e);
    if (!text || std::strlen(text) != 1 || text[0] < '0' || text[0] > '0' + last) return std::nullopt;
    return text[0] - '0';
}

template <std::size_t N>
std::optional<std::int32_t> fixedText(const TiXmlElement& e, const FixedText (&table)[N]) {
    const Text text = attributeOf(e);
    return text ? valueOf(table, text) : std::nullopt;
}

std::optional<std::int32_t> hundredfold(const std::optional<double>& v) {
    return v ? timesFactor(*v, kLengthScale) : std::nullopt;
}

// What the load has done so far.
struct Tally : LoadOutcome {
    bool stopped() const { return failure != QUIL_OK; }
    void count(const TiXmlElement& e, std::int32_t code) {
        if (code == QUIL_OK) {
            ++applied;
        } else if (linkFailure(code)) {
            failure = code;
        } else {
            ++refused;
            const TiXmlNode* parent = e.Parent();
            std::string name = parent && parent->ToElement() ? std::string(parent->Value()) + "/" : std::string();
            name += e.Value();
            const std::string separator = refusedNames.empty() ? "" : ", ";
            if (refusedNames.size() + separator.size() + name.size() < kRefusedNamesRoom)
                refusedNames += separator + name;
        }
    }
};

// A held value takes a new value only from an element that gives one.
template <class T>
void hold(std::optional<T>& held, const std::optional<T>& v) {
    if (v) held = v;
}

// A switch: 1 for any value other than 0.
std::optional<std::int32_t> onOff(const std::optional<std::int32_t>& v) {
    return v ? std::optional<std::int32_t>(*v != 0 ? 1 : 0) : std::nullopt;
}

// Calls fn with the values of all the optionals when every one is set.
template <class F, class... T>
void whenSet(F fn, const std::optional<T>&... v) {
    if ((v.has_value() && ...)) fn(*v...);
}
// The same for a setter call, whose result the block's tally counts.
template <class Block, class F, class... T>
void applyWhenSet(Block& b, const TiXmlElement& e, F fn, const std::optional<T>&... v) {
    if ((v.has_value() && ...)) b.tally.count(e, fn(*v...));
}

// Child elements in document order.
template <class F>
void eachChild(const TiXmlElement& parent, F fn) {
    for (const TiXmlElement* e = parent.FirstChildElement(); e; e = e->NextSiblingElement()) fn(*e);
}

// An element's handler within a block or section: its name and what it does
// with the element, given the block's state.
template <class Block>
struct Rule {
    const char* name;
    void (*apply)(Block&, const TiXmlElement&);
};

template <class Block, std::size_t N>
void applyRules(Block& block, const TiXmlElement& parent, const Rule<Block> (&rules)[N]) {
    eachChild(parent, [&](const TiXmlElement& e) {
        if (block.tally.stopped()) return;
        for (const Rule<Block>& r : rules)
            if (std::strcmp(e.Value(), r.name) == 0) return r.apply(block, e);
    });
}

// The setters that a rule passes one value to: of the controller
// (DeviceId, value) or of a head or OUT (DeviceId, number, value).
template <auto set, class Block>
std::int32_t pass(Block& b, std::int32_t v) {
    const auto fn = b.set.*set;
    if constexpr (std::is_invocable_v<decltype(fn), std::int32_t, std::int32_t, std::int32_t>)
        return fn(b.id, b.n, v);
    else
        return fn(b.id, v);
}

// Rules of the common shape: the element's value passed on to the setter.
template <class Block, auto set>
void integerTo(Block& b, const TiXmlElement& e) {
    applyWhenSet(
        b, e, [&](std::int32_t v) { return pass<set>(b, v); }, integer(e));
}
template <class Block, auto set, int last>
void choiceTo(Block& b, const TiXmlElement& e) {
    applyWhenSet(
        b, e, [&](std::int32_t v) { return pass<set>(b, v); }, choice(e, last));
}
template <class Block, auto set>
void switchTo(Block& b, const TiXmlElement& e) {
    applyWhenSet(
        b, e, [&](std::int32_t v) { return pass<set>(b, v); }, onOff(integer(e)));
}
// A numbered container whose children each carry one value, for the
// setter of that OUT or head.
template <class Block, auto set, const Numbered& c>
void numberedTo(Block& b, const TiXmlElement& container) {
    eachChild(container, [&](const TiXmlElement& child) {
        const int n = blockNumber(child.Value(), c.prefix, c.last);
        if (n == 0 || b.tally.stopped()) return;
        applyWhenSet(
            b, child, [&](std::int32_t v) { return (b.set.*set)(b.id, n, v); }, integer(attributeOf(child, c.attr)));
    });
}

// ------------------------------------------------------------ head blocks

struct HeadBlock {
    const LoadSetters& set;
    Tally& tally;
    std::int32_t id, n;
    std::optional<std::int32_t> ableLower, maskOn;
    std::optional<double> pos1;
};

using H = HeadBlock;
const Rule<H> kHeadRules[] = {
    {kHeadMeasureMode,
     [](H& b, const TiXmlElement& e) {
         // "5" stands for the highest mode as well.
         applyWhenSet(
             b, e, [&](std::int32_t v) { return b.set.setMeasureMode(b.id, b.n, std::min(v, kMaxHeadMeasureMode)); },
             choice(e, kHeadMeasureMode.last));
     }},
    {kHeadBasicPoint, choiceTo<H, &LoadSetters::setBasicPoint, kHeadBasicPoint.last>},
    {kHeadAbleMode, choiceTo<H, &LoadSetters::setAbleMode, kHeadAbleMode.last>},
    {kHeadAbleLower, [](H& b, const TiXmlElement& e) { hold(b.ableLower, integer(e)); }},
    {kHeadAbleUpper,
     [](H& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e, [&](std::int32_t lower, std::int32_t upper) { return b.set.setAbleMinMax(b.id, b.n, lower, upper); },
             b.ableLower, integer(e));
     }},
    {kHeadReflectionMode, choiceTo<H, &LoadSetters::setReflectionMode, kHeadReflectionMode.last>},
    {kHeadMedian, choiceTo<H, &LoadSetters::setMedian, kHeadMedian.last>},
    {kHeadLaserCtrlGroup, choiceTo<H, &LoadSetters::setLaserCtrlGroup, kHeadLaserCtrlGroup.last>},
    {kHeadMaskOn, [](H& b, const TiXmlElement& e) { hold(b.maskOn, onOff(integer(e))); }},
    {kHeadMaskPos1, [](H& b, const TiXmlElement& e) { hold(b.pos1, decimal(e)); }},
    {kHeadMaskPos2,
     [](H& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e,
             [&](std::int32_t on, std::int32_t p1, std::int32_t p2) { return b.set.setMask(b.id, b.n, on, p1, p2); },
             b.maskOn, hundredfold(b.pos1), hundredfold(decimal(e)));
     }},
    {kHeadNumAlarm, integerTo<H, &LoadSetters::setNumAlarm>},
    {kHeadNumRecovery, integerTo<H, &LoadSetters::setNumRecovery>},
    {kHeadAlarmLevel, integerTo<H, &LoadSetters::setAlarmLevel>},
    {kHeadLaserPower,
     [](H& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e, [&](std::int32_t v) { return b.set.setLaserPower(b.id, b.n, v); },
             inRange(integer(e), 0, kMaxLaserPower));
     }},
};

// ------------------------------------------------------------ output blocks

struct OutBlock {
    const LoadSetters& set;
    Tally& tally;
    std::int32_t id, n;
    std::optional<std::int32_t> mode, outA, filterType, averaging, reflector;
    std::optional<double> toleranceUpper, toleranceLower, input1, display1, input2, monitorUpper, voltUpper;
};

// An OUT number as the add/subtract setter counts (the file counts from 0).
std::int32_t plusOne(std::int32_t v) { return v < INT32_MAX ? v + 1 : v; }

// The index element of a calculation mode (kMethodForms): applied only
// while the block's mode is that one. An average type is followed by
// selecting OUT1 alone.
template <const Field& element>
void methodIndex(OutBlock& b, const TiXmlElement& e) {
    const std::int32_t mode = modeOfElement(element.name);
    if (b.mode != mode) return;
    applyWhenSet(
        b, e,
        [&](std::int32_t v) {
            const MethodForm& f = *formOfIndex(mode, v);
            const std::int32_t r = b.set.setCalcMethod(b.id, b.n, f.method, f.index == kMethodNumber ? v : 0);
            return r != QUIL_OK || mode != kAverageMode ? r : b.set.setOutOperation(b.id, b.n, 1);
        },
        element.form == Form::Choice ? choice(e, element.last) : integer(e));
}

// The "OUTState" texts of the children "OUT01" to "OUT04", joined in
// document order ("1", "0", "1", "0" give "1010"). The selection command
// takes digits only: a text with anything else skips the whole selection,
// whose positions would otherwise shift.
void averageSelection(OutBlock& b, const TiXmlElement& container) {
    const Numbered& c = kOutAverageSelection;
    std::string selection;
    bool digits = true;
    eachChild(container, [&](const TiXmlElement& child) {
        const Text state = attributeOf(child, c.attr);
        if (blockNumber(child.Value(), c.prefix, c.last) == 0 || !state) return;
        const std::string_view text(state);
        digits = digits && !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
        selection += text;
    });
    // Nothing to select, nothing to send.
    if (!selection.empty() && digits) b.tally.count(container, b.set.setAverageSelection(b.id, b.n, selection.c_str()));
}

using O = OutBlock;
const Rule<O> kOutRules[] = {
    {kOutCalcMode, [](O& b, const TiXmlElement& e) { hold(b.mode, integer(e)); }},
    {kOutHeadIndex, methodIndex<kOutHeadIndex>},
    {kOutCalcTarget, choiceTo<O, &LoadSetters::setCalcTarget, kOutCalcTarget.last>},
    {kOutOutIndex, methodIndex<kOutOutIndex>},
    {kOutAddSubA, [](O& b, const TiXmlElement& e) { hold(b.outA, integer(e)); }},
    {kOutAddSubB,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e,
             [&](std::int32_t a, std::int32_t v) { return b.set.setOutAddSub(b.id, b.n, plusOne(a), plusOne(v)); },
             b.outA, integer(e));
     }},
    {kOutCalcSign, methodIndex<kOutCalcSign>},
    {kOutAverageSelection.name, averageSelection},
    {kOutAverageType, methodIndex<kOutAverageType>},
    {kOutMeasurementType, integerTo<O, &LoadSetters::setMeasurementType>},
    {kOutCalcModeOfOut, choiceTo<O, &LoadSetters::setCalcMode, kOutCalcModeOfOut.last>},
    {kOutTriggerMode, choiceTo<O, &LoadSetters::setTriggerMode, kOutTriggerMode.last>},
    {kOutFilterType,
     [](O& b, const TiXmlElement& e) {
         // Only the averaging filter (type 0) can be set.
         if (choice(e, kOutFilterType.last)) b.filterType = 0;
     }},
    {kOutAveraging,
     [](O& b, const TiXmlElement& e) {
         if (b.filterType == 0) hold(b.averaging, choice(e, kOutAveraging.last));
     }},
    // The cut-off frequency itself is not applied: its element sets the
    // averaging filter, the only one there is, which needs no frequency.
    {kOutCutOff,
     [](O& b, const TiXmlElement& e) {
         if (b.filterType == 0)
             applyWhenSet(
                 b, e, [&](std::int32_t v) { return b.set.setFilter(b.id, b.n, 0, v); }, b.averaging);
     }},
    {kOutToleranceUpper, [](O& b, const TiXmlElement& e) { hold(b.toleranceUpper, decimal(e)); }},
    {kOutToleranceLower, [](O& b, const TiXmlElement& e) { hold(b.toleranceLower, decimal(e)); }},
    {kOutToleranceDelay,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e,
             [&](std::int32_t up, std::int32_t low, std::int32_t delay) {
                 return b.set.setTolerance(b.id, b.n, up, low, delay);
             },
             hundredfold(b.toleranceUpper), hundredfold(b.toleranceLower), hundredfold(decimal(e)));
     }},
    {kOutInput1, [](O& b, const TiXmlElement& e) { hold(b.input1, decimal(e)); }},
    {kOutDisplay1, [](O& b, const TiXmlElement& e) { hold(b.display1, decimal(e)); }},
    {kOutInput2, [](O& b, const TiXmlElement& e) { hold(b.input2, decimal(e)); }},
    {kOutDisplay2,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e,
             [&](std::int32_t i1, std::int32_t o1, std::int32_t i2, std::int32_t o2) {
                 return b.set.setScaling(b.id, b.n, i1, o1, i2, o2);
             },
             hundredfold(b.input1), hundredfold(b.display1), hundredfold(b.input2), hundredfold(decimal(e)));
     }},
    {kOutOffset,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e, [&](std::int32_t v) { return b.set.setOffset(b.id, b.n, v); }, hundredfold(decimal(e)));
     }},
    {kOutDisplayUnit, choiceTo<O, &LoadSetters::setDisplayUnit, kOutDisplayUnit.last>},
    {kOutMonitorMode, integerTo<O, &LoadSetters::setMonitorMode>},
    {kOutMonitorUpper, [](O& b, const TiXmlElement& e) { hold(b.monitorUpper, decimal(e)); }},
    {kOutMonitorLower,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e, [&](double up, double down) { return b.set.setMonitorRange(b.id, b.n, up, down); }, b.monitorUpper,
             decimal(e));
     }},
    {kOutVoltUpper, [](O& b, const TiXmlElement& e) { hold(b.voltUpper, decimal(e)); }},
    {kOutVoltLower,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e, [&](double down, double up) { return b.set.setMonitorVoltage(b.id, b.n, down, up); }, decimal(e),
             b.voltUpper);
     }},
    {kOutReflectorOn, [](O& b, const TiXmlElement& e) { hold(b.reflector, onOff(integer(e))); }},
    {kOutReflectorValue,
     [](O& b, const TiXmlElement& e) {
         applyWhenSet(
             b, e,
             [&](std::int32_t flag, double v) {
                 return b.set.setReflector(b.id, b.n, static_cast<std::uint8_t>(flag), v);
             },
             b.reflector, decimal(e));
     }},
};

// ------------------------------------------------------------ environment and common settings

// What the load holds from start to end: the environment's values and the
// common blocks' storage size.
struct Load {
    const LoadSetters& set;
    Tally& tally;
    std::int32_t id;
    std::optional<std::int32_t> baud, runMode, inputMode, points, storageSize;
};

using L = Load;
const Rule<L> kEnvironmentRules[] = {
    {kEnvBaudRate, [](L& s, const TiXmlElement& e) { hold(s.baud, integer(e)); }},
    {kEnvParity,
     [](L& s, const TiXmlElement& e) {
         applyWhenSet(
             s, e, [&](std::int32_t baud, std::int32_t parity) { return s.set.setBaudRate(s.id, baud, parity); },
             s.baud, integer(e));
     }},
    {kEnvAutosend, switchTo<L, &LoadSetters::setAutosend>},
    {kEnvInvalidData, switchTo<L, &LoadSetters::setInvalidData>},
    {kEnvRunMode, [](L& s, const TiXmlElement& e) { hold(s.runMode, fixedText(e, kRunModes)); }},
    {kEnvInputMode, [](L& s, const TiXmlElement& e) { hold(s.inputMode, fixedText(e, kInputModes)); }},
    {kEnvPoints, [](L& s, const TiXmlElement& e) { hold(s.points, integer(e)); }},
    {kEnvDirection,
     [](L& s, const TiXmlElement& e) {
         applyWhenSet(
             s, e, [&](std::int32_t run, std::int32_t dir) { return s.set.setRunningMode(s.id, run, dir); }, s.runMode,
             fixedText(e, kDirections));
     }},
    {kEnvMinTime,
     [](L& s, const TiXmlElement& e) {
         applyWhenSet(
             s, e,
             [&](std::int32_t mode, std::int32_t ns, std::int32_t points) {
                 return s.set.setEncoderMode(s.id, mode, ns, points);
             },
             s.inputMode, fixedText(e, kMinTimes), s.points);
     }},
    {kEnvInOutIn, integerTo<L, &LoadSetters::setInOutIn>},
    {kEnvInOutInDQ, integerTo<L, &LoadSetters::setInOutInDQ>},
    {kEnvInOutDataOut, integerTo<L, &LoadSetters::setInOutDataOut>},
    {kEnvInOutMonitorOut, integerTo<L, &LoadSetters::setInOutMonitorOut>},
};

const Rule<L> kCommonRules[] = {
    {kCommonSamplingCycle, integerTo<L, &LoadSetters::setSamplingCycle>},
    {kCommonStrobeTime, integerTo<L, &LoadSetters::setStrobeTime>},
    {kCommonSynchronization.name, numberedTo<L, &LoadSetters::setSynchronization, kCommonSynchronization>},
    {kCommonInterference, integerTo<L, &LoadSetters::setInterferencePrevention>},
    {kCommonInterferenceGroups.name, numberedTo<L, &LoadSetters::setInterferenceGroup, kCommonInterferenceGroups>},
    {kCommonStorageSize, [](L& s, const TiXmlElement& e) { hold(s.storageSize, integer(e)); }},
    {kCommonStoragePeriod,
     [](L& s, const TiXmlElement& e) {
         applyWhenSet(
             s, e, [&](std::int32_t size, std::int32_t period) { return s.set.setDataStorage(s.id, size, period); },
             s.storageSize, integer(e));
     }},
    {kCommonStorageTargets.name, numberedTo<L, &LoadSetters::setStorageTarget, kCommonStorageTargets>},
};

// ------------------------------------------------------------ programs

// The blocks of one "ProgNo" go to the program it names ("No.", or "NO" as
// the save writes it). When that program cannot be selected they are
// skipped rather than written into whichever program is active; a "ProgNo"
// that names no program at all is meant for the active one.
// One head block ("Head01" to "Head04") or output block ("OUT01" to
// "OUT08"), applied to head or OUT n of the active program.
void applyHeadBlock(Load& s, std::int32_t head, const TiXmlElement& block) {
    HeadBlock b{s.set, s.tally, s.id, head, {}, {}, {}};
    applyRules(b, block, kHeadRules);
}

void applyOutBlock(Load& s, std::int32_t out, const TiXmlElement& block) {
    OutBlock b{s.set, s.tally, s.id, out, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    applyRules(b, block, kOutRules);
}

void applyProgram(Load& s, const TiXmlElement& prog) {
    const Text number =
        prog.Attribute(kProgramAttrOld) ? prog.Attribute(kProgramAttrOld) : prog.Attribute(kProgramAttr);
    if (number) {
        // A number that is none skips the block, as a refused selection does.
        const auto p = integer(number);
        const std::int32_t r = p ? s.set.setProgramNo(s.id, *p) : QUIL_ERROR_PARAMETER;
        s.tally.count(prog, r);
        if (r != QUIL_OK) return;
    }
    eachChild(prog, [&](const TiXmlElement& e) {
        const char* name = e.Value();
        if (std::strcmp(name, kHeadBlocks.name) == 0) {
            eachChild(e, [&](const TiXmlElement& block) {
                const int n = blockNumber(block.Value(), kHeadBlocks.prefix, kHeadBlocks.last);
                if (n != 0 && !s.tally.stopped()) applyHeadBlock(s, n, block);
            });
        } else if (std::strcmp(name, kOutBlocks.name) == 0) {
            eachChild(e, [&](const TiXmlElement& block) {
                const int n = blockNumber(block.Value(), kOutBlocks.prefix, kOutBlocks.last);
                if (n != 0 && !s.tally.stopped()) applyOutBlock(s, n, block);
            });
        } else if (std::strcmp(name, kCommonBlock) == 0) {
            applyRules(s, e, kCommonRules);
        }
    });
}

// Reads the file into doc: false when it is no regular file, cannot be
// read, is larger than a settings document may be, or is not one.
bool readDocument(TiXmlDocument& doc, const char* path) {
    std::string text;
    if (platform::readRegularFile(path, kMaxDocumentBytes, &text) != platform::FileRead::Ok) return false;
    try {
        return parseSettingsText(doc, text);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The declaration's texts as the console line shows them: printable
// characters only, at most kMaxDeclarationText of them.
std::string printable(const char* text) {
    std::string shown;
    for (; text && *text && shown.size() < kMaxDeclarationText; ++text)
        if (*text >= ' ' && *text <= '~') shown += *text;
    return shown;
}

}  // namespace

bool parseSettingsText(TiXmlDocument& doc, std::string_view text) {
    // The parser takes a character's length from its first byte and steps
    // over the whole of it, also over a zero that ends the text: four zeros
    // (the longest character) and more stop it wherever it lands.
    constexpr std::size_t kStop = 8;
    std::string copy;
    copy.reserve(text.size() + kStop);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            copy += text[i];
        } else {
            copy += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    // The parser recurses once per level and compares each attribute with
    // all earlier ones of its element: a document beyond the limits of a
    // settings file could exhaust the caller's stack or time.
    if (!withinDocumentLimits(copy)) return false;
    copy.append(kStop, '\0');
    doc.Parse(copy.c_str(), nullptr, TIXML_ENCODING_UTF8);
    return !doc.Error();
}

LoadOutcome applySettingsDocument(std::int32_t id, const TiXmlElement& root, const LoadSetters& set) {
    Tally tally;
    std::int32_t active = -1;
    // A link that fails here fails the load before anything is written.
    if (const std::int32_t r = set.getProgramNo(id, &active); linkFailure(r)) {
        tally.failure = r;
        return tally;
    }
    Load s{set, tally, id, {}, {}, {}, {}, {}};
    for (const TiXmlElement* e = root.FirstChildElement(kVersionBlock); e && !tally.stopped();
         e = e->NextSiblingElement()) {
        if (std::strcmp(e->Value(), kEnvironmentBlock) == 0) {
            applyRules(s, *e, kEnvironmentRules);
        } else if (std::strcmp(e->Value(), kProgramsBlock) == 0) {
            eachChild(*e, [&](const TiXmlElement& prog) {
                if (std::strcmp(prog.Value(), kProgram) == 0 && !tally.stopped()) applyProgram(s, prog);
            });
        }
    }
    // When the active program could not be read, -1 is refused and nothing
    // is sent; after a failure of the link nothing is sent at all.
    if (!tally.stopped())
        if (const std::int32_t r = set.setProgramNo(id, active); linkFailure(r)) tally.failure = r;
    return tally;
}

const LoadSetters kControllerSetters = {
    .getProgramNo = QUIL_GetProgramNo,
    .setProgramNo = QUIL_SetProgramNo,
    .setMeasureMode = QUIL_SetMeasureMode,
    .setBasicPoint = QUIL_SetBasicPoint,
    .setAbleMode = QUIL_SetAbleMode,
    .setAbleMinMax = QUIL_SetAbleMinMax,
    .setReflectionMode = QUIL_SetReflectionMode,
    .setMedian = QUIL_SetMedian,
    .setLaserCtrlGroup = QUIL_SetLaserCtrlGroup,
    .setMask = QUIL_SetMask,
    .setNumAlarm = QUIL_SetNumAlarm,
    .setNumRecovery = QUIL_SetNumRecovery,
    .setAlarmLevel = QUIL_SetAlarmLevel,
    .setLaserPower = writeLaserPower,
    .setCalcMethod = QUIL_SetCalcMethod,
    .setCalcTarget = QUIL_SetCalcTarget,
    .setOutAddSub = QUIL_SetOutAddSub,
    .setAverageSelection = SetAVEOUTSelectState,
    .setOutOperation = QUIL_SetOutOperation,
    .setMeasurementType = SetMeasurementTypeIndex,
    .setCalcMode = QUIL_SetCalcMode,
    .setTriggerMode = QUIL_SetTriggerMode,
    .setFilter = QUIL_SetFilter,
    .setTolerance = QUIL_SetTolerance,
    .setScaling = QUIL_SetScaling,
    .setOffset = QUIL_SetOffset,
    .setDisplayUnit = QUIL_SetDisplayUnit,
    .setMonitorMode = SetMoNiModeIndex,
    .setMonitorRange = SetMoNiMeasUpDown,
    .setMonitorVoltage = SetMoNiVol,
    .setReflector = SetReflactor,
    .setBaudRate = SetBaudRate,
    .setAutosend = SetAutosendIndex,
    .setInvalidData = SetInvalidData,
    .setRunningMode = QUIL_SetRunningMode,
    .setEncoderMode = QUIL_SetEncoderMode,
    .setInOutIn = SetInOut_In,
    .setInOutInDQ = SetInOut_InDQ,
    .setInOutDataOut = SetInOut_DataOut,
    .setInOutMonitorOut = SetInOut_MONIOut,
    .setSamplingCycle = QUIL_SetSamplingCycle,
    .setStrobeTime = QUIL_SetStrobeTime,
    .setSynchronization = QUIL_SetSynchronization,
    .setInterferencePrevention = QUIL_SetMutualInterferencePrevention,
    .setInterferenceGroup = QUIL_SetMutualInterferencePreventionGroup,
    .setDataStorage = QUIL_SetDataStorage,
    .setStorageTarget = QUIL_SetStorageTarget,
};

}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_SetFormula(int32_t DeviceId, const char* path) {
    return quil_load_settings(DeviceId, path, nullptr);
}

QUIL_API int32_t quil_load_settings(int32_t DeviceId, const char* path, QuilLoadReport* report) {
    static const char* const F = "QUIL_SetFormula";
    QUIL_TRACE(F, " DeviceID:%d", DeviceId);
    int32_t r = checkDeviceId(DeviceId);
    if (r != QUIL_OK) return r;
    if (!path) return QUIL_ERROR_NULL_POINTER;
    // Every call of the load goes to the controller open now, or fails.
    const SessionHold session(DeviceId);
    // A file that cannot be read as a document changes nothing at all.
    TiXmlDocument doc;
    if (!readDocument(doc, path)) return QUIL_ERROR_PARAMETER;
    const TiXmlElement* root = doc.FirstChildElement();
    if (!root) return QUIL_ERROR_PARAMETER;
    if (const TiXmlDeclaration* d = doc.FirstChild()->ToDeclaration())
        consolePrint(
            "\xE5\xA4\xB4\xE9\x83\xA8\xE4\xBF\xA1\xE6\x81\xAF\xEF\xBC\x9A"  // 头部信息：
            "version is %s , encoding is %s\n",
            printable(d->Version()).c_str(), printable(d->Encoding()).c_str());

    const LoadOutcome outcome = applySettingsDocument(DeviceId, *root);
    if (outcome.failure != QUIL_OK) {
        QUIL_TRACE(F, " fail DeviceID:%d applied:%d refused:%d rc:%d", DeviceId, outcome.applied, outcome.refused,
                   outcome.failure);
        return outcome.failure;
    }
    QUIL_TRACE(F, " Success DeviceID:%d applied:%d refused:%d", DeviceId, outcome.applied, outcome.refused);
    if (report) {
        report->applied = outcome.applied;
        report->refused = outcome.refused;
        std::snprintf(report->refusedNames, sizeof report->refusedNames, "%s", outcome.refusedNames.c_str());
    }
    return QUIL_OK;
}

}  // extern "C"
