// Runs the main-thread dispatcher on the Qt event loop: the dispatcher's wake hook schedules a
// drain, and a drain hands the event loop back after a short time budget, so that painting and
// input always get their turn however fast the workers post.
#pragma once

#include "platform/Dispatcher.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

class DispatcherPump : public QObject {
    Q_OBJECT
public:
    // Main thread (the dispatcher's and Qt's, which must be the same). Installs the wake hook; the
    // dispatcher must outlive the pump. The budget bounds the posted part of one drain.
    explicit DispatcherPump(platform::Dispatcher& dispatcher,
                            std::chrono::microseconds budget = std::chrono::milliseconds(4), QObject* parent = nullptr);
    // Main thread. Removes the wake hook; a hook call already running on another thread finishes
    // before this returns, and a drain it scheduled is dropped with the pump.
    ~DispatcherPump() override;
    DispatcherPump(const DispatcherPump&) = delete;
    DispatcherPump& operator=(const DispatcherPump&) = delete;

    // Main thread. One drain: every sent message and completion step that is waiting, then posted
    // messages until none is left or the budget is spent, then the drained() signal. When
    // messages are left another drain is scheduled on the event loop, behind what is already
    // waiting there. A handler's exception ends the drain and goes to the error callback (the
    // next drain carries on with the rest).
    void drain();

    // Main thread. What happens to an exception that a handler lets out (the default drops it).
    void setErrorCallback(std::function<void(std::exception_ptr)> callback) { _onError = std::move(callback); }

    // Main thread; for the benchmarks.
    std::uint64_t drains() const { return _drains; }
    std::uint64_t postedHandled() const { return _postedHandled; }

signals:
    // After every drain, whatever it ran: a place to coalesce the views' updates.
    void drained();

private:
    // Shared with the hook, which may run on any thread and may outlive the pump by a moment.
    struct WakeTarget {
        std::mutex lock;
        DispatcherPump* pump = nullptr;   // null once the pump is going
        std::atomic<bool> scheduled{false};
    };

    void schedule();

    platform::Dispatcher& _dispatcher;
    std::chrono::microseconds _budget;
    std::shared_ptr<WakeTarget> _target;
    std::function<void(std::exception_ptr)> _onError;
    std::uint64_t _drains = 0;
    std::uint64_t _postedHandled = 0;
};
