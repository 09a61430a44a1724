// Settings files: the value forms, the load walk of a document and the save
// of a simulated controller's configuration, with their failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "elog/elog.h"
#include "log_dir.h"
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

// ------------------------------------------------------------ value forms

TEST(SettingsValueForms, NumbersAreReadWholeAndHundredthsExactly) {
    // A decimal as the load applies it, in hundredths.
    const auto hundredths = [](const char* text) -> std::optional<int32_t> {
        const auto v = decimalText(text);
        return v ? timesFactor(*v, 100) : std::nullopt;
    };
    const struct {
        const char* text;
        std::optional<int32_t> integer, hundredths;
    } kCases[] = {
        {"0.29", std::nullopt, 29},
        {"-0.29", std::nullopt, -29},
        {"0.57", std::nullopt, 57},
        {"1.13", std::nullopt, 113},
        {"9.48", std::nullopt, 948},
        {"18.47", std::nullopt, 1847},
        {"0.295", std::nullopt, 29},
        {"-0.295", std::nullopt, -29},
        {"12", 12, 1200},
        {" -12", -12, -1200},
        {"+3", 3, 300},
        {"0.290000001", std::nullopt, 29},
        {".5", std::nullopt, 50},
        {"2147483647", INT32_MAX, std::nullopt},
        {"-2147483648", INT32_MIN, std::nullopt},
        {"2147483648", std::nullopt, std::nullopt},
        {"0x7", std::nullopt, std::nullopt},
        {"5abc", std::nullopt, std::nullopt},
        {"1e2", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"inf", std::nullopt, std::nullopt},
        {"nan", std::nullopt, std::nullopt},
        {"1.2.3", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"-", std::nullopt, std::nullopt},
        {"5 ", std::nullopt, std::nullopt},
        {"1,SW,HG", std::nullopt, std::nullopt},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(integerText(c.text), c.integer) << c.text;
        EXPECT_EQ(hundredths(c.text), c.hundredths) << c.text;
    }
    // What the save writes comes back exactly.
    for (int32_t v = -999999; v <= 999999; ++v) ASSERT_EQ(hundredths(hundredthsText(v).c_str()), v) << v;
    EXPECT_EQ(hundredthsText(1847), "18.47");
    EXPECT_EQ(hundredthsText(-5), "-0.05");
}

// A document that ends in the middle of a multi-byte character: the parser
// steps over the whole character, past the text's end. Here the memory after
// the text holds the rest of a document, which must stay unread.
TEST(SettingsText, NothingAfterTheTextIsRead) {
    static const char memory[] = "<r><a/>\xE3\0<b/></r>";
    TiXmlDocument doc;
    EXPECT_FALSE(parseSettingsText(doc, std::string_view(memory, 8))) << "<r> is never closed in the text";
    TiXmlDocument whole;
    EXPECT_TRUE(parseSettingsText(whole, "<r><a/>\xE3\x81\x82</r>")) << "the character complete";
}

// The limits see the document as the parser steps through it: end tags in
// comments, CDATA sections, quoted values or behind a byte that announces a
// multi-byte character close nothing for the parser, and so for the scan.
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
        {"an element cut off by the end", [&](int n) { return times("<a>", n - 1) + "<a"; }},
        {"a start behind a byte that announces no character", [&](int n) { return times("<a>", n - 1) + "\xC1<a>"; }},
        {"end tags inside a character reference",
         [&](int n) { return times("<a>", n / 2) + "&#x" + times("</a>", n) + "x5;" + times("<a>", n - n / 2); }},
        {"end tags inside a reference in a value",
         [&](int n) { return "<a v=\"&#" + times("</a>", n) + "#9;\">" + times("<a>", n - 1); }},
        {"an empty element", [&](int n) { return times("<a>", n - 1) + "<a/>"; }},
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

// Line ends become what the parser's own file reading makes of them.
TEST(SettingsText, LineEndsAsTheParsersFileReading) {
    TempDir dir;
    const std::string text = "<r>\r\n<a v=\"1\"/>\r<b>x\r\ny\ry</b>\n</r>\r\n";
    writeText(dir.file("doc.xml"), text);
    TiXmlDocument loaded, parsed;
    ASSERT_TRUE(loaded.LoadFile(dir.file("doc.xml").c_str(), TIXML_ENCODING_UTF8));
    ASSERT_TRUE(parseSettingsText(parsed, text));
    TiXmlPrinter a, b;
    loaded.Accept(&a);
    parsed.Accept(&b);
    EXPECT_EQ(std::string(b.CStr()), std::string(a.CStr()));
}

TEST(SettingsValueForms, MinimumInputTimesInEitherUnitAndBlockNames) {
    const struct {
        int32_t reported;
        const char* text;
    } times[] = {{100, "100ns"}, {200, "200ns"}, {500, "500ns"}, {1, "1us"},      {2, "2us"},      {5, "5us"},
                 {10, "10us"},   {20, "20us"},   {1000, "1us"},  {5000, "5us"},   {20000, "20us"}, {0, nullptr},
                 {3, nullptr},   {50, nullptr},  {150, nullptr}, {-100, nullptr}, {30000, nullptr}};
    for (const auto& t : times) {
        const char* text = minTimeText(t.reported);
        EXPECT_EQ(text ? std::string(text) : "(none)", t.text ? std::string(t.text) : "(none)") << t.reported;
    }
    for (const FixedText& t : kMinTimes) EXPECT_EQ(valueOf(kMinTimes, t.text), t.value) << "the load's side";
    EXPECT_EQ(blockNumber("OUT08", "OUT0", 8), 8);
    EXPECT_EQ(blockNumber("OUT09", "OUT0", 8), 0);
    EXPECT_EQ(blockNumber("OUT010", "OUT0", 8), 0);
    EXPECT_EQ(blockNumber("OUT1", "OUT0", 8), 0);
    EXPECT_EQ(blockNumber("Head04", "Head0", 4), 4);
    EXPECT_EQ(blockNumber("Head05", "Head0", 4), 0);
    EXPECT_EQ(blockNumber("head01", "Head0", 4), 0);
    EXPECT_EQ(headName(3), "Head03");
    EXPECT_EQ(outName(8), "OUT08");
}

// ------------------------------------------------------------ load

bool has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
// The lines that the controller took: without the mode switches and the
// lines it refused for its mode (those right before a switch).
Lines applied(const Lines& lines) {
    Lines out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool isSwitch = lines[i] == "Q0" || lines[i] == "R0";
        const bool beforeSwitch = i + 1 < lines.size() && (lines[i + 1] == "Q0" || lines[i + 1] == "R0");
        if (!isSwitch && !beforeSwitch) out.push_back(lines[i]);
    }
    return out;
}
// Lines that begin with prefix.
Lines starting(const Lines& lines, const std::string& prefix) {
    Lines out;
    for (const std::string& l : lines)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

// A controller without the encoder inputs of the models 34 to 39, so that
// the running and encoder input modes are its own settings.
class SettingsLoad : public DeviceTest {
protected:
    SettingsLoad() : DeviceTest(5) {}
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(dir.ok());
    }
    // Loads the document text; the lines sent, once the reselection of the
    // active program has arrived.
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
    // One program's blocks.
    static std::string program(const std::string& attributes, const std::string& blocks) {
        return document("<ProgParameter><ProgNo " + attributes + ">" + blocks + "</ProgNo></ProgParameter>");
    }
    int32_t active() {
        int32_t p = -1;
        EXPECT_EQ(QUIL_GetProgramNo(kId, &p), QUIL_OK);
        return p;
    }
    TempDir dir;
};

