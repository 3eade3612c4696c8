// Hand-over to the main thread, independent of any UI toolkit. Window messages are numbers in
// the user range with one pointer-sized parameter; the main window installs one handler that
// routes them. A sent message or a completion step makes its caller wait until the main thread
// has run it; a posted message is queued in order and handled later. The UI event loop is woken
// through one hook and drains the dispatcher; tests drive the same dispatcher from the test
// thread, which then is the main thread.
//
// Order: posted messages are handled in the order the dispatcher received them, so the messages
// of one sending thread keep their order. Sent messages and completion steps go before posted
// ones, also in the middle of a long drain.
//
// A handler (or completion step) that throws: the sender is released as if it had run, and the
// exception leaves the dispatcher call that ran it on the main thread (processSent,
// processPosted, processAll, waitUntil, pumpUntil, or send/synchronize on the main thread). The
// queues stay consistent, so the next drain carries on with the rest.
//
// The parameters are values; what a message's parameter points to is the business of its
// sender and its handler.
//
// On Windows the main thread owns a message-only window of the dispatcher. Sent messages and
// completion steps are SendMessage calls to it, so any message loop of the main thread runs
// them, and the wait for a worker runs them and nothing posted by the system's own rule. Posted
// messages stay in the dispatcher's queue (the system's holds 10,000 per thread, fewer than a
// plant server has items); without a wake hook, one wake message posted to the window makes
// the thread's message loop drain them, a slice at a time. An exception of a handler that the
// system's own loop ran (nothing may unwind through its frames) leaves the next dispatcher call
// of the main thread instead.
#pragma once

#include "WinTypes.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>


namespace platform {

class Worker;

class Dispatcher {
public:
    using Handler = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;
    using WakeHook = std::function<void()>;

    // The process-wide dispatcher. Its main thread is the thread that calls bindMainThread(),
    // or else the first thread that asks for the instance.
    static Dispatcher& instance();

    // A dispatcher whose main thread is the constructing thread. It must outlive every thread
    // that sends or posts to it.
    Dispatcher();
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Main thread only (these configure it). On Windows the dispatcher's window moves to it.
    void bindMainThread();
    // Any thread.
    bool isMainThread() const;
    void setHandler(Handler handler);
    // Called from any thread when work arrives while none is waiting to be drained; the hook
    // must only schedule a drain (it may not run one itself). Once called, it is not called
    // again until the main thread has begun the drain (processPosted or processAll), so the
    // drain it schedules must run. Called at once when work is already waiting. On Windows only
    // posted work wakes (the system runs sent work in any message loop), and without a hook the
    // wake is a message posted to the dispatcher's window.
    void setWakeHook(WakeHook hook);

    // Any thread. From the main thread the message is handled at once. Without a handler the
    // message is dropped.
    void send(UINT message, WPARAM wParam, LPARAM lParam = 0);
    // Any thread; never waits (one short critical section, no allocation once the queue has
    // reached its working size).
    void post(UINT message, WPARAM wParam, LPARAM lParam = 0);
    // Posts several messages in one critical section, in their order: a thread that produces
    // many at once (a data-change block) takes the lock once instead of once a message.
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    void post(const Message* messages, std::size_t count);
    // Runs step on the main thread and waits until it has run (a worker's completion step).
    // From the main thread it runs at once. The caller keeps step alive meanwhile.
    void synchronize(const std::function<void()>& step);

    // Main thread: handle what is waiting.
    // Sent messages and completion steps; returns how many ran.
    std::size_t processSent();
    // Up to maxCount posted messages, oldest first, after the sent ones (which also run between
    // posted messages when they arrive during the drain); returns how many posted ones ran.
    // When it stops with messages left, the wake hook is called for another drain.
    std::size_t processPosted(std::size_t maxCount = SIZE_MAX);
    // Everything that is waiting, sent before posted; returns how many ran.
    std::size_t processAll();

    // Main thread: the wait for a worker. Runs sent messages and completion steps, never posted
    // ones, until done() is true; done() is checked again after each of them. Between them the
    // thread sleeps; whoever makes done() true from another thread should call wakeWaiters()
    // (Worker does), else the change is noticed only at the next periodic check.
    void waitUntil(const std::function<bool()>& done);
    // The same with a deadline: false when it passed first.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // For tests and shutdown: runs sent and posted messages until done() is true or the deadline
    // passes (done() is checked after each message); false when the deadline passed first.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Any thread: makes a main thread that waits in waitUntil or pumpUntil check done() again.
    void wakeWaiters();

