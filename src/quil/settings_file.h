// The XML settings file: what the save (settings_save.cpp) and the load
// (settings_load.cpp) share besides its format (settings_schema.h).
//
// The document, in TinyXML's printed form:
//
//   <?xml version="1.0" encoding="UTF-8" ?>
//   <SettingFileInfo>
//       <Version> <property SOFT_VERSION="v-01-01-01" /> </Version>
//       <SaveTime> <property SaveTime="2024-05-01 12:00:00" /> </SaveTime>
//       <EnvironmentSet> controller-wide settings </EnvironmentSet>
//       <ProgParameter>
//           <ProgNo NO="0"> (the load also reads "No.")
//               <HeadParameter> <Head01>..<Head04> </HeadParameter>
//               <OUTParameter> <OUT01>..<OUT08> </OUTParameter>
//               <CommonParameter> settings common to the program </CommonParameter>
//           </ProgNo>
//           ... programs 1 to 7
//       </ProgParameter>
//   </SettingFileInfo>
//
// A setting is an element with one attribute named like the element
// ("<MedianIndex MedianIndex="2" />"). An element without its attribute
// holds no value: the save writes one for a value it cannot read, and the
// load applies nothing for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quil.h"
#include "quil/controller_settings.h"
#include "quil/settings_schema.h"

class TiXmlDocument;
class TiXmlElement;

namespace quil::settings {

// A fixed text of the file and the controller's value it stands for.
struct FixedText {
    std::int32_t value;
    const char* text;  // UTF-8
};

// "EncodeRunMode", "EncodeInputMode", "EncodeDetDir" and "EncodeMinTime"
// (the minimum input time in nanoseconds, as the encoder mode setter takes it).
extern const FixedText kRunModes[3];
extern const FixedText kInputModes[4];
extern const FixedText kDirections[3];
extern const FixedText kMinTimes[8];

// The text of a value, or nullptr when the table has none.
template <std::size_t N>
const char* textOf(const FixedText (&table)[N], std::int32_t value) {
    for (const FixedText& t : table)
        if (t.value == value) return t.text;
    return nullptr;
}
// The value of a text, compared whole and byte for byte.
template <std::size_t N>
std::optional<std::int32_t> valueOf(const FixedText (&table)[N], const char* text) {
    for (const FixedText& t : table)
        if (std::string(t.text) == text) return t.value;
    return std::nullopt;
}

// The controller reports minimum input times below one microsecond in
// nanoseconds (100, 200, 500) and the longer ones either in microseconds
// (1, 2, 5, 10, 20) or, as the setter takes them, in nanoseconds (1000 to
// 20000). The text of either form, or nullptr.
const char* minTimeText(std::int32_t reported);

// The name of child n of a numbered container: the prefix and the digit.
std::string numberedName(const char* prefix, int n);
// Block names: "Head01" to "Head04", "OUT01" to "OUT08".
std::string headName(int head);
std::string outName(int out);
// The number of a block name of that form (prefix "Head0" or "OUT0"
// followed by one digit from 1 to last), or 0.
int blockNumber(const char* name, const char* prefix, int last);

// Lengths travel in the file as decimal numbers of which the load applies
// the hundredfold: "18.47" for 1847, "-0.05" for -5.
std::string hundredthsText(std::int32_t v);

// Numbers in the file, read whole. An integer is optional leading blanks, an
// optional sign and decimal digits inside the signed 32-bit range ("0x7",
// "5abc" and "1e2" are none); a decimal number the same with at most one
// decimal point (no exponent, no hexadecimal, no inf or nan). Nothing for
// any other text.
std::optional<std::int32_t> integerText(const char* text);
std::optional<double> decimalText(const char* text);
// v times factor as a whole number (see wholeUnits: "0.29" times 100 is 29),
// or nothing outside the signed 32-bit range.
std::optional<std::int32_t> timesFactor(double v, double factor);

// The laser power of a head: the upper half of its power register, read or
// written under the device lock (the register message shares the command
// link with the ASCII commands). QUIL_OK; QUIL_ERROR_OPEN when the device,
// or the session the thread holds, is gone; QUIL_ERROR_TIMEOUT when the
// exchange itself failed (no reply in time); QUIL_ERROR_UNKNOWN when the
// controller refused.
std::int32_t readLaserPower(std::int32_t id, std::int32_t head, std::int32_t* power);
std::int32_t writeLaserPower(std::int32_t id, std::int32_t head, std::int32_t power);

// Codes after which a save or load cannot go on: the link to the controller
// failed, or the device was closed (or closed and opened again) meanwhile.
bool linkFailure(std::int32_t code);

// Limits of a settings document, checked before it is parsed: the parser
// descends recursively and compares each attribute with all the earlier ones
// of its element, so depth and attribute counts bound its stack and time. A
// saved file is about 150 KB, six levels deep, with one attribute per element.
inline constexpr std::size_t kMaxDocumentBytes = 16u << 20;
inline constexpr int kMaxDocumentDepth = 32;
inline constexpr int kMaxElementAttributes = 256;
inline constexpr std::size_t kMaxAttributeBytes = 4096;
// True when the text stays within those limits, scanned as the parser will
// read it (comments, CDATA sections, declarations, quoted values).
bool withinDocumentLimits(std::string_view text);

}  // namespace quil::settings

