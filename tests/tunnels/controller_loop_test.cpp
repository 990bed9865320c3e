#include "support/test_support.h"
#include "tunnels/controller_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(ControllerLoop, CallsPostedFromOtherThreadsRunOnTheLoopInOrder) {
    TControllerLoop loop;
    std::vector<int> ran;
    const auto loopThread = std::this_thread::get_id();
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&, i] {
                EXPECT_EQ(std::this_thread::get_id(), loopThread);
                ran.push_back(i);
            });
        loop.post([&] { loop.quit(); });
    });
    loop.run();
    poster.join();
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ran[i], i);
}

TEST(ControllerLoop, ATimerFiresOnceWhenDueAndARestartPutsItOff) {
    ManualClock clock;
    TControllerLoop loop;
    int fired = 0;
    loop.startTimer(1, 1000, [&] { ++fired; });
    clock.advance(800);
    loop.runPending();
    EXPECT_EQ(loop.msUntilNextTimer(), 200);
    loop.startTimer(1, 1000, [&] { ++fired; }); // restarted
    clock.advance(999);
    loop.runPending();
    EXPECT_EQ(fired, 0);
    clock.advance(1);
    loop.runPending();
    loop.runPending();
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(loop.timerActive(1));
    EXPECT_EQ(loop.msUntilNextTimer(), -1);
}

TEST(ControllerLoop, ARunningLoopSleepsUntilTheTestClockReachesItsTimer) {
    ManualClock clock;
    TControllerLoop loop;
    std::atomic<bool> armed{false};
    loop.post([&] {
        // An hour away: only the clock's move can bring it, not a real wait.
        loop.startTimer(1, 3600 * 1000, [&] { loop.quit(); });
        armed = true;
    });
    std::thread mover([&] {
        ASSERT_TRUE(waitUntil([&] { return armed.load(); }));
        clock.advance(3600 * 1000);
    });
    loop.run();
    mover.join();
}

TEST(ControllerLoop, ACallRunningANestedPumpDoesNotRunTheNextCalls) {
    TControllerLoop loop;
    std::vector<int> ran;
    loop.post([&] {
        loop.post([&] { ran.push_back(2); });
        EXPECT_EQ(loop.runPending(), 0u);
        ran.push_back(1);
    });
    loop.runPending();
    loop.runPending();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(ControllerLoop, TheWakeupHookHearsOfEveryPost) {
    TControllerLoop loop;
    std::atomic<int> wakeups{0};
    loop.setWakeup([&] { ++wakeups; });
    std::thread([&] { loop.post([] {}); }).join();
    EXPECT_EQ(wakeups.load(), 1);
    EXPECT_EQ(loop.runPending(), 1u);
}
