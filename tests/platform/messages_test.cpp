#include "platform/messages.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(MessagesTest, PostsReachTheReceiverFromManyThreads) {
    MessageRecorder recorder;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                PostMessage(recorder.handle(), WM_USER + 1);
        });
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(recorder.count(WM_USER + 1), 400u);
}

TEST(MessagesTest, PostsToHandleZeroOrAGoneReceiverDoNothing) {
    HWND gone;
    {
        MessageRecorder recorder;
        gone = recorder.handle();
    }
    PostMessage(0, WM_USER);
    PostMessage(gone, WM_USER);
    MessageRecorder fresh;
    EXPECT_NE(fresh.handle(), gone);
    EXPECT_TRUE(fresh.messages().empty());
}

} // namespace
