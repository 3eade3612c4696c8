#include "DispatcherPump.h"

#include <QMetaObject>

namespace {

// Posted messages are drained in slices of this many between looks at the clock: reading the
// clock costs about as much as handling a cheap message.
constexpr std::size_t kSlice = 64;

} // namespace

DispatcherPump::DispatcherPump(platform::Dispatcher& dispatcher, std::chrono::microseconds budget, QObject* parent)
    : QObject(parent), _dispatcher(dispatcher), _budget(budget), _target(std::make_shared<WakeTarget>())
{
    _target->pump = this;
    std::weak_ptr<WakeTarget> weak = _target;
    _dispatcher.setWakeHook([weak] {
        const std::shared_ptr<WakeTarget> target = weak.lock();
        if (!target) return;
        // One drain waiting on the event loop is enough: it takes everything that is queued when
        // it starts, and clears the flag before it does.
        if (target->scheduled.exchange(true)) return;
        std::lock_guard guard(target->lock);
        if (target->pump) target->pump->schedule();
    });
}

DispatcherPump::~DispatcherPump()
{
    _dispatcher.setWakeHook(nullptr);
    std::lock_guard guard(_target->lock);
    _target->pump = nullptr;
}

// Any thread: a queued call is the one thing Qt lets another thread do to a main-thread object.
void DispatcherPump::schedule()
{
    QMetaObject::invokeMethod(this, &DispatcherPump::drain, Qt::QueuedConnection);
}

void DispatcherPump::drain()
{
    _target->scheduled.store(false);
    ++_drains;
    try {
        _dispatcher.processSent();
        const auto deadline = std::chrono::steady_clock::now() + _budget;
        for (;;) {
            const std::size_t ran = _dispatcher.processPosted(kSlice);
            _postedHandled += ran;
            // processPosted asked for another drain itself if it stopped with messages left.
            if (ran < kSlice) break;
            if (std::chrono::steady_clock::now() >= deadline) break;
        }
    } catch (...) {
        // The dispatcher stays consistent; what is left is taken by the next drain.
        _target->scheduled.store(true);
        schedule();
        if (_onError) _onError(std::current_exception());
    }
    emit drained();
}
