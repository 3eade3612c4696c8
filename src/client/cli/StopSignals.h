// The stop request of the command line: SIGINT and SIGTERM on Linux, Ctrl-C, Ctrl-Break and the
// closing of the console on Windows. The first request wakes the main thread's wait through a
// callback (a signal handler could not do that safely); a second one ends the process at once,
// for a server that hangs in its disconnect.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace cli {

class StopSignals {
public:
    // Main thread, before any other thread of the process exists (on Linux the signals are blocked
    // here, and every thread started later inherits that, so only the watcher thread takes them).
    // onStop runs at the first request, after requested() has become true, on a thread of the
    // system's part; it must be safe to call from any thread. A Ctrl-C that the process inherited
    // as ignored (a background job of a shell script; on Windows a process group of its own)
    // stays ignored.
    explicit StopSignals(std::function<void()> onStop);
    // Main thread: no request is taken any more. One that comes later is held back (Linux: a
    // pending signal) or swallowed (Windows), so the process still ends the normal way.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Any thread.
    bool requested() const { return _requested.load(); }

    // The exit status of a process ended by the second request.
    static constexpr int kForcedExit = 130;
    // What the second request says on the standard error before the process ends.
    static constexpr char kForcedExitMessage[] = "tagvista-cli: stopped without waiting for the server\n";

private:
    // The system's part: StopSignals.cpp (POSIX signals) or StopSignals_win.cpp (console events).
    struct Watcher;

    // A request came: the first sets requested() and calls onStop, the second ends the process.
    void take();

    std::function<void()> _onStop;
    std::atomic<bool> _requested{false};
    std::unique_ptr<Watcher> _watcher;
};

} // namespace cli
