#include "model/connection.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> list) {
    return list;
}

void queueFrom(const TConnection& producer, const std::vector<uint8_t>& data) {
    handToOtherSlots(producer, [&](TConnection& other) {
        other.BytesToSend.insert(other.BytesToSend.end(), data.begin(), data.end());
        other.HasDataFromOthers = true;
    });
}

TEST(ConnectionTest, FreshRecordsStartAtTheFirstOrdinals) {
    auto hub = std::make_shared<THubInfo>();
    auto slot = newSlotRecord(stTCPClient, 7, hub);
    EXPECT_EQ(slot->zvlConnectionStatus, zvlUnknown);
    EXPECT_EQ(slot->zvlCloseReason, zvlCloseReason_notYetConnected);
    EXPECT_EQ(slot->datasourceChannelState, dcsUnknown);
    EXPECT_EQ(slot->datasourceCloseReason, crUnknown);
    EXPECT_EQ(slot->comportStatus, c0mPortUnknown);
    EXPECT_TRUE(slot->BytesToSend.empty());
    EXPECT_EQ(slot->BytesRead + slot->BytesWritten, 0u);
    EXPECT_EQ(slot->FrameHandle, 7u);
    EXPECT_EQ(slot->hub(), hub);
    EXPECT_EQ(hub->connections().size(), 1u);

    auto learning = newLearningRecord();
    EXPECT_EQ(learning->SlotType, stTCPClient);
    EXPECT_EQ(learning->hub(), nullptr);
    EXPECT_EQ(learning->FrameHandle, 0u);
}

TEST(ConnectionTest, FanOutReachesEveryOtherSlotOnceAndNeverTheProducer) {
    for (int slots = 1; slots <= 3; ++slots) {
        SCOPED_TRACE(slots);
        auto hub = std::make_shared<THubInfo>();
        std::vector<PConnectionInfo> records;
        for (int i = 0; i < slots; ++i)
            records.push_back(newSlotRecord(i == 0 ? stComPort : stTCPClient, 0, hub));
        queueFrom(*records[0], bytes({1, 2}));
        queueFrom(*records[0], bytes({3}));
        EXPECT_TRUE(records[0]->BytesToSend.empty());
        EXPECT_FALSE(records[0]->HasDataFromOthers);
        for (int i = 1; i < slots; ++i) {
            EXPECT_EQ(records[i]->BytesToSend, bytes({1, 2, 3}));
            EXPECT_TRUE(records[i]->HasDataFromOthers);
        }
    }
}

TEST(ConnectionTest, ProducerWithoutHubHandsNothingOn) {
    auto learning = newLearningRecord();
    int calls = 0;
    handToOtherSlots(*learning, [&](TConnection&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST(ConnectionTest, RemovingTheMiddleSlotKeepsTheOrderOfTheOthers) {
    auto hub = std::make_shared<THubInfo>();
    auto a = newSlotRecord(stTCPClient, 0, hub);
    auto b = newSlotRecord(stComPort, 0, hub);
    auto c = newSlotRecord(stComPort, 0, hub);
    hub->removeConnection(b.get());
    EXPECT_EQ(hub->connections(), (std::vector<PConnectionInfo>{a, c}));
    // The removed record stays usable by a worker that still holds it.
    queueFrom(*b, bytes({9}));
    EXPECT_EQ(a->BytesToSend, bytes({9}));
}

TEST(ConnectionTest, ConcurrentProducersAndListChangesStaySafe) {
    auto hub = std::make_shared<THubInfo>();
    auto a = newSlotRecord(stComPort, 0, hub);
    auto b = newSlotRecord(stComPort, 0, hub);
    auto cloud = newSlotRecord(stTCPClient, 0, hub);
    std::atomic<bool> stop{false};
    auto produce = [&](const PConnectionInfo& producer) {
        while (!stop)
            queueFrom(*producer, bytes({1}));
    };
    std::thread t1(produce, a), t2(produce, b);
    for (int i = 0; i < 200; ++i) {
        auto extra = newSlotRecord(stComPort, 0, hub);
        hub->removeConnection(extra.get());
        std::lock_guard guard(cloud->BytesCriticalSection);
        cloud->BytesToSend.clear();
    }
    stop = true;
    t1.join();
    t2.join();
    EXPECT_EQ(hub->connections().size(), 3u);
}

TEST(HubListTest, FindsTheHubListingASlotAndRemovesByHandle) {
    THubList list;
    auto h1 = std::make_shared<THubInfo>();
    auto h2 = std::make_shared<THubInfo>();
    h1->frameHandle = 11;
    h2->frameHandle = 12;
    list.add(h1);
    list.add(h2);
    auto slot = newSlotRecord(stComPort, 0, h2);
    EXPECT_EQ(list.hubListing(slot.get()), h2);
    list.removeByFrameHandle(12);
    EXPECT_EQ(list.hubListing(slot.get()), nullptr);
    EXPECT_EQ(list.hubs(), std::vector<PHubInfo>{h1});
}

TEST(NotifyTest, PostingForARecordWithoutWindowDoesNothing) {
    MessageRecorder recorder;
    auto learning = newLearningRecord();
    notifySlot(*learning, WM_CONNECTION_STATUS);
    auto slot = newSlotRecord(stTCPClient, recorder.handle(), nullptr);
    notifySlot(*slot, WM_TRAFFIC_RX);
    EXPECT_EQ(recorder.messages(), std::vector<uint32_t>{WM_TRAFFIC_RX});
}

} // namespace
