// Trace log: INI and level filter, line frame, rotation, path limits, and where
// the log goes. Each test case runs in a process of its own (set-up once).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "elog/elog.h"
#include "elog/elog_file.h"
#include "elog/log_setup.h"
#include "log_dir.h"
#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

namespace fs = std::filesystem;
using quil::test::LogDir;
using quil::test::logText;
using quil::test::readBytes;
using quil::test::writeText;

constexpr const char* kVerboseIni = "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=5\r\n";

// Makes a directory below root, length characters long, the application's.
fs::path useDirOfLength(const std::string& root, std::size_t length) {
    fs::path p = root;
    while (p.string().size() < length) {
        const std::size_t room = length - p.string().size() - 1;  // minus the separator
        p /= std::string(room > 200 ? 100 : room, 'd');           // short of the 255 limit, never empty
    }
    fs::create_directories(p);
    quil::platform::overrideApplicationDirectory(p.string());
    return p;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs the library's log set-up; what it printed.
std::string runSetup() {
    testing::internal::CaptureStderr();
    elog_setup_library_log();
    return testing::internal::GetCapturedStderr();
}

// One line per level; the level letters of the lines that reached the log.
void logEveryLevel() {
    for (std::uint8_t lvl = ELOG_LVL_ASSERT; lvl <= ELOG_LVL_VERBOSE; ++lvl)
        elog_output(lvl, "NO_TAG", __FILE__, "QUIL_Test", 10, " level:%d", lvl);
}
std::string levelLetters(const std::string& text) {
    std::string letters;
    for (const std::string& line : linesOf(text)) letters += line.substr(0, 1);
    return letters;
}

// A verbose log in a directory of the test's own.
class Elog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        writeText(dir.file("EnableLogout.ini"), kVerboseIni);
        ASSERT_EQ(runSetup(), "FILE FIND enableLog:1 levelLog:5\r\n");
    }
    LogDir dir;
};

// What the set-up prints and which levels reach the log, for an INI's text.
struct IniCase {
    const char *name, *ini, *printed;
    const char* letters;  // levels whose lines reach the file
};
void PrintTo(const IniCase& c, std::ostream* os) { *os << c.name; }
class ElogIniLevels : public testing::TestWithParam<IniCase> {};

TEST_P(ElogIniLevels, WritesOnlyLevelsTheFileAllows) {
    const IniCase& c = GetParam();
    LogDir dir;
    if (c.ini && std::strcmp(c.ini, "(folder)") == 0)
        fs::create_directory(dir.file("EnableLogout.ini"));
    else if (c.ini)
        writeText(dir.file("EnableLogout.ini"), c.ini);
    EXPECT_EQ(runSetup(), c.printed);
    EXPECT_TRUE(fs::exists(dir.file("EnableLogout.ini")));
    logEveryLevel();
    EXPECT_EQ(levelLetters(dir.log()), c.letters);
    EXPECT_EQ(fs::exists(dir.file("QUILLinkFile.log")), *c.letters != '\0') << "no line, no file";
}

INSTANTIATE_TEST_SUITE_P(
    Elog, ElogIniLevels,
    testing::Values(IniCase{"Missing", nullptr, "FILE FIND enableLog:0 levelLog:1\r\n", ""},
                    IniCase{"Folder", "(folder)", "FILE NOT FIND\r\n", ""},
                    IniCase{"Errors", "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=1\r\n",
                            "FILE FIND enableLog:1 levelLog:1\r\n", "AE"},
                    // Out of range falls back to the send confirmations' level.
                    IniCase{"TooHighIsInfo", "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=9\r\n",
                            "FILE FIND enableLog:1 levelLog:3\r\n", "AEWI"},
                    IniCase{"LevelMissingIsWarn", "[EnableOutput]\r\nEnable=1\r\n",
                            "FILE FIND enableLog:1 levelLog:2\r\n", "AEW"},
                    // Any non-zero Enable switches on; names match without regard to case.
                    IniCase{"AnyCaseNonZeroEnable", "[enableoutput]\r\nENABLE=7\r\n[LEVELOUTPUT]\r\nlevel=0\r\n",
                            "FILE FIND enableLog:7 levelLog:0\r\n", "A"}),
    [](const testing::TestParamInfo<IniCase>& p) { return std::string(p.param.name); });

TEST(ElogIni, ApplyRejectsLevelOutOfRange) {
    LogDir dir;
    elog_start();  // ignored before the initialisation
    elog_init(dir.path().c_str());
    for (std::uint8_t lvl = ELOG_LVL_ASSERT; lvl <= ELOG_LVL_VERBOSE; ++lvl) elog_set_fmt(lvl, ELOG_FMT_LEVEL);
    logEveryLevel();
    EXPECT_EQ(ApplyLogSetting(1, 2), 0);
    EXPECT_EQ(ApplyLogSetting(1, 6), 4103);  // output stays on, the filter at 2
    logEveryLevel();
    EXPECT_EQ(ApplyLogSetting(0, 5), 0);
    logEveryLevel();
    EXPECT_EQ(dir.log(), "A/ level:0\nE/ level:1\nW/ level:2\n");
}

