#include "TestSignal.h"
#include "platform/Worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

using platform::Dispatcher;
using platform::Worker;
using namespace std::chrono_literals;

namespace {

constexpr auto deadline = 30s;  // only ever reached when something is broken

// A worker whose work is a function given by the test.
class TestWorker : public Worker {
public:
    TestWorker(Dispatcher& dispatcher, std::function<void(TestWorker&)> work, std::atomic<int>* destroyed = nullptr)
        : Worker(dispatcher), _work(std::move(work)), _destroyed(destroyed)
    {
    }
    ~TestWorker() override
    {
        if (_destroyed) ++*_destroyed;
    }

protected:
    void execute() override { _work(*this); }

private:
    std::function<void(TestWorker&)> _work;
    std::atomic<int>* _destroyed;
};

TEST(Worker, FreeOnTerminateRunsTheStepOnTheMainThreadThenDeletesItself)
{
    Dispatcher dispatcher;
    constexpr int workers = 8;
    std::atomic<int> executed{0};
    std::atomic<int> destroyed{0};
    int steps = 0;  // main thread only: a data race here is what the thread sanitizer would flag
    for (int i = 0; i < workers; ++i) {
        auto* worker = new TestWorker(dispatcher, [&](TestWorker&) { ++executed; }, &destroyed);
        worker->setOnTerminate([&] {
            EXPECT_TRUE(dispatcher.isMainThread());
            ++steps;
        });
        worker->setFreeOnTerminate(true);
        worker->start();
    }
    ASSERT_TRUE(dispatcher.waitUntil([] { return Worker::running() == 0; }, deadline));
    EXPECT_EQ(executed, workers);
    EXPECT_EQ(steps, workers);
    EXPECT_EQ(destroyed, workers);
}

TEST(Worker, ExceptionInExecuteIsDroppedAndTheStepStillRuns)
{
    Dispatcher dispatcher;
    TestWorker worker(dispatcher, [](TestWorker&) { throw std::runtime_error("work failed"); });
    bool stepRan = false;
    worker.setOnTerminate([&] { stepRan = true; });
    worker.start();
    worker.waitFor();
    EXPECT_TRUE(stepRan);
    EXPECT_TRUE(worker.finished());
}

TEST(Worker, WaitForServesSentMessagesButLeavesPostedOnes)
{
    Dispatcher dispatcher;
    std::vector<UINT> handled;
    dispatcher.setHandler([&](UINT message, WPARAM, LPARAM) { handled.push_back(message); });

    TestWorker worker(dispatcher, [&](TestWorker&) {
        dispatcher.post(WM_USER + 1, 0);
        dispatcher.send(WM_USER + 2, 0);  // would deadlock if waitFor only joined
    });
    bool stepRan = false;
    worker.setOnTerminate([&] { stepRan = true; });
    worker.start();
    worker.waitFor();

    EXPECT_TRUE(stepRan);
    EXPECT_EQ(handled, std::vector<UINT>{WM_USER + 2});
    EXPECT_EQ(dispatcher.processPosted(), 1u);
    EXPECT_EQ(handled.back(), WM_USER + 1);
}

TEST(Worker, TerminateIsARequestTheWorkSees)
{
    Dispatcher dispatcher;
    std::atomic<bool> started{false};
    TestWorker worker(dispatcher, [&](TestWorker& self) {
        started = true;
        while (!self.terminated()) std::this_thread::sleep_for(1ms);
    });
    worker.start();
    ASSERT_TRUE(dispatcher.waitUntil([&] { return started.load(); }, deadline));
    EXPECT_FALSE(worker.finished());
    worker.terminate();
    worker.waitFor();
    EXPECT_TRUE(worker.finished());
}

TEST(Worker, WaitingOnAWorkerThatNeverStartedReturns)
{
    Dispatcher dispatcher;
    TestWorker worker(dispatcher, [](TestWorker&) {});
    worker.waitFor();
    EXPECT_FALSE(worker.finished());
}

TEST(Worker, RunningCountsOnlyUnfinishedThreads)
{
    Dispatcher dispatcher;
    const int before = Worker::running();
    platform::testing::Signal release;
    TestWorker worker(dispatcher, [&](TestWorker&) { release.wait(); });
    worker.start();
    EXPECT_EQ(Worker::running(), before + 1);
    release.set();
    worker.waitFor();
    EXPECT_EQ(Worker::running(), before);
}

} // namespace
