// Standard output and the key wait on Windows: the console.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>

#include "platform/console_keys.h"

void SetUpStandardOutput() {
    // On a console each line shows at once; into a file or a pipe the output
    // goes in 512-byte blocks. (The C runtime has no line buffering: a
    // console gets the text unbuffered, each call written whole.)
    static char block[512];
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        setvbuf(stdout, nullptr, _IONBF, 0);
    else
        setvbuf(stdout, block, _IOFBF, sizeof block);
}

namespace {

// The console's input mode before the wait, so that a Ctrl-Break or a closed
// window that ends the process during the wait leaves it as it found it.
HANDLE g_waitConsole = INVALID_HANDLE_VALUE;
DWORD g_savedMode = 0;

BOOL WINAPI RestoreConsoleOnCtrl(DWORD) {
    if (g_waitConsole != INVALID_HANDLE_VALUE) SetConsoleMode(g_waitConsole, g_savedMode);
    return FALSE;  // on to the default handler, which ends the process
}

}  // namespace

void WaitForKey() {
    // The key comes from the console itself, so a redirected standard input
    // neither ends the wait nor loses its data to it.
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return;
    DWORD saved;
    if (!GetConsoleMode(console, &saved)) {
        CloseHandle(console);
        return;
    }
    g_savedMode = saved;
    g_waitConsole = console;
    SetConsoleCtrlHandler(RestoreConsoleOnCtrl, TRUE);
    // Raw: no line editing, no echo, and Ctrl-C arrives as a key.
    const DWORD raw = saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    fflush(stdout);
    if (SetConsoleMode(console, raw)) {
        INPUT_RECORD record;
        DWORD got = 0;
        while (ReadConsoleInputA(console, &record, 1, &got) && got == 1) {
            if (record.EventType != KEY_EVENT) continue;  // mouse, focus, window size
            const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
            if (KeyEndsWait({key.bKeyDown != FALSE, key.wVirtualKeyCode,
                             static_cast<unsigned char>(key.uChar.AsciiChar)}))
                break;
        }
    }

    SetConsoleMode(console, saved);
    g_waitConsole = INVALID_HANDLE_VALUE;
    SetConsoleCtrlHandler(RestoreConsoleOnCtrl, FALSE);
    CloseHandle(console);
}
