#include "cloud/protocol.h"

#include <gtest/gtest.h>

#include <random>

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

TEST(ServerReplyTest, AuthorizationRepliesParseByTheirParts) {
    EXPECT_EQ(parseControlCode(buildAuthRefused()), ctlAuthReply);
    EXPECT_FALSE(parseAuthReply(buildAuthRefused()).accepted);
    EXPECT_FALSE(parseAuthReply({1, 7}).accepted);
    const TAuthReply plain = parseAuthReply(buildAuthAccepted());
    EXPECT_TRUE(plain.accepted);
    EXPECT_EQ(plain.part, 0);
    EXPECT_EQ(parseAuthReply(buildAuthRedirect("h", 1)).part, authRedirect);
    EXPECT_THROW(parseAuthReply({1}), EProtocolError);
    EXPECT_THROW(parseAuthReply({1, 1}), EProtocolError);
    EXPECT_THROW(parseControlCode({}), EProtocolError);
    EXPECT_THROW(parseControlCode({2}), EStreamOutOfStep);

    const TTunnelInfo info = parseTunnelInfo(buildAuthTunnelInfo({9, 200, "N", "", "pq", "\xE9"}));
    EXPECT_EQ(info.tunnelId, 9);
    EXPECT_EQ(info.localInterfaceId, 200);
    EXPECT_EQ(info.name, "N");
    EXPECT_EQ(info.defParams, "pq");
    EXPECT_EQ(info.paramsDesc, "\xE9");
    const TBytes full = buildAuthTunnelInfo({1, 2, "name", "d", "p", "q"});
    for (size_t size = 0; size < full.size(); ++size)
        EXPECT_THROW(parseTunnelInfo(TBytes(full.begin(), full.begin() + size)), EProtocolError)
            << size;
}

TEST(ServerReplyTest, RedirectTakesTheServerNameOnlyWhenItsLengthFits) {
    const TRedirect redirect = parseRedirect(buildAuthRedirect("h:7", 300));
    EXPECT_FALSE(redirect.ignored);
    EXPECT_EQ(redirect.serverName, "h:7");
    EXPECT_EQ(redirect.validitySeconds, 300);
    EXPECT_TRUE(parseRedirect({1, 1, 2, 0, 1}).ignored);
    for (const TBytes& payload : {TBytes{1, 1, 2, 0, 0, 'h', 0, 1}, TBytes{1, 1, 2, 0, 9, 'h'},
                                  TBytes{1, 1, 2, 0x01, 0x2C, 'h'}}) {
        const TRedirect unnamed = parseRedirect(payload);
        EXPECT_FALSE(unnamed.ignored);
        EXPECT_TRUE(unnamed.serverName.empty());
    }
    // A name without its validity.
    EXPECT_THROW(parseRedirect({1, 1, 2, 0, 1, 'h'}), EProtocolError);
}

TEST(ServerReplyTest, ChannelMessagesParseByTheirCode) {
    EXPECT_EQ(parseChannelCode(buildChannelData(TBytes{7})), chData);
    EXPECT_EQ(parseChannelData(buildChannelData(TBytes{7, 8})), (TBytes{7, 8}));
    EXPECT_THROW(parseChannelData({5, 1}), EProtocolError);
    for (const TBytes& payload : {TBytes{}, TBytes{5}, TBytes{4, 1, 0}, TBytes{5, 0}, TBytes{5, 3}})
        EXPECT_THROW(parseChannelCode(payload), EStreamOutOfStep);

    const TDatasourceStatus sent{"params", true, 3, 5, "10.0.0.1"};
    const TDatasourceStatus status = parseDatasourceStatus(buildDatasourceStatus(sent));
    EXPECT_EQ(parseChannelCode(buildDatasourceStatus(sent)), chStatus);
    EXPECT_EQ(status.webserverParams, "params");
    EXPECT_TRUE(status.connectedToServer);
    EXPECT_EQ(status.channelState, 3);
    EXPECT_EQ(status.closeReason, 5);
    EXPECT_EQ(status.extendedString, "10.0.0.1");
    // A length over 299 reads as empty and its bytes are not skipped.
    const TDatasourceStatus overlong = parseDatasourceStatus({5, 2, 0x01, 0x2C, 1, 4, 6, 0, 0});
    EXPECT_TRUE(overlong.webserverParams.empty());
    EXPECT_TRUE(overlong.connectedToServer);
    EXPECT_EQ(overlong.channelState, 4);
    const TBytes full = buildDatasourceStatus(sent);
    for (size_t size = 0; size < full.size(); ++size)
        EXPECT_THROW(parseDatasourceStatus(TBytes(full.begin(), full.begin() + size)),
                     EProtocolError)
            << size;
}

// What the client does with every message it reads: its type, and for control
// and channel messages the code that selects the reader.
void readAsClient(TMessageAssembler& assembler, const uint8_t* data, size_t size,
                  const TBytes& key) {
    size_t used = 0;
    while (used < size) {
        used += assembler.feed(data + used, size - used);
        if (!assembler.hasMessage())
            continue;
        const TRawMessage message = assembler.takeMessage();
        const TBytes payload = messagePayload(message, key);
        checkServerMessageType(message.type);
        if (message.type == ptChannel)
            parseChannelCode(payload);
        else if (message.type == ptControl && !payload.empty())
            parseControlCode(payload);
    }
}

TEST(ServerReplyTest, GarbageAfterValidTrafficIsOutOfStepAtOnce) {
    const TBytes key(16, 0x42);
    TBytes valid;
    for (const TBytes& payload :
         {buildAuthTunnelInfo({1, 1, "n", "", "", ""}), buildChannelData(TBytes(3000, 0x55)),
          buildDatasourceStatus({"", true, 1, 0, ""})})
        for (const TBytes& frame :
             buildMessageFrames(payload[0] == ctlAuthReply ? ptControl : ptChannel, payload, key))
            valid.insert(valid.end(), frame.begin(), frame.end());
    for (const TBytes& frame : frameBody(ptKeepAlive, {}))
        valid.insert(valid.end(), frame.begin(), frame.end());

    std::mt19937 random(20260101);
    for (int burst = 0; burst < 200; ++burst) {
        TBytes garbage(8192);
        for (auto& byte : garbage)
            byte = static_cast<uint8_t>(random());
        TMessageAssembler assembler;
        ASSERT_NO_THROW(readAsClient(assembler, valid.data(), valid.size(), key));
        EXPECT_THROW(readAsClient(assembler, garbage.data(), garbage.size(), key), EStreamOutOfStep)
            << burst;
    }
}

} // namespace