TEST_F(SettingsLoad, RefusedArgumentsAndUnreadableFilesSendNothing) {
    writeText(dir.file("empty.xml"), "");
    writeText(dir.file("broken.xml"), "<SettingFileInfo><Version></SettingFileInfo>");
    writeText(dir.file("declaration.xml"), "<?xml version=\"1.0\" ?>\n");
    writeText(dir.file("good.xml"), document(""));
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } cases[] = {
        {"null path", [&] { return QUIL_SetFormula(kId, nullptr); }, QUIL_ERROR_NULL_POINTER},
        {"device 64 before the path", [&] { return QUIL_SetFormula(64, nullptr); }, QUIL_ERROR_DEVICE_ID},
        {"closed device", [&] { return QUIL_SetFormula(3, dir.file("good.xml").c_str()); }, QUIL_ERROR_OPEN},
        {"missing file", [&] { return QUIL_SetFormula(kId, dir.file("none.xml").c_str()); }, QUIL_ERROR_PARAMETER},
        {"empty file", [&] { return QUIL_SetFormula(kId, dir.file("empty.xml").c_str()); }, QUIL_ERROR_PARAMETER},
        {"not well formed", [&] { return QUIL_SetFormula(kId, dir.file("broken.xml").c_str()); }, QUIL_ERROR_PARAMETER},
        {"no root element", [&] { return QUIL_SetFormula(kId, dir.file("declaration.xml").c_str()); },
         QUIL_ERROR_PARAMETER},
        {"a folder", [&] { return QUIL_SetFormula(kId, dir.file("").c_str()); }, QUIL_ERROR_PARAMETER},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.what;
    ASSERT_EQ(QUIL_SetResetSync(kId), QUIL_OK);
    EXPECT_EQ(sent(1), Lines{"DA"}) << "nothing before it, not even the program read";
}

// Documents beyond a settings file's size or shape are refused before the
// parser sees them, with nothing sent: the parser would recurse past the
// caller's stack, take minutes, or hold gigabytes.
TEST_F(SettingsLoad, HostileDocumentsAreRefusedWithNothingSent) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    writeText(dir.file("deep.xml"), deep);
    std::string wide = "<SettingFileInfo";
    for (int i = 0; i < 40000; ++i) wide += " a" + std::to_string(i) + "=\"1\"";
    writeText(dir.file("wide.xml"), wide + "/>");
    {
        std::ofstream large(dir.file("large.xml"), std::ios::binary);
        large << document("");
        large.seekp(static_cast<std::streamoff>(kMaxDocumentBytes));  // a sparse file past the cap
        large << ' ';
    }
    sim.clearReceived();
    for (const char* file : {"deep.xml", "wide.xml", "large.xml"})
        EXPECT_EQ(QUIL_SetFormula(kId, dir.file(file).c_str()), QUIL_ERROR_PARAMETER) << file;
    ASSERT_EQ(QUIL_SetResetSync(kId), QUIL_OK);
    EXPECT_EQ(sent(1), Lines{"DA"}) << "nothing before it";
}

TEST_F(SettingsLoad, OnlyAVersionReadsAndReselectsTheProgramUnderAnyRootName) {
    ASSERT_EQ(QUIL_SetProgramNo(kId, 6), QUIL_OK);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load(document("")), (Lines{"PR", "PW,6"}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\xE5\xA4\xB4\xE9\x83\xA8\xE4\xBF\xA1\xE6\x81\xAF\xEF\xBC\x9A"
              "version is 1.0 , encoding is UTF-8\n");
    // The declaration's texts reach the console printable and short.
    ::testing::internal::CaptureStderr();
    load("<?xml version=\"\x1B[2J\r\n" + std::string(100, 'v') + "\" encoding=\"\x07x\" ?><r><Version/></r>");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\xE5\xA4\xB4\xE9\x83\xA8\xE4\xBF\xA1\xE6\x81\xAF\xEF\xBC\x9A"
              "version is [2J" +
                  std::string(61, 'v') + " , encoding is x\n");
    // Any root name; children before "Version" are not looked at, and a
    // file without a declaration prints nothing.
    ::testing::internal::CaptureStderr();
    const Lines lines = load(
        "<Other><EnvironmentSet><AutosendIndex AutosendIndex=\"1\" /></EnvironmentSet><Version />"
        "<EnvironmentSet><UnValidTypeIndex UnValidTypeIndex=\"1\" /></EnvironmentSet></Other>");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(starting(lines, "SW,EH,C"), Lines{});
    EXPECT_TRUE(has(lines, "PV,1"));
    // Without "Version" nothing is applied.
    EXPECT_EQ(load("<SettingFileInfo><EnvironmentSet><UnValidTypeIndex UnValidTypeIndex=\"0\" />"
                   "</EnvironmentSet></SettingFileInfo>"),
              (Lines{"PR", "PW,6"}));
}

