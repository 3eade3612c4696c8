// Deadlines on the calls that the connect, disconnect and status work make into a server, so
// that no server holds the program for ever.
//
// A call past its deadline is cancelled where the system can cancel it (a call into another
// process); the call then comes back failed and the work raises "<prefix>: the server did not
// answer <call> within N s". Where it cannot be cancelled (in process), or the cancelled call
// does not come back within a short grace, the work is given up: its ServerWork's step runs on
// the main thread, which carries on as if the work had ended with that error, and the worker,
// if its call ever returns, throws WorkGivenUp at once and unwinds without touching anything
// of its connection (it owns what it still holds: its session record and its locals).
#pragma once

#include "Exception.h"
#include "platform/WinTypes.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

// Raised when a call past its deadline was cancelled and came back failed: the server is there
// but does not answer.
class CallNotAnswered : public Exception {
public:
    using Exception::Exception;
};

// Thrown in a worker whose work was given up while it was in a server call. Not an
// std::exception: every handler on the way either lets it pass or rethrows it.
struct WorkGivenUp {};

// One piece of work (a connect, a disconnect, a status watch) as the deadlines see it.
struct ServerWork {
    // Main thread step that takes the work over when it is given up in the call named, whose
    // deadline was limit. Set before the work starts; runs at most once.
    std::function<void(const char* call, std::chrono::milliseconds limit)> onGivenUp;
    // Set, once and for good, when the work is given up; any thread.
    std::atomic<bool> givenUp{false};
};

namespace deadlines {

// How long a cancelled call may still take before its work is given up.
constexpr std::chrono::milliseconds kCancelGrace{2000};

// "the server did not answer <call> within N s", N in whole seconds where it is whole.
std::string notAnsweredText(const std::string& prefix, const char* call, std::chrono::milliseconds limit);

// The bookkeeping of one call that runs under a deadline. Not for use on its own: see call().
class PendingCall {
public:
    PendingCall(const std::shared_ptr<ServerWork>& work, const char* call, std::chrono::milliseconds limit);
    ~PendingCall();
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;

    // After the call: false when it came back in time. Else what it handed out is not wanted:
    // the caller frees it and calls fail(), which does not return.
    bool late();
    // Throws WorkGivenUp when the work was given up, else raises the deadline's error (logged)
    // for a call that was cancelled.
    [[noreturn]] void fail(const std::string& prefix);

private:
    friend class Watchdog;
    std::shared_ptr<ServerWork> _work;
    const char* _call;
    std::chrono::milliseconds _limit;
    DWORD _threadId;
    std::chrono::steady_clock::time_point _due;
    bool _registered = false;
    bool _expired = false;     // the deadline passed: the call was cancelled or given up
    bool _cancelSent = false;
    bool _givenUp = false;
};

// Runs serverCall() on this thread under the deadline limit and returns what it returns; see
// the top of this file for what happens when the deadline passes. A limit of zero or less means
// no deadline. A call that comes back late has freeLate() run first, which frees whatever the
// call handed out (its out-parameters), as nobody else will.
template <class Call, class FreeLate>
auto call(const std::shared_ptr<ServerWork>& work, const std::string& prefix, const char* name,
          std::chrono::milliseconds limit, Call&& serverCall, FreeLate&& freeLate)
{
    PendingCall pending(work, name, limit);
    auto result = serverCall();
    if (pending.late()) {
        freeLate();
        pending.fail(prefix);
    }
    return result;
}

template <class Call>
auto call(const std::shared_ptr<ServerWork>& work, const std::string& prefix, const char* name,
          std::chrono::milliseconds limit, Call&& serverCall)
{
    return call(work, prefix, name, limit, std::forward<Call>(serverCall), [] {});
}

// Calls that are running under a deadline now, in the whole process (tests).
int pendingCalls();

} // namespace deadlines
