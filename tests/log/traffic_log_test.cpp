#include "log/traffic_log.h"
#include "model/connection.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace {

// Switches logging on for one test and drains what earlier tests left.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoggingEnabled = false;
        takeLogQueue();
        MonitorWindowHandle = recorder.handle();
        LoggingEnabled = true;
    }
    void TearDown() override {
        LoggingEnabled = false;
        MonitorWindowHandle = 0;
        takeLogQueue();
    }
    // The queued lines without their time stamps.
    std::vector<std::string> drainTexts() {
        std::vector<std::string> lines;
        appendLogBatch(lines, takeLogQueue());
        for (auto& line : lines)
            line = line.substr(line.find(": ") + 2);
        return lines;
    }
    MessageRecorder recorder;
};

TEST_F(LogTest, LinesAreStampedAndAnnounced) {
    logLine("hello");
    const std::string batch = takeLogQueue();
    // "YYYY-MM-DD hh:nn:ss.zzz : hello"
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd : hello";
    ASSERT_EQ(batch.size(), shape.size()) << batch;
    for (size_t i = 0; i < shape.size(); ++i)
        EXPECT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(batch[i]))
                                    : batch[i] == shape[i])
            << batch;
    EXPECT_EQ(recorder.count(WM_LOG_ADDED), 1u);
}

TEST_F(LogTest, NothingIsKeptWhileLoggingIsOff) {
    LoggingEnabled = false;
    logLine("lost");
    LoggingEnabled = true;
    EXPECT_EQ(takeLogQueue(), "");
    EXPECT_EQ(recorder.count(WM_LOG_ADDED), 0u);
}

TEST_F(LogTest, PrefixesNameTheTunnelAndPort) {
    auto hub = std::make_shared<THubInfo>();
    hub->hubId = 2;
    auto port = newSlotRecord(stComPort, 0, hub);
    port->PortName.set("CNCB0");
    auto cloud = newSlotRecord(stTCPClient, 0, hub);
    auto orphan = newLearningRecord();
    logConnectionEvent(port.get(), "a");
    logConnectionEvent(cloud.get(), "b");
    logConnectionEvent(orphan.get(), "c");
    logConnectionEvent(nullptr, "d");
    EXPECT_EQ(drainTexts(), (std::vector<std::string>{"Tunnel 2 port CNCB0 a", "Tunnel 2 tunnel  b",
                                                      " tunnel  c", "d"}));
}

TEST_F(LogTest, BurstFromManyThreadsKeepsEveryLineOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 10; ++t)
        threads.emplace_back([t] { logLine("line " + std::to_string(t)); });
    for (auto& t : threads)
        t.join();
    auto lines = drainTexts();
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 10u);
    for (int t = 0; t < 10; ++t)
        EXPECT_EQ(lines[t], "line " + std::to_string(t));
    EXPECT_EQ(recorder.count(WM_LOG_ADDED), 10u);
    EXPECT_EQ(takeLogQueue(), ""); // later notices of a drained batch find nothing
}

TEST(LogBatchTest, MonitorIsCutBy101LinesOncePast1000) {
    struct Case {
        size_t before, batchLines, after;
    } cases[] = {{1001, 5, 905}, {1000, 5, 1005}, {0, 1, 1}};
    for (const auto& c : cases) {
        std::vector<std::string> lines(c.before, "x");
        std::string batch = "y";
        for (size_t i = 1; i < c.batchLines; ++i)
            batch += "\r\ny";
        appendLogBatch(lines, batch);
        EXPECT_EQ(lines.size(), c.after) << c.before;
        EXPECT_EQ(lines.back(), "y");
    }
}

} // namespace