TEST_F(SettingsLoad, EnvironmentHeldValuesAndFixedTexts) {
    const std::string run = textOf(kRunModes, 2), input = textOf(kInputModes, 3), dir0 = textOf(kDirections, 1);
    Lines lines = load(
        document("<EnvironmentSet>"
                 "<ParityIndex ParityIndex=\"1\" />"  // no baud rate held yet: nothing
                 "<BaudRateIndex BaudRateIndex=\"2\" /><ParityIndex ParityIndex=\"1\" />"
                 "<AutosendIndex AutosendIndex=\"5\" /><UnValidTypeIndex UnValidTypeIndex=\"0\" />"
                 "<IpAddress IpAddress=\"127.9.9.9\" /><SubMaskCode SubMaskCode=\"255.255.0.0\" />"
                 "<Gateway Gateway=\"127.9.9.1\" />"
                 "<EncodeRunMode EncodeRunMode=\"" +
                 run + "\" /><EncodeInputMode EncodeInputMode=\"" + input +
                 "\" /><EncodePoint EncodePoint=\"20\" /><EncodeDetDir EncodeDetDir=\"" + dir0 +
                 "\" /><EncodeMinTime EncodeMinTime=\"2us\" />"
                 "<InOut_In InOut_In=\"3\" /><InOut_InDQ InOut_InDQ=\"12abc\" /><InOut_DataOut InOut_DataOut=\"x\" />"
                 "<InOut_MONIOut />"
                 "</EnvironmentSet>"));
    EXPECT_EQ(starting(lines, "SW,EH"), (Lines{"SW,EH,B,2,1", "SW,EH,C,1"}));
    EXPECT_TRUE(has(lines, "PV,0"));
    EXPECT_TRUE(has(lines, "SW,CJ,2,1"));
    EXPECT_TRUE(has(lines, "SW,CI,3,0000002000,000020"));
    EXPECT_TRUE(has(lines, "SW,CK,3"));
    EXPECT_EQ(starting(lines, "SW,CL"), Lines{}) << "a number with a tail is none";
    EXPECT_EQ(starting(lines, "SW,CM"), Lines{}) << "text without a number";
    EXPECT_EQ(starting(lines, "SW,CN"), Lines{}) << "no attribute";
    // Neither the address, mask nor gateway are ever written.
    EXPECT_EQ(lines, (Lines{"PR", "SW,EH,B,2,1", "SW,EH,C,1", "PV,0", "SW,CJ,2,1", "SW,CI,3,0000002000,000020",
                            "SW,CK,3", "PW,0"}));
    char address[16] = {};
    int32_t baud = 0, parity = 0;
    EXPECT_EQ(GetBaudRate(kId, &baud, &parity), QUIL_OK);
    EXPECT_EQ(baud * 10 + parity, 21);
    EXPECT_EQ(GetIPAddress(kId, address), QUIL_OK);
    EXPECT_EQ(std::string(address), sim.address());

    // Values held once last for the whole load; texts outside their table
    // assign nothing, and a time needs the input mode and point count held.
    lines =
        load(document("<EnvironmentSet><EncodeInputMode EncodeInputMode=\"2 phase\" />"
                      "<EncodeMinTime EncodeMinTime=\"100ns\" /><EncodeDetDir EncodeDetDir=\"OFF\" />"
                      "</EnvironmentSet><EnvironmentSet><ParityIndex ParityIndex=\"3\" /></EnvironmentSet>"));
    EXPECT_EQ(starting(lines, "SW,CI"), Lines{});
    EXPECT_EQ(starting(lines, "SW,CJ"), Lines{});
    EXPECT_EQ(starting(lines, "SW,EH"), Lines{}) << "held values do not outlive one load";
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
    EXPECT_TRUE(has(lines, "SW,HG,02,3"));
    // "No." comes first: an unreadable one skips the blocks.
    for (const char* refused : {"No.=\"9\"", "No.=\"-1\"", "No.=\"x\" NO=\"2\""}) {
        lines = load(program(refused, head));
        EXPECT_EQ(starting(lines, "SW"), Lines{}) << refused;
        EXPECT_EQ(lines.back(), "PW,1") << refused;
    }
    // A program without any number is the active one.
    lines = load(program("", head));
    EXPECT_EQ(starting(lines, "PW"), Lines{"PW,1"});
    EXPECT_TRUE(has(lines, "SW,HG,02,3"));
    int32_t median = 0;
    for (int32_t p : {3, 4, 1}) {
        ASSERT_EQ(QUIL_SetProgramNo(kId, p), QUIL_OK);
        EXPECT_EQ(QUIL_GetMedian(kId, 2, &median), QUIL_OK);
        EXPECT_EQ(median, 3) << "program " << p;
    }
    ASSERT_EQ(QUIL_SetProgramNo(kId, 2), QUIL_OK);
    EXPECT_EQ(QUIL_GetMedian(kId, 2, &median), QUIL_OK);
    EXPECT_EQ(median, 0) << "program 2 untouched";
}

TEST_F(SettingsLoad, HeadBlockHeldValuesAndTexts) {
    const Lines lines = load(program("No.=\"0\"",
                                     "<HeadParameter>"
                                     "<Head01><DetectModeIndex DetectModeIndex=\"5\" /><ABLEUpper ABLEUpper=\"80\" />"
                                     "<ABLELower ABLELower=\"20\" /><ABLEUpper ABLEUpper=\"70\" />"
                                     "<ShieldIndex ShieldIndex=\"7\" /><Pos1 Pos1=\"12.5\" /><Pos2 Pos2=\"-0.07\" />"
                                     "<ErrTimes ErrTimes=\"10000\" /><RecoverTimes RecoverTimes=\"12\" />"
                                     "<LaserPower LaserPower=\"100\" /></Head01>"
                                     "<Head03><Pos2 Pos2=\"1\" /><MedianIndex MedianIndex=\" 1\" />"
                                     "<ABLEUpper ABLEUpper=\"70\" /><BasePointIndex BasePointIndex=\"1\" /></Head03>"
                                     "<Head05><MedianIndex MedianIndex=\"1\" /></Head05>"
                                     "</HeadParameter>"));
    const Lines writes = starting(lines, "SW");
    EXPECT_EQ(writes, (Lines{"SW,HB,M,01,4", "SW,HA,R,01,70,20", "SW,HF,01,1,+001250,-000007", "SW,HC,N,01,0007,0012",
                             "SW,HB,B,03,1"}))
        << "held values start afresh with each block";
    EXPECT_EQ(sim.model().registerValue(1, 576), 100u << 16);
    EXPECT_TRUE(has(lines, "SR,HC,N,01")) << "the recovery setter reads the alarm count first";
}

// Numbers are read whole: anything but a plain number in its range skips the
// element (a program number that is none, the program's blocks), and
// decimals give their hundredths exactly.
TEST_F(SettingsLoad, OnlyPlainNumbersInRangeAreAppliedAndHundredthsExactly) {
    const uint32_t power1 = sim.model().registerValue(1, 576), power2 = sim.model().registerValue(2, 576);
    ASSERT_EQ(QUIL_SetProgramNo(kId, 3), QUIL_OK);
    const Lines lines = load(
        document("<ProgParameter>"
                 "<ProgNo No.=\"0x7\"><HeadParameter><Head01><MedianIndex MedianIndex=\"2\" /></Head01></HeadParameter>"
                 "</ProgNo><ProgNo No.=\"1\"><HeadParameter><Head01>"
                 "<ErrTimes ErrTimes=\"5abc\" /><WarnLevel WarnLevel=\"1e2\" /><RecoverTimes RecoverTimes=\"0x10\" />"
                 "<ShieldIndex ShieldIndex=\"1\" /><Pos1 Pos1=\"0.29\" /><Pos2 Pos2=\"-0.29\" />"
                 "<LaserPower LaserPower=\"-1\" /></Head01>"
                 "<Head02><ShieldIndex ShieldIndex=\"1\" /><Pos1 Pos1=\"0x10\" /><Pos2 Pos2=\"1.13\" />"
                 "<LaserPower LaserPower=\"70000\" /></Head02></HeadParameter>"
                 "<OUTParameter><OUT01><AVEOUTSelectState><OUT01 OUTState=\"1,SW,HG,01,3\" /></AVEOUTSelectState>"
                 "<Offset Offset=\"0.57\" /></OUT01></OUTParameter><CommonParameter>"
                 "<DataSaveNumber DataSaveNumber=\"0x10\" /><DataSavePeriod DataSavePeriod=\"1\" /></CommonParameter>"
                 "</ProgNo></ProgParameter>"));
    EXPECT_EQ(starting(lines, "SW"), (Lines{"SW,HF,01,1,+000029,-000029", "SW,OF,01,+000057"}));
    EXPECT_FALSE(has(lines, "PW,0")) << "no program selected for \"0x7\"";
    EXPECT_EQ(sim.model().registerValue(1, 576), power1) << "a power outside 0 to 65535 is none";
    EXPECT_EQ(sim.model().registerValue(2, 576), power2);
}

