#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// Texts are UTF-8 inside the program. The cloud connection carries 8-bit
// strings: coming in they are Windows-1251, going out each UTF-16 unit is cut
// to its low 8 bits.
std::string ansiToText(const std::string& ansi);
std::string textToAnsi(const std::string& text);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Upper-case hexadecimal without separators, as the traffic lines show it.
std::string toHex(const uint8_t* data, size_t size);
inline std::string toHex(const std::vector<uint8_t>& bytes) {
    return toHex(bytes.data(), bytes.size());
}

// Leading and trailing blanks and control characters removed.
std::string trimmed(const std::string& text);
