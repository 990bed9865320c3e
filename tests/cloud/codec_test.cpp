#include "cloud/codec.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

namespace {

TBytes sequence(size_t size, uint8_t start = 1) {
    TBytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), start);
    return bytes;
}

const TBytes key16 = sequence(16, 0x10);

struct XxteaVector {
    TXxteaKey key;
    std::vector<uint32_t> plain;
    std::vector<uint32_t> cipher;
};

// Published word-level vectors of Corrected Block TEA.
TEST(XxteaTest, PublishedVectorsEncryptAndDecrypt) {
    const TXxteaKey zero{0, 0, 0, 0};
    const TXxteaKey k{0x00112233, 0x44556677, 0x8899AABB, 0xCCDDEEFF};
    const std::vector<XxteaVector> vectors = {
        {zero, {0, 0}, {0x053704AB, 0x575D8C80}},
        {zero, {0x01020304, 0x05060708}, {0xE6911910, 0x0C35DCDA}},
        {k, {0x01234567, 0x89ABCDEF}, {0x34354989, 0xDD7D1A7A}},
        {zero, {0x00010203, 0x04050607, 0x08090A0B}, {0x5A545AAC, 0x684EB2CB, 0x3E1B8AA0}},
        {k, {0x01234567, 0x89ABCDEF, 0x01234567}, {0xEBC5DD46, 0xBE0FEE71, 0xC6BF7193}},
        {k,
         {0x01234567, 0x89ABCDEF, 0x01234567, 0x89ABCDEF},
         {0x2B4AB1A4, 0x0E487B6D, 0x9A3AACC7, 0xE4132216}},
    };
    for (const auto& v : vectors) {
        std::vector<uint32_t> words = v.plain;
        xxteaEncryptWords(words.data(), words.size(), v.key);
        EXPECT_EQ(words, v.cipher);
        xxteaDecryptWords(words.data(), words.size(), v.key);
        EXPECT_EQ(words, v.plain);
    }
}

TEST(XxteaTest, KeyBytesArePackedLittleEndian) {
    const TXxteaKey key = xxteaKeyFromBytes(sequence(16, 0));
    EXPECT_EQ(key[0], 0x03020100u);
    EXPECT_EQ(key[3], 0x0F0E0D0Cu);
    EXPECT_EQ(xxteaKeyFromBytes({0xAA})[0], 0xAAu);
}

TEST(CrcTest, CheckValueAndChallenge) {
    const std::string text = "123456789";
    EXPECT_EQ(crc16Modbus(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0x4B37);
    // Only the first `count` bytes count.
    EXPECT_EQ(crc16Modbus(reinterpret_cast<const uint8_t*>("123456789XYZ"), 9), 0x4B37);
}

TEST(CipherTest, BodySizeGrowsByWholeWordsPlusTheLengthWord) {
    const std::vector<std::pair<size_t, size_t>> sizes = {{1, 8},  {4, 8},  {5, 12},
                                                          {8, 12}, {9, 16}, {1017, 1024}};
    for (const auto& [payload, body] : sizes) {
        const TBytes data = sequence(payload);
        const TBytes encrypted = encryptBytes(data, key16);
        EXPECT_EQ(encrypted.size(), body) << payload;
        EXPECT_EQ(encryptedBodySize(payload), body);
        EXPECT_EQ(decryptBytes(encrypted, key16), data) << payload;
    }
    EXPECT_TRUE(encryptBytes({}, key16).empty());
}

TEST(CipherTest, EncryptionLaysOutWordsLittleEndianWithTheLengthLast) {
    // Decrypting with the raw block function shows the plain words.
    const TBytes encrypted = encryptBytes({0x01, 0x02, 0x03, 0x04, 0x05}, key16);
    std::vector<uint32_t> words(encrypted.size() / 4);
    for (size_t i = 0; i < encrypted.size(); ++i)
        words[i / 4] |= static_cast<uint32_t>(encrypted[i]) << (8 * (i % 4));
    xxteaDecryptWords(words.data(), words.size(), xxteaKeyFromBytes(key16));
    EXPECT_EQ(words, (std::vector<uint32_t>{0x04030201, 0x00000005, 5}));
}

TEST(CipherTest, MalformedBodiesDecryptAsSpecified) {
    // One word is not decrypted: it is its own length word.
    EXPECT_EQ(decryptBytes({0x02, 0x00, 0x00, 0x00}, key16), (TBytes{0x02, 0x00}));
    EXPECT_TRUE(decryptBytes({0x09, 0x00, 0x00, 0x00}, key16).empty());
    // A length word beyond the body gives nothing.
    std::vector<uint32_t> words{0x11111111, 0x22222222, 13};
    xxteaEncryptWords(words.data(), words.size(), xxteaKeyFromBytes(key16));
    TBytes body(12);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
    EXPECT_TRUE(decryptBytes(body, key16).empty());
    // A ragged tail is zero-filled; the wrong key gives bytes but no error.
    EXPECT_NO_THROW(decryptBytes(sequence(7), key16));
    EXPECT_NE(decryptBytes(encryptBytes(sequence(20), key16), sequence(16, 0x77)), sequence(20));
}

TEST(FrameTest, HeadersCarryFlagTypeAndLength) {
    EXPECT_EQ(encodeFrameHeader({false, 5, 10}), (std::array<uint8_t, 2>{0x14, 0x0A}));
    EXPECT_EQ(encodeFrameHeader({true, 5, 10}), (std::array<uint8_t, 2>{0x94, 0x0A}));
    EXPECT_EQ(encodeFrameHeader({false, 7, 1023}), (std::array<uint8_t, 2>{0x1F, 0xFF}));
    // Bits 14-13 are ignored when read.
    const TFrameHeader h = decodeFrameHeader(0x94 | 0x60, 0x0A);
    EXPECT_TRUE(h.more);
    EXPECT_EQ(h.type, 5);
    EXPECT_EQ(h.length, 10);
}

TEST(FrameTest, KeepaliveIsTwoBytes) {
    const auto frames = buildMessageFrames(2, {}, key16);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (TBytes{0x08, 0x00}));
}

