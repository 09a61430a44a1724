// Where the trace log lives and whether the library prints its console lines:
// chosen by the application before the first open. Each case runs in a
// process of its own, since the log is set up once per process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "log_dir.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

namespace fs = std::filesystem;
using quil::test::LogDir;

// Opens and closes a simulated controller; returns what the open printed.
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
    EXPECT_FALSE(fs::exists(chosen.path() + "/EnableLogout.ini"));
    EXPECT_FALSE(fs::exists(app.path() + "/EnableLogout.ini"));
    EXPECT_NE(chosen.log().find("QUIL_OpenDeviceETHER"), std::string::npos);
    // Too late once the log is set up.
    EXPECT_EQ(quil_log_configure(app.path().c_str(), 0, 1), QUIL_ERROR_OPEN);
}

TEST(LogConfig, LoggingSwitchedOffCreatesNoFile) {
    LogDir app, chosen;
    ASSERT_EQ(quil_log_configure(chosen.path().c_str(), 0, 5), QUIL_OK);
    EXPECT_EQ(openOnce(), "");
    EXPECT_TRUE(fs::is_empty(chosen.path())) << "neither an INI nor a log file";
    EXPECT_TRUE(fs::is_empty(app.path()));
}

TEST(LogConfig, RefusesWhatItCannotMean) {
    EXPECT_EQ(quil_log_configure(nullptr, 3, 1), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(quil_log_configure(nullptr, 1, 6), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(quil_log_configure(nullptr, 0, -1), QUIL_ERROR_PARAMETER);
    EXPECT_EQ(quil_log_configure(nullptr, QUIL_LOG_FROM_INI, 99), QUIL_OK) << "the level comes from the INI";
}

TEST(LogConfig, EnvironmentMovesTheIniAndTheLog) {
    LogDir app, moved;
    moved.writeIni(1, 5);
    quil::test::setEnvironment("QUIL_LOG_DIR", moved.path());
    EXPECT_EQ(openOnce(), "FILE FIND enableLog:1 levelLog:5\r\n");
    EXPECT_NE(moved.log().find("QUIL_OpenDeviceETHER"), std::string::npos);
    EXPECT_FALSE(fs::exists(app.path() + "/EnableLogout.ini"));
}

TEST(LogConfig, QuietFromTheEnvironment) {
    LogDir app;
    quil::test::setEnvironment("QUIL_QUIET", "1");
    EXPECT_EQ(openOnce(), "");
    EXPECT_TRUE(fs::exists(app.path() + "/EnableLogout.ini")) << "quiet changes only the console";
    testing::internal::CaptureStderr();
    EXPECT_EQ(QUIL_EthernetOpen(1, quil::sim::freeLoopbackAddress().c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LogConfig, QuietFlagKeepsTheIni) {
    LogDir app;
    app.writeIni(0, 1);
    ASSERT_EQ(quil_log_configure(nullptr, QUIL_LOG_FROM_INI | QUIL_LOG_QUIET, 0), QUIL_OK);
    EXPECT_EQ(openOnce(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(QUIL_EthernetOpen(1, quil::sim::freeLoopbackAddress().c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
