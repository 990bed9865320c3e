#pragma once

// The message codec of the cloud connection: XXTEA over byte arrays, the
// CRC of the handshake, cutting a message into frames and joining frames back
// into messages. Pure functions on bytes, shared by the client worker and the
// local cloud server; nothing here touches a socket, a slot record or the log.

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

using TBytes = std::vector<uint8_t>;

// Frame and message bounds.
constexpr size_t maxFramePayload = 1023;
constexpr size_t maxMessageBody = 65535;
constexpr size_t frameHeaderSize = 2;

// A malformed or unexpected message from the other side.
class EProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stream position is no longer at a frame boundary: the connection has to
// be dropped, since nothing read from it afterwards can be trusted.
class EStreamOutOfStep : public EProtocolError {
public:
    using EProtocolError::EProtocolError;
};

// XXTEA (Corrected Block TEA) in place on k >= 2 words; fewer words are left
// as they are. The key is four words.
using TXxteaKey = std::array<uint32_t, 4>;
void xxteaEncryptWords(uint32_t* words, size_t count, const TXxteaKey& key);
void xxteaDecryptWords(uint32_t* words, size_t count, const TXxteaKey& key);
// Key bytes packed little-endian; a short key is padded with zero bytes.
TXxteaKey xxteaKeyFromBytes(const TBytes& key);

// A payload of n > 0 bytes becomes 4 * (ceil(n / 4) + 1) bytes: the data words,
// then a word holding n, all encrypted.
TBytes encryptBytes(const TBytes& data, const TBytes& key);
// Reverses encryptBytes. A body of one word is not decrypted; a length word
// larger than the body allows gives an empty result.
TBytes decryptBytes(const TBytes& data, const TBytes& key);

// CRC-16/MODBUS over the first `count` bytes of `buffer`.
uint16_t crc16Modbus(const uint8_t* buffer, size_t count);

// Size of the encrypted body of a payload of `payloadSize` bytes.
constexpr size_t encryptedBodySize(size_t payloadSize) {
    return payloadSize == 0 ? 0 : 4 * ((payloadSize + 3) / 4 + 1);
}
// The largest payload whose body stays within one message.
constexpr size_t maxMessagePayload = 4 * (maxMessageBody / 4 - 1);
static_assert(encryptedBodySize(maxMessagePayload) <= maxMessageBody);
static_assert(encryptedBodySize(maxMessagePayload + 1) > maxMessageBody);

struct TFrameHeader {
    bool more = false;   // further frames of the same message follow
    uint8_t type = 0;    // 0 to 7
    uint16_t length = 0; // payload bytes of this frame, 0 to 1023
};
// Two bytes, big-endian; bits 14-13 are written as 0 and ignored when read.
std::array<uint8_t, frameHeaderSize> encodeFrameHeader(const TFrameHeader& header);
TFrameHeader decodeFrameHeader(uint8_t high, uint8_t low);

// The frames of one message, each a header followed by its part of the body,
// in sending order. An empty body gives one frame of length 0.
std::vector<TBytes> frameBody(uint8_t type, const TBytes& body);
// Encrypts a non-empty payload under `key` and frames it.
std::vector<TBytes> buildMessageFrames(uint8_t type, const TBytes& payload, const TBytes& key);

// One received message, still encrypted.
struct TRawMessage {
    uint8_t type = 0;
    TBytes body;
    std::array<uint8_t, frameHeaderSize> lastHeader{}; // as received, for the traffic line
};
// Decrypts a received body under `key`; an empty body is an empty payload.
// Throws EStreamOutOfStep for a body that encryptBytes cannot have made: not
// whole words, a single word, or a length word that does not give the body's
// size.
TBytes messagePayload(const TRawMessage& message, const TBytes& key);

// Joins frames into messages. It is fed the bytes of the connection as they
// come and stops at the end of each message; bytesWanted() tells a reader that
// takes exact counts how much the current header or frame payload still needs.
class TMessageAssembler {
public:
    // Consumes bytes up to the end of the current message at most and returns
    // how many it took. Throws EStreamOutOfStep, before taking the frame's
    // payload, for a header that no sender writes: one that would take the
    // body past 65535 bytes, or a type other than that of the message's
    // earlier frames. The assembler then stays failed.
    size_t feed(const uint8_t* data, size_t size);
    size_t bytesWanted() const;
    bool hasMessage() const { return complete_; }
    // The finished message; the assembler starts on the next one.
    TRawMessage takeMessage();

private:
    enum class Stage { header, payload, failed };
    [[noreturn]] void fail(const char* reason);

    Stage stage_ = Stage::header;
    const char* failure_ = "";
    std::array<uint8_t, frameHeaderSize> header_{};
    size_t headerFill_ = 0;
    size_t payloadLeft_ = 0;
    bool moreFrames_ = false;
    bool complete_ = false;
    TRawMessage message_;
};
