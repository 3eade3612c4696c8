// The dispatcher on Windows: its sent messages are the system's window messages of the main
// thread, and the system's message loop drains its posted ones through one wake message.
#include "platform/Dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

using platform::Dispatcher;
using namespace std::chrono_literals;

namespace {

constexpr UINT msgPosted = WM_USER + 1;
constexpr UINT msgSent = WM_USER + 2;
constexpr UINT msgThrow = WM_USER + 3;
constexpr auto deadline = 30s;  // only ever reached when something is broken

// Every message of the thread's queue, taken out without being dispatched.
std::vector<MSG> takeQueued()
{
    std::vector<MSG> queued;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) queued.push_back(message);
    return queued;
}

// The plain message loop of a program with windows, without any call of the dispatcher.
bool messageLoopUntil(const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        if (!done()) MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    return true;
}

class DispatcherWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        takeQueued();  // what earlier tests left behind
        _dispatcher.setHandler([this](UINT message, WPARAM wParam, LPARAM) {
            _handled.push_back({message, wParam, InSendMessage() != FALSE, GetCurrentThreadId() == _mainId});
            if (message == msgThrow) throw std::runtime_error("handler failure");
        });
    }

    // Posts from another thread, as callback threads do.
    void postElsewhere(UINT message, std::size_t count)
    {
        std::thread([&] {
            for (std::size_t i = 0; i < count; ++i) _dispatcher.post(message, i);
        }).join();
    }

    struct Handled {
        UINT message;
        WPARAM wParam;
        bool inSend;
        bool onMain;
    };
    const DWORD _mainId = GetCurrentThreadId();
    Dispatcher _dispatcher;
    std::vector<Handled> _handled;  // main thread only
};

TEST_F(DispatcherWindow, SentMessagesAndStepsRunInTheSystemsOwnMessageReading)
{
    std::atomic<bool> returned{false};
    bool stepInSend = false;
    std::thread worker([&] {
        _dispatcher.send(msgSent, 1);
        _dispatcher.send(5, 2);  // outside the application range
        _dispatcher.synchronize([&] { stepInSend = InSendMessage() != FALSE; });
        returned = true;
    });
    // Reading sent messages only, as any wait of a thread with windows does.
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!returned && std::chrono::steady_clock::now() < end) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    worker.join();

    ASSERT_EQ(_handled.size(), 2u);
    EXPECT_EQ(_handled[0].message, msgSent);
    EXPECT_EQ(_handled[1].message, 5u);
    for (const Handled& h : _handled) {
        EXPECT_TRUE(h.inSend);
        EXPECT_TRUE(h.onMain);
    }
    EXPECT_TRUE(stepInSend);
}

TEST_F(DispatcherWindow, AWaitLeavesTheSystemsPostedMessagesInTheQueue)
{
    ASSERT_TRUE(PostThreadMessageW(_mainId, WM_APP + 9, 7, 0));
    std::thread worker([&] {
        _dispatcher.post(msgPosted, 0);
        _dispatcher.send(msgSent, 0);
    });
    ASSERT_TRUE(_dispatcher.waitUntil([&] { return !_handled.empty(); }, deadline));
    worker.join();

    ASSERT_EQ(_handled.size(), 1u);
    EXPECT_EQ(_handled[0].message, msgSent);
    const std::vector<MSG> queued = takeQueued();
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(queued[0].message, WM_APP + 9);
    EXPECT_EQ(queued[0].wParam, 7u);
    EXPECT_EQ(_dispatcher.postedCount(), 1u);
}

TEST_F(DispatcherWindow, OneWakeMessageAtATimeAndTheMessageLoopDrainsInSlices)
{
    constexpr std::size_t count = 5000;
    postElsewhere(msgPosted, count);
    std::vector<MSG> queued = takeQueued();
    ASSERT_EQ(queued.size(), 1u);  // however many were posted

    DispatchMessageW(&queued[0]);
    // A slice, so that the loop's own messages have their turn in a flood.
    EXPECT_GT(_handled.size(), 0u);
    EXPECT_LT(_handled.size(), count);
    ASSERT_TRUE(messageLoopUntil([&] { return _handled.size() == count; }));
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(_handled[i].wParam, i);
        EXPECT_FALSE(_handled[i].inSend);
    }
    EXPECT_TRUE(takeQueued().empty()) << "no wake is left over";
}

TEST_F(DispatcherWindow, DrainsOfTheDispatcherTakeTheWakeMessageBack)
{
    postElsewhere(msgPosted, 3);
    EXPECT_EQ(_dispatcher.processAll(), 3u);
    EXPECT_TRUE(takeQueued().empty());

    // A program that only ever pumps the dispatcher must not fill the system's queue with wakes.
    for (std::size_t round = 1; round <= 50; ++round) {
        std::thread poster([&] { _dispatcher.post(msgPosted, round); });
        ASSERT_TRUE(_dispatcher.pumpUntil([&] { return _handled.size() == 3 + round; }, deadline));
        poster.join();
    }
    EXPECT_LE(takeQueued().size(), 1u);
}

TEST_F(DispatcherWindow, AHookTakesThePlaceOfTheWakeMessage)
{
    int wakes = 0;
    _dispatcher.setWakeHook([&] { ++wakes; });
    postElsewhere(msgPosted, 3);
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(takeQueued().empty());

    // Without the hook, work that is waiting wakes the message loop instead.
    _dispatcher.setWakeHook(nullptr);
    std::vector<MSG> queued = takeQueued();
    ASSERT_EQ(queued.size(), 1u);
    DispatchMessageW(&queued[0]);
    EXPECT_EQ(_handled.size(), 3u);
}

TEST_F(DispatcherWindow, FailuresInTheMessageLoopLeaveTheNextDispatcherCall)
{
    std::thread([&] {
        _dispatcher.post(msgThrow, 1);
        _dispatcher.post(msgPosted, 2);
    }).join();
    // The failing drain asks for another one, which takes the rest.
    ASSERT_TRUE(messageLoopUntil([&] { return _handled.size() == 2; }));
    EXPECT_EQ(_handled[1].wParam, 2u);
    EXPECT_THROW(_dispatcher.processAll(), std::runtime_error);
    EXPECT_EQ(_dispatcher.processAll(), 0u);

    // A sent message the loop ran: its sender is released at once.
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        _dispatcher.send(msgThrow, 3);
        returned = true;
    });
    ASSERT_TRUE(messageLoopUntil([&] { return returned.load(); }));
    sender.join();
    EXPECT_THROW(_dispatcher.waitUntil([] { return true; }), std::runtime_error);
    EXPECT_TRUE(_dispatcher.waitUntil([] { return true; }, 0ms));
}

TEST_F(DispatcherWindow, AFailureInsideADispatcherCallLeavesThatCall)
{
    // It leaves the call whose reading of the queue ran the handler, and only that one.
    std::thread sender([&] { _dispatcher.send(msgThrow, 1); });
    EXPECT_THROW(_dispatcher.waitUntil([&] { return !_handled.empty(); }, deadline), std::runtime_error);
    sender.join();
    EXPECT_EQ(_dispatcher.processAll(), 0u);
}

} // namespace
