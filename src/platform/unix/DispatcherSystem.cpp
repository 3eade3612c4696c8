// The dispatcher's hand-over on Linux: a sender queues an entry and waits on a condition variable
// until the main thread has run it; the main thread sleeps on another until work or a wake comes.
#include "platform/Dispatcher.h"

#include <cassert>
#include <condition_variable>
#include <deque>

namespace platform {

struct Dispatcher::System {
    // Lives on the waiting sender's stack until done is set (under the dispatcher's lock).
    struct Entry {
        const std::function<void()>* step = nullptr;  // null for a sent message
        UINT message = 0;
        WPARAM wParam = 0;
        LPARAM lParam = 0;
        bool done = false;
    };

    std::condition_variable arrived;   // the main thread waits here for sent work or a wake
    std::condition_variable finished;  // senders wait here for their work to be done
    std::deque<Entry*> sent;

    static void waitForMain(Dispatcher& dispatcher, Entry& entry);
    // Runs the oldest sent entry, if any; false when none was waiting.
    static bool runOne(Dispatcher& dispatcher);
};

Dispatcher::Dispatcher() : _mainThread(std::this_thread::get_id()), _system(std::make_unique<System>()) {}

Dispatcher::~Dispatcher()
{
    // A worker that has just ended may still be leaving finishWorker.
    std::lock_guard lock(_mutex);
    // A sender still waiting would wait on a dead object: the owner let a worker outlive it.
    assert(_system->sent.empty());
}

void Dispatcher::bindMainThread()
{
    _mainThread.store(std::this_thread::get_id());
}

void Dispatcher::System::waitForMain(Dispatcher& dispatcher, Entry& entry)
{
    std::unique_lock lock(dispatcher._mutex);
    System& system = *dispatcher._system;
    system.sent.push_back(&entry);
    dispatcher._sentCount.store(system.sent.size(), std::memory_order_relaxed);
    system.arrived.notify_all();  // a main thread in waitUntil runs it at once
    if (!dispatcher._wakePending) {
        dispatcher.wakeLocked(lock);
        lock.lock();
    }
    system.finished.wait(lock, [&] { return entry.done; });
}

void Dispatcher::sendToMain(UINT message, WPARAM wParam, LPARAM lParam)
{
    System::Entry entry;
    entry.message = message;
    entry.wParam = wParam;
    entry.lParam = lParam;
    System::waitForMain(*this, entry);
}

void Dispatcher::synchronizeWithMain(const std::function<void()>& step)
{
    System::Entry entry;
    entry.step = &step;
    System::waitForMain(*this, entry);
}

bool Dispatcher::System::runOne(Dispatcher& dispatcher)
{
    System& system = *dispatcher._system;
    Entry* entry = nullptr;
    {
        std::lock_guard lock(dispatcher._mutex);
        if (system.sent.empty()) return false;
        entry = system.sent.front();
        system.sent.pop_front();
        dispatcher._sentCount.store(system.sent.size(), std::memory_order_relaxed);
    }
    // Released also when the work throws, so no sender waits forever; the entry belongs to the
    // sender again once done is set, so nothing here touches it afterwards.
    auto release = [&] {
        std::lock_guard lock(dispatcher._mutex);
        entry->done = true;
        system.finished.notify_all();
    };
    try {
        if (entry->step)
            (*entry->step)();
        else
            dispatcher.dispatch(entry->message, entry->wParam, entry->lParam);
    } catch (...) {
        release();
        throw;
    }
    release();
    return true;
}

std::size_t Dispatcher::runSentPass()
{
    return System::runOne(*this) ? 1 : 0;
}

void Dispatcher::enterMainCall()
{
    // Every handler runs inside a dispatcher call here, which its exception leaves at once, and
    // a look at the sent queue costs no more than a lock.
}

bool Dispatcher::sentWaitingLocked() const
{
    return !_system->sent.empty();
}

void Dispatcher::notifyPostedLocked()
{
    _system->arrived.notify_all();
}

void Dispatcher::notifyWaitersLocked()
{
    _system->arrived.notify_all();
}

void Dispatcher::wakeWithoutHook()
{
    // Nothing but this dispatcher drains here: a main thread that waits is notified already.
}

void Dispatcher::forgetQueuedWakes()
{
    // The wake hook is the only way a wake travels, and it keeps no queue of its own.
}

void Dispatcher::sleepUntilWork(std::uint64_t seen, bool withPosted, std::chrono::steady_clock::time_point until)
{
    std::unique_lock lock(_mutex);
    auto ready = [&] { return !_system->sent.empty() || _wakeups != seen || (withPosted && !_posted.empty()); };
    if (ready()) return;
    // Nothing is queued and this thread is the drain now: the next post must wake it.
    if (withPosted) _wakePending = false;
    _system->arrived.wait_until(lock, until, ready);
}

} // namespace platform
