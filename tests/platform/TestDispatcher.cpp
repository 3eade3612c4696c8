#include "TestSignal.h"
#include "platform/Dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <map>
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

struct Handled {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool onMain;
};

// A dispatcher bound to the test thread with a handler that records what it ran.
class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _dispatcher.setHandler([this](UINT message, WPARAM wParam, LPARAM lParam) {
            _handled.push_back({message, wParam, lParam, _dispatcher.isMainThread()});
            if (message == msgThrow) throw std::runtime_error("handler failure");
        });
    }

    std::size_t count(UINT message) const
    {
        std::size_t n = 0;
        for (const Handled& h : _handled) n += h.message == message;
        return n;
    }

    Dispatcher _dispatcher;
    std::vector<Handled> _handled;  // main thread only
};

TEST_F(DispatcherTest, SendAndSynchronizeFromTheMainThreadRunAtOnce)
{
    _dispatcher.send(msgSent, 7, -3);
    ASSERT_EQ(_handled.size(), 1u);
    EXPECT_EQ(_handled[0].wParam, 7u);
    EXPECT_EQ(_handled[0].lParam, -3);

    bool ran = false;
    _dispatcher.synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(_dispatcher.processAll(), 0u);
}

TEST_F(DispatcherTest, WaitRunsSentMessagesAndStepsButNeverPostedOnes)
{
    platform::testing::Signal firstPosted;
    std::atomic<bool> stepRan{false};
    std::thread::id stepThread;
    std::thread worker([&] {
        _dispatcher.post(msgPosted, 1);
        firstPosted.set();
        _dispatcher.send(msgSent, 1);  // sent after the post, yet handled first
        _dispatcher.post(msgPosted, 2);
        _dispatcher.synchronize([&] {
            stepThread = std::this_thread::get_id();
            stepRan = true;
        });
    });
    std::thread poster([&] { _dispatcher.post(msgPosted, 3); });

    // A posted message waits in the queue all through the wait, which has every chance to run
    // it between the sent message and the completion step.
    firstPosted.wait();
    _dispatcher.waitUntil([&] { return stepRan.load(); });
    worker.join();
    poster.join();

    EXPECT_EQ(stepThread, std::this_thread::get_id());
    EXPECT_EQ(count(msgSent), 1u);
    EXPECT_EQ(count(msgPosted), 0u);
    EXPECT_TRUE(_handled[0].onMain);
    EXPECT_EQ(_dispatcher.postedCount(), 3u);

    EXPECT_EQ(_dispatcher.processPosted(), 3u);
    EXPECT_EQ(count(msgPosted), 3u);
    EXPECT_EQ(_dispatcher.postedCount(), 0u);
}

TEST_F(DispatcherTest, EveryMessageNumberAndParameterArrivesUnchanged)
{
    // Numbers of the system's own range and beyond it too: the dispatcher gives them no meaning.
    const UINT numbers[] = {0, 2, WM_USER - 1, WM_USER, 0x7FFF, 0x8000, 0xBFFF, 0xC000, 0xFFFF, 0x10000, UINT(-1)};
    constexpr WPARAM wide = WPARAM(1) << (sizeof(WPARAM) * 8 - 1);
    std::thread worker([&] {
        for (const UINT number : numbers) {
            _dispatcher.send(number, wide | number, -LPARAM(number) - 1);
            _dispatcher.post(number, number, LPARAM(number));
        }
    });
    ASSERT_TRUE(_dispatcher.waitUntil([&] { return _handled.size() == std::size(numbers); }, deadline));
    worker.join();
    ASSERT_EQ(_dispatcher.processAll(), std::size(numbers));

    ASSERT_EQ(_handled.size(), 2 * std::size(numbers));
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
        const Handled& sent = _handled[i];
        EXPECT_EQ(sent.message, numbers[i]);
        EXPECT_EQ(sent.wParam, wide | numbers[i]);
        EXPECT_EQ(sent.lParam, -LPARAM(numbers[i]) - 1);
        EXPECT_TRUE(sent.onMain);
        const Handled& posted = _handled[std::size(numbers) + i];
        EXPECT_EQ(posted.message, numbers[i]);
        EXPECT_EQ(posted.wParam, WPARAM(numbers[i]));
        EXPECT_EQ(posted.lParam, LPARAM(numbers[i]));
    }
}

TEST_F(DispatcherTest, WaitWithDeadlineReportsTimeoutAndLeavesPostedAlone)
{
    _dispatcher.post(msgPosted, 1);
    EXPECT_FALSE(_dispatcher.waitUntil([] { return false; }, 10ms));
    EXPECT_EQ(count(msgPosted), 0u);
    EXPECT_TRUE(_dispatcher.waitUntil([] { return true; }, 0ms));
}