// A failure of the link ends the load at once: nothing more is sent, and
// the call says so instead of reporting a restore that did not happen.
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

// The report counts what the controller took and names what it refused.
TEST_F(SettingsLoad, TheReportCountsAndNamesRefusedSettings) {
    writeText(dir.file("r.xml"),
              program("No.=\"1\"",
                      "<HeadParameter><Head01><MedianIndex MedianIndex=\"2\" /></Head01></HeadParameter>"
                      "<OUTParameter><OUT05><MeasurementTypeIndex MeasurementTypeIndex=\"1\" /></OUT05>"
                      "</OUTParameter>"));
    QuilLoadReport report{};
    ASSERT_EQ(quil_load_settings(kId, dir.file("r.xml").c_str(), &report), QUIL_OK);
    EXPECT_EQ(report.applied, 2) << "the program and the median";
    EXPECT_EQ(report.refused, 1);
    EXPECT_STREQ(report.refusedNames, "OUT05/MeasurementTypeIndex");
}

TEST_F(SettingsLoad, OutputBlockModesFilterSelectionAndRefusals) {
    const Lines lines = load(
        program("No.=\"0\"",
                "<OUTParameter>"
                "<OUT01><CalModeIndex CalModeIndex=\"1\" /><HeadIndex HeadIndex=\"2\" /><OUTIndex OUTIndex=\"3\" />"
                "<OUTAIndex OUTAIndex=\"0\" /><OUTBIndex OUTBIndex=\"3\" />"
                "<AVEOUTSelectState><OUT01 OUTState=\"1\" /><OUT02 OUTState=\"0\" /><OUT05 OUTState=\"1\" />"
                "</AVEOUTSelectState>"
                "<FilterTypeIndex FilterTypeIndex=\"0\" /><AverageTimesIndex AverageTimesIndex=\"7\" />"
                "<CutOffFrequencyIndex CutOffFrequencyIndex=\"3\" /></OUT01>"
                "<OUT02><CalModeIndex CalModeIndex=\"3\" /><AVETypeIndex AVETypeIndex=\"1\" />"
                "<CalSignIndex CalSignIndex=\"1\" /><AVEOUTSelectState /><CutOffFrequencyIndex />"
                "<ToleranceUpper ToleranceUpper=\"15\" /><ToleranceLower ToleranceLower=\"-2\" />"
                "<ToleranceDelay ToleranceDelay=\"0.1\" /><Offset Offset=\"-1.5\" /></OUT02>"
                "<OUT03><CalModeIndex CalModeIndex=\"2\" /><CalSignIndex CalSignIndex=\"1\" />"
                "<AverageTimesIndex AverageTimesIndex=\"4\" /><CutOffFrequencyIndex CutOffFrequencyIndex=\"3\" />"
                "<MoNiMeasUp MoNiMeasUp=\"10\" /><MoNiMeasDown MoNiMeasDown=\"-5.5\" /><MoNiVolUp MoNiVolUp=\"5\" />"
                "<MoNiVolDown MoNiVolDown=\"1\" /><mReflactorId mReflactorId=\"2\" />"
                "<mReflactorVal mReflactorVal=\"1.5\" /></OUT03>"
                "<OUT05><MeasurementTypeIndex MeasurementTypeIndex=\"1\" /><MoNiModeIndex MoNiModeIndex=\"1\" />"
                "<MinimumDisplayUnitIndex MinimumDisplayUnitIndex=\"6\" /></OUT05>"
                "</OUTParameter>"));
    EXPECT_EQ(starting(lines, "SW"), (Lines{
                                         "SW,OA,H,01,O03",  // the head index is not the mode's
                                         "SW,OA,C,01,01,04",
                                         "SW,OA,M,01,10",  // OUT05 is no part of the selection
                                         "SW,OC,01,0,7",
                                         "SW,OA,H,02,C06",  // average type 1 is method 7
                                         "SW,OA,M,02,1000",
                                         "SW,LM,02,+001500,-000200,0000010",
                                         "SW,OF,02,-000150",
                                         "SW,OA,H,03,C02",  // sign 1 is method 3
                                         "SW,VJ,03,+001000,-000550",
                                         "SW,VI,03,001000,005000",
                                         "SW,OL,03,1,+015000",
                                         "SW,OG,05,6",
                                     }))
        << "no filter without its type; OUT5 has no measurement type or monitor mode";
}

// A document as a save that wrote zeros for the outputs and the common
// settings writes it: "NO" for the program number, an empty average
// selection followed by eight OUTState elements inside the output block,
// and the common block as a second "HeadParameter".
std::string zeroSaveDocument() {
    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    auto* root = new TiXmlElement("SettingFileInfo");
    doc.LinkEndChild(root);
    auto add = [](TiXmlNode* parent, const std::string& name) {
        auto* e = new TiXmlElement(name.c_str());
        parent->LinkEndChild(e);
        return e;
    };
    auto value = [&](TiXmlNode* parent, const char* name, int v) { add(parent, name)->SetAttribute(name, v); };
    add(add(root, "Version"), "property")->SetAttribute("SOFT_VERSION", "v-01-01-01");
    add(add(root, "SaveTime"), "property")->SetAttribute("SaveTime", "2020-01-01 00:00:00");
    auto* env = add(root, "EnvironmentSet");
    for (const char* n : {"HeadNumber", "OUTNumber", "OUTSetNumber", "BaudRateIndex", "ParityIndex", "AutosendIndex",
                          "UnValidTypeIndex"})
        value(env, n, 0);
    for (const char* n : {"IpAddress", "SubMaskCode", "Gateway"}) add(env, n)->SetAttribute(n, "127.0.0.1");
    add(env, "EncodeRunMode")->SetAttribute("EncodeRunMode", "OFF");
    add(env, "EncodeInputMode")->SetAttribute("EncodeInputMode", kInputModes[0].text);
    value(env, "EncodePoint", 1);
    add(env, "EncodeDetDir")->SetAttribute("EncodeDetDir", kDirections[0].text);
    add(env, "EncodeMinTime")->SetAttribute("EncodeMinTime", "100ns");
    for (const char* n : {"ProgSwitch", "InOut_In", "InOut_InDQ", "InOut_DataOut", "InOut_MONIOut"}) value(env, n, 0);
    add(env, "TemperatureFactor");
    auto* programs = add(root, "ProgParameter");
    for (int p = 0; p < kPrograms; ++p) {
        auto* prog = add(programs, "ProgNo");
        prog->SetAttribute("NO", p);
        auto* heads = add(prog, "HeadParameter");
        for (int h = 1; h <= kHeads; ++h) {
            auto* b = add(heads, headName(h));
            // Each program's own values, to see where they land.
            value(b, "DetectModeIndex", p % 5);
            value(b, "MedianIndex", p % 4);
            value(b, "WarnLevel", p);
        }
        auto* outs = add(prog, "OUTParameter");
        for (int n = 1; n <= kOuts; ++n) {
            auto* b = add(outs, outName(n));
            for (const char* e : {"CalModeIndex", "BasePointIndex", "HeadIndex", "MeasurementGoalIndex", "OUTIndex",
                                  "OUTAIndex", "OUTBIndex", "CalSignIndex"})
                value(b, e, 0);
            add(b, "AVEOUTSelectState");
            for (int k = 1; k <= kOuts; ++k) add(b, outName(k))->SetAttribute("OUTState", 0);
            for (const char* e : {"AVETypeIndex",
                                  "MeasurementTypeIndex",
                                  "DetectModeIndex",
                                  "TriggerIndex",
                                  "FilterTypeIndex",
                                  "AverageTimesIndex",
                                  "CutOffFrequencyIndex",
                                  "ToleranceUpper",
                                  "ToleranceLower",
                                  "ToleranceDelay",
                                  "Input1",
                                  "Display1",
                                  "Input2",
                                  "Display2",
                                  "Offset",
                                  "MinimumDisplayUnitIndex",
                                  "ZeroIndex",
                                  "MoNiModeIndex",
                                  "MoNiMeasUp",
                                  "MoNiMeasDown",
                                  "MoNiVolUp",
                                  "MoNiVolDown",
                                  "mReflactorId",
                                  "mReflactorVal"})
                value(b, e, 0);
        }
        auto* common = add(prog, "HeadParameter");
        value(common, "SamplingPeriodIndex", 0);
        value(common, "SelectionTimeIndex", 0);
        auto* sync = add(common, "SyncSettingOUTSelectState");
        for (int k = 1; k <= kOuts; ++k) add(sync, outName(k))->SetAttribute("OUTState", 0);
        value(common, "PreventMutalInterferenceIndex", 0);
        auto* modes = add(common, "PreventMutalInterferenceHeadMode");
        for (int h = 1; h <= kHeads; ++h) add(modes, headName(h))->SetAttribute("HeadMode", 0);
        value(common, "DataSaveNumber", 0);
        value(common, "DataSavePeriod", 0);
        auto* storage = add(common, "DataSaveOUTSelectState");
        for (int k = 1; k <= kOuts; ++k) add(storage, outName(k))->SetAttribute("OUTState", 0);
    }
    TiXmlPrinter printer;
    doc.Accept(&printer);
    return printer.CStr();
}

