#include "OutOfProcessSupport.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <thread>

namespace outofprocess {

namespace {

std::wstring winePath(const char* buildPath)
{
    std::wstring path = L"Z:" + platform::utf8ToUtf16(buildPath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

bool sameFileName(const wchar_t* a, const wchar_t* b)
{
    for (; *a && *b; ++a, ++b)
        if (std::towlower(*a) != std::towlower(*b)) return false;
    return *a == *b;
}

// A server process left at the end is a failure; it is ended, so that it holds neither the
// prefix nor the output of the test run (COM hands the client's standard handles on to it).
class LeftServers : public testing::Environment {
public:
    void TearDown() override
    {
        if (waitUntilNoServerProcess()) return;
        for (DWORD id : serverProcesses()) {
            ADD_FAILURE() << "tagvista-simserver.exe (process " << id << ") is still running; ending it";
            if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
                TerminateProcess(process, 1);
                CloseHandle(process);
            }
        }
    }
};

const auto* const leftServers = testing::AddGlobalTestEnvironment(new LeftServers);

} // namespace

std::wstring simServerProgram() { return winePath(TAGVISTA_TEST_SIMSERVER); }
std::wstring shutdownPeerProgram() { return winePath(TAGVISTA_TEST_SHUTDOWN_PEER); }

ProgramRun runProgram(const std::wstring& program, const std::wstring& arguments)
{
    ProgramRun run{-1, std::string()};
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) return run;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(write);
    if (!started) {
        CloseHandle(read);
        return run;
    }
    CloseHandle(process.hThread);
    // Read while it runs: a program that fills the pipe must not wait for the test.
    std::thread reader([&] {
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
    });
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline).count();
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(wait)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.exitCode = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    reader.join();
    CloseHandle(read);
    CloseHandle(process.hProcess);
    return run;
}

std::set<DWORD> serverProcesses()
{
    std::set<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (sameFileName(entry.szExeFile, L"tagvista-simserver.exe")) ids.insert(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

bool waitUntilNoServerProcess()
{
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!serverProcesses().empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string taken(LPWSTR text)
{
    if (!text) return "<null>";
    std::string utf8 = u8(text);
    CoTaskMemFree(text);
    return utf8;
}

} // namespace outofprocess
