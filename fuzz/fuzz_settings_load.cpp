// The settings-file load: a document parsed as the load parses it and
// walked with every controller call recorded instead of sent. The first
// input byte decides what the recording controller answers: its active
// program (or a failed read) and which program selections it refuses.
#include <tinyxml.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_text.h"
#include "quil/settings_file.h"

namespace {

struct Call {
    int setter;             // the setter's number in the recorder
    std::int32_t id;        // DeviceId
    std::int32_t number;    // head or OUT number, or the first value
    std::int32_t value;     // the next value (0 when there is none)
    std::string selection;  // the average selection text
};

std::vector<Call> g_calls;
std::uint8_t g_answers = 0;

constexpr std::int32_t kId = 5;
enum Setter : int { kGetProgram = 1, kSetProgram, kHead, kOut, kController, kControllerNumbered, kAverage };

std::int32_t number(std::int32_t v) { return v; }
std::int32_t number(double) { return 0; }
std::int32_t number(std::uint8_t v) { return v; }

// A recorder for every setter of the same kind: the id, then the head or OUT
// number (or the controller setting's first value), then the rest.
template <int kind, class... A>
std::int32_t QUIL_STDCALL record(std::int32_t id, std::int32_t first, A... rest) {
    std::int32_t values[] = {number(rest)..., 0};
    g_calls.push_back(Call{kind, id, first, values[0], {}});
    return QUIL_OK;
}
template <int kind>
std::int32_t QUIL_STDCALL recordOne(std::int32_t id, std::uint8_t v) {
    g_calls.push_back(Call{kind, id, v, 0, {}});
    return QUIL_OK;
}
std::int32_t QUIL_STDCALL getProgram(std::int32_t id, std::int32_t* program) {
    g_calls.push_back(Call{kGetProgram, id, 0, 0, {}});
    // Bit 3 set: the controller refuses the read, which leaves the program
    // as it was (a failure of the link would end the load here).
    if (g_answers & 8) return QUIL_ERROR_UNKNOWN;
    *program = g_answers & 7;
    return QUIL_OK;
}
std::int32_t QUIL_STDCALL setProgram(std::int32_t id, std::int32_t program) {
    g_calls.push_back(Call{kSetProgram, id, program, 0, {}});
    // The controller holds programs 0 to 7; bits 4 to 7 refuse some of them.
    if (program < 0 || program > 7 || ((g_answers >> 4) >> (program % 4) & 1)) return QUIL_ERROR_PARAMETER;
    return QUIL_OK;
}
std::int32_t average(std::int32_t id, std::int32_t out, const char* selection) {
    g_calls.push_back(Call{kAverage, id, out, 0, selection});
    return QUIL_OK;
}
std::int32_t laserPower(std::int32_t id, std::int32_t head, std::int32_t power) {
    g_calls.push_back(Call{kHead, id, head, power, {}});
    return QUIL_OK;
}

constexpr int H = kHead, O = kOut, C = kController, N = kControllerNumbered;
const quil::LoadSetters kRecorder = {
    .getProgramNo = getProgram,
    .setProgramNo = setProgram,
    .setMeasureMode = record<H>,
    .setBasicPoint = record<H>,
    .setAbleMode = record<H>,
    .setAbleMinMax = record<H>,
    .setReflectionMode = record<H>,
    .setMedian = record<H>,
    .setLaserCtrlGroup = record<H>,
    .setMask = record<H>,
    .setNumAlarm = record<H>,
    .setNumRecovery = record<H>,
    .setAlarmLevel = record<H>,
    .setLaserPower = laserPower,
    .setCalcMethod = record<O>,
    .setCalcTarget = record<O>,
    .setOutAddSub = record<O>,
    .setAverageSelection = average,
    .setOutOperation = record<O>,
    .setMeasurementType = record<O>,
    .setCalcMode = record<O>,
    .setTriggerMode = record<O>,
    .setFilter = record<O>,
    .setTolerance = record<O>,
    .setScaling = record<O>,
    .setOffset = record<O>,
    .setDisplayUnit = record<O>,
    .setMonitorMode = record<O>,
    .setMonitorRange = record<O>,
    .setMonitorVoltage = record<O>,
    .setReflector = record<O>,
    .setBaudRate = record<C>,
    .setAutosend = recordOne<C>,
    .setInvalidData = recordOne<C>,
    .setRunningMode = record<C>,
    .setEncoderMode = record<C>,
    .setInOutIn = record<C>,
    .setInOutInDQ = record<C>,
    .setInOutDataOut = record<C>,
    .setInOutMonitorOut = record<C>,
    .setSamplingCycle = record<C>,
    .setStrobeTime = record<C>,
    .setSynchronization = record<N>,
    .setInterferencePrevention = record<C>,
    .setInterferenceGroup = record<N>,
    .setDataStorage = record<C>,
    .setStorageTarget = record<N>,
};

// The deepest element nesting under node, and the most attributes any one
// element has.
int depthOf(const TiXmlNode& node, int* attributes) {
    int deepest = 0;
    for (const TiXmlNode* child = node.FirstChild(); child; child = child->NextSibling()) {
        if (const TiXmlElement* e = child->ToElement()) {
            int n = 0;
            for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) ++n;
            *attributes = std::max(*attributes, n);
            deepest = std::max(deepest, 1 + depthOf(*e, attributes));
        }
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    g_answers = data[0];
    const std::string text = quil::fuzz::textOf(data + 1, size - 1);
    TiXmlDocument doc;
    const bool parsed = quil::parseSettingsText(doc, text);
    // What passed the limits kept the parser within them, also where it
    // then stopped on an error (the nodes it had read stay in the document).
    if (quil::settings::withinDocumentLimits(text)) {
        int attributes = 0;
        FUZZ_EXPECT(depthOf(doc, &attributes) <= quil::settings::kMaxDocumentDepth);
        FUZZ_EXPECT(attributes <= quil::settings::kMaxElementAttributes);
    }
    if (!parsed) return 0;
    const TiXmlElement* root = doc.FirstChildElement();
    if (!root) return 0;
    // A document compared with itself differs in nothing (the comparison
    // takes zero-terminated texts).
    if (text.find('\0') == std::string::npos) {
        std::int32_t differences = -1;
        FUZZ_EXPECT(quil_settings_diff(text.c_str(), text.c_str(), QUIL_DIFF_ALL, nullptr, nullptr, &differences) ==
                    QUIL_OK);
        FUZZ_EXPECT(differences == 0);
    }

    g_calls.clear();
    // The recorder's link never fails: every load runs to its end.
    FUZZ_EXPECT(quil::applySettingsDocument(kId, *root, kRecorder).failure == QUIL_OK);

    // The active program is read first and selected again last; nothing
    // else reads it.
    FUZZ_EXPECT(g_calls.size() >= 2);
    FUZZ_EXPECT(g_calls.front().setter == kGetProgram);
    FUZZ_EXPECT(g_calls.back().setter == kSetProgram);
    FUZZ_EXPECT(g_calls.back().number == ((g_answers & 8) ? -1 : (g_answers & 7)));
    for (std::size_t i = 1; i + 1 < g_calls.size(); ++i) {
        const Call& c = g_calls[i];
        FUZZ_EXPECT(c.id == kId);
        FUZZ_EXPECT(c.setter != kGetProgram);
        switch (c.setter) {
        // Only the blocks Head01 to Head04 and OUT01 to OUT08 are applied,
        // to their own head or OUT.
        case kHead: FUZZ_EXPECT(c.number >= 1 && c.number <= 4); break;
        case kOut: FUZZ_EXPECT(c.number >= 1 && c.number <= 8); break;
        case kAverage:
            FUZZ_EXPECT(c.number >= 1 && c.number <= 8);
            FUZZ_EXPECT(!c.selection.empty());
            FUZZ_EXPECT(c.selection.find_first_not_of("0123456789") == std::string::npos);
            break;
        case kControllerNumbered: FUZZ_EXPECT(c.number >= 1 && c.number <= 8); break;
        // A program is selected only by the number its block names.
        case kSetProgram: FUZZ_EXPECT(text.find("ProgNo") != std::string::npos); break;
        default: break;
        }
    }
    return 0;
}
