#include "cloud/protocol.h"

#include <gtest/gtest.h>

namespace {

TEST(ProtocolTest, AuthorizationRequestLayout) {
    const TBytes request = buildAuthorizationRequest({0xBEEF, "ABCDEFGH", "1.0.0.0"});
    ASSERT_EQ(request.size(), 27u);
    EXPECT_EQ(request[0], 0xEF); // CRC low byte first
    EXPECT_EQ(request[1], 0xBE);
    EXPECT_EQ(TBytes(request.begin() + 2, request.begin() + 7), TBytes(5, 0));
    EXPECT_EQ(request[7], 8);
    EXPECT_EQ(std::string(request.begin() + 8, request.begin() + 16), "ABCDEFGH");
    EXPECT_EQ(request[16], 0);
    EXPECT_EQ(request[17], 0);
    EXPECT_EQ(request[18], 7);
    EXPECT_EQ(std::string(request.begin() + 19, request.begin() + 26), "1.0.0.0");
    EXPECT_EQ(request.back(), 0);

    const TAuthorizationRequest parsed = parseAuthorizationRequest(request);
    EXPECT_EQ(parsed.challengeCrc, 0xBEEF);
    EXPECT_EQ(parsed.tunnelKey, "ABCDEFGH");
    EXPECT_EQ(parsed.versionText, "1.0.0.0");
    EXPECT_THROW(parseAuthorizationRequest(TBytes(request.begin(), request.end() - 1)),
                 EProtocolError);
}

TEST(ProtocolTest, OverlongRequestTextsAreRefused) {
    EXPECT_NO_THROW(buildAuthorizationRequest({0, std::string(255, 'k'), "1.0.0.1"}));
    EXPECT_THROW(buildAuthorizationRequest({0, std::string(256, 'k'), "1.0.0.1"}), EProtocolError);
    EXPECT_THROW(buildAuthorizationRequest({0, "key", std::string(256, '1')}), EProtocolError);
}

TEST(ProtocolTest, HelloCarriesChallengeAndKey) {
    THello hello;
    hello.challenge = {1, 2, 3, 4, 5, 6, 7, 8};
    hello.connectionKey = TBytes(16, 0x5A);
    TBytes payload = buildHello(hello);
    ASSERT_EQ(payload.size(), 25u);
    EXPECT_EQ(payload[0], ctlHello);
    payload.push_back(0xFF); // further bytes are ignored
    const THello parsed = parseHello(payload);
    EXPECT_EQ(parsed.challenge, hello.challenge);
    EXPECT_EQ(parsed.connectionKey, hello.connectionKey);
    EXPECT_THROW(parseHello(TBytes(payload.begin(), payload.begin() + 24)), EProtocolError);
}

TEST(ProtocolTest, ServerRepliesLayout) {
    EXPECT_EQ(buildAuthRefused(), (TBytes{1, 0}));
    EXPECT_EQ(buildAuthRedirect("h:7", 300), (TBytes{1, 1, 2, 0, 3, 'h', ':', '7', 0x01, 0x2C}));
    EXPECT_EQ(buildAuthTunnelInfo({9, 200, "N", "", "pq", ""}),
              (TBytes{1, 1, 4, 9, 200, 0, 1, 'N', 0, 0, 0, 2, 'p', 'q', 0, 0}));
}

TEST(ProtocolTest, ChannelMessagesAndStatusLayout) {
    EXPECT_EQ(buildChannelData(TBytes{0xAA}), (TBytes{5, 1, 0xAA}));
    EXPECT_EQ(buildChannelSettings("P"), (TBytes{5, 2, 'P'}));
    EXPECT_EQ(buildDatasourceStatus({"", true, 3, 5, "10.0.0.1"}),
              (TBytes{5, 2, 0, 0, 1, 3, 5, 0, 8, '1', '0', '.', '0', '.', '0', '.', '1'}));
    EXPECT_THROW(buildDatasourceStatus({std::string(300, 'x'), false, 0, 0, ""}),
                 std::invalid_argument);
}

TEST(ProtocolTest, ReaderFailsPastTheEnd) {
    const TBytes payload{0, 3, 'a', 'b'};
    TPayloadReader reader(payload);
    EXPECT_THROW(reader.lenString(), EProtocolError);
    TPayloadReader second(payload, 2);
    EXPECT_EQ(second.bytes(2), "ab");
    EXPECT_THROW(second.byte(), EProtocolError);
}

} // namespace
