// A simulated controller opened as device 0 and put in setting mode, and the
// table-driven checks that every settings family runs over its members.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "sim/model.h"

namespace quil::test {

using Call = std::function<int32_t()>;

// A call that must end with code before anything is sent.
struct Refusal {
    const char* what;
    Call call;
    int32_t code;
};

// A call and the line it sends, and the line of its second call if it
// makes one.
struct Sends {
    Call call;
    const char* line;
    const char* then = nullptr;
};

// A scripted reply and what the call makes of it.
struct Answer {
    const char* reply;  // without CR LF
    Call call;
    int32_t code;
};

class SettingsTest : public DeviceTest {
protected:
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
        EXPECT_EQ(sent(1), std::vector<std::string>{"Q0"});
    }

    void expectSent(const std::vector<Sends>& cases) {
        for (const Sends& c : cases) {
            sim.clearReceived();
            EXPECT_EQ(c.call(), QUIL_OK) << c.line;
            std::vector<std::string> lines{c.line};
            if (c.then) lines.push_back(c.then);
            EXPECT_EQ(sent(lines.size()), lines);
        }
    }

    void expectAnswers(const std::vector<Answer>& cases) {
        for (const Answer& c : cases) {
            sim.script().replyOnce(std::string(c.reply) + "\r\n");
            EXPECT_EQ(c.call(), c.code) << c.reply;
        }
    }

    // Refused by the controller in measurement mode, the call switches to
    // setting mode and sends its command once more.
    void expectModeRetry(const Call& call, const std::string& line) {
        sim.clearReceived();
        sim.script().replyOnce("ER,S" + line.substr(1, 1) + ",51\r\n");
        EXPECT_EQ(call(), QUIL_OK);
        EXPECT_EQ(sent(3), (std::vector<std::string>{line, "Q0", line}));
    }
};

// Output values that a test checks are left alone.
inline constexpr int32_t kUntouched = 4242;

}  // namespace quil::test