TEST_F(SettingsLoad, AZeroSaveFileGoesToItsOwnProgramsAndLeavesTheCommonSettings) {
    // Common settings that a load of the common block would change.
    ASSERT_EQ(QUIL_SetStrobeTime(kId, 2), QUIL_OK);
    ASSERT_EQ(QUIL_SetSynchronization(kId, 1, 1), QUIL_OK);
    ASSERT_EQ(QUIL_SetProgramNo(kId, 5), QUIL_OK);
    const Lines lines = load(zeroSaveDocument());
    EXPECT_EQ(starting(lines, "PW"), (Lines{"PW,0", "PW,1", "PW,2", "PW,3", "PW,4", "PW,5", "PW,6", "PW,7", "PW,5"}));
    for (const char* common : {"SW,CA", "SW,CB", "SW,CE", "SW,CF", "SW,OJ", "SW,OK", "SW,HJ", "SW,OA,M"})
        EXPECT_EQ(starting(lines, common), Lines{}) << common;
    EXPECT_TRUE(has(lines, "SW,EH,B,0,0"));
    EXPECT_TRUE(has(lines, "SW,CI,0,0000000100,000001"));
    EXPECT_EQ(starting(lines, "SW,OI").size(), 4u * kPrograms) << "OUT5 to OUT8 refused before sending";
    int32_t v = 0;
    for (int32_t p = 0; p < kPrograms; ++p) {
        ASSERT_EQ(QUIL_SetProgramNo(kId, p), QUIL_OK);
        EXPECT_EQ(QUIL_GetMeasureMode(kId, 4, &v), QUIL_OK);
        EXPECT_EQ(v, p % 5) << "program " << p;
        EXPECT_EQ(QUIL_GetAlarmLevel(kId, 2, &v), QUIL_OK);
        EXPECT_EQ(v, p) << "program " << p;
        EXPECT_EQ(QUIL_GetStrobeTime(kId, &v), QUIL_OK);
        EXPECT_EQ(v, p == 0 ? 2 : 0) << "program " << p;
        EXPECT_EQ(QUIL_GetSynchronization(kId, 1, &v), QUIL_OK);
        EXPECT_EQ(v, p == 0 ? 1 : 0) << "program " << p;
    }
}

// ------------------------------------------------------------ save

class SettingsSave : public DeviceTest {
protected:
    explicit SettingsSave(int model = 5) : DeviceTest(model) {}
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(dir.ok());
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
    static std::string names(const TiXmlElement* parent) {
        std::string text;
        for (const TiXmlElement* e = parent ? parent->FirstChildElement() : nullptr; e; e = e->NextSiblingElement())
            text += std::string(text.empty() ? "" : " ") + e->Value();
        return text;
    }
    TempDir dir;
    std::string path = dir.file("save.xml");
};

TEST_F(SettingsSave, DocumentLayoutInThePrintersForm) {
    TiXmlDocument doc;
    ASSERT_TRUE(save(doc));
    // Written in text mode, as the printer's own file save does: "\r\n"
    // line ends on Windows.
    const std::string text = quil::test::logText(path);
    const std::string start =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<SettingFileInfo>\n    <Version>\n        "
        "<property SOFT_VERSION=\"v-01-01-01\" />\n    </Version>\n    <SaveTime>\n";
    EXPECT_EQ(text.substr(0, start.size()), start);
    EXPECT_TRUE(std::regex_search(text, std::regex("\n        <property SaveTime=\"\\d{4}-\\d\\d-\\d\\d "
                                                   "\\d\\d:\\d\\d:\\d\\d\" />\n")));
    EXPECT_NE(text.find("\n                    <DetectModeIndex DetectModeIndex=\"0\" />\n"), std::string::npos);
    EXPECT_EQ(names(find(&doc, {"SettingFileInfo"})), "Version SaveTime EnvironmentSet ProgParameter");
    EXPECT_EQ(names(find(&doc, {"SettingFileInfo", "EnvironmentSet"})),
              "HeadNumber OUTNumber OUTSetNumber BaudRateIndex ParityIndex AutosendIndex UnValidTypeIndex IpAddress "
              "SubMaskCode Gateway EncodeRunMode EncodeInputMode EncodePoint EncodeDetDir EncodeMinTime ProgSwitch "
              "InOut_In InOut_InDQ InOut_DataOut InOut_MONIOut TemperatureFactor");
    const std::string head =
        "DetectModeIndex BasePointIndex ABLEIndex ABLELower ABLEUpper RflectModeIndex MedianIndex LaserCtrlIndex "
        "ShieldIndex Pos1 Pos2 ErrTimes RecoverTimes WarnLevel Pulse LaserPower";
    const std::string out =
        "CalModeIndex BasePointIndex HeadIndex MeasurementGoalIndex OUTIndex OUTAIndex OUTBIndex CalSignIndex "
        "AVEOUTSelectState AVETypeIndex MeasurementTypeIndex DetectModeIndex TriggerIndex FilterTypeIndex "
        "AverageTimesIndex CutOffFrequencyIndex ToleranceUpper ToleranceLower ToleranceDelay Input1 Display1 Input2 "
        "Display2 Offset MinimumDisplayUnitIndex ZeroIndex MoNiModeIndex MoNiMeasUp MoNiMeasDown MoNiVolUp "
        "MoNiVolDown mReflactorId mReflactorVal";
    const std::string common =
        "SamplingPeriodIndex SelectionTimeIndex SyncSettingOUTSelectState PreventMutalInterferenceIndex "
        "PreventMutalInterferenceHeadMode DataSaveNumber DataSavePeriod DataSaveOUTSelectState";
    for (int p = 0; p < kPrograms; ++p) {
        const TiXmlElement* prog = program(doc, p);
        ASSERT_NE(prog, nullptr) << p;
        EXPECT_EQ(valueOf(prog->ToElement()), "(none)");
        EXPECT_STREQ(prog->Attribute("NO"), std::to_string(p).c_str());
        EXPECT_EQ(names(prog), "HeadParameter OUTParameter CommonParameter");
        EXPECT_EQ(names(find(prog, {"HeadParameter"})), "Head01 Head02 Head03 Head04");
        EXPECT_EQ(names(find(prog, {"OUTParameter"})), "OUT01 OUT02 OUT03 OUT04 OUT05 OUT06 OUT07 OUT08");
        for (int h = 1; h <= kHeads; ++h) EXPECT_EQ(names(find(prog, {"HeadParameter", headName(h).c_str()})), head);
        for (int n = 1; n <= kOuts; ++n) EXPECT_EQ(names(find(prog, {"OUTParameter", outName(n).c_str()})), out);
        EXPECT_EQ(names(find(prog, {"CommonParameter"})), common);
    }
    EXPECT_EQ(program(doc, kPrograms), nullptr);
}