TEST_F(DispatcherTest, SeveralWorkersSendingAtOnceAreAllServedOnTheMainThread)
{
    constexpr int threads = 4;
    constexpr int perThread = 200;
    std::atomic<int> returned{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) _dispatcher.send(msgSent, static_cast<WPARAM>(t), i);
            ++returned;
        });

    ASSERT_TRUE(_dispatcher.waitUntil([&] { return returned == threads; }, deadline));
    for (std::thread& s : senders) s.join();

    ASSERT_EQ(_handled.size(), static_cast<std::size_t>(threads * perThread));
    std::map<WPARAM, LPARAM> next;
    for (const Handled& h : _handled) {
        EXPECT_TRUE(h.onMain);
        EXPECT_EQ(h.lParam, next[h.wParam]++);  // a sender waits, so its sends keep their order
    }
}

TEST_F(DispatcherTest, PostedMessagesKeepEachSendersOrder)
{
    constexpr int threads = 4;
    constexpr int perThread = 20000;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) _dispatcher.post(msgPosted, static_cast<WPARAM>(t), i);
        });

    // Drained while the posters run, in slices, so that the swap of the queues is exercised.
    const bool all = _dispatcher.pumpUntil([&] { return _handled.size() == threads * perThread; }, deadline);
    for (std::thread& p : posters) p.join();
    ASSERT_TRUE(all);

    std::map<WPARAM, LPARAM> next;
    for (const Handled& h : _handled) {
        ASSERT_TRUE(h.onMain);
        ASSERT_EQ(h.lParam, next[h.wParam]++) << "sender " << h.wParam;
    }
    EXPECT_EQ(next.size(), static_cast<std::size_t>(threads));
}

TEST_F(DispatcherTest, WakeHookFiresOncePerDrainNotPerMessage)
{
    std::atomic<int> wakes{0};
    _dispatcher.setWakeHook([&] { ++wakes; });
    EXPECT_EQ(wakes, 0);

    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) _dispatcher.post(msgPosted, 0);
        });
    for (std::thread& p : posters) p.join();
    EXPECT_EQ(wakes, 1);

    // A drain that stops early asks for the next one, once.
    EXPECT_EQ(_dispatcher.processPosted(1000), 1000u);
    EXPECT_EQ(wakes, 2);
    _dispatcher.post(msgPosted, 0);
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(_dispatcher.processAll(), 2001u);
    EXPECT_EQ(wakes, 2);

    std::thread([&] { _dispatcher.post(msgPosted, 0); }).join();
    EXPECT_EQ(wakes, 3);

    // A send while a drain is already asked for needs no further wake.
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        _dispatcher.send(msgSent, 0);
        sent = true;
    });
    ASSERT_TRUE(_dispatcher.waitUntil([&] { return sent.load(); }, deadline));
    sender.join();
    EXPECT_EQ(wakes, 3);
}

TEST_F(DispatcherTest, PostedBatchKeepsItsOrderAmongSinglePosts)
{
    std::vector<WPARAM> order;
    _dispatcher.setHandler([&](UINT, WPARAM w, LPARAM) { order.push_back(w); });
    int wakes = 0;
    _dispatcher.setWakeHook([&] { ++wakes; });
    _dispatcher.post(msgPosted, 1);
    const platform::Dispatcher::Message batch[] = {{msgPosted, 2, 0}, {msgPosted, 3, 0}, {msgPosted, 4, 0}};
    _dispatcher.post(batch, 3);
    _dispatcher.post(batch, 0);
    _dispatcher.post(msgPosted, 5);
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(_dispatcher.postedCount(), 5u);
    EXPECT_EQ(_dispatcher.processAll(), 5u);
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 3, 4, 5}));
}

TEST_F(DispatcherTest, WakeHookInstalledLateFiresForWaitingWork)
{
    _dispatcher.post(msgPosted, 0);
    int wakes = 0;
    _dispatcher.setWakeHook([&] { ++wakes; });
    EXPECT_EQ(wakes, 1);
}

TEST_F(DispatcherTest, ReplacedHookIsWokenEvenIfTheOldOnesDrainNeverRan)
{
    int oldWakes = 0;
    _dispatcher.setWakeHook([&] { ++oldWakes; });
    _dispatcher.post(msgPosted, 0);
    ASSERT_EQ(oldWakes, 1);
    _dispatcher.removePosted([](UINT, WPARAM, LPARAM) { return true; });  // the drain never comes
    int newWakes = 0;
    _dispatcher.setWakeHook([&] { ++newWakes; });
    EXPECT_EQ(newWakes, 0) << "nothing is waiting";
    _dispatcher.post(msgPosted, 0);
    EXPECT_EQ(newWakes, 1);
    EXPECT_EQ(oldWakes, 1);
}

