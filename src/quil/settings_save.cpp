// Saving a controller's configuration into a settings file: the
// controller-wide settings, then, program by program, the settings of the
// four heads, the eight outputs and those common to the program, each read
// from the controller, in the document that the load applies back.
//
// A value that the controller refuses to report is written as its element
// without attribute, which the load skips, and the save goes on. A failure
// of the link (no reply, a reply that does not fit, a send that fails) ends
// the save with its code and writes no file. Lengths are read from the
// replies as exact integers and written as exact decimals, so that a load
// gives every value back as it was. The document is printed into a new file
// beside the target and put in its place only once complete, so a save that
// fails leaves an existing file as it was. The program that was active
// before the save is selected again at its end.
#include <tinyxml.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "platform/platform.h"
#include "quil.h"
#include "quil/controller_settings.h"
#include "quil/device.h"
#include "quil/lengths.h"
#include "quil/settings_file.h"
#include "quil/trace.h"

namespace quil {
namespace {

using namespace settings;
using Value = std::optional<std::int32_t>;

constexpr const char* kSoftVersion = "v-01-01-01";
constexpr std::int32_t kTypeOuts = 8;  // "OUTSetNumber" of a controller of output-count type 1
constexpr std::int32_t kBasicOuts = 4;
// What a getter's outputs hold until it writes them: some getters report
// success without writing an output (a value outside what they know).
constexpr std::int32_t kUnread = INT32_MIN;
// The sampling cycles of the models outside the encoder group are read back
// as the controller's own codes (0 to 5) and set as 10 to 15.
constexpr std::int32_t kCycleNumberBase = 10;
Value when(bool ok, std::int32_t v) { return ok && v != kUnread ? Value(v) : std::nullopt; }

// The reads of one save and the first failure that ends it.
class Saver {
public:
    explicit Saver(std::int32_t id) : id_(id) {}
    std::int32_t id() const { return id_; }
    std::int32_t failure() const { return failure_; }
    void fail(std::int32_t code) {
        if (failure_ == QUIL_OK) failure_ = code;
    }

