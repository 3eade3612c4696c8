// Stands in for ssh under Wine, where the tests have no Windows ssh client: skips the options up
// to "--", takes the host, and runs the remote command here on this program's standard handles,
// as the remote computer's shell would, ending with its exit code. A host named "unreachable"
// fails as ssh fails for a name it cannot resolve. "-G <host>" prints a configuration that points
// every host at 127.0.0.1. When TAGVISTA_FAKE_SSH_LOG names a file, each host reached is added
// to it, so a test can tell the agent was asked.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int main()
{
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!words) return 255;
    int next = 1;
    while (next < count && std::wcscmp(words[next], L"--") != 0) {
        if (std::wcscmp(words[next], L"-G") == 0) {
            std::printf("hostname 127.0.0.1\nport 22\n");
            return 0;
        }
        ++next;
    }
    if (next + 2 >= count) {
        std::fprintf(stderr, "usage: fake-ssh [options] -- host command\n");
        return 255;
    }
    const std::wstring host = words[next + 1];
    std::wstring command = words[next + 2];
    if (host == L"unreachable") {
        std::fprintf(stderr, "ssh: Could not resolve hostname unreachable: Name or service not known\r\n");
        return 255;
    }
    if (const wchar_t* log = _wgetenv(L"TAGVISTA_FAKE_SSH_LOG"); log && *log) {
        if (FILE* file = _wfopen(log, L"a")) {
            std::fprintf(file, "%ls\n", host.c_str());
            std::fclose(file);
        }
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        std::fprintf(stderr, "sh: 1: %ls: not found\r\n", command.c_str());
        return 127;
    }
    CloseHandle(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(started.hProcess, &code);
    return static_cast<int>(code);
}
