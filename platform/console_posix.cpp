// Standard output and the key wait on POSIX systems: the terminal.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <iterator>

void SetUpStandardOutput() {
    // On a terminal each line shows at once; into a file or a pipe the output
    // goes in 512-byte blocks.
    static char block[512];
    if (isatty(STDOUT_FILENO))
        setvbuf(stdout, nullptr, _IOLBF, 0);
    else
        setvbuf(stdout, block, _IOFBF, sizeof block);
}

namespace {

// Bytes that arrive within this time after the key belong to it: the rest of
// an escape sequence (cursor and function keys) or of a multi-byte character.
constexpr int kSequenceGapMs = 50;

bool ReadByte(int fd, unsigned char* byte) {
    for (;;) {
        ssize_t got = read(fd, byte, 1);
        if (got == 1) return true;
        if (got < 0 && errno == EINTR) continue;
        return false;
    }
}

// The terminal's mode before the wait, so that a signal that ends the process
// during the wait leaves the terminal as it found it.
int g_waitTty = -1;
struct termios g_savedMode;

extern "C" void RestoreTerminalAndReraise(int sig) {
    if (g_waitTty >= 0) tcsetattr(g_waitTty, TCSANOW, &g_savedMode);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

void WaitForKey() {
    // The key comes from the controlling terminal, so a redirected standard
    // input neither ends the wait nor loses its data to it.
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return;
    struct termios& saved = g_savedMode;
    if (tcgetattr(tty, &saved) != 0) {
        close(tty);
        return;
    }
    g_waitTty = tty;
    struct sigaction previous[std::size(kEndingSignals)];
    for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
        struct sigaction action = {};
        action.sa_handler = RestoreTerminalAndReraise;
        sigemptyset(&action.sa_mask);
        sigaction(kEndingSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) sigaction(kEndingSignals[i], &action, nullptr);
    }
    // Raw: no line editing, no echo, no signal keys (Ctrl-C is just a key),
    // no flow control keys.
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    fflush(stdout);
    unsigned char byte;
    if (tcsetattr(tty, TCSANOW, &raw) == 0 && ReadByte(tty, &byte)) {
        struct pollfd more = {tty, POLLIN, 0};
        int budget = 64;  // no key sends more than this
        while (budget-- > 0 && poll(&more, 1, kSequenceGapMs) == 1 && (more.revents & POLLIN) &&
               ReadByte(tty, &byte)) {
        }
    }

    tcsetattr(tty, TCSANOW, &saved);
    g_waitTty = -1;
    for (size_t i = 0; i < std::size(kEndingSignals); ++i)
        sigaction(kEndingSignals[i], &previous[i], nullptr);
    close(tty);
}