    // Any thread; a snapshot.
    std::size_t postedCount() const;
    // Main thread: drops every posted message for which drop(message, wParam, lParam) is true
    // and returns how many. drop runs without the dispatcher's lock held.
    std::size_t removePosted(const std::function<bool(UINT, WPARAM, LPARAM)>& drop);

private:
    friend class Worker;
    // How senders wait and how the main thread sleeps and is woken: the one part that each
    // system does its own way (unix/DispatcherSystem.cpp, windows/DispatcherSystem.cpp).
    struct System;

    using Posted = Message;

    // The posted part of a drain; sentRan (when given) counts the sent entries run meanwhile,
    // rearm asks for another drain when it stops with messages left.
    std::size_t drainPosted(std::size_t maxCount, std::size_t* sentRan, bool rearm);
    // The start of a drain: wakes still on their way are spent, the next arrival wakes anew.
    void beginDrain();
    bool waitLoop(const std::function<bool()>& done, bool withPosted,
                  const std::chrono::steady_clock::time_point* deadline);
    // Called with the lock held and no wake pending; leaves the lock released.
    void wakeLocked(std::unique_lock<std::mutex>& lock);
    void rearmWake();
    // With the lock held: work that a drain would take is waiting.
    bool workWaitingLocked() const;
    void dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    // Worker's end of thread: changes its counters under the lock, then wakes the waiters, so a
    // main thread that sees them never has to wait for this thread to touch the dispatcher.
    void finishWorker(std::atomic<bool>* finished, std::atomic<int>& running);

    // The per-system part.
    // From a thread other than the main thread: hands the message or step over and waits.
    void sendToMain(UINT message, WPARAM wParam, LPARAM lParam);
    void synchronizeWithMain(const std::function<void()>& step);
    // Main thread: runs sent entries that are waiting; returns how many ran (0: none waited).
    std::size_t runSentPass();
    // Main thread, at the start of every call that runs handlers: an exception a handler raised
    // outside any dispatcher call (the system ran it) leaves here, and the call looks for sent
    // work at least once.
    void enterMainCall();
    // With the lock held: sent work needs a drain to run (it does not where the system runs it).
    bool sentWaitingLocked() const;
    // With the lock held: wakes a main thread that waits in pumpUntil (posted work arrived), or
    // in any wait (wakeWaiters, a worker ended).
    void notifyPostedLocked();
    void notifyWaitersLocked();
    // Without the lock, when no hook is installed: the system's own way to schedule a drain.
    void wakeWithoutHook();
    // Main thread: takes back wakes of the system that are still queued.
    void forgetQueuedWakes();
    // Main thread: sleeps until sent work arrives, a wake newer than seen, posted work (when
    // withPosted) or until; may return early.
    void sleepUntilWork(std::uint64_t seen, bool withPosted, std::chrono::steady_clock::time_point until);

    mutable std::mutex _mutex;
    std::atomic<std::thread::id> _mainThread;
    std::unique_ptr<System> _system;
    // Main thread only. Held by pointer so that a handler replaced while it runs stays where it
    // is until the outermost dispatch has returned.
    std::unique_ptr<Handler> _handler;
    std::vector<std::unique_ptr<Handler>> _retiredHandlers;
    int _dispatchDepth = 0;                 // main thread only
    std::shared_ptr<const WakeHook> _wakeHook;  // replaced whole, so a copy can run unlocked
    bool _wakePending = false;
    std::uint64_t _wakeups = 0;  // bumped by wakeWaiters, so a wait does not miss one
    // Sent entries on their way, read unlocked between posted messages: a drain looks for sent
    // work only when there is some.
    std::atomic<std::size_t> _sentCount{0};
    // Posting threads append to _posted. The main thread swaps it with the empty _draining and
    // works through _draining without the lock; both keep their capacity, so a steady stream
    // allocates nothing. Everything in _draining is older than everything in _posted.
    std::vector<Posted> _posted;
    std::vector<Posted> _draining;      // main thread only
    std::size_t _drainHead = 0;         // main thread only
    std::atomic<std::size_t> _drainLeft{0};  // _draining.size() - _drainHead, for postedCount
};

} // namespace platform