TEST_F(SettingsSave, ValuesAsTheLoadAppliesThem) {
    ASSERT_EQ(QUIL_SetProgramNo(kId, 3), QUIL_OK);
    ASSERT_EQ(QUIL_SetMedian(kId, 2, 2), QUIL_OK);
    ASSERT_EQ(QUIL_SetMask(kId, 2, 1, 1250, -7), QUIL_OK);
    ASSERT_EQ(QUIL_SetCalcMethod(kId, 1, 1, 6), QUIL_OK);
    ASSERT_EQ(QUIL_SetCalcMethod(kId, 2, 5, 0), QUIL_OK);
    ASSERT_EQ(QUIL_SetOutOperation(kId, 2, 6), QUIL_OK);
    ASSERT_EQ(QUIL_SetOutAddSub(kId, 2, 3, 4), QUIL_OK);
    ASSERT_EQ(QUIL_SetDisplayUnit(kId, 2, 1), QUIL_OK);
    ASSERT_EQ(QUIL_SetTolerance(kId, 2, 12345, -29, 100), QUIL_OK);
    ASSERT_EQ(QUIL_SetSamplingCycle(kId, 13), QUIL_OK);
    ASSERT_EQ(QUIL_SetRunningMode(kId, 1, 2), QUIL_OK);
    ASSERT_EQ(QUIL_SetEncoderMode(kId, 2, 500, 20), QUIL_OK);
    sim.model().setRegisterValue(4, 576, 6553600);
    ASSERT_EQ(QUIL_SetProgramNo(kId, 6), QUIL_OK);
    TiXmlDocument doc;
    ASSERT_TRUE(save(doc));
    int32_t p = -1;
    ASSERT_EQ(QUIL_GetProgramNo(kId, &p), QUIL_OK);
    EXPECT_EQ(p, 6) << "the active program selected again";

    const TiXmlElement* prog = program(doc, 3);
    auto at = [&](const std::string& block, const char* element) {
        return valueOf(
            find(prog, {block.rfind("Head", 0) == 0 ? "HeadParameter" : "OUTParameter", block.c_str(), element}));
    };
    EXPECT_EQ(at("Head02", "MedianIndex"), "2");
    EXPECT_EQ(valueOf(find(program(doc, 2), {"HeadParameter", "Head02", "MedianIndex"})), "0") << "program 2";
    EXPECT_EQ(at("Head02", "ShieldIndex"), "1");
    EXPECT_EQ(at("Head02", "Pos1"), "12.50") << "hundredths as the decimal number the load multiplies by 100";
    EXPECT_EQ(at("Head02", "Pos2"), "-0.07");
    EXPECT_EQ(at("Head02", "Pulse"), "0");
    EXPECT_EQ(at("Head04", "LaserPower"), "100") << "the upper half of the register, in every program";
    EXPECT_EQ(valueOf(find(program(doc, 0), {"HeadParameter", "Head04", "LaserPower"})), "100");
    EXPECT_EQ(at("OUT01", "CalModeIndex"), "1");
    EXPECT_EQ(at("OUT01", "OUTIndex"), "6");
    EXPECT_EQ(at("OUT01", "HeadIndex"), "(none)") << "not the mode's index";
    EXPECT_EQ(at("OUT02", "CalModeIndex"), "3");
    EXPECT_EQ(at("OUT02", "AVETypeIndex"), "3") << "method 5";
    EXPECT_EQ(at("OUT02", "CalSignIndex"), "(none)");
    EXPECT_EQ(at("OUT02", "OUTAIndex"), "2");
    EXPECT_EQ(at("OUT02", "OUTBIndex"), "3");
    EXPECT_EQ(at("OUT02", "ToleranceUpper"), "123.45");
    EXPECT_EQ(at("OUT02", "ToleranceLower"), "-0.29") << "a plain decimal";
    EXPECT_EQ(at("OUT02", "ToleranceDelay"), "1.00");
    EXPECT_EQ(at("OUT02", "MinimumDisplayUnitIndex"), "1");
    // The selection, and once more after the average type that the load
    // follows with selecting OUT1 alone.
    const TiXmlElement* out2 = find(prog, {"OUTParameter", "OUT02"});
    EXPECT_EQ(names(out2).substr(names(out2).size() - 31), "mReflactorVal AVEOUTSelectState");
    for (const TiXmlElement* sel = out2->FirstChildElement("AVEOUTSelectState"); sel;
         sel = sel->NextSiblingElement("AVEOUTSelectState")) {
        EXPECT_EQ(names(sel), "OUT01 OUT02 OUT03 OUT04");
        std::string states;
        for (const TiXmlElement* c = sel->FirstChildElement(); c; c = c->NextSiblingElement())
            states += c->Attribute("OUTState");
        EXPECT_EQ(states, "0110");
    }
    EXPECT_EQ(names(find(prog, {"OUTParameter", "OUT05", "AVEOUTSelectState"})), "") << "OUT5 has no selection";
    for (const char* none : {"MeasurementGoalIndex", "DetectModeIndex", "TriggerIndex", "ToleranceUpper"})
        EXPECT_EQ(at("OUT06", none), "(none)") << none << ": a setting of OUT1 to OUT4";
    for (const char* none : {"BasePointIndex", "MeasurementTypeIndex", "CutOffFrequencyIndex", "ZeroIndex",
                             "MoNiModeIndex", "MoNiMeasUp", "mReflactorVal"})
        EXPECT_EQ(at("OUT01", none), "(none)") << none << ": nothing reads it";
    const TiXmlElement* common = find(prog, {"CommonParameter"});
    EXPECT_EQ(valueOf(common->FirstChildElement("SamplingPeriodIndex")), "13") << "as the setter takes it";
    EXPECT_STREQ(find(common, {"SyncSettingOUTSelectState", "OUT04"})->Attribute("OUTState"), "0");
    EXPECT_EQ(find(common, {"SyncSettingOUTSelectState", "OUT05"})->Attribute("OUTState"), nullptr)
        << "the synchronization reads OUT1 to OUT4 only";
    EXPECT_STREQ(find(common, {"DataSaveOUTSelectState", "OUT08"})->Attribute("OUTState"), "1");
    EXPECT_STREQ(find(common, {"PreventMutalInterferenceHeadMode", "Head04"})->Attribute("HeadMode"), "0");

    const TiXmlElement* env = find(&doc, {"SettingFileInfo", "EnvironmentSet"});
    auto envValue = [&](const char* name) { return valueOf(env->FirstChildElement(name)); };
    EXPECT_EQ(envValue("OUTSetNumber"), "8");
    EXPECT_EQ(envValue("IpAddress"), sim.address());
    EXPECT_EQ(envValue("SubMaskCode"), "255.0.0.0");
    EXPECT_EQ(envValue("EncodeRunMode"), kRunModes[1].text);
    EXPECT_EQ(envValue("EncodeDetDir"), kDirections[2].text);
    EXPECT_EQ(envValue("EncodeInputMode"), kInputModes[2].text);
    EXPECT_EQ(envValue("EncodePoint"), "20");
    EXPECT_EQ(envValue("EncodeMinTime"), "500ns");
    EXPECT_EQ(envValue("TemperatureFactor"), "(none)");
}

