// A saved settings file clones a controller into another, program by program.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "link/json.h"
#include "quil/controller_settings.h"
#include "quil/device.h"
#include "quil/lengths.h"
#include "quil/settings_file.h"
#include "settings_file_helpers.h"

namespace {

using namespace quil;
using quil::test::TempDir;

constexpr int kModel = 5;  // a model with the controller-wide encoder settings
constexpr uint32_t kLaserPowerRegister = 576;
// Lengths beyond a float's exactness ("18.47"), read back exactly.
constexpr int32_t kMaxLength = 999999;

// Every setting that the library reads, by name ("p3 OUT2 tolerance").
using Snapshot = std::map<std::string, std::vector<int32_t>>;

class Controller {
public:
    Controller(int32_t id, sim::Simulator& sim) : id_(id), sim_(sim) {}

    // Random settings everywhere, every one of them accepted.
    void randomize(uint32_t seed) {
        rng_.seed(seed);
        ok(SetBaudRate(id_, pick(0, 4), pick(0, 3)), "baud");
        ok(SetAutosendIndex(id_, static_cast<uint8_t>(pick(0, 1))), "autosend");
        ok(SetInvalidData(id_, static_cast<uint8_t>(pick(0, 1))), "invalid");
        for (auto set : {SetInOut_In, SetInOut_InDQ, SetInOut_DataOut, SetInOut_MONIOut})
            ok(set(id_, pick(0, 9)), "io");
        ok(QUIL_SetRunningMode(id_, pick(0, 2), pick(0, 2)), "running");
        ok(QUIL_SetEncoderMode(id_, pick(0, 3), settings::kMinTimes[pick(0, 7)].value, pick(1, 10000)), "encoder");
        for (int h = 1; h <= settings::kHeads; ++h)
            sim_.model().setRegisterValue(h, kLaserPowerRegister, static_cast<uint32_t>(pick(0, 65535)) << 16);
        for (int32_t p = 0; p < settings::kPrograms; ++p) {
            ok(QUIL_SetProgramNo(id_, p), "program");
            for (int32_t h = 1; h <= settings::kHeads; ++h) randomHead(h);
            for (int32_t n = 1; n <= settings::kOuts; ++n) randomOut(n);
            ok(QUIL_SetSamplingCycle(id_, pick(10, 15)), "cycle");
            ok(QUIL_SetStrobeTime(id_, pick(0, 3)), "strobe");
            ok(QUIL_SetMutualInterferencePrevention(id_, pick(0, 2)), "interference");
            ok(QUIL_SetDataStorage(id_, pick(0, 1200000), pick(0, 10)), "storage");
        }
        ok(QUIL_SetProgramNo(id_, pick(0, 7)), "program");
    }

