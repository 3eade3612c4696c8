// The stop request of the command line: SIGINT and SIGTERM, taken by a thread of their own so that
// the request can wake the main thread's wait through the dispatcher (a signal handler could not
// do that safely). A second signal ends the process at once, for a server that hangs in its
// disconnect.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace cli {

class StopSignals {
public:
    // Main thread, before any other thread of the process exists: the signals are blocked here,
    // and every thread started later inherits that, so only the watcher ever takes them. onStop
    // runs on the watcher thread at the first signal, after requested() has become true; it must
    // be safe to call from any thread. A SIGINT that the process inherited as ignored (a
    // background job of a shell script) stays ignored.
    explicit StopSignals(std::function<void()> onStop);
    // Main thread: ends the watcher. The signals stay blocked; a later one is simply pending.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Any thread.
    bool requested() const { return _requested.load(); }

    // The exit status of a process ended by the second signal.
    static constexpr int kForcedExit = 130;

private:
    void watch();

    std::function<void()> _onStop;
    std::atomic<bool> _requested{false};
    std::atomic<bool> _closing{false};
    bool _intIgnored = false;
    std::thread _watcher;
};

} // namespace cli
