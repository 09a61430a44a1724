// Settings files: document limits, load, save, and the comparison of two.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "platform/platform.h"
#include "quil/controller_settings.h"
#include "quil/device.h"
#include "quil/settings_file.h"
#include "settings_file_helpers.h"
#include "sim/faults.h"

namespace {

using namespace quil;
using namespace quil::settings;
using quil::test::DeviceTest;
using quil::test::filesIn;
using quil::test::find;
using quil::test::readBytes;
using quil::test::TempDir;
using quil::test::valueOf;
using quil::test::writeText;
using Lines = std::vector<std::string>;

// The limits see the document as the parser does: hidden end tags close nothing.
TEST(SettingsText, TheLimitsSeeThroughWhatThePartsHide) {
    const auto times = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    const auto attributes = [](int n) {
        std::string out = "<a";
        for (int i = 0; i < n; ++i) out += " a" + std::to_string(i) + "=\"1\"";
        return out + "/>";
    };
    const struct {
        const char* what;
        std::function<std::string(int)> document;  // of a nesting depth
    } kShapes[] = {
        {"plain", [&](int n) { return times("<a>", n) + times("</a>", n); }},
        {"end tags in a comment",
         [&](int n) { return times("<a>", n / 2) + "<!--" + times("</a>", n) + "-->" + times("<a>", n - n / 2); }},
        {"end tags in CDATA",
         [&](int n) { return times("<a>", n / 2) + "<![CDATA[" + times("</a>", n) + "]]>" + times("<a>", n - n / 2); }},
        {"end tags in values", [&](int n) { return times("<a x=\"</a></a>\">", n); }},
        {"end tags behind a lead byte",
         [&](int n) { return times("<a>", n / 2) + times("\xC3</a>", n / 2) + times("<a>", n - n / 2); }},
        {"a mark the parser skips as blank", [&](int n) { return times("<a\xEF\xBB\xBF>", n); }},
        {"a start behind a byte that announces no character", [&](int n) { return times("<a>", n - 1) + "\xC1<a>"; }},
        {"end tags inside a character reference",
         [&](int n) { return times("<a>", n / 2) + "&#x" + times("</a>", n) + "x5;" + times("<a>", n - n / 2); }},
        {"a declaration's quoted end tags",
         [&](int n) { return "<a><?xml version=\"</a></a>\" ?>" + times("<a>", n - 1); }},
    };
    for (const auto& shape : kShapes) {
        EXPECT_TRUE(withinDocumentLimits(shape.document(kMaxDocumentDepth))) << shape.what;
        EXPECT_FALSE(withinDocumentLimits(shape.document(kMaxDocumentDepth + 1))) << shape.what;
    }
    EXPECT_TRUE(withinDocumentLimits(attributes(kMaxElementAttributes)));
    EXPECT_FALSE(withinDocumentLimits(attributes(kMaxElementAttributes + 1)));
    EXPECT_TRUE(withinDocumentLimits("<a v=\"" + std::string(kMaxAttributeBytes, 'x') + "\"/>"));
    EXPECT_FALSE(withinDocumentLimits("<a v=\"" + std::string(kMaxAttributeBytes + 1, 'x') + "\"/>"));
}

// The lines the controller took: no mode switches nor the lines right before one.
Lines applied(const Lines& lines) {
    Lines out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool isSwitch = lines[i] == "Q0" || lines[i] == "R0";
        const bool beforeSwitch = i + 1 < lines.size() && (lines[i + 1] == "Q0" || lines[i + 1] == "R0");
        if (!isSwitch && !beforeSwitch) out.push_back(lines[i]);
    }
    return out;
}
Lines starting(const Lines& lines, const std::string& prefix) {
    Lines out;
    for (const std::string& l : lines)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

// A model with the controller-wide encoder settings.
class SettingsFile : public DeviceTest {
protected:
    SettingsFile() : DeviceTest(5) {}
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(dir.ok());
    }
    // Loads the document text; the lines the controller took.
    Lines load(const std::string& text, int32_t expected = QUIL_OK) {
        writeText(dir.file("load.xml"), text);
        sim.clearReceived();
        EXPECT_EQ(QUIL_SetFormula(kId, dir.file("load.xml").c_str()), expected);
        return applied(sim.receivedLines());
    }
    // A document with these children of the root after an empty "Version".
    static std::string document(const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<SettingFileInfo><Version />" + body +
               "</SettingFileInfo>\n";
    }
    static std::string program(const std::string& attributes, const std::string& blocks) {
        return document("<ProgParameter><ProgNo " + attributes + ">" + blocks + "</ProgNo></ProgParameter>");
    }
    // Saves into "save.xml" and reads the document back.
    bool save(TiXmlDocument& doc, int32_t expected = QUIL_OK) {
        EXPECT_EQ(QUIL_DeriveFormula(kId, path.c_str()), expected);
        return doc.LoadFile(path.c_str(), TIXML_ENCODING_UTF8);
    }
    static const TiXmlElement* program(const TiXmlDocument& doc, int p) {
        const TiXmlElement* prog = find(&doc, {"SettingFileInfo", "ProgParameter", "ProgNo"});
        for (int i = 0; i < p && prog; ++i) prog = prog->NextSiblingElement("ProgNo");
        return prog;
    }
    TempDir dir;
    std::string path = dir.file("save.xml");
};
using SettingsLoad = SettingsFile;
using SettingsSave = SettingsFile;

