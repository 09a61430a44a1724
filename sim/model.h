// The behavioural model of the simulated controller: its command mode, its
// model code, the state of its eight OUT channels and its program number, a
// small store of setting values, and a table of command handlers keyed by the
// command's two code characters. The handlers of each command family live in
// their own file (see commands.h) and are installed by the constructor.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/signal.h"

namespace quil::sim {

// One command line as the controller received it.
struct Command {
    std::string line;                 // without CR LF
    std::string code;                 // its first two characters (fewer for a shorter line)
    std::vector<std::string> fields;  // the line split at every ',' (field 0 holds the code)

    static Command parse(const std::string& line);
};

class Model {
public:
    // The handler's result is written back as it is (end it with CR LF); an
    // empty result sends nothing.
    using Handler = std::function<std::string(Model&, const Command&)>;

    static constexpr int kMeasurement = 0;  // entered with "R0"
    static constexpr int kSetting = 1;      // entered with "Q0"
    static constexpr int kAnyMode = -1;

    // The controller's answers to a command it does not know, and to one that
    // its current mode does not accept.
    static constexpr int kErrUnknown = 99;
    static constexpr int kErrMode = 51;
    // A malformed argument (missing, extra, not a number, a choice outside
    // its set), a setting value outside what the controller takes, and an
    // index (OUT number, OUT mask, channel) outside its range.
    static constexpr int kErrParameter = 61;
    static constexpr int kErrValue = 62;
    static constexpr int kErrRange = 64;

    // The model codes the simulator knows: three families, 0 to 3, 4 to 11
    // and 34 to 39. Only the last one has three encoder inputs, analog
    // outputs and four digital outputs; the others have a single encoder
    // input, set with the running and input modes ("CJ", "CI"). A model
    // answers the commands of what it lacks with error 99.
    static bool knownModel(int code);
    static bool encoderModel(int code);

    static constexpr int kOutCount = 8;      // OUT1 to OUT8
    static constexpr int kProgramCount = 8;  // programs 0 to 7

    explicit Model(int modelCode = 0);

    // Installs (or replaces) the handler of a command code ("MS"), or of a
    // code and its first argument ("SR,HA": such a handler answers before one
    // for the code alone). With a required
    // mode, the controller refuses the command in the other mode with error 51
    // without calling the handler.
    void on(const std::string& code, Handler handler, int requiredMode = kAnyMode);

    // The controller's answer to one line (without its CR LF). Handlers run
    // one at a time, with the model's lock held, so a handler may use every
    // accessor below.
    std::string answer(const std::string& line);

    int mode() const;
    void setMode(int mode);
    int modelCode() const;
    void setModelCode(int code);

    // The OUT channels, numbered 1 to kOutCount; a number outside that range
    // reads as "" / false / 0 and is ignored by the setters.
    //
    // The value text is what "MS", "MM" and "MA" answer, sent as it is, so it
    // may be any text a controller sends ("+FFFFFFF", "-FFFFFFF", "XXXXXXXX").
    // Until set, OUT n reads "+00n.000", so a reply shows which OUT it came from.
    // With a signal other than Constant, the OUT reads the signal at the time
    // since setSignal instead.
    std::string outValue(int out) const;
    void setOutValue(int out, std::string text);
    void setSignal(const SignalOptions& signal);
    SignalOptions signal() const;
    // Timing input and zero setting on or off, and the number of resets the
    // controller has received for the OUT.
    bool timing(int out) const;
    void setTiming(int out, bool on);
    bool zero(int out) const;
    void setZero(int out, bool on);
    int resetCount(int out) const;
    void addReset(int out);
    // The active program (0 at start).
    int programNo() const;
    void setProgramNo(int programNo);

    // Setting values by a key the command handlers choose ("HG,01", ...).
    std::string value(const std::string& key, const std::string& fallback = "") const;
    void setValue(const std::string& key, std::string value);

    // Device registers, reached with the "#J" messages "regRead" and
    // "regWrite". Head 0 is the controller itself, 1 to kHeadCount the sensor
    // heads. A register never written reads 0; a head outside that range
    // reads 0 and ignores writes.
    static constexpr int kHeadCount = 4;
    std::uint32_t registerValue(int head, std::uint32_t addr) const;
    void setRegisterValue(int head, std::uint32_t addr, std::uint32_t value);
    // The code the sensor reports for its emission spot type (48 or 65: type
    // 0, 49 or 66: type 1). The controller loads it into its spot-type
    // register when that register's preparation command is written.
    std::uint32_t spotTypeCode() const;
    void setSpotTypeCode(std::uint32_t code);

