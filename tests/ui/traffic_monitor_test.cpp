#include "log/traffic_log.h"
#include "ui/traffic_monitor.h"
#include "ui_test_support.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <filesystem>
#include <fstream>

namespace {

class TrafficMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { takeLogQueue(); }
    void TearDown() override {
        LoggingEnabled = false;
        takeLogQueue();
    }
    QStringList memoLines() const { return monitor.Memo1->toPlainText().split('\n'); }
    TfrmTrafficMonitor monitor;
};

TEST_F(TrafficMonitorTest, ShowsQueuedLinesOnceInOrder) {
    LoggingEnabled = true;
    for (int i = 0; i < 10; ++i)
        logLine("line " + std::to_string(i));
    // Ten messages were posted; the first takes every line, the others find none.
    ASSERT_TRUE(processUntil([&] { return monitor.Memo1->blockCount() == 10; }));
    QCoreApplication::processEvents();
    const QStringList lines = memoLines();
    ASSERT_EQ(lines.size(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(lines[i].endsWith(QString(": line %1").arg(i))) << lines[i].toStdString();
}

TEST_F(TrafficMonitorTest, KeepsAboutAThousandLines) {
    LoggingEnabled = true;
    for (int i = 0; i < 1001; ++i)
        logLine("old " + std::to_string(i));
    monitor.FlushLogQueue();
    ASSERT_EQ(monitor.Memo1->blockCount(), 1001);
    for (int i = 0; i < 5; ++i)
        logLine("new " + std::to_string(i));
    monitor.FlushLogQueue();
    const QStringList lines = memoLines();
    ASSERT_EQ(lines.size(), 905);
    EXPECT_TRUE(lines.front().endsWith(": old 101"));
    EXPECT_TRUE(lines.back().endsWith(": new 4"));
}

TEST_F(TrafficMonitorTest, ClosingSwitchesLoggingOff) {
    LoggingEnabled = true;
    monitor.show();
    monitor.close();
    EXPECT_FALSE(LoggingEnabled);
    EXPECT_FALSE(monitor.isVisible());
    logLine("while hidden");
    EXPECT_EQ(takeLogQueue(), "");
}

TEST(TrafficMonitorSizeTest, OpensWideEnoughForWholeLinesAndKeepsItsSize) {
    std::filesystem::create_directories(settingsPath().parent_path());
    std::filesystem::remove(TfrmTrafficMonitor::sizeFilePath());
    QSize given;
    {
        TfrmTrafficMonitor monitor;
        const QFontMetrics metrics(monitor.Memo1->font());
        EXPECT_GE(monitor.width(), metrics.horizontalAdvance(QString(120, '0')));
        EXPECT_GE(monitor.height(), metrics.lineSpacing() * 20);
        EXPECT_NE(monitor.maximumSize(), monitor.minimumSize()); // resizable
        monitor.show();
        given = monitor.size() + QSize(37, -50);
        monitor.resize(given);
        monitor.close();
    }
    TfrmTrafficMonitor reopened;
    EXPECT_EQ(reopened.size(), given);

    // A damaged file is ignored.
    for (const char* text : {"90000x90000\n", "x\n", "300x300trailing\n"}) {
        std::ofstream(TfrmTrafficMonitor::sizeFilePath()) << text;
        TfrmTrafficMonitor monitor;
        EXPECT_NE(monitor.size(), QSize(300, 300)) << text;
        EXPECT_LE(monitor.width(), 16384) << text;
    }
    std::filesystem::remove(TfrmTrafficMonitor::sizeFilePath());
}

} // namespace