TEST_F(DispatcherTest, HandlersMayPostSendAndReplaceThemselves)
{
    std::vector<UINT> order;
    _dispatcher.setHandler([&](UINT message, WPARAM, LPARAM) {
        order.push_back(message);
        if (message == msgPosted) {
            _dispatcher.post(msgPosted + 100, 0);
            _dispatcher.send(msgSent, 0);
        }
        if (message == msgPosted + 100) {
            // Replacing the running handler must not destroy it under its own feet.
            _dispatcher.setHandler([&](UINT m, WPARAM, LPARAM) { order.push_back(m + 1000); });
            order.push_back(message);
        }
    });
    _dispatcher.post(msgPosted, 0);
    EXPECT_EQ(_dispatcher.processAll(), 2u);
    EXPECT_EQ(order, (std::vector<UINT>{msgPosted, msgSent, msgPosted + 100, msgPosted + 100}));
    _dispatcher.send(msgSent, 0);
    EXPECT_EQ(order.back(), msgSent + 1000);
}

TEST_F(DispatcherTest, ThrowingHandlerReleasesItsSenderAndKeepsTheQueue)
{
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        _dispatcher.send(msgThrow, 0);
        returned = true;
    });
    EXPECT_THROW(_dispatcher.waitUntil([&] { return returned.load(); }), std::runtime_error);
    ASSERT_TRUE(_dispatcher.waitUntil([&] { return returned.load(); }, deadline));
    sender.join();

    _dispatcher.post(msgThrow, 1);
    _dispatcher.post(msgPosted, 2);
    EXPECT_THROW(_dispatcher.processPosted(), std::runtime_error);
    EXPECT_EQ(_dispatcher.postedCount(), 1u);
    EXPECT_EQ(_dispatcher.processPosted(), 1u);
    EXPECT_EQ(_handled.back().wParam, 2u);
}

TEST_F(DispatcherTest, RemovePostedDropsMatchesAndKeepsTheRestInOrder)
{
    std::thread([&] {
        for (WPARAM i = 0; i < 10; ++i) _dispatcher.post(msgPosted, i);
    }).join();
    EXPECT_EQ(_dispatcher.processPosted(3), 3u);  // 0..2 handled, 3..9 in the part being drained
    _dispatcher.post(msgPosted, 10);
    _dispatcher.post(msgPosted, 11);

    EXPECT_EQ(_dispatcher.removePosted([](UINT, WPARAM w, LPARAM) { return w % 2 == 0; }), 4u);
    EXPECT_EQ(_dispatcher.postedCount(), 5u);
    _dispatcher.post(msgPosted, 12);
    EXPECT_EQ(_dispatcher.processAll(), 6u);

    std::vector<WPARAM> order;
    for (const Handled& h : _handled) order.push_back(h.wParam);
    EXPECT_EQ(order, (std::vector<WPARAM>{0, 1, 2, 3, 5, 7, 9, 11, 12}));
}

TEST_F(DispatcherTest, PumpUntilRunsPostedMessagesFromOtherThreads)
{
    std::thread poster([&] {
        for (WPARAM i = 0; i < 3; ++i) _dispatcher.post(msgPosted, i);
    });
    EXPECT_TRUE(_dispatcher.pumpUntil([&] { return count(msgPosted) == 3; }, deadline));
    poster.join();
    EXPECT_FALSE(_dispatcher.pumpUntil([] { return false; }, 10ms));
}

TEST_F(DispatcherTest, BindingMovesTheMainThreadAndItsMessages)
{
    std::thread other([&] {
        _dispatcher.bindMainThread();
        std::thread sender([&] { _dispatcher.send(msgSent, 1); });
        const bool served = _dispatcher.waitUntil([&] { return !_handled.empty(); }, deadline);
        sender.join();
        EXPECT_TRUE(served);
        _dispatcher.post(msgPosted, 2);
        EXPECT_EQ(_dispatcher.processAll(), 1u);
    });
    other.join();
    EXPECT_FALSE(_dispatcher.isMainThread());
    ASSERT_EQ(_handled.size(), 2u);
    EXPECT_TRUE(_handled[0].onMain);
    EXPECT_EQ(_handled[1].wParam, 2u);

    // And back: the first thread serves again.
    _dispatcher.bindMainThread();
    std::thread sender([&] { _dispatcher.send(msgSent, 3); });
    ASSERT_TRUE(_dispatcher.waitUntil([&] { return _handled.size() == 3; }, deadline));
    sender.join();
    EXPECT_TRUE(_handled[2].onMain);
}

TEST(DispatcherInstance, IsOneObjectBoundToTheThreadThatBindsIt)
{
    Dispatcher& first = Dispatcher::instance();
    EXPECT_EQ(&first, &Dispatcher::instance());
    first.bindMainThread();
    EXPECT_TRUE(first.isMainThread());
    bool elsewhere = true;
    std::thread([&] { elsewhere = first.isMainThread(); }).join();
    EXPECT_FALSE(elsewhere);
}

} // namespace
