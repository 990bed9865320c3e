#include "log/traffic_log.h"
#include "serial/lsr_mst_escape.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What one decoder run produced: events in order ("S ..." settings, "D ..."
// data in hex, "|" between reads) and the debug lines.
struct Outcome {
    std::vector<std::string> events;
    std::vector<std::string> debugLines;
};

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Log lines without their time stamps.
std::vector<std::string> takeDebugLines() {
    std::vector<std::string> lines;
    const std::string queue = takeLogQueue();
    if (queue.empty())
        return lines;
    std::vector<std::string> raw;
    appendLogBatch(raw, queue);
    for (const auto& line : raw)
        lines.push_back(line.substr(line.find(": ") + 2));
    return lines;
}

Outcome decode(const std::vector<std::vector<uint8_t>>& reads, bool othersKnown) {
    Outcome outcome;
    LsrMstEscape escape;
    InitLsrMstEscape(
        escape, c0cEscapeChar, nullptr,
        [&](TC0cCport*, bool opened, int32_t speed, int32_t dataBits, int32_t parity,
            int32_t stopBits) {
            outcome.events.push_back("S " + std::to_string(opened) + " " + std::to_string(speed) +
                                     " " + std::to_string(dataBits) + " " + std::to_string(parity) +
                                     " " + std::to_string(stopBits));
        },
        [&](TC0cCport*, int32_t count, const std::string& bytes) {
            EXPECT_EQ(count, static_cast<int32_t>(bytes.size()));
            outcome.events.push_back("D " + hex(bytes));
        });
    if (othersKnown) {
        // A previous state report: port open, 9600 8N1.
        escape.fOtherPortOpened = 1;
        escape.fOtherPortSpeed = 9600;
        escape.fOtherPortDataBits = 8;
        escape.fOtherPortParity = 0;
        escape.fOtherPortStopBits = 0;
    }
    takeLogQueue();
    for (size_t i = 0; i < reads.size(); ++i) {
        if (i > 0)
            outcome.events.push_back("|");
        ParseLsrMst(escape, reads[i].data(), static_cast<int32_t>(reads[i].size()));
    }
    outcome.debugLines = takeDebugLines();
    return outcome;
}

struct DecoderCase {
    const char* name;
    std::vector<std::vector<uint8_t>> reads;
    bool othersKnown;
    std::vector<std::string> events;
    std::vector<std::string> debugLines;
};

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override { LoggingEnabled = true; }
    void TearDown() override {
        LoggingEnabled = false;
        takeLogQueue();
    }
};

TEST_F(DecoderTest, SplitsStreamsIntoDataSettingsAndDebugLines) {
    const std::vector<DecoderCase> cases = {
        {"plain data", {{0x41, 0x42}}, false, {"D 4142"}, {}},
        {"escaped escape character", {{0x41, 0x61, 0x00, 0x42}}, false, {"D 416142"}, {}},
        {"modem status open", {{0x61, 0x03, 0x30}}, true, {"S 1 9600 8 0 0"}, {"<MST=0x30>"}},
        {"modem status closed", {{0x61, 0x03, 0x0F}}, true, {"S 0 9600 8 0 0"}, {"<MST=0x0F>"}},
        {"baud rate",
         {{0x61, 0x10, 0x00, 0x4B, 0x00, 0x00}},
         true,
         {"S 1 19200 8 0 0"},
         {"<BaudRate=19200>"}},
        {"line control",
         {{0x61, 0x11, 0x08, 0x02, 0x00}},
         true,
         {"S 1 9600 8 2 0"},
         {"<ByteSize=8 ", "Parity=2 ", "StopBits=0>"}},
        {"repeated values still raise the event",
         {{0x61, 0x10, 0x80, 0x25, 0x00, 0x00}},
         true,
         {"S 1 9600 8 0 0"},
         {"<BaudRate=9600>"}},
        {"report split across two reads",
         {{0x61, 0x10, 0x00, 0x4B}, {0x00, 0x00}},
         true,
         {"|", "S 1 19200 8 0 0"},
         {"<BaudRate=19200>"}},
        {"escape at the end of a read",
         {{0x41, 0x61}, {0x00, 0x42}},
         false,
         {"D 41", "|", "D 6142"},
         {}},
        {"a change sits between the data of the same read that came around it",
         {{0x41, 0x61, 0x03, 0x00, 0x42}},
         true,
         {"D 41", "S 0 9600 8 0 0", "D 42"},
         {"<MST=0x00>"}},
        {"open, data and close in one read keep their order",
         {{0x61, 0x03, 0x30, 0x42, 0x61, 0x03, 0x00}},
         true,
         {"S 1 9600 8 0 0", "D 42", "S 0 9600 8 0 0"},
         {"<MST=0x30>", "<MST=0x00>"}},
        {"no settings event until all values are known",
         {{0x61, 0x03, 0x30, 0x41}},
         false,
         {"D 41"},
         {"<MST=0x30>"}},
        {"unknown code completes on the code byte",
         {{0x61, 0x05, 0x41}},
         false,
         {"D 41"},
         {"<SERIAL_LSRMST_5 subState=0>"}},
        {"line status with data drops the data byte",
         {{0x61, 0x01, 0x08, 0x41}},
         false,
         {},
         {"<LSR=0x08/", "DATA=0x41>"}},
        {"line status without data", {{0x61, 0x02, 0x10, 0x43}}, false, {"D 43"}, {"<LSR=0x10>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = decode(c.reads, c.othersKnown);
        EXPECT_EQ(outcome.events, c.events);
        EXPECT_EQ(outcome.debugLines, c.debugLines);
    }
}

TEST_F(DecoderTest, FullStateReportLearnsEverySetting) {
    // What the driver answers at insertion: line status, modem status, baud
    // rate, line control.
    const Outcome outcome = decode({{0x61, 0x02, 0x00, 0x61, 0x03, 0x30, 0x61, 0x10, 0x00, 0xC2,
                                     0x01, 0x00, 0x61, 0x11, 0x08, 0x00, 0x02}},
                                   false);
    EXPECT_EQ(outcome.events, std::vector<std::string>{"S 1 115200 8 0 2"});
    EXPECT_EQ(outcome.debugLines,
              (std::vector<std::string>{"<LSR=0x00>", "<MST=0x30>", "<BaudRate=115200>",
                                        "<ByteSize=8 ", "Parity=0 ", "StopBits=2>"}));
}

TEST_F(DecoderTest, CorruptStateIsReportedAndTheByteKeptAsData) {
    std::vector<std::string> data;
    LsrMstEscape escape;
    InitLsrMstEscape(
        escape, c0cEscapeChar, nullptr, nullptr,
        [&](TC0cCport*, int32_t, const std::string& bytes) { data.push_back(hex(bytes)); });
    takeLogQueue();
    escape.state = 7;
    const uint8_t bytes[] = {0x41};
    ParseLsrMst(escape, bytes, 1);
    EXPECT_EQ(data, std::vector<std::string>{"41"});
    EXPECT_EQ(takeDebugLines(), std::vector<std::string>{"<state=7>"});
    EXPECT_EQ(escape.state, 0);
}

TEST_F(DecoderTest, OutOfRangeBaudRateRaisesNoSettingsEvent) {
    // 0x80000000 does not fit the signed field; it must not reach the cloud
    // as a negative speed.
    const Outcome outcome = decode({{0x61, 0x10, 0x00, 0x00, 0x00, 0x80}}, true);
    EXPECT_TRUE(outcome.events.empty());
}

} // namespace
