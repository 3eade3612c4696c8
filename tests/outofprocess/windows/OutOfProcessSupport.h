// Helpers of the out-of-process tests: the build's server program and test peer, programs run
// and waited for with a deadline, the server processes alive, and objects created in a server
// process of their own (CLSCTX_LOCAL_SERVER). Test thread.
#pragma once

#include "ServerTestSupport.h"

#include <set>
#include <string>

namespace outofprocess {

using namespace servertest;

// The build's files, as Wine names them (on its drive for the build machine's root).
std::wstring simServerProgram();
std::wstring shutdownPeerProgram();

// Runs the program with the arguments (one command line) and waits for its end: its exit code
// (-1 when it did not start or did not end by the deadline; it is then ended) and what it wrote
// to its standard output and error.
struct ProgramRun {
    int exitCode;
    std::string output;
};
ProgramRun runProgram(const std::wstring& program, const std::wstring& arguments);

// The ids of the running processes whose file is tagvista-simserver.exe.
std::set<DWORD> serverProcesses();
// Waits until no such process runs; false at the deadline.
bool waitUntilNoServerProcess();

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
