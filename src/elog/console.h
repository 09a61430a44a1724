// The library's console lines: the short diagnostics that the raw link, the
// stream, the search, the settings load and the log set-up print, with the
// system error texts. All go to standard error: standard output belongs to
// the application (`app > values.csv` gets only the application's lines). An
// application can silence them all: QUIL_QUIET=1 in the environment, or the
// quiet flag of quil_log_configure.
#pragma once

namespace quil {

bool consoleQuiet();
void setConsoleQuiet(bool quiet);
// printf to standard error, unless quiet.
void consolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// What perror prints (what, a colon and the text of the C library's last
// error) on standard error, unless quiet.
void consoleError(const char* what);
// "what: text" on standard error, with the text of a socket error number.
void consoleSocketError(const char* what, int err);

}  // namespace quil