TEST_F(Elog, LongMessageIsCutTo512Bytes) {
    auto lineFor = [&](const std::string& msg) {
        const std::size_t before = dir.log().size();
        elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_Test", 10, "%s", msg.c_str());
        return dir.log().substr(before);
    };
    const std::size_t header = lineFor("").size() - 1;
    const std::size_t fits = 511 - header;  // the longest message kept whole
    for (const std::size_t length : {fits, fits + 1, std::size_t{2000}}) {
        std::string msg(length, 'x');
        msg.back() = 'Z';  // shows whether the message's end survived
        const std::string line = lineFor(msg);
        ASSERT_EQ(line.size(), 512u) << length;
        EXPECT_EQ(line.find('\n'), 511u);
        EXPECT_EQ(line[510] == 'Z', length == fits) << length;
    }
}

// The library's line frame, whole however many threads write.
TEST_F(Elog, ConcurrentLinesStayWholeInTheLibrarysFrame) {
    constexpr int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int n = 0; n < kLines; ++n)
                elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_Worker", 99, " T:%d N:%d payload-payload", t, n);
        });
    for (std::thread& th : threads) th.join();
    const std::vector<std::string> lines = linesOf(dir.log());
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    std::set<std::string> seen(lines.begin(), lines.end());
    EXPECT_EQ(seen.size(), lines.size()) << "every line once";
    const std::regex frame(R"(E/NO_TAG   \[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} pid:\d+ tid:\d+\] )"
                           R"(\(QUIL_Worker:99\) T:\d+ N:\d+ payload-payload)");
    for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, frame)) << line;
}

// Configures the rotated file, and writes, under the output lock.
void rotated(const std::string& name, std::uint32_t maxSize, std::uint32_t maxRotate) {
    ElogFileCfg cfg{};
    std::snprintf(cfg.name, sizeof cfg.name, "%s", name.c_str());
    cfg.max_size = maxSize;
    cfg.max_rotate = maxRotate;
    elog_output_lock();
    elog_file_config(&cfg);
    elog_output_unlock();
}
void write(const std::string& bytes) {
    elog_output_lock();
    elog_file_write(bytes.data(), bytes.size());
    elog_output_unlock();
}

TEST(ElogFile, RotatesOnlyPastMaxSize) {
    LogDir dir;
    elog_init(dir.path().c_str());
    const std::string base = dir.file("rot.log");
    rotated(base, 100, 3);
    EXPECT_FALSE(fs::exists(base)) << "the first line creates the file";
    write(std::string(100, 'a'));
    write("b");  // a file of exactly max_size takes one more line
    EXPECT_FALSE(fs::exists(base + ".0"));
    write("c");
    EXPECT_EQ(readBytes(base), "c");
    EXPECT_EQ(readBytes(base + ".0"), std::string(100, 'a') + "b");
    for (char g : std::string("defgh")) write(std::string(101, g));
    const std::string kept[] = {"h", "g", "f", "e"};  // .0 newest, .2 oldest
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(readBytes(i ? base + "." + std::to_string(i - 1) : base), std::string(101, kept[i][0])) << i;
    EXPECT_FALSE(fs::exists(base + ".3"));
}

TEST(ElogFile, FailedRotationDropsLineAndKeepsGrowing) {
    LogDir dir;
    elog_init(dir.path().c_str());
    const std::string base = dir.file("rot.log");
    fs::create_directories(base + ".0/keep");  // the rename to .0 fails
    rotated(base, 4, 2);
    write("12345");
    write("dropped");
    EXPECT_EQ(readBytes(base), "12345");
    fs::remove_all(base + ".0");
    write("ok");
    EXPECT_EQ(readBytes(base), "ok");
    EXPECT_EQ(readBytes(base + ".0"), "12345");
}

TEST(ElogFile, PathLimitOfConfiguredNames) {
    LogDir dir;
    elog_init(dir.path().c_str());
    // Rotated names add ".19" with 20 files, ".9" with 10, and the whole name
    // must leave room for its terminator.
    const struct {
        std::size_t nameLen;
        std::uint32_t maxRotate;
        bool opens;
    } cases[] = {{252, 20, true}, {253, 20, false}, {253, 10, true}, {254, 10, false}, {255, 0, true}};
    for (const auto& c : cases) {
        const fs::path parent = useDirOfLength(dir.path(), c.nameLen - 4);
        const std::string name = (parent / "log").string();
        rotated(name, 1, c.maxRotate);
        write("xy");
        write("z");  // rotates when the name is usable
        EXPECT_EQ(fs::exists(name), c.opens) << c.nameLen;
        EXPECT_EQ(fs::exists(name + ".0"), c.opens && c.maxRotate > 0) << c.nameLen;
        rotated("", 0, 0);  // an open file keeps its directory on Windows
        fs::remove_all(parent);
    }
}

