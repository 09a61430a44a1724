// quilctl as a user runs it: strict arguments, help without the network,
// messages on standard error, and the settings families' commands; and
// quilsim's --model and fault options. Linux only: they run the programs through the shell.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "log_dir.h"
#include "platform/platform.h"
#include "quil.h"
#include "sim/simulator.h"

namespace {

struct CliRun {
    int rc = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }

    // Runs quilctl against the simulator with these arguments.
    CliRun run(const std::string& args) {
        const std::string base = dir.path() + "/run";
        const std::string cmd = std::string(QUILCTL_PATH) + " --address " + sim.address() + " " + args + " >" + base +
                                ".out 2>" + base + ".err; echo $? >" + base + ".rc";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return CliRun{std::atoi(slurp(base + ".rc").c_str()), slurp(base + ".out"), slurp(base + ".err")};
    }

    quil::test::LogDir dir;
    quil::sim::Simulator sim;
};

TEST_F(Cli, NumbersAreParsedWholeOrRefusedBeforeTheNetwork) {
    for (const char* args :
         {"program x", "program 8", "runtime x", "--timeout abc model", "--id 64 model", "reg read 1 abc", "measure 1x",
          "measure --mask", "stream --batch 0", "stream --batch 10 --batches 0", "head set able-range 2 10 9x",
          "out get tolerance 9", "storage read one"}) {
        const CliRun r = run(args);
        EXPECT_EQ(r.rc, 2) << args;
        EXPECT_NE(r.err.find("usage"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(sim.connectionsAccepted(), 0) << "a refused argument reached the network";
}

TEST_F(Cli, HelpNeverTouchesTheNetwork) {
    for (const char* args : {"--help", "measure --help", "raw --help", "head --help", "stream --help"}) {
        const CliRun r = run(args);
        EXPECT_EQ(r.rc, 0) << args;
        EXPECT_NE(r.out.find("usage"), std::string::npos) << args;
    }
    EXPECT_NE(run("head --help").out.find("able-range"), std::string::npos) << "the settings are listed";
    EXPECT_EQ(sim.connectionsAccepted(), 0);
    const CliRun unknown = run("frobnicate");
    EXPECT_EQ(unknown.rc, 2);
    EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos);
}

TEST_F(Cli, FailuresGoToStandardErrorAndTheLibraryStaysQuiet) {
    const CliRun r = run("measure 9");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("QUIL_ERROR_RANGE (4105)"), std::string::npos);
    EXPECT_EQ(r.out.find("FILE FIND"), std::string::npos) << "console lines only with -v";
    EXPECT_NE(run("-v model").out.find("FILE FIND"), std::string::npos);
}

TEST_F(Cli, StreamPrintsExactlyTheBatchesAskedFor) {
    sim.stream().configure({.mask = 0x03, .valuesPerPacket = 100, .packetIntervalMs = 1});
    const std::string csv = dir.path() + "/s.csv";
    const CliRun r = run("stream --batch 100 --batches 2 --csv " + csv);
    EXPECT_EQ(r.rc, 0) << r.err;
    int batches = 0;
    for (std::size_t p = 0; (p = r.out.find("batch ", p)) != std::string::npos; ++p) ++batches;
    EXPECT_EQ(batches, 2) << r.out;
    EXPECT_NE(r.out.find("packets "), std::string::npos) << "the run's statistics";
    EXPECT_EQ(slurp(csv).rfind("batch,index,channel1,channel2\n", 0), 0u);
}

TEST_F(Cli, SettingsAreWrittenReadAndDumpedByName) {
    EXPECT_EQ(run("head set able-range 2 10 90").rc, 0);
    EXPECT_EQ(run("head get able-range 2").out, "HEAD 2: able-range min=10  max=90\n");
    const CliRun refused = run("head set median 1 7");
    EXPECT_EQ(refused.rc, 1);
    EXPECT_NE(refused.err.find("QUIL_ERROR_VALUE"), std::string::npos);
    const CliRun dump = run("out dump 1");
    EXPECT_EQ(dump.rc, 0);
    for (const char* name : {"tolerance", "calc-method", "display-unit", "storage-target"})
        EXPECT_NE(dump.out.find(name), std::string::npos) << name;
    EXPECT_NE(run("common dump").out.find("sampling-cycle"), std::string::npos);
    const CliRun readOnly = run("common set heads-used 2");
    EXPECT_EQ(readOnly.rc, 2);
    EXPECT_NE(readOnly.err.find("cannot be written"), std::string::npos);
}

TEST_F(Cli, SettingsFilesAreSavedAndLoadedWithWhatTheyHold) {
    const std::string file = dir.path() + "/settings.xml";
    for (const char* args : {"settings", "settings save", "settings copy a.xml", "settings save a.xml b.xml"}) {
        const CliRun r = run(args);
        EXPECT_EQ(r.rc, 2) << args;
        EXPECT_NE(r.err.find("usage: quilctl settings"), std::string::npos) << args;
    }
    const CliRun missing = run("settings load " + dir.path() + "/none.xml");
    EXPECT_EQ(missing.rc, 1);
    EXPECT_NE(missing.err.find("no settings file"), std::string::npos);
    EXPECT_EQ(sim.connectionsAccepted(), 0) << "refused before the network";

    const CliRun saved = run("settings save " + file);
    EXPECT_EQ(saved.rc, 0) << saved.err;
    EXPECT_NE(saved.out.find("values, programs 0 1 2 3 4 5 6 7\n"), std::string::npos) << saved.out;
    EXPECT_NE(saved.out.find("settings without value"), std::string::npos) << "those that no command reads";
    const CliRun loaded = run("settings load " + file);
    EXPECT_EQ(loaded.rc, 0) << loaded.err;
    EXPECT_EQ(loaded.out.rfind("loaded " + file + ": ", 0), 0u) << loaded.out;
    EXPECT_NE(loaded.out.find("\napplied "), std::string::npos) << loaded.out;
    const std::string refusing = dir.path() + "/refusing.xml";
    std::ofstream(refusing) << "<SettingFileInfo><Version/><ProgParameter><ProgNo><OUTParameter><OUT05>"
                               "<MeasurementTypeIndex MeasurementTypeIndex=\"1\"/></OUT05></OUTParameter></ProgNo>"
                               "</ProgParameter></SettingFileInfo>";
    const CliRun refused = run("settings load " + refusing);
    EXPECT_EQ(refused.rc, 0) << refused.err;
    EXPECT_NE(refused.out.find("applied 0, refused 1: OUT05/MeasurementTypeIndex\n"), std::string::npos) << refused.out;
    EXPECT_EQ(run("settings save " + dir.path() + "/missing/settings.xml").rc, 1);
}

// ------------------------------------------------------------ quilsim --model

// quilsim's exit status for these arguments; nothing listens: a good model
// comes with --help, which never serves.
int quilsimExit(const std::string& args, std::string* err) {
    const std::string cmd = std::string(QUILSIM_PATH) + " --address 127.0.0.9 " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[512];
    err->clear();
    while (std::fgets(buf, sizeof buf, p)) *err += buf;
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(QuilsimModel, ModelIsAWholeKnownCode) {
    std::string out;
    for (const char* bad : {"abc", "3x", "''", "-1", "' 5'", "+5", "12", "33", "40", "99999999999"}) {
        EXPECT_EQ(quilsimExit(std::string("--model ") + bad + " --help", &out), 2) << bad;
        EXPECT_NE(out.find("--model takes a model code"), std::string::npos) << bad << ": " << out;
    }
    for (const char* good : {"0", "11", "34", "35", "39"})
        EXPECT_EQ(quilsimExit(std::string("--model ") + good + " --help", &out), 0) << good << ": " << out;
    EXPECT_EQ(quilsimExit("--help", &out), 0);
    EXPECT_NE(out.find("default 35"), std::string::npos) << out;
}

// ------------------------------------------------------------ quilsim faults

// quilsim serving with its output read line by line; ended by its process id.
class Quilsim {
public:
    explicit Quilsim(const std::string& args) {
        // The shell prints its process id and becomes quilsim.
        const std::string cmd = "echo $$; exec " + std::string(QUILSIM_PATH) + " " + args + " 2>&1";
        pipe_ = popen(cmd.c_str(), "r");
        if (pipe_ && std::fgets(line_, sizeof line_, pipe_)) pid_ = std::atol(line_);
    }
    ~Quilsim() {
        if (pid_ > 0) kill(static_cast<pid_t>(pid_), SIGTERM);
        if (pipe_) pclose(pipe_);
    }
    // The next line of its output; "" at its end.
    std::string next() { return pipe_ && std::fgets(line_, sizeof line_, pipe_) ? line_ : ""; }

private:
    FILE* pipe_ = nullptr;
    long pid_ = 0;
    char line_[512] = {};
};

TEST(QuilsimFaults, OptionsAreStrictAndDocumented) {
    std::string out;
    for (const char* bad : {"--drop-after x", "--drop-after 0", "--drop-after -1", "--drop-after 1000001", "--late 3x",
                            "--late ''", "--late 600001", "--drip +5", "--drip 60001", "--drop-stream-after 0",
                            "--drop-stream-after 99999999999999999999"}) {
        EXPECT_EQ(quilsimExit(std::string(bad) + " --help", &out), 2) << bad;
        EXPECT_NE(out.find("takes a whole number from 1 to"), std::string::npos) << bad << ": " << out;
    }
    EXPECT_EQ(quilsimExit("--help", &out), 0);
    for (const char* option :
         {"--drop-after N", "--late MS", "--drip MS", "--garbage", "--mute", "--drop-stream-after N"})
        EXPECT_NE(out.find(option), std::string::npos) << option;
}

TEST(QuilsimFaults, DropAfterClosesEachConnectionAtItsLineAfterN) {
    const std::string address = quil::sim::freeLoopbackAddress();
    Quilsim quilsim("--address " + address + " --quiet --drop-after 2");
    ASSERT_NE(quilsim.next().find("serving"), std::string::npos);
    EXPECT_NE(quilsim.next().find("faults: --drop-after 2"), std::string::npos);
    quil::platform::Ipv4 ip;
    ASSERT_TRUE(quil::platform::parseIpv4(address.c_str(), &ip));
    constexpr int32_t kId = 7;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(QUIL_OpenDeviceETHER(kId, ip.b, 2000), QUIL_OK) << round;  // line 1: the model query
        int32_t program = -1;
        EXPECT_EQ(QUIL_GetProgramNo(kId, &program), QUIL_OK) << round;  // line 2
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(QUIL_GetProgramNo(kId, &program), QUIL_ERROR_REPLY) << round;  // line 3: closed
        EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500)) << "no wait for a reply";
        EXPECT_EQ(QUIL_CloseDevice(kId), QUIL_OK);
    }
}

}  // namespace
