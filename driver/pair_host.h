#pragma once

#include <cstdint>

// The process-wide host of the virtual pairs. Linking the driver library
// registers it as the serial device provider of the names "CNCB<n>": opening
// one gives the hidden side of pair n.
//
// A pair is a pty. It is created at the first open of its hidden side and
// lives until the program ends or the pair is removed from the store; its
// slave is published as userFacingPortPath(n). While no hidden side is open,
// bytes from the user's program are read and dropped; while the user's
// program has its side closed, bytes written to the hidden side are dropped.
//
// The hidden side answers the insert request (IOCTL_SERIAL_LSRMST_INSERT,
// 0x1B007C) with the 9-byte input buffer: escape character, "c0c\0", option
// mask (little-endian). Options with bit 31 set ask for the capabilities:
// the answer is "c0c\0" and the offered mask 0x03000303. Otherwise the escape
// character and the options take effect; with bit 24 the request answers at
// once with the state as reports (line status, modem status, baud rate, line
// control, each when its option is on). Afterwards the stream carries modem
// status on every open (0x30) and close (0x00) of the user's side, the baud
// rate and the line control when they change, and a data byte equal to the
// escape character as escape, 0x00.

constexpr uint32_t pairInsertRequest = 0x1B007C;
constexpr uint32_t pairOfferedOptions = 0x03000303;
constexpr uint32_t pairCapabilityQuery = 0x80000000;
