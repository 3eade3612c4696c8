// The dispatcher's hand-over on Windows: a message-only window of the main thread. A sent message
// or completion step is a SendMessage call to it, which the system runs whenever the main thread
// reads its messages; the wait for a worker reads sent messages only (MsgWaitForMultipleObjectsEx
// with QS_SENDMESSAGE, PeekMessage with PM_QS_SENDMESSAGE), so nothing posted runs in it. Posted
// messages stay in the dispatcher's queue, and a wake message posted to the window makes a
// message loop of the main thread drain them.
#include "platform/Dispatcher.h"

#include <cassert>
#include <exception>
#include <system_error>

namespace platform {

namespace {

const wchar_t kWindowClass[] = L"Tagvista.Dispatcher";

// Posted messages one wake message drains before the message loop has its turn again; the drain
// asks for the next wake itself when messages are left.
constexpr std::size_t kWakeSlice = 256;

// The window takes the application range (WM_USER up to the registered messages) as it is;
// any other number travels inside a carrier message, so that the system's own messages to the
// window never reach the handler and every number of the caller does.
bool travelsAsItself(UINT message)
{
    return message >= WM_USER && message < 0xC000;
}

// The dispatcher's own messages, outside the application range.
struct OwnMessages {
    UINT wake;     // posted: drain the posted queue
    UINT step;     // sent: lParam is the completion step
    UINT carrier;  // sent: lParam is a Carried message
};

const OwnMessages& ownMessages()
{
    static const OwnMessages messages{RegisterWindowMessageW(L"Tagvista.Dispatcher.Wake"),
                                      RegisterWindowMessageW(L"Tagvista.Dispatcher.Step"),
                                      RegisterWindowMessageW(L"Tagvista.Dispatcher.Carrier")};
    return messages;
}

// On the sender's stack while it waits.
struct Carried {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

const char kModuleAnchor = 0;

HINSTANCE thisModule()
{
    // The module holding this code: a server library has its own copy of the layer.
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module);
    return module;
}

bool ownedByThisThread(HWND window)
{
    return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

// Only its own thread may destroy a window; another thread's goes when that thread ends, and
// until then it is a window without a dispatcher.
void letGo(HWND window)
{
    if (!window) return;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    if (ownedByThisThread(window)) DestroyWindow(window);
}

} // namespace

struct Dispatcher::System {
    System();
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    std::atomic<HWND> window{nullptr};
    HANDLE waiters = nullptr;  // auto-reset: wakeWaiters, a worker ended
    HANDLE posted = nullptr;   // auto-reset: posted work arrived while no drain was asked for
    // Main thread only.
    std::size_t sentRan = 0;      // sent entries the window has run, ever
    // The queue may hold sent messages other than the dispatcher's: a look at it costs a call
    // into the system, so it is taken when a call begins, when a sleep ended for input, and
    // whenever senders of the dispatcher wait.
    bool lookAtQueue = true;
    int windowDepth = 0;          // window procedures of the dispatcher running
    std::exception_ptr failure;   // raised by a handler the system ran, not yet passed on

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static HWND createWindow(Dispatcher& dispatcher);
    // PeekMessageW; an exception raised by a handler it ran leaves here, one kept from before
    // stays kept.
    BOOL peek(MSG& message, HWND window, UINT first, UINT last, UINT flags);
    // Sends and waits; the count lets a drain look for sent work only when there is some.
    static void sendAndWait(Dispatcher& dispatcher, UINT message, WPARAM wParam, LPARAM lParam);
};

HWND Dispatcher::System::createWindow(Dispatcher& dispatcher)
{
    // Registered before any sender needs them.
    const OwnMessages& own = ownMessages();
    if (own.wake == 0 || own.step == 0 || own.carrier == 0) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "the dispatcher's messages cannot be registered");
    }
    static const ATOM windowClass = [] {
        WNDCLASSEXW description{};
        description.cbSize = sizeof description;
        description.lpfnWndProc = &System::windowProcedure;
        description.hInstance = thisModule();
        description.lpszClassName = kWindowClass;
        return RegisterClassExW(&description);
    }();
    HWND window = nullptr;
    if (windowClass != 0) {
        window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, thisModule(), nullptr);
    }
    if (!window) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "the dispatcher's window cannot be made");
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&dispatcher));
    return window;
}

Dispatcher::System::System()
    : waiters(CreateEventW(nullptr, FALSE, FALSE, nullptr)), posted(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!waiters || !posted) {
        const DWORD error = GetLastError();
        if (waiters) CloseHandle(waiters);
        if (posted) CloseHandle(posted);
        throw std::system_error(static_cast<int>(error), std::system_category(),
                                "the dispatcher's events cannot be made");
    }
}

Dispatcher::System::~System()
{
    letGo(window.load());
    CloseHandle(waiters);
    CloseHandle(posted);
}

Dispatcher::Dispatcher() : _mainThread(std::this_thread::get_id()), _system(std::make_unique<System>())
{
    _system->window.store(System::createWindow(*this));
}

Dispatcher::~Dispatcher()
{
    // A worker that has just ended may still be leaving finishWorker.
    std::lock_guard lock(_mutex);
    // A sender still waiting would wait on a dead object: the owner let a worker outlive it.
    assert(_sentCount.load() == 0);
}

void Dispatcher::bindMainThread()
{
    const HWND old = _system->window.load();
    if (!ownedByThisThread(old)) {
        _system->window.store(System::createWindow(*this));
        letGo(old);
    }
    _mainThread.store(std::this_thread::get_id());
}

