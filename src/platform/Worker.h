// A worker thread: a run operation, a completion step that runs on the main thread while the
// worker waits for it, and free-on-terminate. Created suspended; start() lets it run.
//
// Lifetime: a worker that frees itself is created with new and owned by its own thread from
// start() on. Any other worker is owned by whoever created it; its owner calls waitFor() before
// destroying it. The destructor waits too, but by then the derived part is gone, so a derived
// class whose execute() may still run must call waitFor() in its own destructor.
#pragma once

#include "Dispatcher.h"

#include <atomic>
#include <functional>
#include <thread>

namespace platform {

class Worker {
public:
    // The dispatcher runs the completion step and must outlive the worker's thread.
    explicit Worker(Dispatcher& dispatcher = Dispatcher::instance());
    virtual ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Main thread, before start(). The completion step runs on the main thread after execute()
    // has returned, whatever happened in it; the worker waits until it has run. An exception
    // from the step leaves the dispatcher call that ran it (see Dispatcher.h).
    void setOnTerminate(std::function<void()> step);
    // The worker deletes itself after its completion step; nobody may touch it afterwards.
    void setFreeOnTerminate(bool freeOnTerminate);
    // Main thread, once.
    void start();

    // The stop request: a flag that execute() may consult. Any thread.
    void terminate() { _terminated = true; }
    bool terminated() const { return _terminated; }

    // Main thread, for a worker that does not free itself: waits until the thread has ended,
    // running sent messages and completion steps meanwhile (never posted ones). Returns at once
    // for a worker that was never started. From another thread it only joins.
    void waitFor();
    // Any thread: execute() and the completion step are over.
    bool finished() const { return _finished; }

    // Workers whose thread has not yet ended, in the whole process (tests wait for 0). Any
    // thread; the dispatcher's waiters are woken when it drops.
    static int running();

protected:
    // The work, on the worker thread. An exception that escapes is dropped.
    virtual void execute() = 0;

private:
    void threadMain();

    Dispatcher& _dispatcher;
    std::function<void()> _onTerminate;
    bool _freeOnTerminate = false;
    bool _started = false;
    std::atomic<bool> _terminated{false};
    std::atomic<bool> _finished{false};
    std::thread _thread;
    static std::atomic<int> _running;
};

} // namespace platform
