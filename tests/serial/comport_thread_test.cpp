#include "driver/pair_store.h"
#include "log/traffic_log.h"
#include "model/connection.h"
#include "platform/event_loop.h"
#include "serial/comport_thread.h"
#include "support/test_support.h"
#include "support/user_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Waits until the relay loop has looked at everything due after the clock
// moved: then a write that did not happen is not going to happen.
void settle() {
    EXPECT_TRUE(TEventLoop::relay().settle(20000));
}

Bytes queueOf(TConnection& slot) {
    std::lock_guard guard(slot.BytesCriticalSection);
    return slot.BytesToSend;
}

std::string settingsOf(TConnection& slot) {
    std::lock_guard guard(slot.BytesCriticalSection);
    return slot.latestLocalportSettingsString;
}

// What another serial slot of the hub does when it hands bytes on.
void queueFromAnotherPort(TConnection& slot, const Bytes& bytes) {
    std::lock_guard guard(slot.BytesCriticalSection);
    slot.BytesToSend.insert(slot.BytesToSend.end(), bytes.begin(), bytes.end());
    slot.LastDataFromOthersMillis = GetTickCount();
    slot.HasDataFromOthers = true;
    wakeSlotWorker(slot);
}

// Workers log after they have updated the record, so a line may come a moment
// after what the test saw; lines are taken from the queue as they come.
bool waitForLogLines(const std::vector<std::string>& texts) {
    std::vector<std::string> lines;
    return waitUntil([&] {
        appendLogBatch(lines, takeLogQueue());
        return std::all_of(texts.begin(), texts.end(), [&](const std::string& text) {
            return std::any_of(lines.begin(), lines.end(), [&](const auto& line) {
                return line.find(text) != std::string::npos;
            });
        });
    });
}

bool waitForLogLine(const std::string& text) {
    return waitForLogLines({text});
}

// A hub with a COM-port slot bound to a freshly installed pair and two more
// slots that receive what it hands on.
class ComPortWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoggingEnabled = true;
        takeLogQueue();
        pair = addPairToStore();
        hub = std::make_shared<THubInfo>();
        com = newSlotRecord(stComPort, recorder.handle(), hub);
        com->PortName.set(hiddenPortName(pair));
        cloud = newSlotRecord(stTCPClient, 0, hub);
        second = newSlotRecord(stComPort, 0, hub);
    }
    void TearDown() override {
        // The pair stays installed: every test takes a number of its own.
        stopWorker();
        LoggingEnabled = false;
        takeLogQueue();
    }

    void startWorker() { worker = startComPortWorker(com); }
    void stopWorker() {
        if (!worker)
            return;
        worker->Terminate();
        EXPECT_TRUE(worker->WaitFor(20000));
        worker.reset();
    }
    bool waitForStatus(TC0mPortStatus status) {
        return waitUntil([&] { return com->comportStatus.load() == status; });
    }

    MessageRecorder recorder;
    int pair = -1;
    PHubInfo hub;
    PConnectionInfo com, cloud, second;
    std::shared_ptr<TWorker> worker;
};

