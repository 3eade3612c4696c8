// The part of the dispatcher that both systems share: the posted queue, the wake rule, the
// handler and the wait loop. How a sender waits and how the main thread sleeps is per system.
#include "Dispatcher.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace platform {

namespace {

// A condition that another thread changes without calling wakeWaiters() is still noticed after
// this long; a wait is never a busy loop, but never a hang either.
constexpr std::chrono::milliseconds recheckPeriod{50};

// Runs a function when the scope is left, also by an exception.
template <class F>
class OnExit {
public:
    explicit OnExit(F f) : _f(std::move(f)) {}
    ~OnExit() { _f(); }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

private:
    F _f;
};

} // namespace

Dispatcher& Dispatcher::instance()
{
    // Never destroyed: a detached worker may still wait in it while the process exits.
    static Dispatcher* const dispatcher = new Dispatcher;
    return *dispatcher;
}

bool Dispatcher::isMainThread() const
{
    return _mainThread.load() == std::this_thread::get_id();
}

void Dispatcher::setHandler(Handler handler)
{
    assert(isMainThread());
    // The handler may replace itself while it runs; the running one must outlive its call.
    if (_dispatchDepth > 0 && _handler) _retiredHandlers.push_back(std::move(_handler));
    _handler = handler ? std::make_unique<Handler>(std::move(handler)) : nullptr;
}

void Dispatcher::setWakeHook(WakeHook hook)
{
    std::unique_lock lock(_mutex);
    _wakeHook = hook ? std::make_shared<const WakeHook>(std::move(hook)) : nullptr;
    // A wake handed to an earlier hook may never be drained: the new hook starts afresh. Work
    // that arrived before it would otherwise wait for the next arrival.
    _wakePending = false;
    if (workWaitingLocked()) wakeLocked(lock);
}

bool Dispatcher::workWaitingLocked() const
{
    return sentWaitingLocked() || !_posted.empty() || _drainLeft.load(std::memory_order_relaxed) > 0;
}

void Dispatcher::wakeLocked(std::unique_lock<std::mutex>& lock)
{
    _wakePending = true;
    std::shared_ptr<const WakeHook> hook = _wakeHook;
    notifyPostedLocked();  // a main thread in pumpUntil sleeps until posted work arrives
    lock.unlock();
    if (hook)
        (*hook)();
    else
        wakeWithoutHook();
}

void Dispatcher::send(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (isMainThread()) {
        dispatch(message, wParam, lParam);
        return;
    }
    sendToMain(message, wParam, lParam);
}

void Dispatcher::post(UINT message, WPARAM wParam, LPARAM lParam)
{
    std::unique_lock lock(_mutex);
    _posted.push_back(Posted{message, wParam, lParam});
    if (!_wakePending) wakeLocked(lock);
}

void Dispatcher::post(const Message* messages, std::size_t count)
{
    if (count == 0) return;
    std::unique_lock lock(_mutex);
    _posted.insert(_posted.end(), messages, messages + count);
    if (!_wakePending) wakeLocked(lock);
}

void Dispatcher::synchronize(const std::function<void()>& step)
{
    if (isMainThread()) {
        step();
        return;
    }
    synchronizeWithMain(step);
}

std::size_t Dispatcher::processSent()
{
    assert(isMainThread());
    enterMainCall();
    std::size_t ran = 0;
    while (const std::size_t pass = runSentPass()) ran += pass;
    return ran;
}

std::size_t Dispatcher::drainPosted(std::size_t maxCount, std::size_t* sentRan, bool rearm)
{
    std::size_t ran = 0;
    OnExit finish([&] {
        _drainLeft.store(_draining.size() - _drainHead, std::memory_order_relaxed);
        if (rearm) rearmWake();
    });
    while (ran < maxCount) {
        if (_sentCount.load(std::memory_order_relaxed) != 0) {
            const std::size_t sent = processSent();
            if (sentRan) *sentRan += sent;
        }
        if (_drainHead == _draining.size()) {
            _draining.clear();
            _drainHead = 0;
            std::lock_guard lock(_mutex);
            if (_posted.empty()) break;
            _posted.swap(_draining);
        }
        const Posted next = _draining[_drainHead++];
        _drainLeft.store(_draining.size() - _drainHead, std::memory_order_relaxed);
        ++ran;
        dispatch(next.message, next.wParam, next.lParam);
    }
    return ran;
}

