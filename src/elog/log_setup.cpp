// INI control of the trace log.
#include "elog/log_setup.h"

#include <atomic>
#include <cstdio>
#include <string>

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

void writeDefaultIni(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(kDefaultIni, 1, sizeof kDefaultIni - 1, f);
    std::fclose(f);
}

}  // namespace

int ReadLogIni(int* enable, int* level) {
    if (!iniPending.exchange(false)) return 0;

    const std::string dir = quil::platform::applicationDirectory();
    // Without a known directory there is no INI to read; never fall back to
    // the file system root.
    const std::string path = dir.empty() ? std::string() : dir + quil::platform::kPathSeparator + "EnableLogout.ini";
    if (!path.empty() && !elog_file_readable(path.c_str())) writeDefaultIni(path);
    if (path.empty() || !elog_file_readable(path.c_str())) {
        std::printf("FILE NOT FIND\r\n");
        std::fflush(stdout);
        *enable = 0;
        *level = 0;
        return 0;
    }

    *enable = quil::platform::iniReadInt(path, "EnableOutput", "Enable", 0);
    int lvl = quil::platform::iniReadInt(path, "LevelOutput", "Level", ELOG_LVL_WARN);
    if (lvl < ELOG_LVL_ASSERT || lvl > ELOG_LVL_VERBOSE) lvl = ELOG_LVL_INFO;
    *level = lvl;
    std::printf("FILE FIND enableLog:%d levelLog:%d\r\n", *enable, *level);
    std::fflush(stdout);
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
    const std::string dir = quil::platform::applicationDirectory();
    elog_init(dir.c_str());
    for (std::uint8_t lvl = ELOG_LVL_ASSERT; lvl <= ELOG_LVL_VERBOSE; ++lvl) elog_set_fmt(lvl, kLibraryFmt);
    int enable = 0;
    int level = 0;
    ReadLogIni(&enable, &level);
    ApplyLogSetting(enable, level);
}
