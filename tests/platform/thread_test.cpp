#include "platform/thread.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

// Sleeps in long steps until told to stop; records how it ended.
class Sleeper : public TThread {
public:
    std::atomic<bool> sawTermination{false};
    std::atomic<bool>* destroyed = nullptr;
    ~Sleeper() override {
        if (destroyed)
            destroyed->store(true);
    }

protected:
    void Execute() override {
        while (SleepUnlessTerminated(60000)) {
        }
        sawTermination = true;
    }
};

TEST(ThreadTest, TerminateWakesAnInterruptibleSleepAndWaitForReturns) {
    auto thread = startThread<Sleeper>();
    EXPECT_FALSE(thread->WaitFor(50));
    thread->Terminate();
    ASSERT_TRUE(thread->WaitFor(10000));
    EXPECT_TRUE(thread->sawTermination);
    EXPECT_TRUE(thread->Terminated());
}

TEST(ThreadTest, RunningThreadKeepsItsObjectUntilExecuteReturns) {
    std::atomic<bool> destroyed{false};
    {
        auto thread = startThread<Sleeper>();
        thread->destroyed = &destroyed;
        thread->Terminate();
    } // the owner lets go at once, as a panel does after stopping work
    EXPECT_TRUE(waitUntil([&] { return destroyed.load(); }));
    EXPECT_TRUE(waitForAllThreads(10000));
}

class Synchronizer : public TThread {
public:
    std::atomic<int> result{0};
    std::atomic<bool> ran{false};

protected:
    void Execute() override {
        ran = Synchronize([this] { result = 42; });
    }
};

TEST(ThreadTest, SynchronizeRunsTheCallOnTheDispatcherAndWaitsForIt) {
    QueuedDispatcher dispatcher;
    auto thread = startThread<Synchronizer>();
    ASSERT_TRUE(waitUntil([&] { return dispatcher.pending() == 1; }));
    EXPECT_FALSE(thread->Finished());
    dispatcher.pump();
    ASSERT_TRUE(thread->WaitFor(10000));
    EXPECT_TRUE(thread->ran);
    EXPECT_EQ(thread->result, 42);
}

TEST(ThreadTest, SynchronizeGivesUpWhenTerminatedAndTheLateCallDoesNothing) {
    QueuedDispatcher dispatcher;
    auto thread = startThread<Synchronizer>();
    ASSERT_TRUE(waitUntil([&] { return dispatcher.pending() == 1; }));
    thread->Terminate();
    ASSERT_TRUE(thread->WaitFor(10000));
    EXPECT_FALSE(thread->ran);
    dispatcher.pump();
    EXPECT_EQ(thread->result, 0);
}

TEST(TickTest, IntervalsAreWrapSafe) {
    ManualClock clock(0xFFFFFFF0u);
    const uint32_t start = GetTickCount();
    clock.advance(0x20);
    EXPECT_EQ(ticksSince(start), 0x20u);
}

} // namespace