TEST(FrameTest, OneBytePayloadIsOneFrameOfTenBytes) {
    const auto frames = buildMessageFrames(5, {0x42}, key16);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 10u);
    EXPECT_EQ(frames[0][0], 0x14);
    EXPECT_EQ(frames[0][1], 0x08);
}

TEST(FrameTest, BodiesAreCutIntoFramesOfAtMost1023Bytes) {
    const std::vector<std::pair<size_t, std::vector<size_t>>> cases = {
        {0, {0}}, {1020, {1020}}, {1023, {1023}}, {1024, {1023, 1}}, {2048, {1023, 1023, 2}}};
    for (const auto& [bodySize, lengths] : cases) {
        const TBytes body = sequence(bodySize);
        const auto frames = frameBody(5, body);
        ASSERT_EQ(frames.size(), lengths.size()) << bodySize;
        TBytes joined;
        for (size_t i = 0; i < frames.size(); ++i) {
            const TFrameHeader h = decodeFrameHeader(frames[i][0], frames[i][1]);
            EXPECT_EQ(h.length, lengths[i]);
            EXPECT_EQ(frames[i].size(), lengths[i] + 2);
            EXPECT_EQ(h.more, i + 1 < frames.size());
            EXPECT_EQ(h.type, 5);
            joined.insert(joined.end(), frames[i].begin() + 2, frames[i].end());
        }
        EXPECT_EQ(joined, body);
    }
}

TBytes concat(const std::vector<TBytes>& parts) {
    TBytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds `stream` in chunks of `chunk` bytes and collects the messages.
std::vector<TRawMessage> assemble(const TBytes& stream, size_t chunk) {
    TMessageAssembler assembler;
    std::vector<TRawMessage> messages;
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t size = std::min(chunk, stream.size() - pos);
        size_t used = 0;
        while (used < size) {
            used += assembler.feed(stream.data() + pos + used, size - used);
            if (assembler.hasMessage())
                messages.push_back(assembler.takeMessage());
        }
        pos += size;
    }
    EXPECT_EQ(assembler.bytesWanted(), 2u);
    return messages;
}

TEST(AssemblerTest, MessagesAreReassembledWhateverTheChunking) {
    const TBytes big = sequence(3000);
    const TBytes stream =
        concat({concat(buildMessageFrames(5, big, key16)), concat(buildMessageFrames(2, {}, key16)),
                concat(buildMessageFrames(0, {0x01, 0x01}, key16))});
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{1025}, stream.size()}) {
        const auto messages = assemble(stream, chunk);
        ASSERT_EQ(messages.size(), 3u) << chunk;
        EXPECT_EQ(messages[0].type, 5);
        EXPECT_EQ(messagePayload(messages[0], key16), big);
        EXPECT_EQ(messages[1].type, 2);
        EXPECT_TRUE(messages[1].body.empty());
        EXPECT_EQ(messages[1].lastHeader, (std::array<uint8_t, 2>{0x08, 0x00}));
        EXPECT_EQ(messagePayload(messages[2], key16), (TBytes{0x01, 0x01}));
    }
}

