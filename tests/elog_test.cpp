// Trace log: INI switching, line layout and cutting, rotation, path limits,
// concurrent writers and the logger's own failed checks. Every test case runs
// in a process of its own, so the once-per-process set-up starts fresh.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "elog/elog.h"
#include "elog/elog_file.h"
#include "elog/log_setup.h"
#include "log_dir.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using quil::test::logText;
using quil::test::textLineEnd;

constexpr const char* kDefaultIniBytes =
    "[EnableOutput]\r\nEnable=0\r\n[LevelOutput]\r\nLevel=1\r\n"
    "[StartBatchReadRegister]\r\nRegister=\r\n[EndBatchReadRegister]\r\nRegister=";

// Time, process id and thread id as every line with the library's mask carries
// them, as a shape for fitsShape.
constexpr const char* kStamp = "[##-## ##:##:##.### pid:* tid:*] ";

// A directory of this process's own, made the application directory, so
// parallel test processes never share a log or an INI file.
class AppDir {
public:
    AppDir() {
        // A death test's child process on Windows is a new run of the test
        // program that runs the test from its start up to the statement
        // that dies: it takes over the directory of the process that
        // started it, named in the environment, as it is.
        if (const char* inherited = std::getenv(kInheritedVariable); inherited && *inherited) {
            root_ = inherited;
            use(root_);
            return;
        }
        root_ = fs::temp_directory_path() / ("quil-elog-" + std::to_string(quil::platform::processId()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        owner_ = true;
        environmentEntry() = std::string(kInheritedVariable) + "=" + root_.string();
        putenv(environmentEntry().data());
        use(root_);
    }
    ~AppDir() {
        if (!owner_) return;
        static std::string cleared = std::string(kInheritedVariable) + "=";
        putenv(cleared.data());
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    AppDir(const AppDir&) = delete;
    AppDir& operator=(const AppDir&) = delete;

    const fs::path& root() const { return root_; }
    fs::path log() const { return dir_ / "QUILLinkFile.log"; }
    fs::path ini() const { return dir_ / "EnableLogout.ini"; }

    // Creates (nested) directories below the root so that the directory's
    // path is exactly length characters long, and makes it the application
    // directory.
    fs::path useDirOfLength(std::size_t length) {
        fs::path p = root_;
        while (p.string().size() < length) {
            const std::size_t room = length - p.string().size() - 1;  // minus the separator
            // Keep every component short of the file system's 255 limit and
            // never leave a remainder of zero.
            const std::size_t part = room > 200 ? 100 : room;
            p /= std::string(part, 'd');
        }
        fs::create_directories(p);
        use(p);
        return p;
    }

private:
    static constexpr const char* kInheritedVariable = "QUIL_TEST_APP_DIR";
    // putenv keeps the string itself: it must outlive the entry.
    static std::string& environmentEntry() {
        static std::string entry;
        return entry;
    }

    void use(const fs::path& dir) {
        dir_ = dir;
        quil::platform::overrideApplicationDirectory(dir.string());
    }

    fs::path root_;
    fs::path dir_;
    bool owner_ = false;
};

std::string slurp(const fs::path& path) { return quil::test::readBytes(path); }

void spit(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// What the log gained since its text was offset bytes long.
std::string appendedSince(const fs::path& path, std::size_t offset) { return logText(path).substr(offset); }

// Whether text has the given shape: '#' stands for one digit, '*' for one or
// more digits (collected into fields), anything else for itself.
bool fitsShape(const std::string& text, const std::string& shape, std::vector<std::string>* fields = nullptr) {
    std::size_t t = 0;
    for (const char s : shape) {
        if (s == '#' || s == '*') {
            const std::size_t start = t;
            while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t])) && (s == '*' || t == start))
                ++t;
            if (t == start) return false;
            if (s == '*' && fields != nullptr) fields->push_back(text.substr(start, t - start));
        } else if (t >= text.size() || text[t++] != s) {
            return false;
        }
    }
    return t == text.size();
}

// An id as "%04ld" prints it, cut to the five digits the header has room for.
std::string idText(long id) {
    std::string text = std::to_string(id);
    if (text.size() < 4) text.insert(0, 4 - text.size(), '0');
    return text.substr(0, 5);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated tail
    return lines;
}

