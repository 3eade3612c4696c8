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

Dispatcher::Dispatcher() : _mainThread(std::this_thread::get_id()) {}

Dispatcher::~Dispatcher()
{
    // A sender still waiting would wait on a dead object: the owner let a worker outlive it.
    assert(_sent.empty());
}

void Dispatcher::bindMainThread()
{
    _mainThread.store(std::this_thread::get_id());
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
    const bool waiting = !_sent.empty() || !_posted.empty() || _drainLeft.load(std::memory_order_relaxed) > 0;
    if (waiting && _wakeHook) wakeLocked(lock);
}

// Called with the lock held and no wake pending; leaves the lock released.
void Dispatcher::wakeLocked(std::unique_lock<std::mutex>& lock)
{
    _wakePending = true;
    std::shared_ptr<const WakeHook> hook = _wakeHook;
    _arrived.notify_all();  // a main thread in pumpUntil sleeps until posted work arrives
    lock.unlock();
    if (hook && *hook) (*hook)();
}

void Dispatcher::send(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (isMainThread()) {
        dispatch(message, wParam, lParam);
        return;
    }
    Synchronous entry;
    entry.message = message;
    entry.wParam = wParam;
    entry.lParam = lParam;
    waitForMain(entry);
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
    Synchronous entry;
    entry.step = &step;
    waitForMain(entry);
}

void Dispatcher::waitForMain(Synchronous& entry)
{
    std::unique_lock lock(_mutex);
    _sent.push_back(&entry);
    _sentCount.store(_sent.size(), std::memory_order_relaxed);
    _arrived.notify_all();  // a main thread in waitUntil runs it at once
    if (!_wakePending) {
        wakeLocked(lock);
        lock.lock();
    }
    _finished.wait(lock, [&] { return entry.done; });
}

bool Dispatcher::runOneSent()
{
    Synchronous* entry = nullptr;
    {
        std::lock_guard lock(_mutex);
        if (_sent.empty()) return false;
        entry = _sent.front();
        _sent.pop_front();
        _sentCount.store(_sent.size(), std::memory_order_relaxed);
    }
    // Released also when the work throws, so no sender waits forever; the entry belongs to the
    // sender again once done is set, so nothing here touches it afterwards.
    OnExit release([&] {
        std::lock_guard lock(_mutex);
        entry->done = true;
        _finished.notify_all();
    });
    if (entry->step)
        (*entry->step)();
    else
        dispatch(entry->message, entry->wParam, entry->lParam);
    return true;
}

std::size_t Dispatcher::processSent()
{
    assert(isMainThread());
    std::size_t ran = 0;
    while (runOneSent()) ++ran;
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
    if (_wakePending) return;
    if (_posted.empty() && _sent.empty() && _drainHead == _draining.size()) return;
    wakeLocked(lock);
}

std::size_t Dispatcher::processPosted(std::size_t maxCount)
{
    assert(isMainThread());
    std::size_t sent = processSent();
    {
        std::lock_guard lock(_mutex);
        _wakePending = false;
    }
    return drainPosted(maxCount, &sent, true);
}

std::size_t Dispatcher::processAll()
{
    assert(isMainThread());
    std::size_t sent = processSent();
    {
        std::lock_guard lock(_mutex);
        _wakePending = false;
    }
    const std::size_t posted = drainPosted(SIZE_MAX, &sent, true);
    return sent + posted;
}

bool Dispatcher::waitLoop(const std::function<bool()>& done, bool withPosted,
                          const std::chrono::steady_clock::time_point* deadline)
{
    assert(isMainThread());
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(_mutex);
            seen = _wakeups;
        }
        // done() runs unlocked: it may take locks of its own, or even post.
        if (done()) return true;
        if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
        if (runOneSent()) continue;
        if (withPosted && drainPosted(1, nullptr, false) > 0) continue;

        std::unique_lock lock(_mutex);
        auto ready = [&] {
            return !_sent.empty() || _wakeups != seen || (withPosted && !_posted.empty());
        };
        if (ready()) continue;
        // Nothing is queued and this thread is the drain now: the next post must wake it.
        if (withPosted) _wakePending = false;
        auto until = std::chrono::steady_clock::now() + recheckPeriod;
        if (deadline && *deadline < until) until = *deadline;
        _arrived.wait_until(lock, until, ready);
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
    _arrived.notify_all();
}

void Dispatcher::finishWorker(std::atomic<bool>* finished, std::atomic<int>& running)
{
    std::lock_guard lock(_mutex);
    if (finished) finished->store(true);
    --running;
    ++_wakeups;
    _arrived.notify_all();
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