// Documents beyond a settings file's size or shape never reach the parser.
TEST_F(SettingsLoad, RefusedArgumentsAndUnreadableOrHostileFilesSendNothing) {
    writeText(dir.file("good.xml"), document(""));
    writeText(dir.file("empty.xml"), "");
    writeText(dir.file("broken.xml"), "<SettingFileInfo><Version></SettingFileInfo>");
    writeText(dir.file("declaration.xml"), "<?xml version=\"1.0\" ?>\n");
    std::string wide = "<SettingFileInfo";
    for (int i = 0; i < 40000; ++i) wide += " a" + std::to_string(i) + "=\"1\"";
    writeText(dir.file("wide.xml"), wide + "/>");
    {
        std::ofstream large(dir.file("large.xml"), std::ios::binary);
        large << document("");
        large.seekp(static_cast<std::streamoff>(kMaxDocumentBytes));  // a sparse file past the cap
        large << ' ';
    }
    EXPECT_EQ(QUIL_SetFormula(kId, nullptr), QUIL_ERROR_NULL_POINTER);
    EXPECT_EQ(QUIL_SetFormula(64, nullptr), QUIL_ERROR_DEVICE_ID);
    EXPECT_EQ(QUIL_SetFormula(3, dir.file("good.xml").c_str()), QUIL_ERROR_OPEN);
    for (const char* file : {"missing.xml", "empty.xml", "broken.xml", "declaration.xml", "", "wide.xml", "large.xml"})
        EXPECT_EQ(QUIL_SetFormula(kId, dir.file(file).c_str()), QUIL_ERROR_PARAMETER) << file;
    ASSERT_EQ(QUIL_SetResetSync(kId), QUIL_OK);
    EXPECT_EQ(sent(1), Lines{"DA"}) << "nothing before it, not even the program read";
}

TEST_F(SettingsLoad, OnlyAVersionReadsAndReselectsTheProgram) {
    ASSERT_EQ(QUIL_SetProgramNo(kId, 6), QUIL_OK);
    EXPECT_EQ(load(document("")), (Lines{"PR", "PW,6"}));
    // The declaration's texts reach the console printable and short.
    ::testing::internal::CaptureStderr();
    load("<?xml version=\"\x1B[2J\r\n" + std::string(100, 'v') + "\" encoding=\"\x07x\" ?><r><Version/></r>");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\xE5\xA4\xB4\xE9\x83\xA8\xE4\xBF\xA1\xE6\x81\xAF\xEF\xBC\x9A"
              "version is [2J" +
                  std::string(61, 'v') + " , encoding is x\n");
    // Without "Version" nothing is applied.
    EXPECT_EQ(load("<SettingFileInfo><EnvironmentSet><UnValidTypeIndex UnValidTypeIndex=\"0\" />"
                   "</EnvironmentSet></SettingFileInfo>"),
              (Lines{"PR", "PW,6"}));
}

