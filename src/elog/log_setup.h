// Switching the trace log from "EnableLogout.ini" in the application's
// directory, and the one-time set-up that the first device open runs.
#pragma once

#include <string>

// Reads key "Enable" of section "EnableOutput" and key "Level" of section
// "LevelOutput" of "EnableLogout.ini" in dir, creating the file with logging
// off when it is missing, and reports the values on the console (standard
// error). Runs once per process: later calls return 0 at once and leave the
// outputs untouched. Always 0.
int ReadLogIni(const std::string& dir, int* enable, int* level);
// enable != 0 starts output, else stops it; then sets the filter level. A
// level outside 0 to 5 gives QUIL_ERROR_PARAMETER and leaves the filter as it
// was. 0 on success.
int ApplyLogSetting(int enable, int level);
// The log directory (quil_log_configure's, QUIL_LOG_DIR, or the
// application's directory), elog_init, format masks, then ReadLogIni (unless
// quil_log_configure chose the values) and ApplyLogSetting.
void elog_setup_library_log();