    // While set to a number other than 0, "#J" messages of that kind
    // ("regRead", "regWrite", "RollBatch"; "" for every "#J" line, also one
    // that is not JSON) are refused with "ER,#J,nn". A kind's own number
    // comes before the one for every kind.
    void setJsonError(int number, const std::string& message = "");
    int jsonError(const std::string& message) const;

    // Switching the controller's batch streaming on or off ("RollBatch" with
    // "StartRoll"). The simulator connects this to its roll-link stream; the
    // switch's result is what the controller reports as "Online". Without a
    // handler the controller is online exactly while streaming is switched on.
    using RollSwitch = std::function<bool(bool start)>;
    void setRollSwitch(RollSwitch handler);
    bool switchRoll(bool start);

    // Data storage ("AS", "AP", "AQ", "AN", "AO", "AR"; storage_commands.cpp).
    // While recording, the controller takes one point per storage cycle, the
    // first one at the start: the value text of every OUT (what "MS" reads)
    // and the count of each encoder channel (channel 1 counts up by one per
    // point, channel 2 down by one, channel 3 up by three), which "AR" sends
    // as eight hexadecimal digits. Points are taken whenever the storage is
    // looked at, for the time that has passed since the start, so no thread
    // runs for them. Recording stops by itself once an OUT holds the storage
    // limit of points.
    static constexpr int kEncoderChannels = 3;
    static constexpr std::size_t kMaxStoredPoints = 1200000;
    static constexpr int kDefaultStorageCycleMs = 5;
    bool recording();
    void startRecording();  // a recording already running goes on
    void stopRecording();
    void clearStorage();             // a recording running starts over
    void setStorageCycleMs(int ms);  // from the next start on
    void setStorageLimit(std::size_t points);
    // What OUT out (1 to kOutCount) holds: the number of points and the
    // tokens joined by ','; those of encoder channel 1 to kEncoderChannels.
    // Out of range: 0 and "".
    std::size_t storedCount(int out);
    std::string storedList(int out);
    std::string encoderList(int channel);
    // Replaces what an OUT or an encoder channel holds by these tokens, sent
    // as they are: any text, special texts and empty tokens included.
    void loadStoredValues(int out, const std::vector<std::string>& tokens);
    void loadEncoderValues(int channel, const std::vector<std::string>& tokens);

    // "ER,<code>,<number>\r\n"
    static std::string error(const Command& command, int number);
    // The fields joined by ',' and ended by CR LF.
    static std::string reply(const std::vector<std::string>& fields);

private:
    struct Entry {
        Handler handler;
        int requiredMode = kAnyMode;
    };
    struct Out {
        std::string value;
        bool timing = false;
        bool zero = false;
        int resetCount = 0;
    };

    // The OUT's state, or nullptr for a number outside 1..kOutCount.
    Out* findOut(int out);
    const Out* findOut(int out) const;

    // Recursive so that handlers, which run under the lock, can use the
    // accessors that take it too.
    mutable std::recursive_mutex mutex_;
    int mode_ = kMeasurement;
    int modelCode_ = 0;
    SignalOptions signal_;
    std::uint64_t signalStartMs_ = 0;
    int programNo_ = 0;
    std::array<Out, kOutCount> outs_;
    std::map<std::string, std::string> values_;
    std::map<std::string, Entry> handlers_;
    std::array<std::map<std::uint32_t, std::uint32_t>, kHeadCount + 1> registers_;
    std::uint32_t spotTypeCode_ = 48;
    std::map<std::string, int> jsonErrors_;
    RollSwitch rollSwitch_;

    // Data storage: the tokens of each OUT and encoder channel, joined as
    // the read-out sends them.
    struct StoredList {
        std::string text;
        std::size_t count = 0;
        void add(const std::string& token);
        void assign(const std::vector<std::string>& tokens);
    };
    struct Storage {
        bool recording = false;
        std::uint64_t startMs = 0;
        std::size_t taken = 0;  // points of the current recording
        int cycleMs = kDefaultStorageCycleMs;
        int runCycleMs = kDefaultStorageCycleMs;  // the cycle of the current recording
        std::size_t limit = kMaxStoredPoints;
        std::array<StoredList, kOutCount> outs;
        std::array<StoredList, kEncoderChannels> encoders;
    };
    // Takes the points due since the recording started.
    void catchUpStorage();
    std::size_t mostStored() const;
    StoredList* findStored(int out);
    StoredList* findEncoder(int channel);
    Storage storage_;
};

}  // namespace quil::sim