// Runs the library's log set-up and returns what it printed on standard output.
std::string runSetup() {
    testing::internal::CaptureStderr();
    elog_setup_library_log();
    return testing::internal::GetCapturedStderr();
}

// One line per level, each naming its level, as the library's call sites write them.
void logEveryLevel() {
    for (std::uint8_t lvl = ELOG_LVL_ASSERT; lvl <= ELOG_LVL_VERBOSE; ++lvl)
        elog_output(lvl, "NO_TAG", __FILE__, "QUIL_Test", 10, " level:%d", lvl);
}

// Letters ("E" for "E/...") of the lines in text.
std::string levelLetters(const std::string& text) {
    std::string letters;
    for (const std::string& line : linesOf(text)) letters += line.substr(0, 1);
    return letters;
}

// Logging switched on for every level with the library's own masks.
void setupVerbose(const AppDir& dir) {
    spit(dir.ini(), "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=5\r\n");
    ASSERT_EQ(runSetup(), "FILE FIND enableLog:1 levelLog:5\r\n");
}

// ------------------------------------------------------------------ INI

TEST(ElogIni, MissingFileIsCreatedWithLoggingOff) {
    AppDir dir;
    EXPECT_EQ(runSetup(), "FILE FIND enableLog:0 levelLog:1\r\n");
    EXPECT_EQ(slurp(dir.ini()), kDefaultIniBytes);

    logEveryLevel();
    // With logging off no line is written, so no log file is created.
    EXPECT_FALSE(fs::exists(dir.log()));
}

TEST(ElogIni, UncreatableFileReportsNotFoundAndStaysOff) {
    AppDir dir;
    fs::create_directory(dir.ini());  // neither readable nor creatable as a file
    EXPECT_EQ(runSetup(), "FILE NOT FIND\r\n");

    logEveryLevel();
    EXPECT_FALSE(fs::exists(dir.log()));
}

TEST(ElogIni, ReadOncePerProcess) {
    AppDir dir;
    spit(dir.ini(), "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=1\r\n");
    EXPECT_EQ(runSetup(), "FILE FIND enableLog:1 levelLog:1\r\n");

    // Edits made while the process runs change nothing.
    spit(dir.ini(), "[EnableOutput]\r\nEnable=0\r\n[LevelOutput]\r\nLevel=5\r\n");
    int enable = -7;
    int level = -7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadLogIni(quil::platform::applicationDirectory(), &enable, &level), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(enable, -7);
    EXPECT_EQ(level, -7);

    // A second initialisation does not move the log elsewhere either.
    const fs::path first = dir.log();
    const fs::path other = dir.useDirOfLength(dir.root().string().size() + 10);
    EXPECT_EQ(elog_init(other.string().c_str()), 0);

    logEveryLevel();
    EXPECT_EQ(levelLetters(logText(first)), "AE");
    EXPECT_FALSE(fs::exists(dir.log()));
}

struct IniCase {
    const char* name;
    const char* ini;
    const char* printed;
    const char* letters;  // levels whose lines reach the file
};

void PrintTo(const IniCase& c, std::ostream* os) { *os << c.name; }

class ElogIniLevels : public testing::TestWithParam<IniCase> {};

TEST_P(ElogIniLevels, WritesOnlyLevelsTheFileAllows) {
    const IniCase& c = GetParam();
    AppDir dir;
    spit(dir.ini(), c.ini);
    EXPECT_EQ(runSetup(), c.printed);
    logEveryLevel();
    EXPECT_EQ(levelLetters(logText(dir.log())), c.letters);
}

