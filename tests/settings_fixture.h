// A simulated controller opened as device 0 and put in setting mode, and the
// table-driven checks that every settings family runs over its members.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "sim/model.h"

namespace quil::test {

using Call = std::function<int32_t()>;
using Lines = std::vector<std::string>;

// Output values that a test checks are left alone.
inline constexpr int32_t kUntouched = 4242;

// A call that must end with code before anything is sent.
struct Refusal {
    const char* what;
    Call call;
    int32_t code;
};

// A call and the lines it sends.
struct Sends {
    Call call;
    Lines lines;
};

// A scripted reply and the call's result with it.
struct Answer {
    const char* reply;  // without CR LF
    Call call;
    int32_t code;
};

// A scripted reply and the outputs a successful call makes of it.
struct Parsed {
    const char* reply;  // without CR LF
    Call call;
    std::vector<int32_t> values;
};

// A getter of one value by a head, OUT or channel number, and the highest
// number it takes.
struct IndexedGetter {
    const char* name;
    int32_t(QUIL_STDCALL* get)(int32_t id, int32_t index, int32_t* value);
    int32_t last;
};

class SettingsTest : public DeviceTest {
protected:
    explicit SettingsTest(int model = 35) : DeviceTest(model) {}

    // Settings are written in setting mode; starting there keeps the lines
    // a call sends to the command itself.
    void SetUp() override {
        DeviceTest::SetUp();
        sim.model().setMode(quil::sim::Model::kSetting);
    }

    void expectRefused(const std::vector<Refusal>& cases) {
        for (const Refusal& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
        // A mode switch is sent whatever the mode; anything sent above would
        // arrive before it.
        ASSERT_EQ(QUIL_SetMode(kId, 1), QUIL_OK);
        EXPECT_EQ(sent(1), Lines{"Q0"});
    }

    // The number checks of getters: codeRange for a number outside 1..last,
    // before codeNull for a null output.
    static std::vector<Refusal> indexRefusals(const std::vector<IndexedGetter>& getters, int32_t* out,
                                              int32_t codeRange = QUIL_ERROR_RANGE,
                                              int32_t codeNull = QUIL_ERROR_NULL_POINTER) {
        std::vector<Refusal> cases;
        for (const IndexedGetter& g : getters) {
            cases.push_back({g.name, [=] { return g.get(kId, 0, out); }, codeRange});
            cases.push_back({g.name, [=] { return g.get(kId, g.last + 1, out); }, codeRange});
            cases.push_back({g.name, [=] { return g.get(kId, g.last + 1, nullptr); }, codeRange});
            cases.push_back({g.name, [=] { return g.get(kId, g.last, nullptr); }, codeNull});
        }
        return cases;
    }

    void expectSent(const std::vector<Sends>& cases) {
        for (const Sends& c : cases) EXPECT_EQ(linesOf(c.call, QUIL_OK, c.lines.size()), c.lines) << c.lines[0];
    }

    void expectAnswers(const std::vector<Answer>& cases) {
        for (const Answer& c : cases) {
            sim.script().replyOnce(std::string(c.reply) + "\r\n");
            EXPECT_EQ(c.call(), c.code) << c.reply;
        }
    }

    // Each output starts as kUntouched before each call.
    void expectParsed(const std::vector<int32_t*>& outputs, const std::vector<Parsed>& cases) {
        for (const Parsed& c : cases) {
            std::vector<int32_t> got;
            for (int32_t* out : outputs) *out = kUntouched;
            sim.script().replyOnce(std::string(c.reply) + "\r\n");
            EXPECT_EQ(c.call(), QUIL_OK) << c.reply;
            for (int32_t* out : outputs) got.push_back(*out);
            EXPECT_EQ(got, c.values) << c.reply;
        }
    }

    // Refused by the controller in measurement mode, the call switches to
    // setting mode and sends its command once more.
    void expectModeRetry(const Call& call, const std::string& line) {
        sim.script().replyOnce("ER," + line.substr(0, 2) + ",51\r\n");
        EXPECT_EQ(linesOf(call, QUIL_OK, 3), (Lines{line, "Q0", line}));
    }

    // Runs call, expects its result, and returns the lines it sent, waiting
    // for n of them.
    Lines linesOf(const Call& call, int32_t expected, std::size_t n) {
        sim.clearReceived();
        EXPECT_EQ(call(), expected);
        return sent(n);
    }
};

}  // namespace quil::test
