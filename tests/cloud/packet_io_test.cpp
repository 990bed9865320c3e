#include "cloud_test_server.h"

#include "cloud/packet_io.h"
#include "log/traffic_log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

const TBytes key(16, 0x33);

class PacketIoTest : public ::testing::Test {
protected:
    ManualClock clock{5000};
    MessageRecorder panel;
    PConnectionInfo record = newSlotRecord(stTCPClient, panel.handle(), nullptr);
    TTestListener listener;
    TTcpClient client;
    std::unique_ptr<TServerConnection> server;

    void SetUp() override {
        client.Connect("127.0.0.1", listener.port(), 1000);
        server = listener.accept();
        ASSERT_TRUE(server);
        server->key = key;
        LoggingEnabled = true;
        takeLogQueue();
    }
    void TearDown() override {
        LoggingEnabled = false;
        takeLogQueue();
    }
};

// The traffic lines without their time stamps.
std::vector<std::string> loggedTexts() {
    std::vector<std::string> texts;
    const std::string batch = takeLogQueue();
    size_t start = 0;
    while (start < batch.size()) {
        size_t end = batch.find("\r\n", start);
        if (end == std::string::npos)
            end = batch.size();
        const std::string line = batch.substr(start, end - start);
        texts.push_back(line.substr(line.find(": ") + 2));
        start = end + 2;
    }
    return texts;
}

TEST_F(PacketIoTest, SendCountsEveryFrameAndLogsItWhole) {
    sendPacket(record.get(), client, ptKeepAlive, {}, key);
    const TBytes payload(1030, 0x11); // body 1036: two frames
    clock.advance(7);
    sendPacket(record.get(), client, ptChannel, payload, key);

    EXPECT_EQ(server->readRaw(2), (TBytes{0x08, 0x00}));
    const auto packet = server->tryRead();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->payload, payload);

    EXPECT_EQ(record->WritePacketNum.load(), 3);
    EXPECT_EQ(record->BytesWritten.load(), 2u + 1036u + 2 * 2);
    EXPECT_EQ(record->LastDataSelfMillis.load(), 5007u);
    EXPECT_EQ(panel.count(WM_TRAFFIC_TX), 3u);
    const auto texts = loggedTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], " tunnel  W 0800");
    EXPECT_EQ(texts[1].substr(0, 13), " tunnel  W 97");
    EXPECT_EQ(texts[1].size(), 11 + 2 * (2 + 1023));
    EXPECT_EQ(texts[2].substr(0, 15), " tunnel  W 140D");
}

TEST_F(PacketIoTest, ReadJoinsFramesCountsThemAndLogsThePayload) {
    server->send(ptChannel, {5, 1, 0xAB});
    server->send(ptKeepAlive, {});
    const TBytes big(2000, 0x42);
    server->send(ptChannel, big);

    TPacket packet = readPacket(record.get(), client, key);
    EXPECT_EQ(packet.type, ptChannel);
    EXPECT_EQ(packet.payload, (TBytes{5, 1, 0xAB}));
    packet = readPacket(record.get(), client, key);
    EXPECT_EQ(packet.type, ptKeepAlive);
    EXPECT_TRUE(packet.payload.empty());
    packet = readPacket(record.get(), client, key);
    EXPECT_EQ(packet.payload, big);

    EXPECT_EQ(record->ReadPacketNum.load(), 3);
    EXPECT_EQ(record->BytesRead.load(), (2u + 8) + 2 + (2 * 2 + 2004));
    EXPECT_EQ(panel.count(WM_TRAFFIC_RX), 2u + 1 + 4);
    const auto texts = loggedTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], " tunnel  R 140501AB");
    EXPECT_EQ(texts[1], " tunnel  R 0800");
    // The last frame's header: 981 bytes.
    EXPECT_EQ(texts[2].substr(0, 17), " tunnel  R 174242");
}

TEST_F(PacketIoTest, OverlongMessageStopsAtTheHeaderAndNullRecordIsFine) {
    TBytes stream;
    for (int i = 0; i < 64; ++i) {
        stream.insert(stream.end(), {0x97, 0xFF});
        stream.insert(stream.end(), 1023, 0);
    }
    stream.insert(stream.end(), {0x14, 0x40, 0xEE});
    server->sendRaw(stream);
    EXPECT_THROW(readPacket(nullptr, client, key), EStreamOutOfStep);
    uint8_t next;
    client.ReadBytes(&next, 1);
    EXPECT_EQ(next, 0xEE); // the frame's payload was left unread
}

} // namespace
