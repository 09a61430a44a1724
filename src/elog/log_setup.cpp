// INI control of the trace log.
#include "elog/log_setup.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "elog/console.h"
#include "elog/elog.h"
#include "elog/elog_file.h"
#include "platform/platform.h"
#include "quil.h"

namespace {

// Level, tag, time, process id, thread id, function and line; not the source
// file, which callers pass but nobody reading the log needs.
constexpr std::uint32_t kLibraryFmt = 223;

// What a fresh installation gets: logging off. CR LF line ends and none after
// the last line, so the file reads the same in any editor on the target.
constexpr char kDefaultIni[] =
    "[EnableOutput]\r\nEnable=0\r\n[LevelOutput]\r\nLevel=1\r\n"
    "[StartBatchReadRegister]\r\nRegister=\r\n[EndBatchReadRegister]\r\nRegister=";

std::atomic<bool> iniPending{true};

// What quil_log_configure chose before the first open; read by the set-up.
struct Configuration {
    std::mutex mutex;
    bool setUp = false;  // the set-up has run: too late to configure
    bool chosen = false;
    std::string dir;
    int enable = QUIL_LOG_FROM_INI;
    int level = 0;
};
Configuration& configuration() {
    static Configuration c;
    return c;
}

// The directory of the INI file and the log: as configured, else
// QUIL_LOG_DIR, else the application's directory.
std::string logDirectory(const Configuration& c) {
    if (c.chosen && !c.dir.empty()) return c.dir;
    if (const char* env = std::getenv("QUIL_LOG_DIR"); env != nullptr && env[0] != '\0') return env;
    return quil::platform::applicationDirectory();
}

void writeDefaultIni(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(kDefaultIni, 1, sizeof kDefaultIni - 1, f);
    std::fclose(f);
}

}  // namespace

int ReadLogIni(const std::string& dir, int* enable, int* level) {
    if (!iniPending.exchange(false)) return 0;

    // Without a known directory there is no INI to read; never fall back to
    // the file system root.
    const std::string path = dir.empty() ? std::string() : dir + quil::platform::kPathSeparator + "EnableLogout.ini";
    if (!path.empty() && !elog_file_readable(path.c_str())) writeDefaultIni(path);
    if (path.empty() || !elog_file_readable(path.c_str())) {
        quil::consolePrint("FILE NOT FIND\r\n");
        *enable = 0;
        *level = 0;
        return 0;
    }

    *enable = quil::platform::iniReadInt(path, "EnableOutput", "Enable", 0);
    int lvl = quil::platform::iniReadInt(path, "LevelOutput", "Level", ELOG_LVL_WARN);
    if (lvl < ELOG_LVL_ASSERT || lvl > ELOG_LVL_VERBOSE) lvl = ELOG_LVL_INFO;
    *level = lvl;
    quil::consolePrint("FILE FIND enableLog:%d levelLog:%d\r\n", *enable, *level);
    return 0;
}

int ApplyLogSetting(int enable, int level) {
    if (enable != 0)
        elog_start();
    else
        elog_stop();
    if (level < ELOG_LVL_ASSERT || level > ELOG_LVL_VERBOSE) return QUIL_ERROR_PARAMETER;
    elog_set_filter_lvl(static_cast<std::uint8_t>(level));
    return QUIL_OK;
}

void elog_setup_library_log() {
    Configuration& c = configuration();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.setUp = true;
    const std::string dir = logDirectory(c);
    elog_init(dir.c_str());
    for (std::uint8_t lvl = ELOG_LVL_ASSERT; lvl <= ELOG_LVL_VERBOSE; ++lvl) elog_set_fmt(lvl, kLibraryFmt);
    int enable = 0;
    int level = 0;
    if (c.chosen && c.enable != QUIL_LOG_FROM_INI) {
        // No INI is read or created: the application said what it wants.
        iniPending = false;
        enable = c.enable;
        level = c.level;
    } else {
        ReadLogIni(dir, &enable, &level);
    }
    ApplyLogSetting(enable, level);
}

extern "C" QUIL_API int32_t quil_log_configure(const char* dir, int32_t enable, int32_t level) {
    const bool quiet = (enable & QUIL_LOG_QUIET) != 0;
    enable &= ~QUIL_LOG_QUIET;
    if (enable != 0 && enable != 1 && enable != QUIL_LOG_FROM_INI) return QUIL_ERROR_PARAMETER;
    if (enable != QUIL_LOG_FROM_INI && (level < ELOG_LVL_ASSERT || level > ELOG_LVL_VERBOSE))
        return QUIL_ERROR_PARAMETER;
    Configuration& c = configuration();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.setUp) return QUIL_ERROR_OPEN;
    c.chosen = true;
    c.dir = dir ? dir : "";
    c.enable = enable;
    c.level = level;
    quil::setConsoleQuiet(quiet || quil::consoleQuiet());
    return QUIL_OK;
}
