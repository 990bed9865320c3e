#pragma once

// Messages of the cloud connection as both ends build and read them. Texts
// here are 8-bit strings, exactly the bytes on the wire.

#include "cloud/codec.h"

#include <cstdint>
#include <string>

// Message types.
constexpr uint8_t ptControl = 0;
constexpr uint8_t ptKeepAlive = 2;
constexpr uint8_t ptChannel = 5;

// First byte of a control message from the server.
constexpr uint8_t ctlHello = 0;
constexpr uint8_t ctlAuthReply = 1;
// Byte 1 of an authorization reply that accepts the key.
constexpr uint8_t authAccepted = 1;
// Byte 2 of an accepting authorization reply.
constexpr uint8_t authRedirect = 2;
constexpr uint8_t authTunnelInfo = 4;

// Channel messages: byte 0 repeats the type, byte 1 is the channel.
constexpr uint8_t chData = 1;
constexpr uint8_t chStatus = 2;

constexpr size_t challengeSize = 8;
constexpr size_t connectionKeySize = 16;
constexpr size_t helloSize = 1 + challengeSize + connectionKeySize;
// Texts of the authorization request carry a one-byte length.
constexpr size_t maxRequestTextLength = 255;
// Status texts longer than this are not sent: the client reads none.
constexpr size_t maxStatusTextLength = 299;
// The most serial data one channel message carries.
constexpr size_t maxChannelData = maxMessagePayload - 2;

// Reads a payload front to back; running past its end is a protocol error.
class TPayloadReader {
public:
    TPayloadReader(const TBytes& payload, size_t position = 0)
        : payload_(payload), position_(position) {}
    uint8_t byte();
    uint16_t u16();
    std::string bytes(size_t count);
    // A big-endian 16-bit length n, then n bytes.
    std::string lenString();
    size_t position() const { return position_; }
    size_t remaining() const {
        return position_ < payload_.size() ? payload_.size() - position_ : 0;
    }

private:
    const TBytes& payload_;
    size_t position_;
};

// Server -> client: hello with the challenge and the key of this connection.
struct THello {
    std::array<uint8_t, challengeSize> challenge{};
    TBytes connectionKey; // 16 bytes
};
TBytes buildHello(const THello& hello);
// Reads a hello payload (byte 0 = ctlHello); further bytes are ignored.
THello parseHello(const TBytes& payload);

// Client -> server: the answer to the hello.
struct TAuthorizationRequest {
    uint16_t challengeCrc = 0;
    std::string tunnelKey;   // 8-bit
    std::string versionText; // 8-bit
};
// Throws EProtocolError for a tunnel key or version text over 255 characters,
// whose length byte could not hold them.
TBytes buildAuthorizationRequest(const TAuthorizationRequest& request);
TAuthorizationRequest parseAuthorizationRequest(const TBytes& payload);

// Server -> client authorization replies.
TBytes buildAuthRefused();
TBytes buildAuthAccepted();
// `serverName` is a host name, or host:port.
TBytes buildAuthRedirect(const std::string& serverName, uint16_t validitySeconds);
struct TTunnelInfo {
    uint8_t tunnelId = 0;
    uint8_t localInterfaceId = 0;
    std::string name;
    std::string desc;
    std::string defParams;
    std::string paramsDesc;
};
TBytes buildAuthTunnelInfo(const TTunnelInfo& info);

// Channel messages.
TBytes buildChannelData(const uint8_t* data, size_t size);
inline TBytes buildChannelData(const TBytes& data) {
    return buildChannelData(data.data(), data.size());
}
// Client -> server: the port settings text.
TBytes buildChannelSettings(const std::string& settingsText);

// Server -> client: the state of the data source and its channel. Texts over
// 299 characters are refused (std::invalid_argument): the client would not
// skip them.
struct TDatasourceStatus {
    std::string webserverParams;
    bool connectedToServer = false;
    uint8_t channelState = 0;
    uint8_t closeReason = 0;
    std::string extendedString;
};
TBytes buildDatasourceStatus(const TDatasourceStatus& status);

// Readers of what the server sends, each strict about lengths: a field that
// runs past the end of the payload is an EProtocolError; a code that no server
// sends means the stream is out of step (EStreamOutOfStep). Texts come back as
// the 8-bit bytes of the wire.

// The message types a server sends: control, keepalive and channel.
void checkServerMessageType(uint8_t type);
// Byte 0 of a control message: ctlHello or ctlAuthReply.
uint8_t parseControlCode(const TBytes& payload);

// An authorization reply (byte 0 = ctlAuthReply). `part` is byte 2 of an
// accepting reply: authRedirect, authTunnelInfo, or anything else for a plain
// acceptance.
struct TAuthReply {
    bool accepted = false;
    uint8_t part = 0;
};
TAuthReply parseAuthReply(const TBytes& payload);

// The redirect part of an accepting reply. A payload of fewer than 6 bytes is
// ignored as a whole (`ignored`); a server name of length 0, over 299 bytes or
// past the end is not taken (`serverName` empty) but still ends the
// connection.
struct TRedirect {
    bool ignored = false;
    std::string serverName;
    uint16_t validitySeconds = 0;
};
TRedirect parseRedirect(const TBytes& payload);

// The tunnel description part of an accepting reply; bytes after the four
// texts are ignored.
TTunnelInfo parseTunnelInfo(const TBytes& payload);

// Byte 1 of a channel message (byte 0 = ptChannel): chData or chStatus. Both
// ends read it so.
uint8_t parseChannelCode(const TBytes& payload);
// The serial data of a chData message; an EProtocolError when there is none.
TBytes parseChannelData(const TBytes& payload);
// The data source status of a chStatus message from the server. A text whose
// length is 0 or over 299 reads as empty and its bytes are not skipped, as
// the client has always read it.
TDatasourceStatus parseDatasourceStatus(const TBytes& payload);