TEST_F(SettingsLoad, ProgramsBySaveOrLoadNameAndRefusedProgramsSkipped) {
    const std::string head = "<HeadParameter><Head02><MedianIndex MedianIndex=\"3\" /></Head02></HeadParameter>";
    ASSERT_EQ(QUIL_SetProgramNo(kId, 1), QUIL_OK);
    Lines lines = load(program("No.=\"3\"", head));
    EXPECT_EQ(starting(lines, "PW"), (Lines{"PW,3", "PW,1"}));
    EXPECT_LT(std::find(lines.begin(), lines.end(), "PW,3") - lines.begin(),
              std::find(lines.begin(), lines.end(), "SW,HG,02,3") - lines.begin());
    lines = load(program("NO=\"4\"", head));
    EXPECT_EQ(starting(lines, "PW"), (Lines{"PW,4", "PW,1"}));
    EXPECT_EQ(starting(lines, "SW"), Lines{"SW,HG,02,3"});
    // "No." comes first: an unreadable one skips the blocks.
    for (const char* refused : {"No.=\"9\"", "No.=\"-1\"", "No.=\"x\" NO=\"2\""}) {
        lines = load(program(refused, head));
        EXPECT_EQ(starting(lines, "SW"), Lines{}) << refused;
        EXPECT_EQ(lines.back(), "PW,1") << refused;
    }
    // A program without any number is the active one.
    lines = load(program("", head));
    EXPECT_EQ(starting(lines, "PW"), Lines{"PW,1"});
    EXPECT_EQ(starting(lines, "SW"), Lines{"SW,HG,02,3"});
}

// A failure of the link ends the load at once, with its code.
TEST_F(SettingsLoad, ALinkFailureEndsTheLoadWithItsCode) {
    TempDir saved;
    ASSERT_EQ(QUIL_DeriveFormula(kId, saved.file("all.xml").c_str()), QUIL_OK);
    const struct {
        const char* what;
        sim::Faults faults;
        std::size_t maxLines;
    } cases[] = {
        {"closed at the fifth line", {.dropAfterLines = 4}, 5},
        {"no answer at all", {.mute = true}, 1},
    };
    for (const auto& c : cases) {
        // A fresh connection: the faults count its lines from its open on.
        QUIL_CloseDevice(kId);
        ASSERT_EQ(QUIL_OpenDeviceETHER(kId, sim.ip().b, 2000), QUIL_OK);
        sim.setFaults(c.faults);
        sim.clearReceived();
        const int32_t r = QUIL_SetFormula(kId, saved.file("all.xml").c_str());
        EXPECT_TRUE(linkFailure(r)) << c.what << ": " << r;
        EXPECT_LE(sim.receivedLines().size(), c.maxLines) << c.what;
        sim.setFaults({});
    }
}

// A refused, unanswered or out-of-table read leaves only its value out.
TEST_F(SettingsSave, RefusedAndUnansweredReadsLeaveOnlyTheirValuesOut) {
    sim.script()
        .replyTo("SR,CJ", "SR,CJ,3,1\r\n")
        .replyTo("SR,HG,02", "ER,SR,88\r\n")
        .replyTo("SR,EH,B", "ER,SR,99\r\n")
        .silenceTo("#J");  // the first head's power register
    TiXmlDocument doc;
    ASSERT_TRUE(save(doc));
    const TiXmlElement* env = find(&doc, {"SettingFileInfo", "EnvironmentSet"});
    EXPECT_EQ(valueOf(env->FirstChildElement("EncodeRunMode")), "(none)");
    EXPECT_EQ(valueOf(env->FirstChildElement("BaudRateIndex")), "(none)") << "not a made-up 0";
    EXPECT_NE(valueOf(env->FirstChildElement("EncodePoint")), "(none)") << "the other values stay";
    EXPECT_EQ(valueOf(find(program(doc, 0), {"HeadParameter", "Head01", "LaserPower"})), "(none)");
    EXPECT_NE(valueOf(find(program(doc, 0), {"HeadParameter", "Head02", "LaserPower"})), "(none)");
    EXPECT_EQ(valueOf(find(program(doc, 0), {"HeadParameter", "Head02", "MedianIndex"})), "(none)");
    EXPECT_EQ(valueOf(find(program(doc, 0), {"HeadParameter", "Head02", "LaserCtrlIndex"})), "0");
    EXPECT_EQ(valueOf(find(program(doc, 1), {"HeadParameter", "Head02", "MedianIndex"})), "0");
}

