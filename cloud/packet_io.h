#pragma once

// Messages over the slot's TCP connection, with the slot's traffic counters,
// notifications and traffic lines. The framing itself is the codec's.

#include "cloud/codec.h"
#include "model/connection.h"
#include "platform/tcp_client.h"

// Writes one whole frame; counts it in BytesWritten, stamps LastDataSelfMillis
// and notifies the slot's panel. `connection` may be null.
void writeFrame(TConnection* connection, TTcpClient& io, const TBytes& frame);

// Sends one message: the payload encrypted under `key`, cut into frames, each
// counted, written and logged as "W " + hex.
void sendPacket(TConnection* connection, TTcpClient& io, uint8_t type, const TBytes& payload,
                const TBytes& key);

struct TPacket {
    uint8_t type = 0;
    TBytes payload;
};
// Reads one whole message and decrypts it under `key`, counting every header
// and frame payload read, and logs it as "R " + hex. Throws EStreamOutOfStep
// when the message passes 65535 body bytes, and the socket's errors.
TPacket readPacket(TConnection* connection, TTcpClient& io, const TBytes& key);
