#include "cloud/protocol.h"

#include <algorithm>

namespace {
void appendU16(TBytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void appendText(TBytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

void appendLenString(TBytes& out, const std::string& text) {
    if (text.size() > 0xFFFF)
        throw std::invalid_argument("text longer than 65535 bytes");
    appendU16(out, static_cast<uint16_t>(text.size()));
    appendText(out, text);
}

void appendStatusText(TBytes& out, const std::string& text) {
    if (text.size() > maxStatusTextLength)
        throw std::invalid_argument("status text longer than 299 bytes");
    appendLenString(out, text);
}
} // namespace

uint8_t TPayloadReader::byte() {
    if (remaining() < 1)
        throw EProtocolError("Communication error. Message too short");
    return payload_[position_++];
}

uint16_t TPayloadReader::u16() {
    const uint8_t high = byte();
    return static_cast<uint16_t>((high << 8) | byte());
}

std::string TPayloadReader::bytes(size_t count) {
    if (remaining() < count)
        throw EProtocolError("Communication error. Message too short");
    std::string out(payload_.begin() + static_cast<std::ptrdiff_t>(position_),
                    payload_.begin() + static_cast<std::ptrdiff_t>(position_ + count));
    position_ += count;
    return out;
}

std::string TPayloadReader::lenString() {
    return bytes(u16());
}

TBytes buildHello(const THello& hello) {
    if (hello.connectionKey.size() != connectionKeySize)
        throw std::invalid_argument("connection key must be 16 bytes");
    TBytes out{ctlHello};
    out.insert(out.end(), hello.challenge.begin(), hello.challenge.end());
    out.insert(out.end(), hello.connectionKey.begin(), hello.connectionKey.end());
    return out;
}

THello parseHello(const TBytes& payload) {
    if (payload.size() < helloSize || payload[0] != ctlHello)
        throw EProtocolError("Communication error. Hello message too short");
    THello hello;
    std::copy_n(payload.begin() + 1, challengeSize, hello.challenge.begin());
    hello.connectionKey.assign(payload.begin() + 1 + challengeSize, payload.begin() + helloSize);
    return hello;
}

TBytes buildAuthorizationRequest(const TAuthorizationRequest& request) {
    if (request.tunnelKey.size() > maxRequestTextLength)
        throw EProtocolError("Tunnel key is longer than 255 characters");
    if (request.versionText.size() > maxRequestTextLength)
        throw EProtocolError("Version text is longer than 255 characters");
    TBytes out;
    out.push_back(static_cast<uint8_t>(request.challengeCrc & 0xFF));
    out.push_back(static_cast<uint8_t>(request.challengeCrc >> 8));
    out.insert(out.end(), 5, 0);
    out.push_back(static_cast<uint8_t>(request.tunnelKey.size()));
    appendText(out, request.tunnelKey);
    out.insert(out.end(), 2, 0);
    out.push_back(static_cast<uint8_t>(request.versionText.size()));
    appendText(out, request.versionText);
    out.push_back(0);
    return out;
}

TAuthorizationRequest parseAuthorizationRequest(const TBytes& payload) {
    TPayloadReader reader(payload);
    TAuthorizationRequest request;
    const uint8_t low = reader.byte();
    request.challengeCrc = static_cast<uint16_t>(low | (reader.byte() << 8));
    reader.bytes(5);
    request.tunnelKey = reader.bytes(reader.byte());
    reader.bytes(2);
    request.versionText = reader.bytes(reader.byte());
    reader.byte();
    return request;
}

TBytes buildAuthRefused() {
    return {ctlAuthReply, 0};
}

TBytes buildAuthAccepted() {
    return {ctlAuthReply, authAccepted, 0};
}

TBytes buildAuthRedirect(const std::string& serverName, uint16_t validitySeconds) {
    TBytes out{ctlAuthReply, authAccepted, authRedirect};
    appendStatusText(out, serverName);
    appendU16(out, validitySeconds);
    return out;
}

TBytes buildAuthTunnelInfo(const TTunnelInfo& info) {
    TBytes out{ctlAuthReply, authAccepted, authTunnelInfo, info.tunnelId, info.localInterfaceId};
    appendLenString(out, info.name);
    appendLenString(out, info.desc);
    appendLenString(out, info.defParams);
    appendLenString(out, info.paramsDesc);
    return out;
}

TBytes buildChannelData(const uint8_t* data, size_t size) {
    TBytes out{ptChannel, chData};
    out.insert(out.end(), data, data + size);
    return out;
}

TBytes buildChannelSettings(const std::string& settingsText) {
    TBytes out{ptChannel, chStatus};
    appendText(out, settingsText);
    return out;
}

TBytes buildDatasourceStatus(const TDatasourceStatus& status) {
    TBytes out{ptChannel, chStatus};
    appendStatusText(out, status.webserverParams);
    out.push_back(status.connectedToServer ? 1 : 0);
    out.push_back(status.channelState);
    out.push_back(status.closeReason);
    appendStatusText(out, status.extendedString);
    return out;
}

void checkServerMessageType(uint8_t type) {
    if (type != ptControl && type != ptKeepAlive && type != ptChannel)
        throw EStreamOutOfStep("Message of type " + std::to_string(type) +
                               ", which no server sends");
}

uint8_t parseControlCode(const TBytes& payload) {
    if (payload.empty())
        throw EProtocolError("Communication error. Protocol mismatch");
    if (payload[0] != ctlHello && payload[0] != ctlAuthReply)
        throw EStreamOutOfStep("Control message " + std::to_string(payload[0]) +
                               ", which no server sends");
    return payload[0];
}

TAuthReply parseAuthReply(const TBytes& payload) {
    if (payload.size() < 2)
        throw EProtocolError("Communication error. Authorization reply too short");
    TAuthReply reply;
    reply.accepted = payload[1] == authAccepted;
    if (!reply.accepted)
        return reply;
    if (payload.size() < 3)
        throw EProtocolError("Communication error. Authorization reply too short");
    reply.part = payload[2];
    return reply;
}

TRedirect parseRedirect(const TBytes& payload) {
    TRedirect redirect;
    if (payload.size() < 6) {
        redirect.ignored = true;
        return redirect;
    }
    TPayloadReader reader(payload, 3);
    const uint16_t length = reader.u16();
    if (length >= 1 && length <= maxStatusTextLength && reader.remaining() >= length) {
        redirect.serverName = reader.bytes(length);
        redirect.validitySeconds = reader.u16();
    }
    return redirect;
}

TTunnelInfo parseTunnelInfo(const TBytes& payload) {
    TPayloadReader reader(payload, 3);
    TTunnelInfo info;
    info.tunnelId = reader.byte();
    info.localInterfaceId = reader.byte();
    info.name = reader.lenString();
    info.desc = reader.lenString();
    info.defParams = reader.lenString();
    info.paramsDesc = reader.lenString();
    return info;
}

uint8_t parseChannelCode(const TBytes& payload) {
    if (payload.size() < 2 || payload[0] != ptChannel ||
        (payload[1] != chData && payload[1] != chStatus))
        throw EStreamOutOfStep("Channel message of a kind the protocol does not have");
    return payload[1];
}

TBytes parseChannelData(const TBytes& payload) {
    if (payload.size() <= 2)
        throw EProtocolError("Communication error. Data message without data");
    return TBytes(payload.begin() + 2, payload.end());
}

TDatasourceStatus parseDatasourceStatus(const TBytes& payload) {
    TPayloadReader reader(payload, 2);
    const auto statusText = [&reader] {
        const uint16_t length = reader.u16();
        return length >= 1 && length <= maxStatusTextLength ? reader.bytes(length) : std::string();
    };
    TDatasourceStatus status;
    status.webserverParams = statusText();
    status.connectedToServer = reader.byte() == 1;
    status.channelState = reader.byte();
    status.closeReason = reader.byte();
    status.extendedString = statusText();
    return status;
}