    Snapshot snapshot() {
        Snapshot s;
        int32_t a = 0, b = 0, c = 0, d = 0;
        uint8_t type = 0;
        s["baud"] = got([&] { return GetBaudRate(id_, &a, &b); }, a, b);
        s["autosend"] = got([&] { return GetAutosendIndex(id_, &a); }, a);
        a = 0;
        s["invalid"] = got([&] { return GetInvalidData(id_, &a); }, a);
        s["in"] = got([&] { return GetInOut_In(id_, &a); }, a);
        s["in dq"] = got([&] { return GetInOut_InDQ(id_, &a); }, a);
        s["data out"] = got([&] { return GetInOut_DataOut(id_, &a); }, a);
        s["monitor out"] = got([&] { return GetInOut_MONIOut(id_, &a); }, a);
        s["running"] = got([&] { return GetRunModeDetDir(id_, &a, &b); }, a, b);
        s["encoder"] = got([&] { return GetInputModeMinTimePoint(id_, &a, &b, &c); }, a, b, c);
        s["out count"] = got([&] { return GetOUTNum(id_, &type); }, type);
        for (int32_t h = 1; h <= settings::kHeads; ++h) {
            uint32_t reg = 0;
            std::lock_guard<std::mutex> lock(deviceLock(id_));
            EXPECT_EQ(link::jsonRegRead(static_cast<uint32_t>(id_), h, kLaserPowerRegister, &reg), QUIL_OK);
            s["laser power " + std::to_string(h)] = {static_cast<int32_t>(reg)};
        }
        int32_t active = -1;
        s["active program"] = got([&] { return QUIL_GetProgramNo(id_, &active); }, active);
        for (int32_t p = 0; p < settings::kPrograms; ++p) {
            EXPECT_EQ(QUIL_SetProgramNo(id_, p), QUIL_OK);
            const std::string in = "p" + std::to_string(p) + " ";
            for (int32_t h = 1; h <= settings::kHeads; ++h) {
                const std::string k = in + "head" + std::to_string(h) + " ";
                s[k + "measure"] = got([&] { return QUIL_GetMeasureMode(id_, h, &a); }, a);
                s[k + "basic point"] = got([&] { return QUIL_GetBasicPoint(id_, h, &a); }, a);
                s[k + "able"] = got([&] { return QUIL_GetAbleMode(id_, h, &a); }, a);
                s[k + "able range"] = got([&] { return QUIL_GetAbleMinMax(id_, h, &a, &b); }, a, b);
                s[k + "reflection"] = got([&] { return QUIL_GetReflectionMode(id_, h, &a); }, a);
                s[k + "median"] = got([&] { return QUIL_GetMedian(id_, h, &a); }, a);
                s[k + "laser group"] = got([&] { return QUIL_GetLaserCtrlGroup(id_, h, &a); }, a);
                s[k + "mask"] = got([&] { return exact::getMask(id_, h, &a, &b, &c); }, a, b, c);
                s[k + "alarm"] = got([&] { return QUIL_GetNumAlarm(id_, h, &a); }, a);
                s[k + "recovery"] = got([&] { return QUIL_GetNumRecovery(id_, h, &a); }, a);
                s[k + "alarm level"] = got([&] { return QUIL_GetAlarmLevel(id_, h, &a); }, a);
                s[k + "interference group"] =
                    got([&] { return QUIL_GetMutualInterferencePreventionGroup(id_, h, &a); }, a);
            }
            for (int32_t n = 1; n <= settings::kOuts; ++n) {
                const std::string k = in + "OUT" + std::to_string(n) + " ";
                const bool low = n <= settings::kSelectionOuts;  // the getters of OUT1 to OUT4 only
                b = -1;
                s[k + "method"] = got([&] { return QUIL_GetCalcMethod(id_, n, &a, &b); }, a, b);
                s[k + "add sub"] = got([&] { return QUIL_GetOutAddSub(id_, n, &a, &b); }, a, b);
                s[k + "scaling"] = got([&] { return exact::getScaling(id_, n, &a, &b, &c, &d); }, a, b, c, d);
                s[k + "offset"] = got([&] { return exact::getOffset(id_, n, &a); }, a);
                s[k + "unit"] = got([&] { return QUIL_GetDisplayUnit(id_, n, &a); }, a);
                s[k + "storage target"] = got([&] { return QUIL_GetStorageTarget(id_, n, &a); }, a);
                if (!low) continue;
                s[k + "target"] = got([&] { return QUIL_GetCalcTarget(id_, n, &a); }, a);
                s[k + "operation"] = got([&] { return QUIL_GetOutOperation(id_, n, &a); }, a);
                s[k + "filter"] = got([&] { return QUIL_GetFilter(id_, n, &a, &b); }, a, b);
                s[k + "trigger"] = got([&] { return QUIL_GetTriggerMode(id_, n, &a); }, a);
                s[k + "tolerance"] = got([&] { return exact::getTolerance(id_, n, &a, &b, &c); }, a, b, c);
                s[k + "calc mode"] = got([&] { return QUIL_GetCalcMode(id_, n, &a); }, a);
                s[k + "synchronization"] = got([&] { return QUIL_GetSynchronization(id_, n, &a); }, a);
            }
            s[in + "cycle"] = got([&] { return QUIL_GetSamplingCycle(id_, &a); }, a);
            s[in + "strobe"] = got([&] { return QUIL_GetStrobeTime(id_, &a); }, a);
            s[in + "interference"] = got([&] { return QUIL_GetMutualInterferencePrevention(id_, &a); }, a);
            s[in + "storage"] = got([&] { return QUIL_GetDataStorage(id_, &a, &b); }, a, b);
        }
        EXPECT_EQ(QUIL_SetProgramNo(id_, active), QUIL_OK);
        return s;
    }

private:
    int32_t pick(int32_t first, int32_t last) { return std::uniform_int_distribution<int32_t>(first, last)(rng_); }
    static void ok(int32_t rc, const char* what) { ASSERT_EQ(rc, QUIL_OK) << what; }
    // Runs the read, then takes the values it wrote.
    template <class F, class... V>
    static std::vector<int32_t> got(F call, const V&... values) {
        EXPECT_EQ(call(), QUIL_OK);
        return {static_cast<int32_t>(values)...};
    }

