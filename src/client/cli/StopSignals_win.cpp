#include "StopSignals.h"

#include "Output.h"
#include "platform/Sdk.h"

#include <mutex>

namespace cli {

namespace {

// The console calls its handlers on a thread of its own, and one handler serves the whole
// process: it finds the live object here.
std::mutex instanceLock;
StopSignals* instance = nullptr;  // guarded by instanceLock

} // namespace

struct StopSignals::Watcher {
    static BOOL WINAPI onConsoleEvent(DWORD event)
    {
        const bool sessionEnds = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
        if (!sessionEnds && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
        {
            std::lock_guard<std::mutex> lock(instanceLock);
            // Before the object exists the default handling applies; after, a key press is
            // swallowed and a closing console ends the process as the system does.
            if (!instance) return sessionEnds ? FALSE : TRUE;
            instance->take();
        }
        // The system ends the process as soon as this returns (else after a grace time of its
        // own): the main thread's disconnect gets that time, and its exit ends this thread.
        if (sessionEnds) ::Sleep(INFINITE);
        return TRUE;
    }
};

StopSignals::StopSignals(std::function<void()> onStop) : _onStop(std::move(onStop))
{
    // Installed once and kept: a handler that goes away would let a late Ctrl-C end the process
    // with the system's code instead of the command's. A Ctrl-C ignored by inheritance never
    // reaches handlers; only SetConsoleCtrlHandler(nullptr, FALSE) would undo that.
    static const bool installed = ::SetConsoleCtrlHandler(Watcher::onConsoleEvent, TRUE) != 0;
    (void)installed;
    std::lock_guard<std::mutex> lock(instanceLock);
    instance = this;
}

StopSignals::~StopSignals()
{
    std::lock_guard<std::mutex> lock(instanceLock);
    instance = nullptr;
}

void StopSignals::take()
{
    if (!_requested.exchange(true)) {
        if (_onStop) _onStop();
        return;
    }
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (error && error != INVALID_HANDLE_VALUE)
        ::WriteFile(error, kForcedExitMessage, sizeof kForcedExitMessage - 1, &written, nullptr);
    Output::restoreStreams();
    // Nothing of the process runs any more, not even the libraries' detach code, which a server
    // that hangs could block.
    ::TerminateProcess(::GetCurrentProcess(), kForcedExit);
}

} // namespace cli
