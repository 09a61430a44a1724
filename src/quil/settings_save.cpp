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

void textSetting(TiXmlNode* parent, const Field& f, const char* text) {
    TiXmlElement* e = add(parent, f.name);
    if (text) e->SetAttribute(f.name, text);
}
// A setting element, with its value in the field's form when there is one:
// a length in hundredths as the decimal number that the load multiplies back.
void setting(TiXmlNode* parent, const Field& f, Value v) {
    if (f.form == Form::Length) return textSetting(parent, f, v ? hundredthsText(*v).c_str() : nullptr);
    TiXmlElement* e = add(parent, f.name);
    if (v) e->SetAttribute(f.name, *v);
}
template <std::size_t N>
void fixedText(TiXmlNode* parent, const Field& f, const FixedText (&table)[N], Value v) {
    textSetting(parent, f, v ? textOf(table, *v) : nullptr);
}

// A container of numbered children, each with the value of one getter.
template <class Get>
void numbered(Saver& s, TiXmlNode* parent, const Numbered& c, Get get) {
    TiXmlElement* container = add(parent, c.name);
    for (int n = 1; n <= c.last; ++n) {
        TiXmlElement* child = add(container, numberedName(c.prefix, n));
        if (Value v = s.one(get, n)) child->SetAttribute(c.attr, *v);
    }
}

// The average selection: "1" or "0" for OUT1 first. Without children when
// the selection was not read.
void averageSelection(TiXmlNode* parent, Value mask) {
    const Numbered& c = kOutAverageSelection;
    TiXmlElement* container = add(parent, c.name);
    if (!mask) return;
    for (int n = 1; n <= c.last; ++n)
        add(container, numberedName(c.prefix, n))->SetAttribute(c.attr, (*mask >> (n - 1)) & 1);
}

// ------------------------------------------------------------ environment

void saveEnvironment(Saver& s, TiXmlNode* root) {
    TiXmlElement* env = add(root, kEnvironmentBlock);
    const std::int32_t id = s.id();
    setting(env, kEnvHeadNumber, kHeads);
    setting(env, kEnvOutNumber, kOuts);
    std::uint8_t type = 0;
    const bool typed = s.read([&] { return GetOUTNum(id, &type); });
    setting(env, kEnvOutSetNumber, typed ? Value(type != 0 ? kTypeOuts : kBasicOuts) : std::nullopt);
    const auto serial = s.values<2>(GetBaudRate);
    setting(env, kEnvBaudRate, serial[0]);
    setting(env, kEnvParity, serial[1]);
    setting(env, kEnvAutosend, s.one(GetAutosendIndex));
    std::int32_t invalid = 0;  // also the argument that the read sends
    const bool invalidRead = s.read([&] { return GetInvalidData(id, &invalid); });
    setting(env, kEnvInvalidData, when(invalidRead, invalid));
    struct AddressRead {
        const Field& element;
        std::int32_t (*get)(std::int32_t, char*);
    };
    for (const AddressRead& a : {AddressRead{kEnvIpAddress, GetIPAddress}, AddressRead{kEnvSubnetMask, GetSubnetMask},
                                 AddressRead{kEnvGateway, GetDefaultGateway}}) {
        char address[kDottedAddressSize] = {};
        textSetting(env, a.element, s.read([&] { return a.get(id, address); }) ? address : nullptr);
    }
    const auto running = s.values<2>(GetRunModeDetDir);          // run mode, direction
    const auto encoder = s.values<3>(GetInputModeMinTimePoint);  // input mode, minimum time, points
    fixedText(env, kEnvRunMode, kRunModes, running[0]);
    fixedText(env, kEnvInputMode, kInputModes, encoder[0]);
    setting(env, kEnvPoints, encoder[2]);
    fixedText(env, kEnvDirection, kDirections, running[1]);
    textSetting(env, kEnvMinTime, encoder[1] ? minTimeText(*encoder[1]) : nullptr);
    setting(env, kEnvProgramSwitch, 0);
    setting(env, kEnvInOutIn, s.one(GetInOut_In));
    setting(env, kEnvInOutInDQ, s.one(GetInOut_InDQ));
    setting(env, kEnvInOutDataOut, s.one(GetInOut_DataOut));
    setting(env, kEnvInOutMonitorOut, s.one(GetInOut_MONIOut));
    setting(env, kEnvTemperatureFactor, Value());
}

