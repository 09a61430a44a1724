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
#include <functional>
#include <sstream>
#include <string>

#include "log_dir.h"
#include "netns.h"
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

// Runs the shell command line around quilctl's arguments: "quilctl ARGS"
// stands where QUILCTL is; its streams and exit status go to files in dir.
CliRun runShell(const std::string& dir, const std::string& args, const std::string& around = "QUILCTL") {
    const std::string base = dir + "/run";
    const std::string quilctl = std::string(QUILCTL_PATH) + " " + args + " >" + base + ".out 2>" + base + ".err";
    std::string cmd = around;
    cmd.replace(cmd.find("QUILCTL"), 7, quilctl);
    cmd += "; echo $? >" + base + ".rc";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return CliRun{std::atoi(slurp(base + ".rc").c_str()), slurp(base + ".out"), slurp(base + ".err")};
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }

    // Runs quilctl against the simulator with these arguments.
    CliRun run(const std::string& args) { return runShell(dir.path(), "--address " + sim.address() + " " + args); }

    quil::test::LogDir dir;
    quil::sim::Simulator sim;
};

TEST_F(Cli, NumbersAreParsedWholeOrRefusedBeforeTheNetwork) {
    // Each refused, on standard error, before the network.
    const char* const refused[] = {"program 8",
                                   "--timeout abc model",
                                   "--id 64 model",
                                   "measure 1x",
                                   "measure --mask",
                                   "stream --batch 10 --batches 0",
                                   "measure --mask=0",
                                   "head set able-range 2 10 9x",
                                   "out get tolerance 9",
                                   "model foo bar",
                                   "--frobnicate model",
                                   "model --timeout",
                                   "watch --mask 256",
                                   "watch --interval 19",
                                   "watch --mask 1 --bogus 2"};
    for (const char* args : refused) {
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

// What a command that reaches the network tells: its exit status (1 for a
// failure of the controller or the network), its results on standard output,
// every failure on standard error, and the library's own console lines only
// with -v and only on standard error.
TEST_F(Cli, ExitStatusAndStreamsTellWhatHappened) {
    const std::string nobody = quil::sim::freeLoopbackAddress();
    const std::string empty = dir.path() + "/empty.xml", deep = dir.path() + "/deep.xml";
    std::ofstream(empty) << "<root/>\n";
    {
        // Deeper than the stack of a recursive parser reaches.
        std::ofstream d(deep);
        for (int i = 0; i < 200000; ++i) d << "<a>";
    }
    sim.stream().configure({.mask = 0x01, .valuesPerPacket = 100, .packetIntervalMs = 1});
    quil::sim::Faults dropStream;
    dropStream.dropStreamAfterPackets = 3;
    struct Case {
        std::string args;
        int rc;
        std::string out;  // what standard output starts with ("": nothing at all)
        std::string err;  // what standard error holds
        quil::sim::Faults faults = {};
    };
    const Case cases[] = {
        {"model", 0, "model code 0\n", ""},
        {"model --address " + nobody, 1, "", "open " + nobody + ":19062: Connection refused (QUIL_ERROR_OPEN"},
        {"--address=" + nobody + " --timeout=300 model", 1, "", "open " + nobody + ":19062: Connection refused"},
        {"model --id=5 --address=" + sim.address(), 0, "model code 0\n", ""},
        {"-v model", 0, "model code 0\n", "FILE FIND enableLog:"},
        {"stream --batch 10 --address " + nobody + " -v", 1, "", "connect err-1"},
        {"stream --batch 10 --address " + nobody, 1, "", "start failed: Connection refused"},
        {"raw MD --address " + nobody, 1, "", "connect " + nobody + ":19062: Connection refused"},
        {"out set tolerance 1 53 -53 0", 0, "OUT 1: tolerance upper=52  lower=-52  hysteresis=0\n", ""},
        {"settings load " + empty, 1, "", "settings load: " + empty + " holds no settings"},
        {"settings load " + deep, 1, "", "settings load: " + deep + " is no settings file"},
        {"stream --batch 100 --batches 100", 1, "batch   1: 100 values per channel, mask 0x01, ",
         "stream: device 0: the controller closed the stream (read failure)", dropStream},
    };
    for (const Case& c : cases) {
        sim.setFaults(c.faults);
        const CliRun r = run(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.args << "\n" << r.err;
        if (c.out.empty()) {
            EXPECT_EQ(r.out, "") << c.args;
        } else {
            EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << c.args << "\n" << r.out;
        }
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
        if (c.args.find("-v") == std::string::npos) {
            EXPECT_EQ(r.err.find("FILE FIND"), std::string::npos) << c.args;
        }
    }
}

TEST_F(Cli, InterruptStopsTheStreamRunAndPrintsItsSummary) {
    sim.stream().configure({.mask = 0x01, .valuesPerPacket = 100, .packetIntervalMs = 5});
    const std::string out = dir.path() + "/run.out";
    // Interrupted once the first batch is out; the shell waits for it.
    const CliRun r = runShell(dir.path(), "--address " + sim.address() + " stream --batch 100 --batches 1000000",
                              "QUILCTL & pid=$!; for i in $(seq 200); do grep -q 'batch ' " + out +
                                  " && break; sleep 0.05; done; kill -INT $pid; wait $pid");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("batch   1: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\npackets "), std::string::npos) << "the summary: " << r.out;
    EXPECT_NE(r.err.find("interrupted after"), std::string::npos) << r.err;
    const std::vector<bool> switches = sim.stream().switches();
    ASSERT_FALSE(switches.empty());
    EXPECT_FALSE(switches.back()) << "the controller was told to stop streaming";
}

// quilctl settings diff: a file against a controller, two controllers, and
// diff's exit statuses (0 the same, 1 different, 2 trouble).
TEST_F(Cli, SettingsDiffComparesFilesAndControllers) {
    quil::sim::Simulator other;
    ASSERT_TRUE(other.start());
    const std::string saved = dir.path() + "/saved.xml", notXml = dir.path() + "/not.xml";
    std::ofstream(notXml) << "<a><b></a>\n";
    ASSERT_EQ(run("settings save " + saved).rc, 0);
    // The same settings, saved at another time.
    const std::string later = dir.path() + "/later.xml";
    std::string text = slurp(saved);
    ASSERT_NE(text.find("SaveTime=\""), std::string::npos);
    std::ofstream(later) << text.insert(text.find("SaveTime=\"") + 10, "1");
    ASSERT_EQ(runShell(dir.path(), "--address " + other.address() + " head set median 2 3").rc, 0);
    const std::string here = "--device " + sim.address(), there = "--device " + other.address();
    const struct {
        std::string args;
        int rc;
        std::string out;
    } cases[] = {
        {"settings diff " + saved + " " + here, 0, ""},
        {"settings diff " + saved + " " + there, 1, "program 0  head 2  MedianIndex: 0 | 3\n1 settings differ"},
        {"settings diff " + here + " " + there, 1, "program 0  head 2  MedianIndex: 0 | 3\n1 settings differ"},
        {"settings diff " + saved + " " + later, 0, ""},
        {"settings diff " + saved + " " + later + " --all", 1, "file  SaveTime/property: "},
        {"settings diff " + saved + " " + notXml, 2, ""},
        {"settings diff " + saved + " " + dir.path() + "/missing.xml", 2, ""},
        {"settings diff " + saved, 2, ""},
        {"settings diff " + saved + " --device 300.1.1.1", 2, ""},
    };
    for (const auto& c : cases) {
        const CliRun r = run(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.args << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << c.args << "\n" << r.out;
        if (c.rc == 2) {
            EXPECT_NE(r.err, "") << c.args;
        }
    }
}

// The text of a shell command's standard output.
std::string output(const std::string& cmd) {
    std::string text;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
        pclose(p);
    }
    return text;
}

// quilctl watch: plain lines into a pipe; on a terminal (tmux) a table that
// refreshes with a sparkline per OUT, says when the controller went away, and
// ends on q.
TEST_F(Cli, WatchPrintsPlainLinesOrALiveTable) {
    sim.model().setOutValue(8, "+FFFFFFF");
    const CliRun plain = run("watch --count 3 --mask 0x81 --interval 20");
    EXPECT_EQ(plain.rc, 0) << plain.err;
    std::istringstream lines(plain.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "time_ms OUT1 OUT8");
    int rows = 0;
    for (; std::getline(lines, line); ++rows) EXPECT_NE(line.find(" 1.0000 above"), std::string::npos) << line;
    EXPECT_EQ(rows, 3);

    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    sim.model().setSignal({.shape = quil::sim::SignalShape::Sine, .periodMs = 500});
    const std::string tmux = "tmux -L quil-watch-" + std::to_string(getpid()) + " ";
    const std::string quilctl =
        std::string(QUILCTL_PATH) + " --address " + sim.address() + " --timeout 300 watch --interval 30";
    ASSERT_EQ(std::system((tmux + "new-session -d -x 100 -y 20 '" + quilctl + "; echo EXIT=$?; sleep 30'").c_str()), 0);
    auto screenWhen = [&](const std::function<bool(const std::string&)>& ready) {
        std::string screen;
        for (int i = 0; i < 200 && !ready(screen = output(tmux + "capture-pane -p")); ++i) quil::platform::sleepMs(50);
        return screen;
    };
    // The OUT1 row once its sparkline holds a dozen values, not all alike.
    auto outRow = [](const std::string& screen, const char* out) {
        const size_t at = screen.find(out);
        return at == std::string::npos ? std::string() : screen.substr(at, screen.find('\n', at) - at);
    };
    const std::string table = screenWhen([&](const std::string& screen) {
        const std::string row = outRow(screen, "OUT1 ");
        size_t blocks = 0;
        for (size_t at = 0; (at = row.find("\xe2\x96", at)) != std::string::npos; at += 3) ++blocks;
        return blocks >= 12;
    });
    EXPECT_NE(table.find("connected"), std::string::npos) << table;
    EXPECT_NE(outRow(table, "OUT8 ").find("normal"), std::string::npos) << table;
    const std::string row = outRow(table, "OUT1 ");
    EXPECT_NE(row.find("normal"), std::string::npos) << table;
    EXPECT_TRUE(row.find("\u2581") != std::string::npos || row.find("\u2588") != std::string::npos)
        << "the lowest or highest block of a moving value: " << row;
    sim.stop();
    const std::string gone =
        screenWhen([](const std::string& s) { return s.find("disconnected") != std::string::npos; });
    EXPECT_NE(gone.find("disconnected"), std::string::npos) << gone;
    std::system((tmux + "send-keys q").c_str());
    const std::string ended = screenWhen([](const std::string& s) { return s.find("EXIT=") != std::string::npos; });
    EXPECT_NE(ended.find("no answer at the end\nEXIT=1"), std::string::npos) << ended;
    std::system((tmux + "kill-server").c_str());
}

TEST(CliSearch, AnotherProgramOnTheSearchPortFailsTheSearch) {
    quil::test::NetnsPair net;  // quilctl runs in its searcher side: a private network
    if (!net.ready()) GTEST_SKIP() << "needs a private network namespace for broadcasting: " << net.why();
    quil::platform::Ipv4 ip;
    ASSERT_TRUE(quil::platform::parseIpv4(quil::test::kSearcherAddress, &ip));
    quil::platform::Socket holder = quil::platform::udpSocket();
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(quil::platform::bindTo(holder, ip, 3778), 0);
    quil::test::LogDir dir;
    const CliRun r = runShell(dir.path(), "search");
    quil::platform::closeSocket(holder);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_NE(r.err.find("could not listen for answers on UDP port 3778"), std::string::npos) << r.err;
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
    for (const char* bad : {"3x", "''", "' 5'", "12", "40", "99999999999"}) {
        EXPECT_EQ(quilsimExit(std::string("--model ") + bad + " --help", &out), 2) << bad;
        EXPECT_NE(out.find("--model takes a model code"), std::string::npos) << bad << ": " << out;
    }
    for (const char* good : {"0", "39"})
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
    for (const char* bad : {"--drop-after 0", "--drop-after 1000001", "--late 3x", "--drip +5",
                            "--drop-stream-after 99999999999999999999"}) {
        EXPECT_EQ(quilsimExit(std::string(bad) + " --help", &out), 2) << bad;
        EXPECT_NE(out.find("takes a whole number from 1 to"), std::string::npos) << bad << ": " << out;
    }
    for (const char* bad :
         {"--signal square", "--period 3600001", "--amplitude 1e3", "--amplitude 1000.5", "--seed 4294967296"}) {
        EXPECT_EQ(quilsimExit(std::string(bad) + " --help", &out), 2) << bad;
        EXPECT_NE(out.find(" takes "), std::string::npos) << bad << ": " << out;
    }
    EXPECT_EQ(quilsimExit("--signal noise --period 50 --amplitude 0.25 --seed 0 --help", &out), 0) << out;
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