TEST_F(ComPortWorkerTest, UserSideExchangesBytesAndSettingsWithTheOtherSlots) {
    startWorker();
    ASSERT_TRUE(waitUntil([&] { return settingsOf(*cloud).rfind("PortOpened: False, ", 0) == 0; }));
    EXPECT_EQ(com->comportStatus.load(), c0mPOrtNotOpenedByApp);

    UserPort user(userFacingPortPath(pair));
    user.setLine(B19200, true);
    const std::string opened = "PortOpened: True, Speed=19200, DataBits=8, Parity=none, StopBits=2";
    ASSERT_TRUE(waitUntil([&] { return settingsOf(*cloud) == opened; })) << settingsOf(*cloud);
    EXPECT_TRUE(waitUntil([&] { return settingsOf(*second) == opened; }));
    EXPECT_EQ(com->comportStatus.load(), c0mPortOpened);
    {
        std::lock_guard guard(cloud->BytesCriticalSection);
        EXPECT_FALSE(cloud->latestLocalportSettingsSent);
        EXPECT_TRUE(cloud->HasDataFromOthers);
    }
    EXPECT_TRUE(
        waitForLogLines({"CommunicationPropsChanged: " + opened, "Port framing sent: 19200 8N2"}));
    EXPECT_EQ(com->portFraming.get(), "19200 8N2");

    // From the user's program to every other slot, the escape character intact.
    const Bytes fromUser = {0x41, 0x61, 0x00, 0xFF, 0x61, 0x0D};
    const uint32_t readBefore = com->BytesRead.load();
    ASSERT_TRUE(user.write(fromUser));
    ASSERT_TRUE(waitUntil([&] { return queueOf(*cloud) == fromUser; }));
    EXPECT_TRUE(waitUntil([&] { return queueOf(*second) == fromUser; }));
    EXPECT_EQ(com->BytesRead.load() - readBefore, fromUser.size());
    EXPECT_GE(recorder.count(WM_TRAFFIC_RX), 1u);

    // From another slot to the user's program.
    const Bytes toUser = {0x61, 0x62, 0x00, 0x61, 0x0A};
    queueFromAnotherPort(*com, toUser);
    EXPECT_EQ(user.read(toUser.size()), toUser);
    EXPECT_TRUE(waitUntil([&] { return com->BytesWritten.load() == toUser.size(); }));
    EXPECT_TRUE(waitUntil([&] { return recorder.count(WM_TRAFFIC_TX) == 1; }));

    user.close();
    ASSERT_TRUE(waitUntil([&] { return settingsOf(*cloud).rfind("PortOpened: False, ", 0) == 0; }))
        << settingsOf(*cloud);
    EXPECT_TRUE(waitForStatus(c0mPOrtNotOpenedByApp));

    stopWorker();
    EXPECT_EQ(com->comportStatus.load(), c0mPOrtClosed);
    EXPECT_EQ(recorder.messages().back(), WM_CONNECTION_STATUS);
}

TEST_F(ComPortWorkerTest, WhatTheUserWritesWhileNoWorkerHoldsThePortIsDropped) {
    startWorker(); // the first open creates the pair's pty
    ASSERT_TRUE(waitForStatus(c0mPOrtNotOpenedByApp));
    stopWorker();
    ASSERT_EQ(com->comportStatus.load(), c0mPOrtClosed);

    UserPort user(userFacingPortPath(pair));
    ASSERT_TRUE(user.write(Bytes(16 * 1024, 0x55))); // never blocks the user's program
    ASSERT_TRUE(waitUntil([&] { return user.unsent() == 0; }));

    startWorker();
    ASSERT_TRUE(waitForStatus(c0mPortOpened));
    ASSERT_TRUE(user.write({0x5A}));
    ASSERT_TRUE(waitUntil([&] { return !queueOf(*cloud).empty(); }));
    EXPECT_EQ(queueOf(*cloud), Bytes{0x5A});
}