// ------------------------------------------------------------ one program

void saveHead(Saver& s, TiXmlNode* parent, std::int32_t h) {
    TiXmlElement* b = add(parent, headName(h));
    setting(b, kHeadMeasureMode, s.one(QUIL_GetMeasureMode, h));
    setting(b, kHeadBasicPoint, s.one(QUIL_GetBasicPoint, h));
    setting(b, kHeadAbleMode, s.one(QUIL_GetAbleMode, h));
    const auto able = s.values<2>(QUIL_GetAbleMinMax, h);
    setting(b, kHeadAbleLower, able[0]);
    setting(b, kHeadAbleUpper, able[1]);
    setting(b, kHeadReflectionMode, s.one(QUIL_GetReflectionMode, h));
    setting(b, kHeadMedian, s.one(QUIL_GetMedian, h));
    setting(b, kHeadLaserCtrlGroup, s.one(QUIL_GetLaserCtrlGroup, h));
    const auto mask = s.values<3>(exact::getMask, h);
    setting(b, kHeadMaskOn, mask[0]);
    setting(b, kHeadMaskPos1, mask[1]);
    setting(b, kHeadMaskPos2, mask[2]);
    setting(b, kHeadNumAlarm, s.one(QUIL_GetNumAlarm, h));
    setting(b, kHeadNumRecovery, s.one(QUIL_GetNumRecovery, h));
    setting(b, kHeadAlarmLevel, s.one(QUIL_GetAlarmLevel, h));
    setting(b, kHeadPulse, 0);
    setting(b, kHeadLaserPower, s.laserPower(h));
}

void saveOut(Saver& s, TiXmlNode* parent, std::int32_t n) {
    TiXmlElement* b = add(parent, outName(n));
    const auto calc = s.values<2>(QUIL_GetCalcMethod, n);  // method, number
    const MethodForm* form = calc[0] ? formOfMethod(*calc[0]) : nullptr;
    // The index element of the method's mode gets its value; those of the
    // other modes, which the load would not apply, none.
    auto index = [&](const Field& element) {
        if (!form || form->element != &element) return Value();
        return form->index == kMethodNumber ? calc[1] : Value(form->index);
    };
    setting(b, kOutCalcMode, form ? Value(form->mode) : std::nullopt);
    setting(b, kOutBasicPoint, Value());
    setting(b, kOutHeadIndex, index(kOutHeadIndex));
    setting(b, kOutCalcTarget, s.one(QUIL_GetCalcTarget, n));
    setting(b, kOutOutIndex, index(kOutOutIndex));
    // The file counts these OUTs from 0.
    const auto addSub = s.values<2>(QUIL_GetOutAddSub, n);
    for (std::size_t i = 0; i < addSub.size(); ++i)
        setting(b, i == 0 ? kOutAddSubA : kOutAddSubB, addSub[i] ? Value(*addSub[i] - 1) : std::nullopt);
    setting(b, kOutCalcSign, index(kOutCalcSign));
    const Value selection = s.one(QUIL_GetOutOperation, n);
    averageSelection(b, selection);
    setting(b, kOutAverageType, index(kOutAverageType));
    setting(b, kOutMeasurementType, Value());
    setting(b, kOutCalcModeOfOut, s.one(QUIL_GetCalcMode, n));
    setting(b, kOutTriggerMode, s.one(QUIL_GetTriggerMode, n));
    const auto filter = s.values<2>(QUIL_GetFilter, n);
    setting(b, kOutFilterType, filter[0]);
    setting(b, kOutAveraging, filter[1]);
    setting(b, kOutCutOff, Value());
    const auto tolerance = s.values<3>(exact::getTolerance, n);
    const auto scaling = s.values<4>(exact::getScaling, n);
    for (std::size_t i = 0; i < tolerance.size(); ++i)
        setting(b, std::array{kOutToleranceUpper, kOutToleranceLower, kOutToleranceDelay}[i], tolerance[i]);
    for (std::size_t i = 0; i < scaling.size(); ++i)
        setting(b, std::array{kOutInput1, kOutDisplay1, kOutInput2, kOutDisplay2}[i], scaling[i]);
    setting(b, kOutOffset, s.one(exact::getOffset, n));
    setting(b, kOutDisplayUnit, s.one(QUIL_GetDisplayUnit, n));
    // Settings without a command that reads them.
    for (const Field& unread : {kOutZero, kOutMonitorMode, kOutMonitorUpper, kOutMonitorLower, kOutVoltUpper,
                                kOutVoltLower, kOutReflectorOn, kOutReflectorValue})
        setting(b, unread, Value());
    // The load follows an average type with selecting OUT1 alone: the
    // selection comes once more after it.
    if (form && form->mode == kAverageMode && selection) averageSelection(b, selection);
}