INSTANTIATE_TEST_SUITE_P(
    Elog, ElogIniLevels,
    testing::Values(
        IniCase{"Off", "[EnableOutput]\r\nEnable=0\r\n[LevelOutput]\r\nLevel=5\r\n",
                "FILE FIND enableLog:0 levelLog:5\r\n", ""},
        IniCase{"Errors", "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=1\r\n",
                "FILE FIND enableLog:1 levelLog:1\r\n", "AE"},
        IniCase{"Info", "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=3\r\n",
                "FILE FIND enableLog:1 levelLog:3\r\n", "AEWI"},
        // Out of range falls back to the send confirmations' level.
        IniCase{"TooHighIsInfo", "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=9\r\n",
                "FILE FIND enableLog:1 levelLog:3\r\n", "AEWI"},
        IniCase{"NegativeIsInfo", "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=-1\r\n",
                "FILE FIND enableLog:1 levelLog:3\r\n", "AEWI"},
        IniCase{"LevelMissingIsWarn", "[EnableOutput]\r\nEnable=1\r\n", "FILE FIND enableLog:1 levelLog:2\r\n", "AEW"},
        // Any non-zero Enable switches on; names match without regard to case.
        IniCase{"AnyCaseNonZeroEnable", "[enableoutput]\r\nENABLE=7\r\n[LEVELOUTPUT]\r\nlevel=0\r\n",
                "FILE FIND enableLog:7 levelLog:0\r\n", "A"},
        IniCase{"EnableMissingIsOff", "[LevelOutput]\r\nLevel=5\r\n", "FILE FIND enableLog:0 levelLog:5\r\n", ""}),
    [](const testing::TestParamInfo<IniCase>& p) { return std::string(p.param.name); });

TEST(ElogIni, ApplyRejectsLevelOutOfRange) {
    AppDir dir;
    // Before initialisation switching on is ignored.
    elog_start();
    elog_init(dir.root().string().c_str());
    for (std::uint8_t lvl = ELOG_LVL_ASSERT; lvl <= ELOG_LVL_VERBOSE; ++lvl) elog_set_fmt(lvl, ELOG_FMT_LEVEL);
    logEveryLevel();
    EXPECT_EQ(logText(dir.log()), "");

    EXPECT_EQ(ApplyLogSetting(1, 2), 0);
    EXPECT_EQ(ApplyLogSetting(1, 6), 4103);  // output stays on, filter stays at 2
    logEveryLevel();
    EXPECT_EQ(ApplyLogSetting(0, 5), 0);
    logEveryLevel();
    const std::string& end = textLineEnd();
    EXPECT_EQ(slurp(dir.log()), "A/ level:0" + end + "E/ level:1" + end + "W/ level:2" + end);
}

// ------------------------------------------------------------------ lines

TEST(ElogLine, LibraryMaskLayout) {
    AppDir dir;
    setupVerbose(dir);
    elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_OpenDeviceETHER", 47, " DeviceID:%d", 0);

    const std::string text = logText(dir.log());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(lines.size(), 1u);
    std::vector<std::string> ids;
    ASSERT_TRUE(fitsShape(lines[0], std::string("E/NO_TAG   ") + kStamp + "(QUIL_OpenDeviceETHER:47) DeviceID:0", &ids))
        << lines[0];
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], idText(quil::platform::processId()));
    EXPECT_EQ(ids[1], idText(quil::platform::threadId()));
}

