#include "cloud/packet_io.h"

#include "log/traffic_log.h"
#include "platform/text.h"
#include "platform/tick.h"

void writeFrame(TConnection* connection, TByteSink& io, const TBytes& frame) {
    io.Write(frame.data(), frame.size());
    if (!connection)
        return;
    connection->BytesWritten.fetch_add(static_cast<uint32_t>(frame.size()));
    connection->LastDataSelfMillis = GetTickCount();
    notifySlot(*connection, WM_TRAFFIC_TX);
}

void sendPacket(TConnection* connection, TByteSink& io, uint8_t type, const TBytes& payload,
                const TBytes& key) {
    for (const TBytes& frame : buildMessageFrames(type, payload, key)) {
        if (connection)
            connection->WritePacketNum.fetch_add(1);
        writeFrame(connection, io, frame);
        if (LoggingEnabled.load(std::memory_order_relaxed))
            logConnectionEvent(connection, "W " + toHex(frame));
    }
}

namespace {
void countChunk(TConnection* connection, size_t size) {
    if (!connection)
        return;
    connection->BytesRead.fetch_add(static_cast<uint32_t>(size));
    notifySlot(*connection, WM_TRAFFIC_RX);
}

TPacket finishPacket(TConnection* connection, TMessageAssembler& assembler, const TBytes& key) {
    const TRawMessage message = assembler.takeMessage();
    TPacket packet{message.type, messagePayload(message, key)};
    if (LoggingEnabled.load(std::memory_order_relaxed)) {
        const std::string hex = packet.payload.empty()
                                    ? toHex(message.lastHeader.data(), message.lastHeader.size())
                                    : toHex(message.lastHeader.data(), 1) + toHex(packet.payload);
        logConnectionEvent(connection, "R " + hex);
    }
    if (connection)
        connection->ReadPacketNum.fetch_add(1);
    return packet;
}
} // namespace

bool TPacketReader::next(TConnection* connection, const TBytes& input, size_t& start,
                         const TBytes& key, TPacket& packet) {
    while (!assembler_.hasMessage()) {
        const size_t wanted = assembler_.bytesWanted();
        if (wanted == 0) // the assembler failed on an earlier message
            throw EStreamOutOfStep("Message longer than 65535 bytes");
        if (input.size() - start < wanted)
            return false;
        partial_ = true;
        countChunk(connection, wanted);
        start += wanted;
        assembler_.feed(input.data() + start - wanted, wanted);
    }
    partial_ = false;
    packet = finishPacket(connection, assembler_, key);
    return true;
}