TEST_F(SettingsSave, RefusedArgumentsAndUnwritablePathsWriteNoFile) {
    writeText(path, "old");
    EXPECT_EQ(QUIL_DeriveFormula(kId, nullptr), QUIL_ERROR_NULL_POINTER);
    EXPECT_EQ(QUIL_DeriveFormula(64, path.c_str()), QUIL_ERROR_DEVICE_ID);
    EXPECT_EQ(QUIL_DeriveFormula(9, path.c_str()), QUIL_ERROR_OPEN);
    EXPECT_EQ(readBytes(path), "old");
    sim.clearReceived();
    EXPECT_EQ(QUIL_DeriveFormula(kId, dir.file("missing/save.xml").c_str()), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(QUIL_DeriveFormula(kId, dir.file("").c_str()), QUIL_ERROR_PARAMETER) << "a folder";
    platform::failFileSyncs(true);
    EXPECT_EQ(QUIL_DeriveFormula(kId, path.c_str()), QUIL_ERROR_PARAMETER) << "content that did not reach the disk";
    platform::failFileSyncs(false);
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"save.xml"}) << "no file left behind";
    EXPECT_EQ(readBytes(path), "old");
}

TEST_F(SettingsSave, ALinkFailureOrARefusedProgramEndsTheSaveAndKeepsTheOldFile) {
    writeText(path, "old");
    ASSERT_EQ(QUIL_SetProgramNo(kId, 2), QUIL_OK);
    const struct {
        const char* what;
        std::function<void()> fault;
        int32_t code;
    } cases[] = {
        {"no reply", [&] { sim.script().silenceTo("SR,OB,05"); }, QUIL_ERROR_TIMEOUT},
        {"a reply without its line end", [&] { sim.script().replyTo("SR,HF,03", std::string(300, 'x') + "\r\n"); },
         QUIL_ERROR_OVERFLOW},
        {"the program refused", [&] { sim.script().replyTo("PW,4", "ER,PW,88\r\n"); }, QUIL_ERROR_DEVICE_E88},
    };
    for (const auto& c : cases) {
        c.fault();
        sim.clearReceived();
        EXPECT_EQ(QUIL_DeriveFormula(kId, path.c_str()), c.code) << c.what;
        EXPECT_EQ(readBytes(path), "old") << c.what;
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{"save.xml"}) << c.what;
        EXPECT_EQ(sim.receivedLines().back(), "PW,2") << c.what << ": the active program selected again, nothing after";
        sim.script().clear();
    }
    // Program 2 visited as usual, then its reselection at the end refused.
    sim.script().replyTo("PW,2", "PW\r\n").replyTo("PW,2", "ER,PW,88\r\n");
    EXPECT_EQ(QUIL_DeriveFormula(kId, path.c_str()), QUIL_ERROR_DEVICE_E88);
    EXPECT_TRUE(readBytes(path) == "old") << "the old file kept";
    EXPECT_EQ(sim.script().pending(), 0u) << "both rules fired";
}

