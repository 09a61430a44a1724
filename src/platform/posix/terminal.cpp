// The terminal of the command-line tools' live views, through termios.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"

namespace quil::platform {

struct TerminalKeys::Saved {
    termios settings;
};

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

TerminalKeys::TerminalKeys() {
    termios t{};
    if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &t) != 0) return;
    saved_ = new Saved{t};
    // Keys as they are typed, without echo; signals (Ctrl-C) stay on.
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
}

TerminalKeys::~TerminalKeys() {
    if (!saved_) return;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_->settings);
    delete saved_;
}

int TerminalKeys::next(int waitMs) {
    if (!saved_) {
        sleepMs(waitMs);
        return -1;
    }
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, waitMs) != 1 || !(p.revents & POLLIN)) return -1;
    unsigned char c = 0;
    return ::read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

}  // namespace quil::platform
