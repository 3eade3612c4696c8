#include "CallDeadlines.h"

#include "Exception.h"
#include "Logger.h"
#include "platform/ComRuntime.h"
#include "platform/Dispatcher.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace deadlines {

// One thread for the whole process watches every call that runs under a deadline. It sleeps
// until the earliest due time it knows of; a call that starts later than that needs no wake,
// which keeps the cost of a call (a lock and a list entry) small when a browse makes 100,000.
class Watchdog {
public:
    static Watchdog& instance()
    {
        // Never destroyed: a worker that was given up may still come back from its call while
        // the process ends.
        static Watchdog* watchdog = new Watchdog();
        return *watchdog;
    }

    void add(PendingCall* call)
    {
        std::unique_lock lock(_lock);
        _calls.push_back(call);
        call->_registered = true;
        if (!_sleeping || call->_due < _wakeAt) {
            _wakeAt = call->_due;
            _changed.notify_one();
        }
    }

    // True when the watchdog gave the call's work up; the call is out of the list either way.
    void remove(PendingCall* call)
    {
        std::lock_guard lock(_lock);
        if (!call->_registered) return;
        call->_registered = false;
        _calls.erase(std::find(_calls.begin(), _calls.end(), call));
    }

    int pending()
    {
        std::lock_guard lock(_lock);
        return static_cast<int>(_calls.size());
    }

private:
    Watchdog() { std::thread([this] { run(); }).detach(); }

    struct GivenUp {
        std::shared_ptr<ServerWork> work;
        const char* call;
        std::chrono::milliseconds limit;
    };

    void run()
    {
        std::unique_lock lock(_lock);
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            std::vector<GivenUp> givenUp;
            auto next = std::chrono::steady_clock::time_point::max();
            for (auto it = _calls.begin(); it != _calls.end();) {
                PendingCall* call = *it;
                if (call->_due <= now) {
                    if (!call->_cancelSent) {
                        call->_expired = true;
                        // A call into another process can be cancelled; the system answers
                        // at once, and the call comes back failed soon after.
                        if (SUCCEEDED(platform::cancelOutgoingCall(call->_threadId))) {
                            call->_cancelSent = true;
                            call->_due = now + kCancelGrace;
                        }
                    }
                    if (call->_due <= now) {
                        call->_givenUp = true;
                        call->_registered = false;
                        call->_work->givenUp = true;
                        givenUp.push_back({call->_work, call->_call, call->_limit});
                        it = _calls.erase(it);
                        continue;
                    }
                }
                next = std::min(next, call->_due);
                ++it;
            }
            if (!givenUp.empty()) {
                lock.unlock();
                for (GivenUp& entry : givenUp) handOver(entry);
                lock.lock();
                continue;  // the list may have changed meanwhile
            }
            _sleeping = true;
            _wakeAt = next;
            if (next == std::chrono::steady_clock::time_point::max())
                _changed.wait(lock);
            else
                _changed.wait_until(lock, next);
            _sleeping = false;
        }
    }

    // The main thread takes the work over; the worker's thread stays in its call.
    static void handOver(GivenUp& entry)
    {
        if (!entry.work->onGivenUp) return;
        try {
            platform::Dispatcher::instance().synchronize([&entry] { entry.work->onGivenUp(entry.call, entry.limit); });
        } catch (...) {
            // The step's failure is the main thread's business; the watchdog goes on.
        }
    }

    std::mutex _lock;
    std::condition_variable _changed;
    std::vector<PendingCall*> _calls;
    bool _sleeping = false;
    std::chrono::steady_clock::time_point _wakeAt = std::chrono::steady_clock::time_point::max();
};

std::string notAnsweredText(const std::string& prefix, const char* call, std::chrono::milliseconds limit)
{
    char seconds[32];
    if (limit.count() % 1000 == 0)
        std::snprintf(seconds, sizeof seconds, "%lld", static_cast<long long>(limit.count() / 1000));
    else
        std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(limit.count()) / 1000.0);
    return prefix + ": the server did not answer " + call + " within " + seconds + " s";
}

namespace {
thread_local bool cancellationEnabled = false;
thread_local DWORD threadId = 0;
} // namespace

PendingCall::PendingCall(const std::shared_ptr<ServerWork>& work, const char* call, std::chrono::milliseconds limit)
    : _work(work), _call(call), _limit(limit)
{
    if (limit.count() <= 0 || !work) return;
    if (!cancellationEnabled) {
        // For the thread's whole life: a cancel reaches only threads that allow it.
        cancellationEnabled = SUCCEEDED(CoEnableCallCancellation(nullptr));
        threadId = GetCurrentThreadId();
    }
    _threadId = threadId;
    _due = std::chrono::steady_clock::now() + limit;
    Watchdog::instance().add(this);
}

PendingCall::~PendingCall()
{
    if (_work && _limit.count() > 0) Watchdog::instance().remove(this);
}

bool PendingCall::late()
{
    if (!_work || _limit.count() <= 0) return false;
    Watchdog::instance().remove(this);
    // Both flags were written under the watchdog's lock, which remove() has taken since.
    return _givenUp || _expired;
}

void PendingCall::fail(const std::string& prefix)
{
    if (_givenUp) throw WorkGivenUp{};
    {
        const std::string text = notAnsweredText(prefix, _call, _limit);
        LOGG(2, "%s", text.c_str());
        throw CallNotAnswered(text);
    }
}

int pendingCalls()
{
    return Watchdog::instance().pending();
}

} // namespace deadlines
