#include "platform/text.h"

#include <cstdio>

namespace {
// Unicode code points of Windows-1251 bytes 0x80 to 0xFF.
constexpr char16_t cp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at pos; a malformed byte stands for itself.
uint32_t nextCodePoint(const std::string& s, size_t& pos) {
    const auto lead = static_cast<uint8_t>(s[pos++]);
    int extra = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (lead >= 0xF8)
        extra = 0;
    uint32_t cp = extra == 3   ? lead & 0x07
                  : extra == 2 ? lead & 0x0F
                  : extra == 1 ? lead & 0x1F
                               : lead;
    if (extra == 0)
        return cp;
    const size_t start = pos;
    for (int i = 0; i < extra; ++i) {
        if (pos >= s.size() || (static_cast<uint8_t>(s[pos]) & 0xC0) != 0x80) {
            pos = start;
            return lead;
        }
        cp = (cp << 6) | (static_cast<uint8_t>(s[pos++]) & 0x3F);
    }
    return cp;
}
} // namespace

std::string ansiToText(const std::string& ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (char c : ansi) {
        const auto b = static_cast<uint8_t>(c);
        appendUtf8(out, b < 0x80 ? b : cp1251High[b - 0x80]);
    }
    return out;
}

std::string textToAnsi(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const uint32_t cp = nextCodePoint(text, pos);
        if (cp >= 0x10000) {
            // A surrogate pair: two UTF-16 units, each cut to 8 bits.
            const uint32_t v = cp - 0x10000;
            out += static_cast<char>((0xD800 | (v >> 10)) & 0xFF);
            out += static_cast<char>((0xDC00 | (v & 0x3FF)) & 0xFF);
        } else {
            out += static_cast<char>(cp & 0xFF);
        }
    }
    return out;
}

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0)
        return {};
    std::string out(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(size));
    return out;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatV(format, args);
    va_end(args);
    return out;
}

std::string toHex(const uint8_t* data, size_t size) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string trimmed(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<uint8_t>(text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<uint8_t>(text[last - 1]) <= ' ')
        --last;
    return text.substr(first, last - first);
}
