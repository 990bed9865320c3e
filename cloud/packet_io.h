#pragma once

// Messages over the slot's TCP connection, with the slot's traffic counters,
// notifications and traffic lines. The framing itself is the codec's.

#include "cloud/codec.h"
#include "model/connection.h"
#include "platform/tcp_stream.h"

// Writes one whole frame; counts it in BytesWritten, stamps LastDataSelfMillis
// and notifies the slot's panel. `connection` may be null.
void writeFrame(TConnection* connection, TByteSink& io, const TBytes& frame);

// Sends one message: the payload encrypted under `key`, cut into frames, each
// counted, written and logged as "W " + hex.
void sendPacket(TConnection* connection, TByteSink& io, uint8_t type, const TBytes& payload,
                const TBytes& key);

struct TPacket {
    uint8_t type = 0;
    TBytes payload;
};
// Reads messages from a connection that delivers bytes as they come: each
// chunk the message wants (a frame header, a frame payload) is taken from
// the input once it is all there, counted in BytesRead with a WM_TRAFFIC_RX
// notification; a whole message is decrypted under `key`, logged as "R " +
// hex and counted in ReadPacketNum.
class TPacketReader {
public:
    // Takes from `input` (from `start` on, which it moves) and returns true
    // with `packet` once a whole message is in. Throws EStreamOutOfStep when
    // the message passes 65535 body bytes. `connection` may be null.
    bool next(TConnection* connection, const TBytes& input, size_t& start, const TBytes& key,
              TPacket& packet);
    // Part of a message has been read.
    bool partial() const { return partial_; }

private:
    TMessageAssembler assembler_;
    bool partial_ = false;
};
