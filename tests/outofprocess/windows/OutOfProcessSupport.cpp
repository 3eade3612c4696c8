#include "OutOfProcessSupport.h"

#include "servers/test/TestServers.h"

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

constexpr const wchar_t* kServerFiles[] = {L"tagvista-simserver.exe", L"tagvista-testserver.exe"};

// A server process left at the end is a failure; it is ended, so that it holds neither the
// prefix nor the output of the test run (COM hands the client's standard handles on to it).
class LeftServers : public testing::Environment {
public:
    void TearDown() override
    {
        endServerHangs();
        if (waitUntilNoServerProcess()) return;
        for (DWORD id : serverProcesses()) ADD_FAILURE() << "a server program (process " << id << ") is still running; ending it";
        for (const wchar_t* file : kServerFiles) killServerProcesses(file);
    }
};

const auto* const leftServers = testing::AddGlobalTestEnvironment(new LeftServers);

} // namespace

std::wstring simServerProgram() { return winePath(TAGVISTA_TEST_SIMSERVER); }
std::wstring testServerProgram() { return winePath(TAGVISTA_TEST_TESTSERVER); }
std::wstring shutdownPeerProgram() { return winePath(TAGVISTA_TEST_SHUTDOWN_PEER); }
std::wstring cliProgram() { return winePath(TAGVISTA_TEST_CLI); }

RunningProgram::RunningProgram(const std::wstring& program, const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&_read, &write, &inherit, 0)) return;
    SetHandleInformation(_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        _process = process.hProcess;
    }
    CloseHandle(write);
    // Polled rather than read to its end: a server process that COM started for the program
    // inherits the pipe, so its end may come long after the program's.
    _reader = std::thread([this] {
        char buffer[512];
        while (!_stopReading) {
            DWORD available = 0;
            if (!PeekNamedPipe(_read, nullptr, 0, nullptr, &available, nullptr)) break;
            DWORD got = 0;
            if (available == 0 || !ReadFile(_read, buffer, sizeof buffer, &got, nullptr)) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            std::lock_guard lock(_mutex);
            _output.append(buffer, got);
        }
    });
}

RunningProgram::~RunningProgram()
{
    if (_process) {
        if (WaitForSingleObject(_process, 0) != WAIT_OBJECT_0) TerminateProcess(_process, 1);
        CloseHandle(_process);
    }
    _stopReading = true;
    if (_reader.joinable()) _reader.join();
    if (_read) CloseHandle(_read);
}

std::string RunningProgram::output() const
{
    std::lock_guard lock(_mutex);
    return _output;
}

int RunningProgram::waitForExit(std::chrono::milliseconds time)
{
    if (!_process || WaitForSingleObject(_process, static_cast<DWORD>(time.count())) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(_process, &code);
    std::this_thread::sleep_for(50ms);  // what it wrote last reaches the reader
    return static_cast<int>(code);
}

ProgramRun runProgram(const std::wstring& program, const std::wstring& arguments)
{
    RunningProgram running(program, arguments);
    if (!running.started()) return {-1, std::string()};
    const int code = running.waitForExit(std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline));
    return {code, running.output()};
}

std::set<DWORD> serverProcesses(const wchar_t* file)
{
    std::set<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        for (const wchar_t* server : kServerFiles)
            if ((!file || sameFileName(file, server)) && sameFileName(entry.szExeFile, server))
                ids.insert(entry.th32ProcessID);
    }
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

void killServerProcesses(const wchar_t* file)
{
    for (DWORD id : serverProcesses(file)) {
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
}

void endServerHangs()
{
    if (const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, servers::test::kEndHangsEvent)) {
        SetEvent(event);
        CloseHandle(event);
    }
}

std::string taken(LPWSTR text)
{
    if (!text) return "<null>";
    std::string utf8 = u8(text);
    CoTaskMemFree(text);
    return utf8;
}

} // namespace outofprocess