    void randomHead(int32_t h) {
        ok(QUIL_SetMeasureMode(id_, h, pick(0, 4)), "measure");
        ok(QUIL_SetBasicPoint(id_, h, pick(0, 1)), "basic point");
        ok(QUIL_SetAbleMode(id_, h, pick(0, 1)), "able");
        ok(QUIL_SetAbleMinMax(id_, h, pick(1, 99), pick(1, 99)), "able range");
        ok(QUIL_SetReflectionMode(id_, h, pick(0, 1)), "reflection");
        ok(QUIL_SetMedian(id_, h, pick(0, 3)), "median");
        ok(QUIL_SetLaserCtrlGroup(id_, h, pick(0, 1)), "laser group");
        ok(QUIL_SetMask(id_, h, pick(0, 1), pick(-kMaxLength, kMaxLength), pick(-kMaxLength, kMaxLength)), "mask");
        ok(QUIL_SetNumAlarm(id_, h, pick(0, 9999)), "alarm");
        ok(QUIL_SetNumRecovery(id_, h, pick(0, 9999)), "recovery");
        ok(QUIL_SetAlarmLevel(id_, h, pick(0, 9)), "alarm level");
        ok(QUIL_SetMutualInterferencePreventionGroup(id_, h, pick(0, 2)), "interference group");
    }

    void randomOut(int32_t n) {
        const int32_t l = kMaxLength / 2;  // room for a second length beside the first
        ok(QUIL_SetDisplayUnit(id_, n, pick(0, 6)), "unit");
        const int32_t method = pick(0, 7);
        ok(QUIL_SetCalcMethod(id_, n, method, method == 0 ? pick(1, 4) : method == 1 ? pick(1, 8) : 0), "method");
        ok(QUIL_SetOutAddSub(id_, n, pick(1, 4), pick(1, 4)), "add sub");
        const int32_t i1 = pick(-l, l), span = pick(1, l), o1 = pick(-l, l);
        const int32_t rise = pick(-std::min(2 * span, l), std::min(2 * span, l));
        ok(QUIL_SetScaling(id_, n, i1, o1, i1 + span, o1 + rise), "scaling");
        ok(QUIL_SetOffset(id_, n, pick(-2 * l, 2 * l)), "offset");
        ok(QUIL_SetSynchronization(id_, n, pick(0, 1)), "synchronization");
        ok(QUIL_SetStorageTarget(id_, n, pick(0, 1)), "storage target");
        if (n > settings::kSelectionOuts) return;
        ok(QUIL_SetCalcTarget(id_, n, pick(0, 9)), "target");
        ok(QUIL_SetOutOperation(id_, n, pick(1, 15)), "operation");
        ok(QUIL_SetFilter(id_, n, 0, pick(0, 9)), "filter");
        ok(QUIL_SetTriggerMode(id_, n, pick(0, 1)), "trigger");
        const int32_t lower = pick(-l, l), band = pick(1, l);
        ok(QUIL_SetTolerance(id_, n, lower + band, lower, pick(0, band - 1)), "tolerance");
        ok(QUIL_SetCalcMode(id_, n, pick(0, 4)), "calc mode");
    }

    int32_t id_;
    sim::Simulator& sim_;
    std::mt19937 rng_;
};

std::string differences(const Snapshot& expected, const Snapshot& actual) {
    std::string text;
    for (const auto& [key, values] : expected)
        if (actual.count(key) == 0 || actual.at(key) != values) text += key + "; ";
    return text;
}

class SettingsRoundTrip : public quil::test::DeviceTest {
protected:
    SettingsRoundTrip() : DeviceTest(kModel) {}
};

// A controller saved and loaded into another, whose settings all differed:
// the save changes nothing, the load keeps the active program and the
// network settings of the controller it writes.
TEST_F(SettingsRoundTrip, ASavedControllerClonesIntoAnother) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("settings.xml");
    sim::Simulator other(sim::Options{.model = kModel});
    ASSERT_TRUE(other.start());
    constexpr int32_t kOther = 1;
    ASSERT_EQ(QUIL_OpenDeviceETHER(kOther, other.ip().b, 2000), QUIL_OK);
    Controller source(kId, sim), clone(kOther, other);
    source.randomize(20240501);
    clone.randomize(7);
    Snapshot expected = source.snapshot();
    ASSERT_NE(differences(expected, clone.snapshot()), "");
    ASSERT_EQ(QUIL_DeriveFormula(kId, path.c_str()), QUIL_OK);
    EXPECT_EQ(differences(expected, source.snapshot()), "") << "the save changes nothing";
    ASSERT_EQ(QUIL_SetProgramNo(kOther, 4), QUIL_OK);
    ASSERT_EQ(QUIL_SetFormula(kOther, path.c_str()), QUIL_OK);
    Snapshot cloned = clone.snapshot();
    EXPECT_EQ(cloned["active program"], std::vector<int32_t>{4}) << "the load keeps the active program";
    cloned["active program"] = expected["active program"];
    EXPECT_EQ(differences(expected, cloned), "");
    char address[kDottedAddressSize] = {};
    EXPECT_EQ(GetIPAddress(kOther, address), QUIL_OK);
    EXPECT_EQ(std::string(address), other.address()) << "the network settings stay the clone's own";
    EXPECT_EQ(QUIL_CloseDevice(kOther), QUIL_OK);
}

}  // namespace