// A link stays a link, the permissions stay, the longest name still saves.
TEST_F(SettingsSave, TheReplacedFileKeepsItsLinkAndPermissions) {
    namespace fs = std::filesystem;
    writeText(dir.file("target.xml"), "old");
    std::error_code noLinks;
    fs::create_symlink("target.xml", dir.file("link.xml"), noLinks);
    if (noLinks) GTEST_SKIP() << "no symbolic links here: " << noLinks.message();
    fs::permissions(dir.file("target.xml"), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(QUIL_DeriveFormula(kId, dir.file("link.xml").c_str()), QUIL_OK);
    EXPECT_TRUE(fs::is_symlink(dir.file("link.xml")));
    EXPECT_EQ(readBytes(dir.file("target.xml")).rfind("<?xml", 0), 0u) << "the target got the settings";
    EXPECT_EQ(fs::status(dir.file("target.xml")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string longName = dir.file(std::string(250, 'n') + ".xml");
    EXPECT_EQ(QUIL_DeriveFormula(kId, longName.c_str()), QUIL_OK);
    EXPECT_EQ(filesIn(dir).size(), 3u) << "nothing left beside them";
}

// Two documents compared setting by setting; a lacking setting is "(none)".
struct Difference {
    int32_t program;
    std::string block, setting, a, b;
    bool operator==(const Difference&) const = default;
};
std::vector<Difference> differences(const std::string& a, const std::string& b, int32_t flags = 0) {
    std::vector<Difference> rows;
    int32_t count = -1;
    EXPECT_EQ(quil_settings_diff(
                  a.c_str(), b.c_str(), flags,
                  [](const QuilSettingsDifference* d, void* user) {
                      static_cast<std::vector<Difference>*>(user)->push_back(
                          {d->program, d->block, d->setting, d->a ? d->a : "(none)", d->b ? d->b : "(none)"});
                  },
                  &rows, &count),
              QUIL_OK);
    EXPECT_EQ(count, static_cast<int32_t>(rows.size()));
    return rows;
}

std::string settingsText(int32_t id) {
    char* text = nullptr;
    EXPECT_EQ(quil_settings_text(id, &text), QUIL_OK);
    const std::string copy = text ? text : "";
    quil_free(text);
    return copy;
}

TEST_F(SettingsSave, DifferencesNameProgramBlockAndSetting) {
    const std::string before = settingsText(kId);
    ASSERT_EQ(QUIL_DeriveFormula(kId, path.c_str()), QUIL_OK);
    EXPECT_TRUE(differences(readBytes(path), before).empty()) << "a saved file and the text read in memory";
    ASSERT_EQ(quil::SetAutosendIndex(kId, 1), QUIL_OK);
    ASSERT_EQ(QUIL_SetProgramNo(kId, 3), QUIL_OK);
    ASSERT_EQ(QUIL_SetMedian(kId, 2, 3), QUIL_OK);
    ASSERT_EQ(QUIL_SetDisplayUnit(kId, 3, 4), QUIL_OK);
    const std::vector<Difference> rows = differences(before, settingsText(kId));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ((Difference{-1, "environment", "AutosendIndex", rows[0].a, "1"}), rows[0]);
    EXPECT_EQ((Difference{3, "head 2", "MedianIndex", rows[1].a, "3"}), rows[1]);
    EXPECT_EQ((Difference{3, "OUT 3", "MinimumDisplayUnitIndex", rows[2].a, "4"}), rows[2]);
    // The file's own data only when asked for; a setting one document lacks.
    std::string edited = before;
    const size_t at = edited.find("SaveTime=\"");
    ASSERT_NE(at, std::string::npos);
    edited.insert(at + 10, "1");
    const size_t median = edited.find("<MedianIndex ");
    ASSERT_NE(median, std::string::npos);
    edited.erase(median, edited.find("/>", median) + 2 - median);
    const std::vector<Difference> lacking = differences(before, edited);
    ASSERT_EQ(lacking.size(), 1u);
    EXPECT_EQ((Difference{0, "head 1", "MedianIndex", lacking[0].a, "(none)"}), lacking[0]);
    const std::vector<Difference> all = differences(before, edited, QUIL_DIFF_ALL);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].block, "file");
    EXPECT_EQ(all[0].setting, "SaveTime/property");

    int32_t count = -1;
    EXPECT_EQ(quil_settings_diff(before.c_str(), "<a><b></a>", 0, nullptr, nullptr, &count), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(quil_settings_diff(before.c_str(), before.c_str(), 2, nullptr, nullptr, &count), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(count, -1);
}

}  // namespace