TEST(ElogLine, HeaderFieldsFollowTheMask) {
    AppDir dir;
    setupVerbose(dir);
    struct Case {
        std::uint8_t level;
        std::uint32_t mask;
        const char* tag;
        long line;
        std::string expected;  // shape of the whole line without its newline
    };
    const std::string stamp = kStamp;
    const std::vector<Case> cases = {
        {ELOG_LVL_ASSERT, ELOG_FMT_LEVEL, "T", 1, "A/msg"},
        {ELOG_LVL_WARN, ELOG_FMT_LEVEL | ELOG_FMT_TAG, "NO_TAG", 1, "W/NO_TAG   msg"},
        // Exactly eight characters get no filler; longer tags are kept whole.
        {ELOG_LVL_INFO, ELOG_FMT_LEVEL | ELOG_FMT_TAG, "ABCDEFGH", 1, "I/ABCDEFGH msg"},
        {ELOG_LVL_DEBUG, ELOG_FMT_LEVEL | ELOG_FMT_TAG, "ABCDEFGHIJ", 1, "D/ABCDEFGHIJ msg"},
        {ELOG_LVL_VERBOSE, ELOG_FMT_TAG, "", 1, "         msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_TIME, "T", 1, "[##-## ##:##:##.###] msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_TIME | ELOG_FMT_THREAD, "T", 1, "[##-## ##:##:##.### tid:*] msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_PROCESS, "T", 1, "[pid:*] msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_PROCESS | ELOG_FMT_THREAD, "T", 1, "[pid:* tid:*] msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_FILE | ELOG_FMT_FUNC | ELOG_FMT_LINE, "T", 12, "(src.cpp Func:12)msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_FILE | ELOG_FMT_LINE, "T", 12, "(src.cpp:12)msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_FILE | ELOG_FMT_FUNC, "T", 12, "(src.cpp Func)msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_FILE, "T", 12, "(src.cpp)msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_LINE, "T", 12, "(12)msg"},
        // The line number is cut to four characters.
        {ELOG_LVL_ERROR, ELOG_FMT_FUNC | ELOG_FMT_LINE, "T", 123456, "(Func:1234)msg"},
        {ELOG_LVL_ERROR, ELOG_FMT_FUNC | ELOG_FMT_LINE, "T", -42, "(Func:-42)msg"},
        {ELOG_LVL_ERROR, 0, "T", 1, "msg"},
        {ELOG_LVL_ERROR, 0xFF, "NO_TAG", 7, "E/NO_TAG   " + stamp + "(src.cpp Func:7)msg"},
    };
    for (const Case& c : cases) {
        const std::size_t before = logText(dir.log()).size();
        elog_set_fmt(c.level, c.mask);
        elog_output(c.level, c.tag, "src.cpp", "Func", c.line, "%s", "msg");
        const std::string text = appendedSince(dir.log(), before);
        ASSERT_FALSE(text.empty()) << c.expected;
        EXPECT_EQ(text.back(), '\n');
        EXPECT_TRUE(fitsShape(text.substr(0, text.size() - 1), c.expected)) << "mask " << c.mask << ": " << text;
    }
}

TEST(ElogLine, LongMessageIsCutTo512Bytes) {
    AppDir dir;
    setupVerbose(dir);
    auto lineFor = [&dir](const std::string& msg) {
        const std::size_t before = logText(dir.log()).size();
        elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_Test", 10, "%s", msg.c_str());
        return appendedSince(dir.log(), before);
    };
    const std::size_t header = lineFor("").size() - 1;
    ASSERT_GT(header, 40u);

    struct Case {
        std::size_t msgLen;
        std::size_t lineLen;
        bool cut;
    };
    const std::size_t fits = 511 - header;  // the longest message kept whole
    for (const Case& c : {Case{fits - 1, 511, false}, Case{fits, 512, false}, Case{fits + 1, 512, true},
                          Case{fits + 2, 512, true}, Case{2000, 512, true}}) {
        std::string msg(c.msgLen, 'x');
        msg.back() = 'Z';  // shows whether the message's end survived
        const std::string line = lineFor(msg);
        ASSERT_EQ(line.size(), c.lineLen) << "message of " << c.msgLen;
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_EQ(line[line.size() - 2] == 'Z', !c.cut) << "message of " << c.msgLen;
        EXPECT_EQ(line.substr(header, line.size() - 1 - header), msg.substr(0, line.size() - 1 - header));
    }
}

TEST(ElogLine, StrcpyStopsAtLineLimit) {
    char buf[ELOG_LINE_BUF_SIZE + 8];
    std::memset(buf, '.', sizeof buf);
    EXPECT_EQ(elog_strcpy(0, buf, "abc"), 3u);
    EXPECT_EQ(elog_strcpy(509, buf + 509, "abcdef"), 3u);
    EXPECT_EQ(elog_strcpy(ELOG_LINE_BUF_SIZE, buf + ELOG_LINE_BUF_SIZE, "abc"), 0u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(std::string(buf + 509, 3), "abc");
    EXPECT_EQ(buf[ELOG_LINE_BUF_SIZE], '.');
}

TEST(ElogLine, ConcurrentLinesStayWhole) {
    AppDir dir;
    setupVerbose(dir);
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    std::vector<long> tids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &tids] {
            tids[t] = quil::platform::threadId();
            for (int n = 0; n < kLines; ++n)
                elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_Worker", 99, " T:%d N:%d %s", t, n,
                            "payload-payload-payload-payload-payload");
        });
    }
    for (std::thread& th : threads) th.join();

    const std::string shape =
        std::string("E/NO_TAG   ") + kStamp + "(QUIL_Worker:99) T:* N:* payload-payload-payload-payload-payload";
    const std::vector<std::string> lines = linesOf(logText(dir.log()));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;  // pid, tid, T, N
        ASSERT_TRUE(fitsShape(line, shape, &fields)) << line;
        const int t = std::stoi(fields[2]);
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(fields[1], idText(tids[t])) << line;
        EXPECT_TRUE(seen.emplace(t, std::stoi(fields[3])).second) << "twice: " << line;
    }
}