// After a drain that stopped early (a count limit or an exception): ask for another one.
void Dispatcher::rearmWake()
{
    std::unique_lock lock(_mutex);
    if (_wakePending || !workWaitingLocked()) return;
    wakeLocked(lock);
}

void Dispatcher::beginDrain()
{
    auto spent = [this] {
        std::lock_guard lock(_mutex);
        _wakePending = false;
    };
    // Queued wakes go first: one that arrives after the flag is cleared belongs to the next
    // drain. Should a handler fail meanwhile, the next post still wakes.
    try {
        forgetQueuedWakes();
    } catch (...) {
        spent();
        throw;
    }
    spent();
}

std::size_t Dispatcher::processPosted(std::size_t maxCount)
{
    assert(isMainThread());
    std::size_t sent = processSent();
    beginDrain();
    return drainPosted(maxCount, &sent, true);
}

std::size_t Dispatcher::processAll()
{
    assert(isMainThread());
    std::size_t sent = processSent();
    beginDrain();
    const std::size_t posted = drainPosted(SIZE_MAX, &sent, true);
    return sent + posted;
}

bool Dispatcher::waitLoop(const std::function<bool()>& done, bool withPosted,
                          const std::chrono::steady_clock::time_point* deadline)
{
    assert(isMainThread());
    enterMainCall();
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(_mutex);
            seen = _wakeups;
        }
        // done() runs unlocked: it may take locks of its own, or even post.
        if (done()) return true;
        if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
        if (runSentPass() > 0) continue;
        if (withPosted && drainPosted(1, nullptr, false) > 0) continue;

        auto until = std::chrono::steady_clock::now() + recheckPeriod;
        if (deadline && *deadline < until) until = *deadline;
        sleepUntilWork(seen, withPosted, until);
    }
}

void Dispatcher::waitUntil(const std::function<bool()>& done)
{
    waitLoop(done, false, nullptr);
}

bool Dispatcher::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    return waitLoop(done, false, &deadline);
}

bool Dispatcher::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    return waitLoop(done, true, &deadline);
}

void Dispatcher::wakeWaiters()
{
    std::lock_guard lock(_mutex);
    ++_wakeups;
    notifyWaitersLocked();
}

void Dispatcher::finishWorker(std::atomic<bool>* finished, std::atomic<int>& running)
{
    std::lock_guard lock(_mutex);
    if (finished) finished->store(true);
    --running;
    ++_wakeups;
    notifyWaitersLocked();
}

std::size_t Dispatcher::postedCount() const
{
    std::lock_guard lock(_mutex);
    return _posted.size() + _drainLeft.load(std::memory_order_relaxed);
}

std::size_t Dispatcher::removePosted(const std::function<bool(UINT, WPARAM, LPARAM)>& drop)
{
    assert(isMainThread());
    auto dropped = [&](const Posted& p) { return drop(p.message, p.wParam, p.lParam); };
    std::size_t removed = 0;

    const auto first = _draining.begin() + static_cast<std::ptrdiff_t>(_drainHead);
    const auto kept = std::remove_if(first, _draining.end(), dropped);
    removed += static_cast<std::size_t>(_draining.end() - kept);
    _draining.erase(kept, _draining.end());

    // The incoming queue is filtered outside the lock and what survives goes behind the part
    // being drained: it is younger than all of that and older than anything posted meanwhile.
    std::vector<Posted> incoming;
    {
        std::lock_guard lock(_mutex);
        incoming.swap(_posted);
    }
    const auto keptIncoming = std::remove_if(incoming.begin(), incoming.end(), dropped);
    removed += static_cast<std::size_t>(incoming.end() - keptIncoming);
    _draining.insert(_draining.end(), incoming.begin(), keptIncoming);
    incoming.clear();
    {
        std::lock_guard lock(_mutex);
        if (_posted.empty()) _posted.swap(incoming);  // give the queue its capacity back
        _drainLeft.store(_draining.size() - _drainHead, std::memory_order_relaxed);
    }
    return removed;
}

void Dispatcher::dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!_handler) return;
    Handler& handler = *_handler;
    ++_dispatchDepth;
    OnExit leave([&] {
        if (--_dispatchDepth == 0) _retiredHandlers.clear();
    });
    handler(message, wParam, lParam);
}

} // namespace platform