TEST_F(SettingsSave, EncoderValuesOutsideTheTablesAndARefusedReadLeaveOnlyThoseValuesOut) {
    ASSERT_EQ(QUIL_SetEncoderMode(kId, 1, 2000, 5), QUIL_OK);
    TiXmlDocument doc;
    ASSERT_TRUE(save(doc));
    EXPECT_EQ(valueOf(find(&doc, {"SettingFileInfo", "EnvironmentSet", "EncodeMinTime"})), "2us");

    sim.script()
        .replyTo("SR,CJ", "SR,CJ,3,1\r\n")
        .replyTo("SR,CI", "SR,CI,4,0000001500,000010\r\n")
        .replyTo("SR,HG,02", "ER,SR,88\r\n")
        .replyTo("SR,EH,B", "ER,SR,99\r\n")
        .silenceTo("#J");  // the first head's power register: no answer in time
    ASSERT_TRUE(save(doc));
    EXPECT_EQ(valueOf(find(program(doc, 0), {"HeadParameter", "Head01", "LaserPower"})), "(none)");
    EXPECT_NE(valueOf(find(program(doc, 0), {"HeadParameter", "Head02", "LaserPower"})), "(none)");
    const TiXmlElement* env = find(&doc, {"SettingFileInfo", "EnvironmentSet"});
    EXPECT_EQ(valueOf(env->FirstChildElement("EncodeRunMode")), "(none)");
    EXPECT_EQ(valueOf(env->FirstChildElement("EncodeDetDir")), kDirections[1].text);
    EXPECT_EQ(valueOf(env->FirstChildElement("EncodeInputMode")), "(none)");
    EXPECT_EQ(valueOf(env->FirstChildElement("EncodePoint")), "10");
    EXPECT_EQ(valueOf(env->FirstChildElement("EncodeMinTime")), "(none)");
    EXPECT_EQ(valueOf(env->FirstChildElement("BaudRateIndex")), "(none)") << "not a made-up 0";
    EXPECT_EQ(valueOf(env->FirstChildElement("ParityIndex")), "(none)");
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
        const Lines lines = sim.receivedLines();
        EXPECT_EQ(lines.back(), "PW,2") << c.what << ": the active program selected again, nothing read after";
        int32_t p = -1;
        EXPECT_EQ(QUIL_GetProgramNo(kId, &p), QUIL_OK);
        EXPECT_EQ(p, 2) << c.what;
        sim.script().clear();
    }
    // Program 2 visited as usual, then its reselection at the end refused: the
    // controller is left on another program, and the save says so.
    sim.script().replyTo("PW,2", "PW\r\n").replyTo("PW,2", "ER,PW,88\r\n");
    EXPECT_EQ(QUIL_DeriveFormula(kId, path.c_str()), QUIL_ERROR_DEVICE_E88);
    EXPECT_TRUE(readBytes(path) == "old") << "the old file kept";
    EXPECT_EQ(sim.script().pending(), 0u) << "both rules fired";
    sim.script().clear();
    // Saving again replaces the whole file.
    TiXmlDocument doc;
    EXPECT_TRUE(save(doc));
    EXPECT_TRUE(save(doc));
    EXPECT_EQ(readBytes(path).rfind("<?xml", 0), 0u);
}

// The save replaces what the path names and keeps what the path is: a
// symbolic link stays a link and its target gets the settings, the file's
// permission bits stay, and a name as long as the system allows still saves.
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

// A save or load holds the device's session: once the device is closed,
// also when its number has been opened again for another controller, every
// call of the holder fails and reaches neither controller. A file never
// mixes two controllers, and a load never writes into the wrong one.
// Two documents compared setting by setting: a controller's settings read
// into memory, changed in one setting per block, read again.
struct Difference {
    int32_t program;
    std::string block, setting, a, b;
    bool operator==(const Difference&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Difference& d) {
    return o << d.program << " " << d.block << " " << d.setting << ": " << d.a << " | " << d.b;
}
// A setting a document lacks shows as "(none)".
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
    EXPECT_TRUE(differences(before, before).empty());
    ASSERT_EQ(QUIL_DeriveFormula(kId, path.c_str()), QUIL_OK);
    EXPECT_TRUE(differences(readBytes(path), before).empty()) << "a saved file and the text read in memory";

    ASSERT_EQ(quil::SetAutosendIndex(kId, 1), QUIL_OK);
    ASSERT_EQ(QUIL_SetProgramNo(kId, 3), QUIL_OK);
    ASSERT_EQ(QUIL_SetMedian(kId, 2, 3), QUIL_OK);
    ASSERT_EQ(QUIL_SetDisplayUnit(kId, 3, 4), QUIL_OK);
    ASSERT_EQ(QUIL_SetStrobeTime(kId, 2), QUIL_OK);
    const std::string after = settingsText(kId);
    const std::vector<Difference> rows = differences(before, after);
    ASSERT_EQ(rows.size(), 4u) << ::testing::PrintToString(rows);
    EXPECT_EQ(rows[0].program, -1);
    EXPECT_EQ(rows[0].block, "environment");
    EXPECT_EQ(rows[0].setting, "AutosendIndex");
    EXPECT_EQ(rows[0].b, "1");
    EXPECT_EQ((Difference{3, "head 2", "MedianIndex", rows[1].a, "3"}), rows[1]);
    EXPECT_EQ((Difference{3, "OUT 3", "MinimumDisplayUnitIndex", rows[2].a, "4"}), rows[2]);
    EXPECT_EQ(rows[3].program, 3);
    EXPECT_EQ(rows[3].block, "common");
    EXPECT_NE(rows[3].a, rows[3].b);