void saveCommon(Saver& s, TiXmlNode* parent) {
    TiXmlElement* b = add(parent, kCommonBlock);
    const Value cycle = s.one(QUIL_GetSamplingCycle);
    setting(b, kCommonSamplingCycle,
            cycle && *cycle >= 0 && *cycle < kCycleNumberBase ? Value(*cycle + kCycleNumberBase) : cycle);
    setting(b, kCommonStrobeTime, s.one(QUIL_GetStrobeTime));
    numbered(s, b, kCommonSynchronization, QUIL_GetSynchronization);
    setting(b, kCommonInterference, s.one(QUIL_GetMutualInterferencePrevention));
    numbered(s, b, kCommonInterferenceGroups, QUIL_GetMutualInterferencePreventionGroup);
    const auto storage = s.values<2>(QUIL_GetDataStorage);
    setting(b, kCommonStorageSize, storage[0]);
    setting(b, kCommonStoragePeriod, storage[1]);
    numbered(s, b, kCommonStorageTargets, QUIL_GetStorageTarget);
}

// Selects program p and reads it. A refused selection ends the save: the
// reads would describe another program.
void saveProgram(Saver& s, TiXmlNode* parent, std::int32_t p) {
    const std::int32_t r = s.failure() == QUIL_OK ? QUIL_SetProgramNo(s.id(), p) : s.failure();
    if (r != QUIL_OK) return s.fail(r);
    TiXmlElement* prog = add(parent, kProgram);
    prog->SetAttribute(kProgramAttr, p);
    TiXmlElement* heads = add(prog, kHeadBlocks.name);
    for (std::int32_t h = 1; h <= kHeadBlocks.last; ++h) saveHead(s, heads, h);
    TiXmlElement* outs = add(prog, kOutBlocks.name);
    for (std::int32_t n = 1; n <= kOutBlocks.last; ++n) saveOut(s, outs, n);
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

}  // namespace

std::int32_t readSettingsDocument(std::int32_t id, TiXmlDocument& doc) {
    std::int32_t r = QUIL_OK;
    // Every read goes to the controller open now, or fails: a document never
    // mixes two controllers.
    const SessionHold session(id);
    Saver s(id);
    std::int32_t active = kUnread;
    const bool known = s.read([&] { return QUIL_GetProgramNo(id, &active); });
    if (s.failure() != QUIL_OK) return s.failure();

    doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    TiXmlElement* root = add(&doc, kRoot);
    add(add(root, kVersionBlock), kProperty)->SetAttribute(kSoftVersionAttr, kSoftVersion);
    add(add(root, kSaveTimeBlock), kProperty)->SetAttribute(kSaveTimeAttr, saveTime().c_str());
    saveEnvironment(s, root);
    TiXmlElement* programs = add(root, kProgramsBlock);
    for (std::int32_t p = 0; p < kPrograms && s.failure() == QUIL_OK; ++p) saveProgram(s, programs, p);
    // Also after a failure: the controller goes back to its program.
    if (known) {
        r = QUIL_SetProgramNo(id, active);
        if (r != QUIL_OK) s.fail(r);
    }
    return s.failure();
}

namespace {

std::int32_t deriveFormula(std::int32_t id, const char* path) {
    const std::int32_t r = checkDeviceId(id);
    if (r != QUIL_OK) return r;
    if (!path) return QUIL_ERROR_NULL_POINTER;
    TiXmlDocument doc;
    if (const std::int32_t read = readSettingsDocument(id, doc); read != QUIL_OK) return read;
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