    // Runs one read unless the save has already failed: true when it
    // delivered. A link failure ends the save; the controller's refusal of
    // one read leaves only that value out.
    template <class F>
    bool read(F call) {
        if (failure_ != QUIL_OK) return false;
        const std::int32_t r = call();
        if (linkFailure(r)) fail(r);
        return r == QUIL_OK;
    }
    // The N values of a getter get(DeviceId, args..., &value1, ...,
    // &valueN); none when the read failed.
    template <std::size_t N, class Get, class... A>
    std::array<Value, N> values(Get get, A... args) {
        std::array<std::int32_t, N> v;
        v.fill(kUnread);
        const bool ok = read([&] { return std::apply([&](auto&... out) { return get(id_, args..., &out...); }, v); });
        std::array<Value, N> out;
        for (std::size_t i = 0; i < N; ++i) out[i] = when(ok, v[i]);
        return out;
    }
    template <class Get, class... A>
    Value one(Get get, A... args) {
        return values<1>(get, args...)[0];
    }
    // The laser power of a head. The power register is an optional value:
    // a read that finds no answer in time leaves only it out, like a refusal;
    // a link that is gone shows in the next read.
    Value laserPower(std::int32_t head) {
        std::int32_t power = kUnread;
        const bool ok = read([&] {
            const std::int32_t r = readLaserPower(id_, head, &power);
            return r == QUIL_ERROR_TIMEOUT ? QUIL_ERROR_UNKNOWN : r;
        });
        return when(ok, power);
    }

private:
    std::int32_t id_;
    std::int32_t failure_ = QUIL_OK;
};

TiXmlElement* add(TiXmlNode* parent, const char* name) {
    auto* e = new TiXmlElement(name);
    parent->LinkEndChild(e);
    return e;
}
TiXmlElement* add(TiXmlNode* parent, const std::string& name) { return add(parent, name.c_str()); }

// A setting element, with its value when there is one.
void setting(TiXmlNode* parent, const char* name, Value v) {
    TiXmlElement* e = add(parent, name);
    if (v) e->SetAttribute(name, *v);
}
void textSetting(TiXmlNode* parent, const char* name, const char* text) {
    TiXmlElement* e = add(parent, name);
    if (text) e->SetAttribute(name, text);
}
// A length in hundredths, written as the decimal number that the load
// multiplies back.
void length(TiXmlNode* parent, const char* name, Value hundredths) {
    textSetting(parent, name, hundredths ? hundredthsText(*hundredths).c_str() : nullptr);
}
template <std::size_t N>
void fixedText(TiXmlNode* parent, const char* name, const FixedText (&table)[N], Value v) {
    textSetting(parent, name, v ? textOf(table, *v) : nullptr);
}

// A container of numbered children ("OUT01" to "OUT08", "Head01" to
// "Head04"), each with the value of one getter in the attribute attr.
template <class Get>
void numbered(Saver& s, TiXmlNode* parent, const char* name, std::string (*childName)(int), int last, const char* attr,
              Get get) {
    TiXmlElement* container = add(parent, name);
    for (int n = 1; n <= last; ++n) {
        TiXmlElement* child = add(container, childName(n));
        if (Value v = s.one(get, n)) child->SetAttribute(attr, *v);
    }
}

// The average selection: "OUT01" to "OUT04" with "OUTState" "1" or "0"
// (OUT1 first). Without children when the selection was not read.
void averageSelection(TiXmlNode* parent, Value mask) {
    TiXmlElement* container = add(parent, "AVEOUTSelectState");
    if (!mask) return;
    for (int n = 1; n <= kSelectionOuts; ++n)
        add(container, outName(n))->SetAttribute("OUTState", (*mask >> (n - 1)) & 1);
}

// ------------------------------------------------------------ environment

void saveEnvironment(Saver& s, TiXmlNode* root) {
    TiXmlElement* env = add(root, "EnvironmentSet");
    const std::int32_t id = s.id();
    setting(env, "HeadNumber", kHeads);
    setting(env, "OUTNumber", kOuts);
    std::uint8_t type = 0;
    const bool typed = s.read([&] { return GetOUTNum(id, &type); });
    setting(env, "OUTSetNumber", typed ? Value(type != 0 ? kTypeOuts : kBasicOuts) : std::nullopt);
    const auto serial = s.values<2>(GetBaudRate);
    setting(env, "BaudRateIndex", serial[0]);
    setting(env, "ParityIndex", serial[1]);
    setting(env, "AutosendIndex", s.one(GetAutosendIndex));
    std::int32_t invalid = 0;  // also the argument that the read sends
    const bool invalidRead = s.read([&] { return GetInvalidData(id, &invalid); });
    setting(env, "UnValidTypeIndex", when(invalidRead, invalid));
    struct AddressRead {
        const char* element;
        std::int32_t (*get)(std::int32_t, char*);
    };
    for (const AddressRead& a : {AddressRead{"IpAddress", GetIPAddress}, AddressRead{"SubMaskCode", GetSubnetMask},
                                 AddressRead{"Gateway", GetDefaultGateway}}) {
        char address[kDottedAddressSize] = {};
        textSetting(env, a.element, s.read([&] { return a.get(id, address); }) ? address : nullptr);
    }
    const auto running = s.values<2>(GetRunModeDetDir);          // run mode, direction
    const auto encoder = s.values<3>(GetInputModeMinTimePoint);  // input mode, minimum time, points
    fixedText(env, "EncodeRunMode", kRunModes, running[0]);
    fixedText(env, "EncodeInputMode", kInputModes, encoder[0]);
    setting(env, "EncodePoint", encoder[2]);
    fixedText(env, "EncodeDetDir", kDirections, running[1]);
    textSetting(env, "EncodeMinTime", encoder[1] ? minTimeText(*encoder[1]) : nullptr);
    setting(env, "ProgSwitch", 0);
    setting(env, "InOut_In", s.one(GetInOut_In));
    setting(env, "InOut_InDQ", s.one(GetInOut_InDQ));
    setting(env, "InOut_DataOut", s.one(GetInOut_DataOut));
    setting(env, "InOut_MONIOut", s.one(GetInOut_MONIOut));
    setting(env, "TemperatureFactor", Value());
}

// ------------------------------------------------------------ one program

void saveHead(Saver& s, TiXmlNode* parent, std::int32_t h) {
    TiXmlElement* b = add(parent, headName(h));
    setting(b, "DetectModeIndex", s.one(QUIL_GetMeasureMode, h));
    setting(b, "BasePointIndex", s.one(QUIL_GetBasicPoint, h));
    setting(b, "ABLEIndex", s.one(QUIL_GetAbleMode, h));
    const auto able = s.values<2>(QUIL_GetAbleMinMax, h);
    setting(b, "ABLELower", able[0]);
    setting(b, "ABLEUpper", able[1]);
    setting(b, "RflectModeIndex", s.one(QUIL_GetReflectionMode, h));
    setting(b, "MedianIndex", s.one(QUIL_GetMedian, h));
    setting(b, "LaserCtrlIndex", s.one(QUIL_GetLaserCtrlGroup, h));
    const auto mask = s.values<3>(exact::getMask, h);
    setting(b, "ShieldIndex", mask[0]);
    length(b, "Pos1", mask[1]);
    length(b, "Pos2", mask[2]);
    setting(b, "ErrTimes", s.one(QUIL_GetNumAlarm, h));
    setting(b, "RecoverTimes", s.one(QUIL_GetNumRecovery, h));
    setting(b, "WarnLevel", s.one(QUIL_GetAlarmLevel, h));
    setting(b, "Pulse", 0);
    setting(b, "LaserPower", s.laserPower(h));
}

// How a calculation method is written: the calculation mode and the value
// of the index element of that mode (the head or OUT number, the sign, the
// average type).
struct MethodForm {
    std::int32_t mode;
    const char* element;
    std::int32_t index;  // kUnread: the method's number
};
std::optional<MethodForm> methodForm(std::int32_t method) {
    switch (method) {
    case 0: return MethodForm{0, "HeadIndex", kUnread};
    case 1: return MethodForm{1, "OUTIndex", kUnread};
    case 2: return MethodForm{2, "CalSignIndex", 0};
    case 3: return MethodForm{2, "CalSignIndex", 1};
    case 4: return MethodForm{3, "AVETypeIndex", 0};
    case 7: return MethodForm{3, "AVETypeIndex", 1};
    case 6: return MethodForm{3, "AVETypeIndex", 2};
    case 5: return MethodForm{3, "AVETypeIndex", 3};
    default: return std::nullopt;
    }
}
constexpr std::int32_t kAverageMode = 3;

void saveOut(Saver& s, TiXmlNode* parent, std::int32_t n) {
    TiXmlElement* b = add(parent, outName(n));
    const auto calc = s.values<2>(QUIL_GetCalcMethod, n);  // method, number
    const std::optional<MethodForm> form = calc[0] ? methodForm(*calc[0]) : std::nullopt;
    // The index element of the method's mode gets its value; those of the
    // other modes, which the load would not apply, none.
    auto index = [&](const char* element) {
        if (!form || std::string(form->element) != element) return Value();
        return form->index == kUnread ? calc[1] : Value(form->index);
    };
    setting(b, "CalModeIndex", form ? Value(form->mode) : std::nullopt);
    setting(b, "BasePointIndex", Value());
    setting(b, "HeadIndex", index("HeadIndex"));
    setting(b, "MeasurementGoalIndex", s.one(QUIL_GetCalcTarget, n));
    setting(b, "OUTIndex", index("OUTIndex"));
    // The file counts these OUTs from 0.
    const auto addSub = s.values<2>(QUIL_GetOutAddSub, n);
    for (std::size_t i = 0; i < addSub.size(); ++i)
        setting(b, i == 0 ? "OUTAIndex" : "OUTBIndex", addSub[i] ? Value(*addSub[i] - 1) : std::nullopt);
    setting(b, "CalSignIndex", index("CalSignIndex"));
    const Value selection = s.one(QUIL_GetOutOperation, n);
    averageSelection(b, selection);
    setting(b, "AVETypeIndex", index("AVETypeIndex"));
    setting(b, "MeasurementTypeIndex", Value());
    setting(b, "DetectModeIndex", s.one(QUIL_GetCalcMode, n));
    setting(b, "TriggerIndex", s.one(QUIL_GetTriggerMode, n));
    const auto filter = s.values<2>(QUIL_GetFilter, n);
    setting(b, "FilterTypeIndex", filter[0]);
    setting(b, "AverageTimesIndex", filter[1]);
    setting(b, "CutOffFrequencyIndex", Value());
    const auto tolerance = s.values<3>(exact::getTolerance, n);
    const auto scaling = s.values<4>(exact::getScaling, n);
    for (std::size_t i = 0; i < tolerance.size(); ++i)
        length(b, std::array{"ToleranceUpper", "ToleranceLower", "ToleranceDelay"}[i], tolerance[i]);
    for (std::size_t i = 0; i < scaling.size(); ++i)
        length(b, std::array{"Input1", "Display1", "Input2", "Display2"}[i], scaling[i]);
    length(b, "Offset", s.one(exact::getOffset, n));
    setting(b, "MinimumDisplayUnitIndex", s.one(QUIL_GetDisplayUnit, n));
    // Settings without a command that reads them.
    for (const char* unread : {"ZeroIndex", "MoNiModeIndex", "MoNiMeasUp", "MoNiMeasDown", "MoNiVolUp", "MoNiVolDown",
                               "mReflactorId", "mReflactorVal"})
        setting(b, unread, Value());
    // The load follows an average type with selecting OUT1 alone: the
    // selection comes once more after it.
    if (form && form->mode == kAverageMode && selection) averageSelection(b, selection);
}

void saveCommon(Saver& s, TiXmlNode* parent) {
    TiXmlElement* b = add(parent, "CommonParameter");
    const Value cycle = s.one(QUIL_GetSamplingCycle);
    setting(b, "SamplingPeriodIndex",
            cycle && *cycle >= 0 && *cycle < kCycleNumberBase ? Value(*cycle + kCycleNumberBase) : cycle);
    setting(b, "SelectionTimeIndex", s.one(QUIL_GetStrobeTime));
    numbered(s, b, "SyncSettingOUTSelectState", outName, kOuts, "OUTState", QUIL_GetSynchronization);
    setting(b, "PreventMutalInterferenceIndex", s.one(QUIL_GetMutualInterferencePrevention));
    numbered(s, b, "PreventMutalInterferenceHeadMode", headName, kHeads, "HeadMode",
             QUIL_GetMutualInterferencePreventionGroup);
    const auto storage = s.values<2>(QUIL_GetDataStorage);
    setting(b, "DataSaveNumber", storage[0]);
    setting(b, "DataSavePeriod", storage[1]);
    numbered(s, b, "DataSaveOUTSelectState", outName, kOuts, "OUTState", QUIL_GetStorageTarget);
}

// Selects program p and reads it. A refused selection ends the save: the
// reads would describe another program.
void saveProgram(Saver& s, TiXmlNode* parent, std::int32_t p) {
    const std::int32_t r = s.failure() == QUIL_OK ? QUIL_SetProgramNo(s.id(), p) : s.failure();
    if (r != QUIL_OK) return s.fail(r);
    TiXmlElement* prog = add(parent, "ProgNo");
    prog->SetAttribute("NO", p);
    TiXmlElement* heads = add(prog, "HeadParameter");
    for (std::int32_t h = 1; h <= kHeads; ++h) saveHead(s, heads, h);
    TiXmlElement* outs = add(prog, "OUTParameter");
    for (std::int32_t n = 1; n <= kOuts; ++n) saveOut(s, outs, n);
    saveCommon(s, prog);
}

std::string saveTime() {
    const platform::LocalTime t = platform::localTime();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// Prints the document into a new file beside the file at path and puts it
// in that file's place once it is complete and on the disk.
std::int32_t writeDocument(const TiXmlDocument& doc, std::int32_t id, const char* path) {
    platform::FileReplacement file(path);
    if (!file.file()) return QUIL_ERROR_PARAMETER;
    if (file.inPlace())
        QUIL_TRACE("QUIL_DeriveFormula", " DeviceID:%d folder takes no new file: the file is rewritten in place", id);
    return doc.SaveFile(file.file()) && file.commit() ? QUIL_OK : QUIL_ERROR_PARAMETER;
}

std::int32_t deriveFormula(std::int32_t id, const char* path) {
    std::int32_t r = checkDeviceId(id);
    if (r != QUIL_OK) return r;
    if (!path) return QUIL_ERROR_NULL_POINTER;
    // Every read goes to the controller open now, or fails: a file never
    // mixes two controllers.
    const SessionHold session(id);
    Saver s(id);
    std::int32_t active = kUnread;
    const bool known = s.read([&] { return QUIL_GetProgramNo(id, &active); });
    if (s.failure() != QUIL_OK) return s.failure();

    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    TiXmlElement* root = add(&doc, "SettingFileInfo");
    add(add(root, "Version"), "property")->SetAttribute("SOFT_VERSION", kSoftVersion);
    add(add(root, "SaveTime"), "property")->SetAttribute("SaveTime", saveTime().c_str());
    saveEnvironment(s, root);
    TiXmlElement* programs = add(root, "ProgParameter");
    for (std::int32_t p = 0; p < kPrograms && s.failure() == QUIL_OK; ++p) saveProgram(s, programs, p);
    // Also after a failure: the controller goes back to its program.
    if (known) {
        r = QUIL_SetProgramNo(id, active);
        if (r != QUIL_OK) s.fail(r);
    }
    if (s.failure() != QUIL_OK) return s.failure();
    return writeDocument(doc, id, path);
}

}  // namespace
}  // namespace quil

using namespace quil;

extern "C" {

QUIL_API int32_t QUIL_STDCALL QUIL_DeriveFormula(int32_t DeviceId, const char* path) {
    // Nothing may be thrown across the library's interface.
    try {
        return deriveFormula(DeviceId, path);
    } catch (const std::exception&) {
        return QUIL_ERROR_UNKNOWN;
    }
}

}  // extern "C"
