#include "cloud/codec.h"

#include <algorithm>
#include <string>

namespace {
constexpr uint32_t xxteaDelta = 0x9E3779B9;

uint32_t mix(uint32_t y, uint32_t z, uint32_t sum, size_t p, uint32_t e, const TXxteaKey& key) {
    return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (key[(p & 3) ^ e] ^ z));
}

std::vector<uint32_t> wordsFromBytes(const uint8_t* data, size_t size, size_t extraWords) {
    std::vector<uint32_t> words((size + 3) / 4 + extraWords, 0);
    for (size_t i = 0; i < size; ++i)
        words[i / 4] |= static_cast<uint32_t>(data[i]) << (8 * (i % 4));
    return words;
}

uint8_t byteOfWords(const std::vector<uint32_t>& words, size_t i) {
    return static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
}
} // namespace

void xxteaEncryptWords(uint32_t* v, size_t n, const TXxteaKey& key) {
    if (n < 2)
        return;
    uint32_t rounds = 6 + static_cast<uint32_t>(52 / n);
    uint32_t sum = 0;
    uint32_t z = v[n - 1];
    uint32_t y;
    do {
        sum += xxteaDelta;
        const uint32_t e = (sum >> 2) & 3;
        size_t p = 0;
        for (; p < n - 1; ++p) {
            y = v[p + 1];
            z = v[p] += mix(y, z, sum, p, e, key);
        }
        y = v[0];
        z = v[n - 1] += mix(y, z, sum, p, e, key);
    } while (--rounds);
}

void xxteaDecryptWords(uint32_t* v, size_t n, const TXxteaKey& key) {
    if (n < 2)
        return;
    uint32_t rounds = 6 + static_cast<uint32_t>(52 / n);
    uint32_t sum = rounds * xxteaDelta;
    uint32_t y = v[0];
    uint32_t z;
    do {
        const uint32_t e = (sum >> 2) & 3;
        size_t p = n - 1;
        for (; p > 0; --p) {
            z = v[p - 1];
            y = v[p] -= mix(y, z, sum, p, e, key);
        }
        z = v[n - 1];
        y = v[0] -= mix(y, z, sum, p, e, key);
        sum -= xxteaDelta;
    } while (--rounds);
}

TXxteaKey xxteaKeyFromBytes(const TBytes& key) {
    const std::vector<uint32_t> words =
        wordsFromBytes(key.data(), std::min<size_t>(key.size(), 16), 0);
    TXxteaKey result{};
    std::copy(words.begin(), words.end(), result.begin());
    return result;
}

TBytes encryptBytes(const TBytes& data, const TBytes& key) {
    if (data.empty())
        return {};
    std::vector<uint32_t> words = wordsFromBytes(data.data(), data.size(), 1);
    words.back() = static_cast<uint32_t>(data.size());
    xxteaEncryptWords(words.data(), words.size(), xxteaKeyFromBytes(key));
    TBytes out(words.size() * 4);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = byteOfWords(words, i);
    return out;
}

TBytes decryptBytes(const TBytes& data, const TBytes& key) {
    if (data.empty())
        return {};
    std::vector<uint32_t> words = wordsFromBytes(data.data(), data.size(), 0);
    xxteaDecryptWords(words.data(), words.size(), xxteaKeyFromBytes(key));
    const size_t length = words.back();
    if (length > 4 * words.size())
        return {};
    TBytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = byteOfWords(words, i);
    return out;
}

uint16_t crc16Modbus(const uint8_t* buffer, size_t count) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= buffer[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

std::array<uint8_t, frameHeaderSize> encodeFrameHeader(const TFrameHeader& header) {
    const uint16_t value = static_cast<uint16_t>(
        (header.more ? 0x8000 : 0) | ((header.type & 0x07) << 10) | (header.length & 0x03FF));
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

TFrameHeader decodeFrameHeader(uint8_t high, uint8_t low) {
    const uint16_t value = static_cast<uint16_t>((high << 8) | low);
    TFrameHeader header;
    header.more = (value & 0x8000) != 0;
    header.type = static_cast<uint8_t>((value >> 10) & 0x07);
    header.length = value & 0x03FF;
    return header;
}

std::vector<TBytes> frameBody(uint8_t type, const TBytes& body) {
    if (type > 7)
        throw std::invalid_argument("message type out of range");
    std::vector<TBytes> frames;
    size_t offset = 0;
    do {
        const size_t length = std::min(maxFramePayload, body.size() - offset);
        const bool more = offset + length < body.size();
        const auto header = encodeFrameHeader({more, type, static_cast<uint16_t>(length)});
        TBytes frame(header.begin(), header.end());
        frame.insert(frame.end(), body.begin() + static_cast<std::ptrdiff_t>(offset),
                     body.begin() + static_cast<std::ptrdiff_t>(offset + length));
        frames.push_back(std::move(frame));
        offset += length;
    } while (offset < body.size());
    return frames;
}

std::vector<TBytes> buildMessageFrames(uint8_t type, const TBytes& payload, const TBytes& key) {
    return frameBody(type, encryptBytes(payload, key));
}

TBytes messagePayload(const TRawMessage& message, const TBytes& key) {
    const TBytes& body = message.body;
    if (body.empty())
        return {};
    if (body.size() % 4 != 0 || body.size() < 8)
        throw EStreamOutOfStep("Message body of " + std::to_string(body.size()) +
                               " bytes is not an encrypted payload");
    TBytes payload = decryptBytes(body, key);
    // decryptBytes gives an empty result for a length word beyond the body.
    if (encryptedBodySize(payload.size()) != body.size())
        throw EStreamOutOfStep("Length word of a message body does not fit");
    return payload;
}

size_t TMessageAssembler::bytesWanted() const {
    switch (stage_) {
    case Stage::header:
        return complete_ ? 0 : frameHeaderSize - headerFill_;
    case Stage::payload:
        return payloadLeft_;
    case Stage::failed:
        break;
    }
    return 0;
}

void TMessageAssembler::fail(const char* reason) {
    stage_ = Stage::failed;
    failure_ = reason;
    throw EStreamOutOfStep(failure_);
}

size_t TMessageAssembler::feed(const uint8_t* data, size_t size) {
    size_t used = 0;
    while (used < size && !complete_) {
        if (stage_ == Stage::failed)
            throw EStreamOutOfStep(failure_);
        if (stage_ == Stage::header) {
            header_[headerFill_++] = data[used++];
            if (headerFill_ < frameHeaderSize)
                continue;
            headerFill_ = 0;
            const TFrameHeader header = decodeFrameHeader(header_[0], header_[1]);
            if (message_.body.size() + header.length > maxMessageBody)
                fail("Message longer than 65535 bytes");
            // Senders give every frame of a message the message's type.
            if (moreFrames_ && header.type != message_.type)
                fail("Frames of one message with different types");
            message_.type = header.type;
            message_.lastHeader = header_;
            moreFrames_ = header.more;
            payloadLeft_ = header.length;
            stage_ = Stage::payload;
        } else {
            const size_t take = std::min(payloadLeft_, size - used);
            message_.body.insert(message_.body.end(), data + used, data + used + take);
            used += take;
            payloadLeft_ -= take;
        }
        if (stage_ == Stage::payload && payloadLeft_ == 0) {
            stage_ = Stage::header;
            complete_ = !moreFrames_;
        }
    }
    return used;
}

TRawMessage TMessageAssembler::takeMessage() {
    TRawMessage message = std::move(message_);
    message_ = TRawMessage{};
    complete_ = false;
    return message;
}
