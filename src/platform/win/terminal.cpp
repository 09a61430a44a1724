// The console of the command-line tools' live views.
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "platform/platform.h"

namespace quil::platform {

struct TerminalKeys::Saved {};

bool stdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

// The console reads keys unechoed through _getch already.
TerminalKeys::TerminalKeys() {
    if (::_isatty(::_fileno(stdin))) saved_ = new Saved;
}

TerminalKeys::~TerminalKeys() { delete saved_; }

int TerminalKeys::next(int waitMs) {
    const std::uint64_t end = monotonicMs() + static_cast<std::uint64_t>(waitMs > 0 ? waitMs : 0);
    for (;;) {
        if (saved_ && ::_kbhit()) return ::_getch();
        if (monotonicMs() >= end) return -1;
        sleepMs(10);
    }
}

}  // namespace quil::platform
