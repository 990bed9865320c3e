#pragma once

#include <cstdint>

// The line settings the user's program chose on its side of a pty, as the
// pair driver reports them.
struct TLineSettings {
    uint32_t baudRate = 0;
    uint8_t byteSize = 8;
    uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0; // 0 one, 2 two
    bool operator==(const TLineSettings&) const = default;
};

// Reads the slave's settings through the master, custom baud rates included.
// Sets `extProc` to whether the slave still asks the master to be told of
// every settings change.
bool readLineSettings(int masterFd, TLineSettings& settings, bool& extProc);
// Gives the slave the settings of a fresh serial port: raw bytes, 9600 baud,
// 8 data bits, no parity, one stop bit, and change notices to the master.
bool setFreshPortSettings(int masterFd);
// Turns the change notices on again after the user's program cleared them.
bool restoreChangeNotices(int masterFd);
