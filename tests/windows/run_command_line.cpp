// Starts a program with the command line in the environment variable
// RUN_COMMAND_LINE, word for word, and ends with its exit status. Wine, like
// any other way of starting a program from Linux, quotes each argument anew;
// this lets the tests give pixbake.exe a command line exactly as typed.
// The program shares this one's standard input, output and error.
#include <windows.h>

#include <cstdio>
#include <initializer_list>

int main() {
    static char line[32768];
    const DWORD length = GetEnvironmentVariableA("RUN_COMMAND_LINE", line, sizeof line);
    if (length == 0 || length >= sizeof line) {
        std::fputs("run_command_line: RUN_COMMAND_LINE is not set\n", stderr);
        return 125;
    }
    SetEnvironmentVariableA("RUN_COMMAND_LINE", nullptr);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "run_command_line: cannot start [%s]: error %lu\n", line, GetLastError());
        return 126;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