TEST(AssemblerTest, BodySplitDifferentlyDecryptsToTheSamePayload) {
    const TBytes payload = sequence(10);
    const TBytes body = encryptBytes(payload, key16); // 16 bytes
    // Frames of 5, 0, and 11 bytes, the middle one empty, odd bits set.
    TBytes stream = {0x94 | 0x20, 5};
    stream.insert(stream.end(), body.begin(), body.begin() + 5);
    stream.insert(stream.end(), {0x94, 0});
    stream.insert(stream.end(), {0x14 | 0x40, 11});
    stream.insert(stream.end(), body.begin() + 5, body.end());
    const auto messages = assemble(stream, stream.size());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, 5);
    EXPECT_EQ(messagePayload(messages[0], key16), payload);
}

TEST(AssemblerTest, ExactReaderIsToldHeaderThenPayloadSizes) {
    TMessageAssembler assembler;
    const TBytes stream = concat(frameBody(5, sequence(1030)));
    std::vector<size_t> wanted;
    size_t pos = 0;
    while (!assembler.hasMessage()) {
        const size_t n = assembler.bytesWanted();
        wanted.push_back(n);
        ASSERT_EQ(assembler.feed(stream.data() + pos, n), n);
        pos += n;
    }
    EXPECT_EQ(wanted, (std::vector<size_t>{2, 1023, 2, 7}));
    EXPECT_EQ(assembler.takeMessage().body, sequence(1030));
}

TEST(AssemblerTest, BodyOverTheLimitFailsAtTheHeaderAndStaysFailed) {
    TMessageAssembler assembler;
    const TBytes frame = concat({{0x97, 0xFF}, TBytes(1023, 0xAB)}); // 64 of them: 65472
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(assembler.feed(frame.data(), frame.size()), frame.size());
    // 63 more bytes would be fine; 64 pass the limit.
    const TBytes last = {0x14, 64, 0x00};
    EXPECT_THROW(assembler.feed(last.data(), last.size()), EStreamOutOfStep);
    EXPECT_THROW(assembler.feed(last.data(), 1), EStreamOutOfStep);

    TMessageAssembler fits;
    for (int i = 0; i < 64; ++i)
        fits.feed(frame.data(), frame.size());
    const TBytes ending = concat({{0x14, 63}, TBytes(63, 1)});
    EXPECT_EQ(fits.feed(ending.data(), ending.size()), ending.size());
    ASSERT_TRUE(fits.hasMessage());
    EXPECT_EQ(fits.takeMessage().body.size(), maxMessageBody);
}

TEST(AssemblerTest, FramesOfOneMessageWithDifferentTypesAreOutOfStep) {
    TMessageAssembler assembler;
    const TBytes stream = {0x94, 2, 1, 2, 0x08, 0x00}; // type 5, more to follow; then type 2
    EXPECT_THROW(assembler.feed(stream.data(), stream.size()), EStreamOutOfStep);
    EXPECT_THROW(assembler.feed(stream.data(), 1), EStreamOutOfStep);
}

TEST(CipherTest, BodiesThatNoSenderMakesAreOutOfStep) {
    const auto raw = [](TBytes body) {
        TRawMessage message;
        message.type = 5;
        message.body = std::move(body);
        return message;
    };
    // Length words for 12-byte bodies: only 5 to 8 fit.
    const auto withLength = [](uint32_t length) {
        std::vector<uint32_t> words{0x11111111, 0x22222222, length};
        xxteaEncryptWords(words.data(), words.size(), xxteaKeyFromBytes(key16));
        TBytes body(12);
        for (size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
        return body;
    };
    for (uint32_t length : {0u, 4u, 9u, 12u, 0xFFFFFFFFu})
        EXPECT_THROW(messagePayload(raw(withLength(length)), key16), EStreamOutOfStep) << length;
    for (uint32_t length : {5u, 8u})
        EXPECT_EQ(messagePayload(raw(withLength(length)), key16).size(), length);
    for (size_t size : {1u, 4u, 7u, 13u})
        EXPECT_THROW(messagePayload(raw(sequence(size)), key16), EStreamOutOfStep) << size;
    EXPECT_TRUE(messagePayload(raw({}), key16).empty());
}

TEST(AssemblerTest, LargestPayloadFitsOneMessage) {
    const TBytes payload = sequence(maxMessagePayload);
    const auto messages = assemble(concat(buildMessageFrames(5, payload, key16)), 4096);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messagePayload(messages[0], key16), payload);
}

} // namespace
