// Standard output and the key wait.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace

void WaitForKey() {
    // The key comes from the controlling terminal, so a redirected standard
    // input neither ends the wait nor loses its data to it.
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return;
    struct termios saved;
    if (tcgetattr(tty, &saved) != 0) {
        close(tty);
        return;
    }
    // Raw: no line editing, no echo, no signal keys (Ctrl-C is just a key),
    // no flow control keys.
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(tty, TCSANOW, &raw) != 0) {
        close(tty);
        return;
    }

    fflush(stdout);
    unsigned char byte;
    if (ReadByte(tty, &byte)) {
        struct pollfd more = {tty, POLLIN, 0};
        int budget = 64;  // no key sends more than this
        while (budget-- > 0 && poll(&more, 1, kSequenceGapMs) == 1 && (more.revents & POLLIN) &&
               ReadByte(tty, &byte)) {
        }
    }

    tcsetattr(tty, TCSANOW, &saved);
    close(tty);
}