// ------------------------------------------------------------------ file

TEST(ElogFile, RotatesOnlyPastMaxSize) {
    AppDir dir;
    elog_init(dir.root().string().c_str());
    ElogFileCfg cfg{};
    const std::string base = (dir.root() / "rot.log").string();
    std::snprintf(cfg.name, sizeof cfg.name, "%s", base.c_str());
    cfg.max_size = 100;
    cfg.max_rotate = 3;

    auto write = [](const std::string& bytes) {
        elog_output_lock();
        elog_file_write(bytes.data(), bytes.size());
        elog_output_unlock();
    };
    elog_output_lock();
    elog_file_config(&cfg);
    elog_output_unlock();
    EXPECT_FALSE(fs::exists(base)) << "the first line creates the file";

    // A file of exactly max_size takes one more line.
    write(std::string(100, 'a'));
    write("b");
    EXPECT_EQ(slurp(base), std::string(100, 'a') + "b");
    EXPECT_FALSE(fs::exists(base + ".0"));

    // One byte past it, the next line starts a new file.
    write("c");
    EXPECT_EQ(slurp(base), "c");
    EXPECT_EQ(slurp(base + ".0"), std::string(100, 'a') + "b");

    // Each oversized write moves the chain on: .0 newest, .2 oldest, no .3.
    const std::string gens = "defgh";
    for (char g : gens) write(std::string(101, g));
    EXPECT_EQ(slurp(base), std::string(101, 'h'));
    EXPECT_EQ(slurp(base + ".0"), std::string(101, 'g'));
    EXPECT_EQ(slurp(base + ".1"), std::string(101, 'f'));
    EXPECT_EQ(slurp(base + ".2"), std::string(101, 'e'));
    EXPECT_FALSE(fs::exists(base + ".3"));
    std::size_t files = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(dir.root()))
        if (e.path().filename().string().rfind("rot.log", 0) == 0) ++files;
    EXPECT_EQ(files, 4u);
}

TEST(ElogFile, FailedRotationDropsLineAndKeepsGrowing) {
    AppDir dir;
    elog_init(dir.root().string().c_str());
    ElogFileCfg cfg{};
    const std::string base = (dir.root() / "rot.log").string();
    std::snprintf(cfg.name, sizeof cfg.name, "%s", base.c_str());
    cfg.max_size = 4;
    cfg.max_rotate = 2;
    // A non-empty directory where the newest rotated file should go makes the
    // rename fail.
    fs::create_directories(base + ".0/keep");

    elog_output_lock();
    elog_file_config(&cfg);
    elog_file_write("12345", 5);
    elog_file_write("dropped", 7);
    elog_file_write("again", 5);
    elog_output_unlock();
    EXPECT_EQ(slurp(base), "12345");
    EXPECT_TRUE(fs::is_directory(base + ".0/keep"));

    // Once the obstacle is gone the next line rotates normally.
    fs::remove_all(base + ".0");
    elog_output_lock();
    elog_file_write("ok", 2);
    elog_output_unlock();
    EXPECT_EQ(slurp(base), "ok");
    EXPECT_EQ(slurp(base + ".0"), "12345");
}

TEST(ElogFile, PathLimitOfConfiguredNames) {
    AppDir dir;
    elog_init(dir.root().string().c_str());
    struct Case {
        std::size_t nameLen;
        std::uint32_t maxRotate;
        bool opens;
    };
    // Rotated names add up to ".19" (three characters) with 20 files, ".9"
    // with 10, and the whole name must leave room for its terminator.
    for (const Case& c :
         {Case{252, 20, true}, Case{253, 20, false}, Case{253, 10, true}, Case{254, 10, false}, Case{255, 0, true}}) {
        const fs::path parent = dir.useDirOfLength(c.nameLen - 4);
        const std::string name = (parent / "log").string();
        ASSERT_EQ(name.size(), c.nameLen);
        ElogFileCfg cfg{};
        std::memcpy(cfg.name, name.c_str(), name.size() + 1);
        cfg.max_size = 1;
        cfg.max_rotate = c.maxRotate;
        elog_output_lock();
        elog_file_config(&cfg);
        elog_file_write("xy", 2);
        elog_file_write("z", 1);  // rotates when the name is usable
        elog_output_unlock();
        EXPECT_EQ(fs::exists(name), c.opens) << "name of " << c.nameLen;
        EXPECT_EQ(fs::exists(name + ".0"), c.opens && c.maxRotate > 0) << "name of " << c.nameLen;
        // An open file keeps its directory on Windows: close the log first.
        ElogFileCfg none{};
        elog_output_lock();
        elog_file_config(&none);
        elog_output_unlock();
        fs::remove_all(parent);
    }
}