namespace quil {

// The controller calls a settings load makes. The load walk makes every call
// through these; kControllerSetters holds the library's own functions, and a
// fuzz target records the calls instead.
struct LoadSetters {
    decltype(&QUIL_GetProgramNo) getProgramNo;
    decltype(&QUIL_SetProgramNo) setProgramNo;
    // Head blocks.
    decltype(&QUIL_SetMeasureMode) setMeasureMode;
    decltype(&QUIL_SetBasicPoint) setBasicPoint;
    decltype(&QUIL_SetAbleMode) setAbleMode;
    decltype(&QUIL_SetAbleMinMax) setAbleMinMax;
    decltype(&QUIL_SetReflectionMode) setReflectionMode;
    decltype(&QUIL_SetMedian) setMedian;
    decltype(&QUIL_SetLaserCtrlGroup) setLaserCtrlGroup;
    decltype(&QUIL_SetMask) setMask;
    decltype(&QUIL_SetNumAlarm) setNumAlarm;
    decltype(&QUIL_SetNumRecovery) setNumRecovery;
    decltype(&QUIL_SetAlarmLevel) setAlarmLevel;
    std::int32_t (*setLaserPower)(std::int32_t id, std::int32_t head, std::int32_t power);
    // Output blocks.
    decltype(&QUIL_SetCalcMethod) setCalcMethod;
    decltype(&QUIL_SetCalcTarget) setCalcTarget;
    decltype(&QUIL_SetOutAddSub) setOutAddSub;
    decltype(&SetAVEOUTSelectState) setAverageSelection;
    decltype(&QUIL_SetOutOperation) setOutOperation;
    decltype(&SetMeasurementTypeIndex) setMeasurementType;
    decltype(&QUIL_SetCalcMode) setCalcMode;
    decltype(&QUIL_SetTriggerMode) setTriggerMode;
    decltype(&QUIL_SetFilter) setFilter;
    decltype(&QUIL_SetTolerance) setTolerance;
    decltype(&QUIL_SetScaling) setScaling;
    decltype(&QUIL_SetOffset) setOffset;
    decltype(&QUIL_SetDisplayUnit) setDisplayUnit;
    decltype(&SetMoNiModeIndex) setMonitorMode;
    decltype(&SetMoNiMeasUpDown) setMonitorRange;
    decltype(&SetMoNiVol) setMonitorVoltage;
    decltype(&SetReflactor) setReflector;
    // Environment.
    decltype(&SetBaudRate) setBaudRate;
    decltype(&SetAutosendIndex) setAutosend;
    decltype(&SetInvalidData) setInvalidData;
    decltype(&QUIL_SetRunningMode) setRunningMode;
    decltype(&QUIL_SetEncoderMode) setEncoderMode;
    decltype(&SetInOut_In) setInOutIn;
    decltype(&SetInOut_InDQ) setInOutInDQ;
    decltype(&SetInOut_DataOut) setInOutDataOut;
    decltype(&SetInOut_MONIOut) setInOutMonitorOut;
    // Common settings.
    decltype(&QUIL_SetSamplingCycle) setSamplingCycle;
    decltype(&QUIL_SetStrobeTime) setStrobeTime;
    decltype(&QUIL_SetSynchronization) setSynchronization;
    decltype(&QUIL_SetMutualInterferencePrevention) setInterferencePrevention;
    decltype(&QUIL_SetMutualInterferencePreventionGroup) setInterferenceGroup;
    decltype(&QUIL_SetDataStorage) setDataStorage;
    decltype(&QUIL_SetStorageTarget) setStorageTarget;
};
extern const LoadSetters kControllerSetters;

// Parses a settings document's text as the load reads its file: CR LF and a
// lone CR become LF. The parser may step past the end of a text that ends
// in the middle of a multi-byte character, so it is given a copy with zeros
// behind it and never sees what follows the text. False when the text is no
// XML document.
bool parseSettingsText(TiXmlDocument& doc, std::string_view text);
// Reads the controller's settings into doc as a save writes them (the
// active program selected again afterwards); the first failure that ended
// the reading, or QUIL_OK. The device number has been checked.
std::int32_t readSettingsDocument(std::int32_t id, TiXmlDocument& doc);
// What a load did: the settings applied and those refused (with the first
// of their names, "OUT05/MeasurementTypeIndex, ..."), and the failure of the
// link that ended it (QUIL_OK when none did).
struct LoadOutcome {
    std::int32_t failure = QUIL_OK;
    std::int32_t applied = 0, refused = 0;
    std::string refusedNames;
};
// The whole load after the document has been read: the environment and the
// programs under the root element, in document order, then the program that
// was active before is selected again. A failure of the link ends it at
// once: nothing more is sent.
LoadOutcome applySettingsDocument(std::int32_t id, const TiXmlElement& root,
                                  const LoadSetters& set = kControllerSetters);

}  // namespace quil
