// Helpers of the out-of-process tests: the build's server program and test peer, programs run
// and waited for with a deadline, the server processes alive, and objects created in a server
// process of their own (CLSCTX_LOCAL_SERVER). Test thread.
#pragma once

#include "ServerTestSupport.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace outofprocess {

using namespace servertest;

// The build's files, as Wine names them (on its drive for the build machine's root).
std::wstring simServerProgram();
std::wstring testServerProgram();
std::wstring shutdownPeerProgram();
std::wstring cliProgram();

// Runs the program with the arguments (one command line) and waits for its end: its exit code
// (-1 when it did not start or did not end by the deadline; it is then ended) and what it wrote
// to its standard output and error.
struct ProgramRun {
    int exitCode;
    std::string output;
};
ProgramRun runProgram(const std::wstring& program, const std::wstring& arguments);

// The same, running on while the test goes on; ended when the object goes if it still runs.
class RunningProgram {
public:
    RunningProgram(const std::wstring& program, const std::wstring& arguments);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return _process != nullptr; }
    // What it has written so far (standard output and error together).
    std::string output() const;
    // Its exit code once it has ended within the time; -1 otherwise.
    int waitForExit(std::chrono::milliseconds time);

private:
    HANDLE _process = nullptr;
    HANDLE _read = nullptr;
    std::atomic<bool> _stopReading{false};
    mutable std::mutex _mutex;
    std::string _output;
    std::thread _reader;
};

// The ids of the running processes of the build's server programs (tagvista-simserver.exe,
// tagvista-testserver.exe), or of the one named.
std::set<DWORD> serverProcesses(const wchar_t* file = nullptr);
// Waits until no such process runs; false at the deadline.
bool waitUntilNoServerProcess();
// Ends every process of the program file.
void killServerProcesses(const wchar_t* file);
// Ends the hangs that run in tagvista-testserver.exe now.
void endServerHangs();

// Creates an object of the class in a server process and asks for T.
template <class T>
HRESULT createLocal(const CLSID& clsid, ComPtr<T>& out)
{
    MULTI_QI qi{&platform::iidOf<T>(), nullptr, S_OK};
    const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &qi);
    if (FAILED(hr)) return hr;
    if (FAILED(qi.hr)) return qi.hr;
    out.attach(static_cast<T*>(qi.pItf));
    return S_OK;
}

// A string the callee allocated with CoTaskMemAlloc, taken over: its text ("<null>" for none),
// and the memory freed.
std::string taken(LPWSTR text);

} // namespace outofprocess