LRESULT CALLBACK Dispatcher::System::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* dispatcher = reinterpret_cast<Dispatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!dispatcher) return DefWindowProcW(window, message, wParam, lParam);
    const OwnMessages& own = ownMessages();
    const bool wake = message == own.wake;
    const bool sent = message == own.step || message == own.carrier || travelsAsItself(message);
    if (!wake && !sent) return DefWindowProcW(window, message, wParam, lParam);

    System& system = *dispatcher->_system;
    ++system.windowDepth;
    try {
        if (wake) {
            dispatcher->beginDrain();
            dispatcher->drainPosted(kWakeSlice, nullptr, true);
        } else {
            ++system.sentRan;
            if (message == own.step)
                (*reinterpret_cast<const std::function<void()>*>(lParam))();
            else if (message == own.carrier) {
                const Carried& carried = *reinterpret_cast<const Carried*>(lParam);
                dispatcher->dispatch(carried.message, carried.wParam, carried.lParam);
            } else
                dispatcher->dispatch(message, wParam, lParam);
        }
    } catch (...) {
        // Nothing may unwind through the system's frames: the exception waits for the dispatcher
        // call that made the system run this (the sender is released now, as if it had run). A
        // second one before that is dropped.
        if (!system.failure) system.failure = std::current_exception();
        // The drain may have stopped before it could ask for the next one itself.
        if (wake) dispatcher->rearmWake();
    }
    --system.windowDepth;
    return 0;
}

BOOL Dispatcher::System::peek(MSG& message, HWND window, UINT first, UINT last, UINT flags)
{
    std::exception_ptr earlier = std::move(failure);
    failure = nullptr;
    const BOOL got = PeekMessageW(&message, window, first, last, flags);
    std::exception_ptr raised = std::move(failure);
    failure = std::move(earlier);
    if (raised) std::rethrow_exception(raised);
    return got;
}

void Dispatcher::System::sendAndWait(Dispatcher& dispatcher, UINT message, WPARAM wParam, LPARAM lParam)
{
    const HWND window = dispatcher._system->window.load();
    dispatcher._sentCount.fetch_add(1);
    SendMessageW(window, message, wParam, lParam);
    dispatcher._sentCount.fetch_sub(1);
}

void Dispatcher::sendToMain(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (travelsAsItself(message)) {
        System::sendAndWait(*this, message, wParam, lParam);
        return;
    }
    const Carried carried{message, wParam, lParam};
    System::sendAndWait(*this, ownMessages().carrier, 0, reinterpret_cast<LPARAM>(&carried));
}

void Dispatcher::synchronizeWithMain(const std::function<void()>& step)
{
    System::sendAndWait(*this, ownMessages().step, 0, reinterpret_cast<LPARAM>(&step));
}

std::size_t Dispatcher::runSentPass()
{
    if (_sentCount.load() == 0 && !_system->lookAtQueue) return 0;
    _system->lookAtQueue = false;
    const std::size_t before = _system->sentRan;
    MSG message;
    _system->peek(message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    return _system->sentRan - before;
}

void Dispatcher::enterMainCall()
{
    System& system = *_system;
    system.lookAtQueue = true;
    // Not from inside the window: a drain the wake message started would take the failure back
    // and keep it again, for ever.
    if (system.failure && system.windowDepth == 0) {
        std::exception_ptr failure = std::move(system.failure);
        system.failure = nullptr;
        std::rethrow_exception(failure);
    }
}

bool Dispatcher::sentWaitingLocked() const
{
    return false;  // the system runs sent work in any message loop of the main thread
}

void Dispatcher::notifyPostedLocked()
{
    SetEvent(_system->posted);
}

void Dispatcher::notifyWaitersLocked()
{
    // Under the lock: once the lock is free, the dispatcher may be gone.
    SetEvent(_system->waiters);
}

void Dispatcher::wakeWithoutHook()
{
    // A full queue (another window flooding it) drops the wake; the next drain of any kind
    // takes the messages all the same.
    PostMessageW(_system->window.load(), ownMessages().wake, 0, 0);
}

void Dispatcher::forgetQueuedWakes()
{
    const HWND window = _system->window.load();
    const UINT wake = ownMessages().wake;
    MSG message;
    while (_system->peek(message, window, wake, wake, PM_REMOVE | PM_QS_POSTMESSAGE)) {
    }
}

void Dispatcher::sleepUntilWork(std::uint64_t seen, bool withPosted, std::chrono::steady_clock::time_point until)
{
    if (withPosted) {
        const std::size_t sentBefore = _system->sentRan;
        forgetQueuedWakes();
        if (_system->sentRan != sentBefore) return;
    }
    {
        std::lock_guard lock(_mutex);
        if (_wakeups != seen || (withPosted && !_posted.empty())) return;
        // Nothing is queued and this thread is the drain now: the next post must wake it.
        if (withPosted) _wakePending = false;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const HANDLE events[] = {_system->waiters, _system->posted};
    // Sent messages end the sleep, posted ones do not: the caller runs the sent ones next.
    const DWORD count = withPosted ? 2 : 1;
    const DWORD woken = MsgWaitForMultipleObjectsEx(count, events, static_cast<DWORD>(left.count()), QS_SENDMESSAGE,
                                                    MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0 + count) _system->lookAtQueue = true;
}

} // namespace platform
