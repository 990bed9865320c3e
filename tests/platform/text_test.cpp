#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, AnsiInIsWindows1251) {
    EXPECT_EQ(ansiToText("abc"), "abc");
    EXPECT_EQ(ansiToText("\xCF\xF0\xE8\xE2\xE5\xF2"), "Привет");
    EXPECT_EQ(ansiToText("\xA8\xB8\x88"), "Ёё€");
}

TEST(TextTest, TextOutKeepsTheLowEightBitsOfEachUnit) {
    EXPECT_EQ(textToAnsi("Key 12"), "Key 12");
    // U+0410 (А) becomes 0x10, U+00E9 (é) stays 0xE9.
    EXPECT_EQ(textToAnsi("А\u00e9"), std::string("\x10\xE9"));
    // A character outside the basic plane goes out as two surrogate units.
    EXPECT_EQ(textToAnsi("\U0001F600"), std::string("\x3D\x00", 2));
}

TEST(TextTest, FormatHexAndTrim) {
    EXPECT_EQ(Format("PortOpened: %s, Speed=%d", "True", 19200), "PortOpened: True, Speed=19200");
    const uint8_t bytes[] = {0x00, 0x61, 0xAB, 0xFF};
    EXPECT_EQ(toHex(bytes, sizeof bytes), "0061ABFF");
    EXPECT_EQ(trimmed("\r\n  a b \t\r\n"), "a b");
    EXPECT_EQ(trimmed(" \r\n"), "");
}

} // namespace