TEST(ElogFile, TooLongApplicationDirectoryWritesNothing) {
    AppDir dir;
    // "/QUILLinkFile.log" fits in the path buffer, but its ".19" rotation does not.
    const fs::path app = dir.useDirOfLength(255 - 17 - 3 + 1);
    spit(dir.ini(), "[EnableOutput]\r\nEnable=1\r\n[LevelOutput]\r\nLevel=5\r\n");
    EXPECT_EQ(runSetup(), "FILE FIND enableLog:1 levelLog:5\r\n");
    logEveryLevel();
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(app)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"EnableLogout.ini"});
}

TEST(ElogFile, LongestUsableApplicationDirectoryLogs) {
    AppDir dir;
    dir.useDirOfLength(255 - 17 - 3);
    setupVerbose(dir);
    logEveryLevel();
    EXPECT_EQ(levelLetters(logText(dir.log())), "AEWIDV");
}

// ------------------------------------------------------------------ failed checks

TEST(ElogDeathTest, LevelAboveVerboseHaltsAfterAssertLine) {
    AppDir dir;
    setupVerbose(dir);
    const std::uint8_t badLevel = ELOG_LVL_VERBOSE + 1;
    EXPECT_DEATH(elog_output(badLevel, "NO_TAG", __FILE__, "QUIL_Test", 10, "never"), "");

    const std::vector<std::string> lines = linesOf(logText(dir.log()));
    ASSERT_EQ(lines.size(), 1u);
    std::vector<std::string> fields;  // pid, tid, line, line
    ASSERT_TRUE(fitsShape(lines[0],
                          std::string("A/elog     ") + kStamp +
                              "(elog_output:*)(level <= ELOG_LVL_VERBOSE) has assert failed at elog_output:*.",
                          &fields))
        << lines[0];
    EXPECT_EQ(fields[2], fields[3]);
}

TEST(ElogDeathTest, NullTextHaltsAfterAssertLine) {
    AppDir dir;
    setupVerbose(dir);
    char buf[8];
    EXPECT_DEATH(elog_strcpy(0, buf, nullptr), "");
    EXPECT_DEATH(elog_file_write(nullptr, 3), "");

    const std::vector<std::string> lines = linesOf(logText(dir.log()));
    ASSERT_EQ(lines.size(), 2u);
    const std::string head = std::string("A/elog     ") + kStamp;
    EXPECT_TRUE(fitsShape(lines[0], head + "(elog_strcpy:*)(src) has assert failed at elog_strcpy:*.")) << lines[0];
    EXPECT_TRUE(fitsShape(lines[1], head + "(elog_file_write:*)(log) has assert failed at elog_file_write:*."))
        << lines[1];
}

TEST(ElogDeathTest, WriteBeforeInitHaltsInsteadOfHanging) {
    AppDir dir;
    // The back end has a file but was never initialised: the check fails while
    // the output lock is held, and the halt must not wait for that lock again.
    EXPECT_DEATH(
        {
            ElogFileCfg cfg{};
            std::snprintf(cfg.name, sizeof cfg.name, "%s", dir.log().string().c_str());
            cfg.max_size = 1000;
            elog_file_config(&cfg);
            elog_set_fmt(ELOG_LVL_ERROR, 223);
            elog_set_filter_lvl(ELOG_LVL_VERBOSE);
            elog_set_output_enabled(true);
            elog_output(ELOG_LVL_ERROR, "NO_TAG", __FILE__, "QUIL_Test", 10, "line");
        },
        "");
}

}  // namespace
