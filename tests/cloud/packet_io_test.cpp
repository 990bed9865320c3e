#include "cloud/packet_io.h"
#include "cloud/protocol.h"
#include "log/traffic_log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace {

const TBytes key(16, 0x33);

// Keeps what is written to it.
class TRecordingSink : public TByteSink {
public:
    TBytes bytes;
    void Write(const uint8_t* data, size_t count) override {
        bytes.insert(bytes.end(), data, data + count);
    }
};

class PacketIoTest : public ::testing::Test {
protected:
    ManualClock clock{5000};
    MessageRecorder panel;
    PConnectionInfo record = newSlotRecord(stTCPClient, panel.handle(), nullptr);

    void SetUp() override {
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
    TRecordingSink sink;
    sendPacket(record.get(), sink, ptKeepAlive, {}, key);
    const TBytes payload(1030, 0x11); // body 1036: two frames
    clock.advance(7);
    sendPacket(record.get(), sink, ptChannel, payload, key);

    EXPECT_EQ(TBytes(sink.bytes.begin(), sink.bytes.begin() + 2), (TBytes{0x08, 0x00}));
    TPacketReader reader;
    size_t start = 0;
    TPacket packet;
    ASSERT_TRUE(reader.next(nullptr, sink.bytes, start, key, packet));
    EXPECT_EQ(packet.type, ptKeepAlive);
    ASSERT_TRUE(reader.next(nullptr, sink.bytes, start, key, packet));
    EXPECT_EQ(packet.payload, payload);
    EXPECT_EQ(start, sink.bytes.size());

    EXPECT_EQ(record->WritePacketNum.load(), 3);
    EXPECT_EQ(record->BytesWritten.load(), 2u + 1036u + 2 * 2);
    EXPECT_EQ(record->LastDataSelfMillis.load(), 5007u);
    EXPECT_EQ(panel.count(WM_TRAFFIC_TX), 3u);
    const auto texts = loggedTexts();
    ASSERT_EQ(texts.size(), 5u); // the reader's two lines follow
    EXPECT_EQ(texts[0], " tunnel  W 0800");
    EXPECT_EQ(texts[1].substr(0, 13), " tunnel  W 97");
    EXPECT_EQ(texts[1].size(), 11 + 2 * (2 + 1023));
    EXPECT_EQ(texts[2].substr(0, 15), " tunnel  W 140D");
}

TEST_F(PacketIoTest, ReadTakesWholeChunksAsTheyComeCountsThemAndLogsThePayload) {
    TBytes stream;
    const TBytes big(2000, 0x42);
    for (const auto& [type, payload] : std::vector<std::pair<uint8_t, TBytes>>{
             {ptChannel, {5, 1, 0xAB}}, {ptKeepAlive, {}}, {ptChannel, big}})
        for (const TBytes& frame : buildMessageFrames(type, payload, key))
            stream.insert(stream.end(), frame.begin(), frame.end());

    // The bytes arrive one at a time: nothing is counted before its chunk is
    // whole.
    TPacketReader reader;
    TBytes input;
    size_t start = 0;
    std::vector<TPacket> packets;
    for (uint8_t byte : stream) {
        input.push_back(byte);
        TPacket packet;
        while (reader.next(record.get(), input, start, key, packet))
            packets.push_back(packet);
        if (input.size() == 3) { // the first header and one byte of its frame
            EXPECT_TRUE(reader.partial());
            EXPECT_EQ(record->BytesRead.load(), 2u);
        }
    }
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].type, ptChannel);
    EXPECT_EQ(packets[0].payload, (TBytes{5, 1, 0xAB}));
    EXPECT_EQ(packets[1].type, ptKeepAlive);
    EXPECT_TRUE(packets[1].payload.empty());
    EXPECT_EQ(packets[2].payload, big);
    EXPECT_FALSE(reader.partial());

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
    TPacketReader reader;
    size_t start = 0;
    TPacket packet;
    EXPECT_THROW(reader.next(nullptr, stream, start, key, packet), EStreamOutOfStep);
    ASSERT_LT(start, stream.size());
    EXPECT_EQ(stream[start], 0xEE); // the frame's payload was left unread
    EXPECT_THROW(reader.next(nullptr, stream, start, key, packet), EStreamOutOfStep);
}

} // namespace
