#include "Worker.h"

#include <cassert>
#include <utility>

namespace platform {

std::atomic<int> Worker::_running{0};

Worker::Worker(Dispatcher& dispatcher) : _dispatcher(dispatcher) {}

Worker::~Worker()
{
    if (!_thread.joinable()) return;
    if (_dispatcher.isMainThread()) {
        // The thread may be waiting for its completion step, which only this thread can run.
        for (;;) {
            try {
                waitFor();
                break;
            } catch (...) {
                // A failing step of some other sender must not stop this wait (a destructor
                // cannot pass it on); the step's sender has been released already.
            }
        }
    } else {
        _thread.join();
    }
}

void Worker::setOnTerminate(std::function<void()> step)
{
    assert(!_started);
    _onTerminate = std::move(step);
}

void Worker::setFreeOnTerminate(bool freeOnTerminate)
{
    assert(!_started);
    _freeOnTerminate = freeOnTerminate;
}

void Worker::start()
{
    assert(!_started);
    _started = true;
    // Read before the thread exists: a self-freeing worker may be gone before start() returns,
    // so nothing below may touch this object once the thread runs.
    const bool freesItself = _freeOnTerminate;
    ++_running;
    std::thread thread(&Worker::threadMain, this);
    if (freesItself)
        thread.detach();
    else
        _thread = std::move(thread);
}

void Worker::threadMain()
{
    try {
        execute();
    } catch (...) {
        // Dropped by design: the completion step reports the outcome the worker recorded.
    }
    if (_onTerminate) _dispatcher.synchronize(_onTerminate);

    Dispatcher& dispatcher = _dispatcher;
    if (_freeOnTerminate) {
        delete this;
        dispatcher.finishWorker(nullptr, _running);
    } else {
        // Past this call the owner may destroy the object; its destructor then joins this thread.
        dispatcher.finishWorker(&_finished, _running);
    }
}

void Worker::waitFor()
{
    assert(!_freeOnTerminate);
    if (!_thread.joinable()) return;
    if (_dispatcher.isMainThread()) _dispatcher.waitUntil([this] { return finished(); });
    _thread.join();
}

int Worker::running()
{
    return _running.load();
}

} // namespace platform
