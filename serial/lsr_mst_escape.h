#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class TC0cCport;

// Decoded data bytes of one read: `Count` bytes, one per character of
// `BinaryString`.
using TC0cRxCharEvent =
    std::function<void(TC0cCport* Sender, int32_t Count, const std::string& BinaryString)>;
// Settings chosen by the program on the user-facing side of the pair.
using TCommunicationPropsChangedEvent =
    std::function<void(TC0cCport* sender, bool PortOpened, int32_t Speed, int32_t DataBits,
                       int32_t Parity, int32_t StopBits)>;

// The pair driver's insert request and the reports it puts into the stream.
constexpr uint32_t IOCTL_SERIAL_LSRMST_INSERT = 0x1B007C;
constexpr uint8_t SERIAL_LSRMST_ESCAPE = 0x00;
constexpr uint8_t SERIAL_LSRMST_LSR_DATA = 0x01;
constexpr uint8_t SERIAL_LSRMST_LSR_NODATA = 0x02;
constexpr uint8_t SERIAL_LSRMST_MST = 0x03;
constexpr uint8_t C0CE_INSERT_RBR = 0x10;
constexpr uint8_t C0CE_INSERT_RLC = 0x11;

// Option bits of the insert request.
constexpr uint32_t C0CE_INSERT_ENABLE_LSR = 0x00000001;
constexpr uint32_t C0CE_INSERT_ENABLE_MST = 0x00000002;
constexpr uint32_t C0CE_INSERT_ENABLE_RBR = 0x00000100;
constexpr uint32_t C0CE_INSERT_ENABLE_RLC = 0x00000200;
constexpr uint32_t C0CE_INSERT_IOCTL_GET = 0x01000000;
constexpr uint32_t C0CE_INSERT_IOCTL_CAPS = 0x02000000;
// "c0c" and a zero byte: marks the extended request and its capability answer.
constexpr std::array<uint8_t, 4> C0CE_SIGNATURE = {'c', '0', 'c', 0};
constexpr uint8_t c0cEscapeChar = 0x61;

// The driver's 32-bit values (baud rate, option mask) are little-endian.
inline uint32_t c0cLittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

using LsrMstEscapeData = std::array<uint8_t, 5>;

// State of the report decoder; the learnt values are -1 until reported.
struct LsrMstEscape {
    int32_t fOtherPortOpened = 0;
    int32_t fOtherPortSpeed = 0;
    int32_t fOtherPortDataBits = 0;
    int32_t fOtherPortParity = 0;
    int32_t fOtherPortStopBits = 0;
    TC0cCport* fPort = nullptr;
    TCommunicationPropsChangedEvent fC0cOnCommunicationPropsChangedEvent;
    TC0cRxCharEvent fC0cOnRxCharEvent;
    uint8_t escapeChar = 0;
    int32_t state = 0; // 0 plain data, 1 escape seen, 2 inside a report
    uint8_t code = 0;
    int32_t subState = 0;
    LsrMstEscapeData data{};
};

void InitLsrMstEscape(LsrMstEscape& escape, uint8_t escapeChar, TC0cCport* sender,
                      TCommunicationPropsChangedEvent onCommunicationPropsChanged,
                      TC0cRxCharEvent onRxChar);
void ResetLsrMstEscape(LsrMstEscape& escape);
// Splits one read into data and reports; raises at most one settings event
// (first) and one data event per call. A report cut by the end of the buffer
// is finished by the next call.
void ParseLsrMst(LsrMstEscape& escape, const uint8_t* buffer, int32_t length);