TEST_F(ComPortWorkerTest, WritesOnlyAfterThirtyQuietMillisecondsAndThenAllAtOnce) {
    ManualClock clock(1000);
    queueFromAnotherPort(*com, {0x41, 0x42}); // queued while the port is still closed
    startWorker();
    ASSERT_TRUE(waitForStatus(c0mPOrtNotOpenedByApp));
    UserPort user(userFacingPortPath(pair));
    ASSERT_TRUE(waitForStatus(c0mPortOpened));
    settle();
    clock.set(1010);
    queueFromAnotherPort(*com, {0x43, 0x44});
    clock.set(1040); // 30 ms after the last append: not yet
    settle();
    EXPECT_EQ(com->BytesWritten.load(), 0u);
    clock.set(1041);
    EXPECT_EQ(user.read(4), (Bytes{0x41, 0x42, 0x43, 0x44}));
    EXPECT_TRUE(waitUntil([&] { return recorder.count(WM_TRAFFIC_TX) == 1; }));
    EXPECT_EQ(com->BytesWritten.load(), 4u);
    EXPECT_TRUE(waitForLogLine("W 41424344"));

    // The tick counter wraps between the append and the test.
    clock.set(0xFFFFFFF0);
    queueFromAnotherPort(*com, {0x45});
    settle();
    EXPECT_EQ(com->BytesWritten.load(), 4u);
    clock.set(0x0F);
    EXPECT_EQ(user.read(1), Bytes{0x45});

    // A flag without bytes (a settings hand-over) is cleared, nothing written.
    {
        std::lock_guard guard(com->BytesCriticalSection);
        com->HasDataFromOthers = true;
        wakeSlotWorker(*com);
    }
    EXPECT_TRUE(waitUntil([&] { return !com->HasDataFromOthers.load(); }));
    EXPECT_EQ(com->BytesWritten.load(), 5u);
    EXPECT_EQ(recorder.count(WM_TRAFFIC_TX), 2u);
}

TEST_F(ComPortWorkerTest, FailedOpenIsRetriedUntilThePairExists) {
    ASSERT_TRUE(removePairFromStore(pair));
    startWorker();
    ASSERT_TRUE(waitForStatus(c0mPortOpenError));
    EXPECT_TRUE(waitForLogLine("Comport open error: "));
    ASSERT_EQ(addPairToStore(), pair); // the lowest free number comes back
    EXPECT_TRUE(waitForStatus(c0mPOrtNotOpenedByApp));
}

TEST_F(ComPortWorkerTest, StopDuringTheReopenPauseEndsPromptly) {
    ASSERT_TRUE(removePairFromStore(pair));
    startWorker();
    ASSERT_TRUE(waitForStatus(c0mPortOpenError));
    const auto stopAsked = std::chrono::steady_clock::now();
    worker->Terminate();
    ASSERT_TRUE(worker->WaitFor(20000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, 2s);
    EXPECT_EQ(com->comportStatus.load(), c0mPOrtClosed);
    EXPECT_EQ(recorder.messages().back(), WM_CONNECTION_STATUS);
}

TEST(C0cCportTest, PortWhoseDriverRefusesTheReportRequestDoesNotOpen) {
    // A plain pty answers no device-control request.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    TC0cCport port;
    port.Port = ptsname(master);
    try {
        port.Open();
        ADD_FAILURE() << "opened";
    } catch (const EComPort& error) {
        EXPECT_STREQ(error.what(), "IOCTL_SERIAL_LSRMST_INSERT");
    }
    EXPECT_FALSE(port.Connected());
    ::close(master);
}

TEST(PortSettingsTextTest, NamesParityAndStopBitsAsTheCloudExpects) {
    struct Case {
        bool opened;
        int32_t speed, dataBits, parity, stopBits;
        const char* text;
        const char* framing; // the short form the slot and the log show
    };
    const Case cases[] = {
        {true, 9600, 8, 0, 0, "PortOpened: True, Speed=9600, DataBits=8, Parity=none, StopBits=1",
         "9600 8N1"},
        {false, 115200, 7, 1, 2,
         "PortOpened: False, Speed=115200, DataBits=7, Parity=odd, StopBits=2", "115200 7O2"},
        {true, 300, 5, 2, 1, "PortOpened: True, Speed=300, DataBits=5, Parity=even, StopBits=1",
         "300 5E1"},
        {true, 1200, 8, 3, 0, "PortOpened: True, Speed=1200, DataBits=8, Parity=none, StopBits=1",
         "1200 8N1"},
        {true, 1200, 8, 4, 7, "PortOpened: True, Speed=1200, DataBits=8, Parity=none, StopBits=1",
         "1200 8N1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portSettingsText(c.opened, c.speed, c.dataBits, c.parity, c.stopBits), c.text);
        EXPECT_EQ(portFramingText(c.speed, c.dataBits, c.parity, c.stopBits), c.framing);
    }
}

} // namespace
