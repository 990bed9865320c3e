#include "serial/lsr_mst_escape.h"

#include "log/traffic_log.h"
#include "platform/text.h"

void InitLsrMstEscape(LsrMstEscape& escape, uint8_t escapeChar, TC0cCport* sender,
                      TCommunicationPropsChangedEvent onCommunicationPropsChanged,
                      TC0cRxCharEvent onRxChar) {
    escape.fPort = sender;
    escape.fC0cOnCommunicationPropsChangedEvent = std::move(onCommunicationPropsChanged);
    escape.fC0cOnRxCharEvent = std::move(onRxChar);
    escape.escapeChar = escapeChar;
    escape.fOtherPortOpened = -1;
    escape.fOtherPortSpeed = -1;
    escape.fOtherPortDataBits = -1;
    escape.fOtherPortParity = -1;
    escape.fOtherPortStopBits = -1;
    ResetLsrMstEscape(escape);
}

void ResetLsrMstEscape(LsrMstEscape& escape) {
    escape.state = 0;
    escape.subState = 0;
}

void ParseLsrMst(LsrMstEscape& escape, const uint8_t* buffer, int32_t length) {
    std::string output;
    int32_t count = 0;
    bool changed = false;

    const auto deliverData = [&] {
        if (count > 0 && escape.fC0cOnRxCharEvent)
            escape.fC0cOnRxCharEvent(escape.fPort, count, output);
        output.clear();
        count = 0;
    };
    // Data and settings are delivered in the order they came: the bytes
    // before a change with the settings that were in effect for them.
    const auto deliverChange = [&] {
        if (!changed)
            return;
        deliverData();
        changed = false;
        const bool allKnown = escape.fOtherPortOpened >= 0 && escape.fOtherPortSpeed >= 0 &&
                              escape.fOtherPortDataBits >= 0 && escape.fOtherPortParity >= 0 &&
                              escape.fOtherPortStopBits >= 0;
        if (allKnown && escape.fC0cOnCommunicationPropsChangedEvent)
            escape.fC0cOnCommunicationPropsChangedEvent(
                escape.fPort, escape.fOtherPortOpened == 1, escape.fOtherPortSpeed,
                escape.fOtherPortDataBits, escape.fOtherPortParity, escape.fOtherPortStopBits);
    };
    auto appendData = [&](uint8_t b) {
        deliverChange();
        output += static_cast<char>(b);
        ++count;
    };
    auto plain = [&](uint8_t b) {
        if (b == escape.escapeChar)
            escape.state = 1;
        else
            appendData(b);
    };
    auto handleReport = [&](uint8_t b) {
        int32_t& s = escape.subState;
        switch (escape.code) {
        case SERIAL_LSRMST_ESCAPE:
            appendData(escape.escapeChar);
            ResetLsrMstEscape(escape);
            break;
        case SERIAL_LSRMST_LSR_DATA:
            if (s == 0) {
                s = 1;
            } else if (s == 1) {
                logLine(Format("<LSR=0x%02X/", b));
                s = 2;
            } else if (s == 2) {
                // The character that came with a line error is shown, not delivered.
                logLine(Format("DATA=0x%02X>", b));
                ResetLsrMstEscape(escape);
            } else {
                logLine(Format("<SERIAL_LSRMST_LSR_DATA subState=%d>", s));
                ResetLsrMstEscape(escape);
            }
            break;
        case SERIAL_LSRMST_LSR_NODATA:
            if (s == 0) {
                s = 1;
            } else if (s == 1) {
                logLine(Format("<LSR=0x%02X>", b));
                ResetLsrMstEscape(escape);
            } else {
                logLine(Format("<SERIAL_LSRMST_LSR_NODATA subState=%d>", s));
                ResetLsrMstEscape(escape);
            }
            break;
        case SERIAL_LSRMST_MST:
            if (s == 0) {
                s = 1;
            } else if (s == 1) {
                logLine(Format("<MST=0x%02X>", b));
                ResetLsrMstEscape(escape);
                changed = true;
                // Any of CTS, DSR, RI, DCD means the other side holds the port open.
                escape.fOtherPortOpened = b >= 0x10 ? 1 : 0;
            } else {
                logLine(Format("<SERIAL_LSRMST_MST subState=%d>", s));
                ResetLsrMstEscape(escape);
            }
            break;
        case C0CE_INSERT_RBR:
            if (s == 0) {
                s = 1;
            } else if (s >= 1 && s <= 3) {
                escape.data[s - 1] = b;
                ++s;
            } else if (s == 4) {
                escape.data[3] = b;
                changed = true;
                // A rate of 2^31 or more reads as negative, which counts as not
                // known: no settings event carries it.
                escape.fOtherPortSpeed =
                    static_cast<int32_t>(c0cLittleEndian32(escape.data.data()));
                logLine(Format("<BaudRate=%d>", escape.fOtherPortSpeed));
                ResetLsrMstEscape(escape);
            } else {
                logLine(Format("<C0CE_INSERT_RBR subState=%d>", s));
                ResetLsrMstEscape(escape);
            }
            break;
        case C0CE_INSERT_RLC:
            if (s == 0) {
                s = 1;
            } else if (s == 1) {
                changed = true;
                escape.fOtherPortDataBits = b;
                logLine(Format("<ByteSize=%d ", b));
                s = 2;
            } else if (s == 2) {
                changed = true;
                escape.fOtherPortParity = b;
                logLine(Format("Parity=%d ", b));
                s = 3;
            } else if (s == 3) {
                changed = true;
                escape.fOtherPortStopBits = b;
                logLine(Format("StopBits=%d>", b));
                ResetLsrMstEscape(escape);
            } else {
                logLine(Format("<C0CE_INSERT_RLC subState=%d>", s));
                ResetLsrMstEscape(escape);
            }
            break;
        default:
            logLine(Format("<SERIAL_LSRMST_%d subState=%d>", escape.code, s));
            ResetLsrMstEscape(escape);
            break;
        }
    };

    for (int32_t i = 0; i < length; ++i) {
        const uint8_t b = buffer[i];
        switch (escape.state) {
        case 0:
            plain(b);
            break;
        case 1:
            escape.code = b;
            escape.state = 2;
            handleReport(b);
            break;
        case 2:
            handleReport(b);
            break;
        default:
            logLine(Format("<state=%d>", escape.state));
            ResetLsrMstEscape(escape);
            plain(b);
            break;
        }
    }

    deliverChange();
    deliverData();
}