    // The file's own data only when asked for; a setting one document lacks.
    std::string edited = before;
    const size_t at = edited.find("SaveTime=\"");
    ASSERT_NE(at, std::string::npos);
    edited.insert(at + 10, "1");
    const size_t median = edited.find("<MedianIndex ");
    ASSERT_NE(median, std::string::npos);
    edited.erase(median, edited.find("/>", median) + 2 - median);
    const std::vector<Difference> lacking = differences(before, edited);
    ASSERT_EQ(lacking.size(), 1u) << ::testing::PrintToString(lacking);
    EXPECT_EQ((Difference{0, "head 1", "MedianIndex", lacking[0].a, "(none)"}), lacking[0]);
    const std::vector<Difference> all = differences(before, edited, QUIL_DIFF_ALL);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].block, "file");
    EXPECT_EQ(all[0].setting, "SaveTime/property");

    int32_t count = -1;
    EXPECT_EQ(quil_settings_diff(before.c_str(), "<a><b></a>", 0, nullptr, nullptr, &count), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(quil_settings_diff(before.c_str(), nullptr, 0, nullptr, nullptr, &count), QUIL_ERROR_NULL_POINTER);
    EXPECT_EQ(quil_settings_diff(before.c_str(), before.c_str(), 2, nullptr, nullptr, &count), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(quil_settings_text(kId, nullptr), QUIL_ERROR_NULL_POINTER);
    EXPECT_EQ(quil_settings_text(9, nullptr), QUIL_ERROR_OPEN);
}

TEST_F(SettingsSave, AHeldSessionEndsWithItsClose) {
    quil::sim::Simulator other(quil::sim::Options{.model = 5});
    ASSERT_TRUE(other.start());
    int32_t median = -1, power = -1;
    {
        const SessionHold held(kId);
        EXPECT_EQ(QUIL_GetMedian(kId, 1, &median), QUIL_OK);
        EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
        ASSERT_EQ(QUIL_OpenDeviceETHER(kId, other.ip().b, 2000), QUIL_OK);
        other.clearReceived();
        EXPECT_EQ(QUIL_GetMedian(kId, 1, &median), QUIL_ERROR_OPEN);
        EXPECT_EQ(readLaserPower(kId, 1, &power), QUIL_ERROR_OPEN);
        EXPECT_EQ(writeLaserPower(kId, 1, 7), QUIL_ERROR_OPEN);
        EXPECT_TRUE(other.receivedLines().empty());
    }
    EXPECT_EQ(QUIL_GetMedian(kId, 1, &median), QUIL_OK) << "other callers use the new session";
}

// The models 34 to 39 set their encoders per channel: the controller-wide
// encoder settings of the file stay without value.
class SettingsSaveEncoderModel : public SettingsSave {
protected:
    SettingsSaveEncoderModel() : SettingsSave(35) {}
};

TEST_F(SettingsSaveEncoderModel, EncoderSettingsWithoutValue) {
    TiXmlDocument doc;
    ASSERT_TRUE(save(doc));
    const TiXmlElement* env = find(&doc, {"SettingFileInfo", "EnvironmentSet"});
    for (const char* name : {"EncodeRunMode", "EncodeInputMode", "EncodePoint", "EncodeDetDir", "EncodeMinTime"})
        EXPECT_EQ(valueOf(env->FirstChildElement(name)), "(none)") << name;
    EXPECT_EQ(valueOf(find(program(doc, 7), {"CommonParameter", "SamplingPeriodIndex"})), "30");
}

// Trace lines: the load writes one of its own, its entry line; the
// controller settings commands trace under the source "communication".
class SettingsFileTrace : public ::testing::Test {
protected:
    // The first open of the process sets the log up from the INI file.
    void SetUp() override {
        ASSERT_TRUE(logDir.ok());
        logDir.writeIni(1, 3);
        ASSERT_TRUE(sim.start());
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
        ::testing::internal::GetCapturedStderr();
    }
    // The log, once the device is closed.
    std::string log() {
        EXPECT_EQ(QUIL_CloseDevice(0), QUIL_OK);
        return logDir.log();
    }
    quil::test::LogDir logDir;
    quil::sim::Simulator sim;
};

TEST_F(SettingsFileTrace, ANullPathLeavesTheEntryLineOnly) {
    EXPECT_EQ(QUIL_SetFormula(0, nullptr), QUIL_ERROR_NULL_POINTER);
    EXPECT_EQ(QUIL_DeriveFormula(0, nullptr), QUIL_ERROR_NULL_POINTER);
    const std::string text = log();
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\(QUIL_SetFormula:\d+\) DeviceID:0\n)"))) << text;
    int formulaLines = 0;
    for (std::size_t at = text.find("Formula"); at != std::string::npos; at = text.find("Formula", at + 1))
        ++formulaLines;
    EXPECT_EQ(formulaLines, 1) << text;
}

TEST_F(SettingsFileTrace, ControllerSettingsLinesNameTheCommunicationSource) {
    // The library's own line format leaves the source file out; show it here.
    elog_set_fmt(ELOG_LVL_ERROR, ELOG_FMT_LEVEL | ELOG_FMT_FILE | ELOG_FMT_FUNC | ELOG_FMT_LINE);
    char address[kDottedAddressSize] = {};
    uint8_t type = 0;
    sim.script()
        .replyOnce("SR,EH,I,127000000042\r\n")
        .replyOnce("SR,EH,M,255000000000\r\n")
        .replyOnce("SR,CP,1\r\n")
        .replyOnce("ER,SW,88\r\n")
        .replyOnce("SW,VJ\r\n");
    EXPECT_EQ(GetIPAddress(0, address), QUIL_OK);
    EXPECT_EQ(GetSubnetMask(0, address), QUIL_OK);
    EXPECT_EQ(GetOUTNum(0, &type), QUIL_OK);
    EXPECT_EQ(SetInOut_In(0, 2), QUIL_ERROR_DEVICE_E88);
    EXPECT_EQ(SetMoNiMeasUpDown(0, 2, 1.5, -0.25), QUIL_OK);

    const std::string text = log();
    for (const char* expected : {
             "(communication GetSubnetMask:",
             "(communication GetOUTNum:",
             ")Success DeviceID:0 type:1\n",
             "(communication SetInOut_In:",
             ") send command fail DeviceID:0 rc:8196\n",
             ")Success DeviceID:0 OutNo:2 of_up:+000150 of_down:-000025 rc:0\n",
         })
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
    // GetIPAddress writes its entry and success lines without the leading
    // blank, GetSubnetMask with it.
    for (const char* line : {R"(\(communication GetIPAddress:\d+\)DeviceID:0\n)",
                             R"(\(communication GetIPAddress:\d+\)Success DeviceID:0\n)",
                             R"(\(communication GetSubnetMask:\d+\) Success DeviceID:0\n)"})
        EXPECT_TRUE(std::regex_search(text, std::regex(line))) << line << "\n---\n" << text;
}

}  // namespace