// "/QUILLinkFile.log" and its ".19" rotation must fit the path buffer.
std::string logInDirOfLength(std::size_t length) {
    LogDir dir;
    const fs::path app = useDirOfLength(dir.path(), length);
    writeText((app / "EnableLogout.ini").string(), kVerboseIni);
    EXPECT_EQ(runSetup(), "FILE FIND enableLog:1 levelLog:5\r\n");
    logEveryLevel();
    return fs::exists(app / "QUILLinkFile.log") ? levelLetters(logText(app / "QUILLinkFile.log")) : "(no file)";
}
TEST(ElogFile, LongestUsableApplicationDirectoryLogs) { EXPECT_EQ(logInDirOfLength(255 - 17 - 3), "AEWIDV"); }
TEST(ElogFile, TooLongApplicationDirectoryWritesNothing) { EXPECT_EQ(logInDirOfLength(255 - 17 - 3 + 1), "(no file)"); }

TEST(ElogDeathTest, WriteBeforeInitHaltsInsteadOfHanging) {
    LogDir dir;
    // The check fails while the output lock is held; the halt must not wait
    // for that lock again.
    EXPECT_DEATH(
        {
            rotated(dir.file("QUILLinkFile.log"), 1000, 0);
            elog_set_fmt(ELOG_LVL_ERROR, 223);
            elog_set_filter_lvl(ELOG_LVL_VERBOSE);
            elog_set_output_enabled(true);
            elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_Test", 10, "line");
        },
        "");
}

// Opens and closes a simulated controller; what the open printed.
std::string openOnce() {
    quil::sim::Simulator sim;
    EXPECT_TRUE(sim.start());
    testing::internal::CaptureStderr();
    EXPECT_EQ(QUIL_OpenDeviceETHER(0, sim.ip().b, 2000), QUIL_OK);
    QUIL_CloseDevice(0);
    return testing::internal::GetCapturedStderr();
}

TEST(LogConfig, ChosenDirectoryAndLevelWithoutAnyIni) {
    LogDir app, chosen;
    ASSERT_EQ(quil_log_configure(chosen.path().c_str(), 1, 5), QUIL_OK);
    EXPECT_EQ(openOnce(), "") << "no INI is read, so nothing is reported";
    EXPECT_FALSE(fs::exists(chosen.file("EnableLogout.ini")));
    EXPECT_FALSE(fs::exists(app.file("EnableLogout.ini")));
    EXPECT_NE(chosen.log().find("QUIL_OpenDeviceETHER"), std::string::npos);
    EXPECT_EQ(quil_log_configure(app.path().c_str(), 0, 1), QUIL_ERROR_OPEN) << "too late once the log is set up";
}

TEST(LogConfig, LoggingSwitchedOffCreatesNoFile) {
    LogDir app, chosen;
    EXPECT_EQ(quil_log_configure(nullptr, 3, 1), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(quil_log_configure(nullptr, 1, 6), QUIL_ERROR_PARAMETER);
    ASSERT_EQ(quil_log_configure(chosen.path().c_str(), 0, 5), QUIL_OK);
    EXPECT_EQ(openOnce(), "");
    EXPECT_TRUE(fs::is_empty(chosen.path())) << "neither an INI nor a log file";
    EXPECT_TRUE(fs::is_empty(app.path()));
}

TEST(LogConfig, EnvironmentMovesTheIniAndTheLog) {
    LogDir app, moved;
    moved.writeIni(1, 5);
    quil::test::setEnvironment("QUIL_LOG_DIR", moved.path());
    EXPECT_EQ(openOnce(), "FILE FIND enableLog:1 levelLog:5\r\n");
    EXPECT_NE(moved.log().find("QUIL_OpenDeviceETHER"), std::string::npos);
    EXPECT_FALSE(fs::exists(app.file("EnableLogout.ini")));
}

// Quiet changes only the console.
TEST(LogConfig, QuietFlagKeepsTheIni) {
    LogDir app;
    app.writeIni(0, 1);
    ASSERT_EQ(quil_log_configure(nullptr, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 99), QUIL_OK) << "the level is the INI's";
    EXPECT_EQ(openOnce(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(QUIL_EthernetOpen(1, quil::sim::freeLoopbackAddress().c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
