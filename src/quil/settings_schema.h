// The settings file's format, described once: the document's blocks in the
// order the save writes them, every element's name and value form, the
// calculation-method mapping and the laser-power register. The save
// (settings_save.cpp) writes from it and the load (settings_load.cpp) reads
// by it. Constants only: no code of the library is needed to use it.
#pragma once

#include <cstdint>
#include <string_view>

#include "quil/model.h"

namespace quil::settings {

inline constexpr int kPrograms = 8;
using quil::kHeads;
inline constexpr int kOuts = kMaxOut;
inline constexpr int kSelectionOuts = kControlOuts;  // the average selection names OUT1 to OUT4

// How an element's value is written in its attribute.
enum class Form {
    None,     // never holds a value: the save writes the element bare, the load skips it
    Integer,  // a decimal integer
    Choice,   // one of the digits "0" to `last`
    Switch,   // an integer; the load applies any value other than 0 as 1
    Length,   // hundredths written as a decimal number ("18.47" for 1847)
    Decimal,  // a decimal number, applied as it is
    Text,     // a fixed text (settings_file.h) or a dotted address
};

// The factor between a Length's value and the number in the file.
inline constexpr int kLengthScale = 100;

// A setting: an element with one attribute named like the element
// ("<MedianIndex MedianIndex="2" />").
struct Field {
    const char* name;
    Form form;
    int last = 0;  // the highest digit of a Choice
    constexpr operator const char*() const { return name; }
};

// A container of numbered children: "<prefix>1" to "<prefix><last>", each
// with its value in the attribute attr (null: a block of settings).
struct Numbered {
    const char* name;
    const char* prefix;
    int last;
    const char* attr;
};

// ------------------------------------------------------------ the document

inline constexpr const char* kRoot = "SettingFileInfo";
inline constexpr const char* kVersionBlock = "Version";  // the load reads from this element on
inline constexpr const char* kSaveTimeBlock = "SaveTime";
inline constexpr const char* kProperty = "property";  // the single child of both
inline constexpr const char* kSoftVersionAttr = "SOFT_VERSION";
inline constexpr const char* kSoftVersion = "v-01-01-01";  // the version the save writes
inline constexpr const char* kSaveTimeAttr = "SaveTime";
inline constexpr const char* kEnvironmentBlock = "EnvironmentSet";
inline constexpr const char* kProgramsBlock = "ProgParameter";
inline constexpr const char* kProgram = "ProgNo";      // one per program, 0 to 7
inline constexpr const char* kProgramAttr = "NO";      // as the save writes it
inline constexpr const char* kProgramAttrOld = "No.";  // also read, before "NO"
// A program's blocks, in this order.
inline constexpr Numbered kHeadBlocks{"HeadParameter", "Head0", kHeads, nullptr};
inline constexpr Numbered kOutBlocks{"OUTParameter", "OUT0", kOuts, nullptr};
inline constexpr const char* kCommonBlock = "CommonParameter";

// ------------------------------------------------------------ EnvironmentSet, in order

inline constexpr Field kEnvHeadNumber{"HeadNumber", Form::Integer};
inline constexpr Field kEnvOutNumber{"OUTNumber", Form::Integer};
inline constexpr Field kEnvOutSetNumber{"OUTSetNumber", Form::Integer};
inline constexpr Field kEnvBaudRate{"BaudRateIndex", Form::Integer};
inline constexpr Field kEnvParity{"ParityIndex", Form::Integer};  // applied with the baud rate
inline constexpr Field kEnvAutosend{"AutosendIndex", Form::Switch};
inline constexpr Field kEnvInvalidData{"UnValidTypeIndex", Form::Switch};
inline constexpr Field kEnvIpAddress{"IpAddress", Form::Text};
inline constexpr Field kEnvSubnetMask{"SubMaskCode", Form::Text};
inline constexpr Field kEnvGateway{"Gateway", Form::Text};
inline constexpr Field kEnvRunMode{"EncodeRunMode", Form::Text};      // kRunModes
inline constexpr Field kEnvInputMode{"EncodeInputMode", Form::Text};  // kInputModes
inline constexpr Field kEnvPoints{"EncodePoint", Form::Integer};
inline constexpr Field kEnvDirection{"EncodeDetDir", Form::Text};  // kDirections; applied with the run mode
inline constexpr Field kEnvMinTime{"EncodeMinTime", Form::Text};   // kMinTimes; applied with mode and points
inline constexpr Field kEnvProgramSwitch{"ProgSwitch", Form::Integer};
inline constexpr Field kEnvInOutIn{"InOut_In", Form::Integer};
inline constexpr Field kEnvInOutInDQ{"InOut_InDQ", Form::Integer};
inline constexpr Field kEnvInOutDataOut{"InOut_DataOut", Form::Integer};
inline constexpr Field kEnvInOutMonitorOut{"InOut_MONIOut", Form::Integer};
inline constexpr Field kEnvTemperatureFactor{"TemperatureFactor", Form::None};

// ------------------------------------------------------------ a head block, in order

inline constexpr Field kHeadMeasureMode{"DetectModeIndex", Form::Choice, 5};  // 5 stands for 4 as well
inline constexpr Field kHeadBasicPoint{"BasePointIndex", Form::Choice, 1};
inline constexpr Field kHeadAbleMode{"ABLEIndex", Form::Choice, 1};
inline constexpr Field kHeadAbleLower{"ABLELower", Form::Integer};
inline constexpr Field kHeadAbleUpper{"ABLEUpper", Form::Integer};  // applied with the lower limit
inline constexpr Field kHeadReflectionMode{"RflectModeIndex", Form::Choice, 1};
inline constexpr Field kHeadMedian{"MedianIndex", Form::Choice, 3};
inline constexpr Field kHeadLaserCtrlGroup{"LaserCtrlIndex", Form::Choice, 1};
inline constexpr Field kHeadMaskOn{"ShieldIndex", Form::Switch};
inline constexpr Field kHeadMaskPos1{"Pos1", Form::Length};
inline constexpr Field kHeadMaskPos2{"Pos2", Form::Length};  // applied with the switch and Pos1
inline constexpr Field kHeadNumAlarm{"ErrTimes", Form::Integer};
inline constexpr Field kHeadNumRecovery{"RecoverTimes", Form::Integer};
inline constexpr Field kHeadAlarmLevel{"WarnLevel", Form::Integer};
inline constexpr Field kHeadPulse{"Pulse", Form::Integer};
inline constexpr Field kHeadLaserPower{"LaserPower", Form::Integer};  // 0 to kMaxLaserPower

// ------------------------------------------------------------ an output block, in order

inline constexpr Field kOutCalcMode{"CalModeIndex", Form::Integer};  // see kMethodForms
inline constexpr Field kOutBasicPoint{"BasePointIndex", Form::None};
inline constexpr Field kOutHeadIndex{"HeadIndex", Form::Integer};
inline constexpr Field kOutCalcTarget{"MeasurementGoalIndex", Form::Choice, 9};
inline constexpr Field kOutOutIndex{"OUTIndex", Form::Integer};
inline constexpr Field kOutAddSubA{"OUTAIndex", Form::Integer};  // OUTs counted from 0
inline constexpr Field kOutAddSubB{"OUTBIndex", Form::Integer};  // applied with OUTAIndex
inline constexpr Field kOutCalcSign{"CalSignIndex", Form::Choice, 1};
// "OUTState" "1" or "0" of OUT1 to OUT4. When the calculation is an average
// type, the container comes once more after the type: the load follows the
// type with selecting OUT1 alone.
inline constexpr Numbered kOutAverageSelection{"AVEOUTSelectState", "OUT0", kSelectionOuts, "OUTState"};
inline constexpr Field kOutAverageType{"AVETypeIndex", Form::Choice, 3};
inline constexpr Field kOutMeasurementType{"MeasurementTypeIndex", Form::Integer};
inline constexpr Field kOutCalcModeOfOut{"DetectModeIndex", Form::Choice, 4};
inline constexpr Field kOutTriggerMode{"TriggerIndex", Form::Choice, 1};
inline constexpr Field kOutFilterType{"FilterTypeIndex", Form::Choice, 0};  // only the averaging filter
inline constexpr Field kOutAveraging{"AverageTimesIndex", Form::Choice, 9};
// Sets the averaging filter with the averaging of AverageTimesIndex; the
// frequency itself is not applied.
inline constexpr Field kOutCutOff{"CutOffFrequencyIndex", Form::Integer};
inline constexpr Field kOutToleranceUpper{"ToleranceUpper", Form::Length};
inline constexpr Field kOutToleranceLower{"ToleranceLower", Form::Length};
inline constexpr Field kOutToleranceDelay{"ToleranceDelay", Form::Length};  // applied with both limits
inline constexpr Field kOutInput1{"Input1", Form::Length};
inline constexpr Field kOutDisplay1{"Display1", Form::Length};
inline constexpr Field kOutInput2{"Input2", Form::Length};
inline constexpr Field kOutDisplay2{"Display2", Form::Length};  // applied with the three before
inline constexpr Field kOutOffset{"Offset", Form::Length};
inline constexpr Field kOutDisplayUnit{"MinimumDisplayUnitIndex", Form::Choice, 6};
// No command reads these: the save writes them bare.
inline constexpr Field kOutZero{"ZeroIndex", Form::None};
inline constexpr Field kOutMonitorMode{"MoNiModeIndex", Form::Integer};
inline constexpr Field kOutMonitorUpper{"MoNiMeasUp", Form::Decimal};
inline constexpr Field kOutMonitorLower{"MoNiMeasDown", Form::Decimal};  // applied with MoNiMeasUp
inline constexpr Field kOutVoltUpper{"MoNiVolUp", Form::Decimal};
inline constexpr Field kOutVoltLower{"MoNiVolDown", Form::Decimal};  // applied with MoNiVolUp
inline constexpr Field kOutReflectorOn{"mReflactorId", Form::Switch};
inline constexpr Field kOutReflectorValue{"mReflactorVal", Form::Decimal};  // applied with mReflactorId

// ------------------------------------------------------------ CommonParameter, in order

inline constexpr Field kCommonSamplingCycle{"SamplingPeriodIndex", Form::Integer};
inline constexpr Field kCommonStrobeTime{"SelectionTimeIndex", Form::Integer};
inline constexpr Numbered kCommonSynchronization{"SyncSettingOUTSelectState", "OUT0", kOuts, "OUTState"};
inline constexpr Field kCommonInterference{"PreventMutalInterferenceIndex", Form::Integer};
inline constexpr Numbered kCommonInterferenceGroups{"PreventMutalInterferenceHeadMode", "Head0", kHeads, "HeadMode"};
inline constexpr Field kCommonStorageSize{"DataSaveNumber", Form::Integer};
inline constexpr Field kCommonStoragePeriod{"DataSavePeriod", Form::Integer};  // applied with the size
inline constexpr Numbered kCommonStorageTargets{"DataSaveOUTSelectState", "OUT0", kOuts, "OUTState"};

// ------------------------------------------------------------ the calculation method

// How a calculation method (QUIL_SetCalcMethod) stands in an output block:
// the calculation mode (CalModeIndex) and the value of that mode's index
// element. Read one way by the save, the other by the load.
inline constexpr std::int32_t kMethodNumber = -1;  // the index element holds the method's number
struct MethodForm {
    std::int32_t method;
    std::int32_t mode;
    const Field* element;
    std::int32_t index;  // kMethodNumber, or the element's value
};
inline constexpr std::int32_t kAverageMode = 3;
inline constexpr MethodForm kMethodForms[] = {
    {0, 0, &kOutHeadIndex, kMethodNumber},  //
    {1, 1, &kOutOutIndex, kMethodNumber},   //
    {2, 2, &kOutCalcSign, 0},               // the sign
    {3, 2, &kOutCalcSign, 1},
    {4, kAverageMode, &kOutAverageType, 0},  // the average types
    {7, kAverageMode, &kOutAverageType, 1},
    {6, kAverageMode, &kOutAverageType, 2},
    {5, kAverageMode, &kOutAverageType, 3},
};
// The form of a method, or null.
constexpr const MethodForm* formOfMethod(std::int32_t method) {
    for (const MethodForm& f : kMethodForms)
        if (f.method == method) return &f;
    return nullptr;
}
// The form of a mode whose index element holds index (kMethodNumber for
// the modes whose element holds the number), or null.
constexpr const MethodForm* formOfIndex(std::int32_t mode, std::int32_t index) {
    for (const MethodForm& f : kMethodForms)
        if (f.mode == mode && (f.index == kMethodNumber || f.index == index)) return &f;
    return nullptr;
}
// The mode whose index element is named name, or -1.
constexpr std::int32_t modeOfElement(std::string_view name) {
    for (const MethodForm& f : kMethodForms)
        if (f.element->name == name) return f.mode;
    return -1;
}

// ------------------------------------------------------------ the laser power

// LaserPower is the upper half of a head's power register.
inline constexpr std::uint32_t kLaserPowerRegister = 576;
inline constexpr int kLaserPowerShift = 16;
inline constexpr std::int32_t kMaxLaserPower = (1 << (32 - kLaserPowerShift)) - 1;

}  // namespace quil::settings
