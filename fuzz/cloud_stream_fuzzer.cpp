// Feeds arbitrary bytes from the server through the frame assembler, the
// decryption, the check of the message type and the handshake parsers, as the
// cloud client reads them; and checks that encryption round-trips whatever the
// payload.
#include "cloud/codec.h"
#include "cloud/protocol.h"

#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TBytes key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

    TMessageAssembler assembler;
    size_t offset = 0;
    try {
        while (offset < size) {
            // Uneven reads, as the socket delivers them.
            const size_t chunk = 1 + data[offset] % 7;
            offset += assembler.feed(data + offset, std::min(chunk, size - offset));
            if (!assembler.hasMessage())
                continue;
            const TRawMessage message = assembler.takeMessage();
            const TBytes payload = messagePayload(message, key);
            checkServerMessageType(message.type);
            try {
                parseHello(payload);
            } catch (const std::exception&) {
            }
            try {
                parseAuthorizationRequest(payload);
            } catch (const std::exception&) {
            }
        }
    } catch (const EStreamOutOfStep&) {
        // The client drops the connection.
    }

    if (size > 0 && size <= maxMessagePayload) {
        const TBytes plain(data, data + size);
        if (decryptBytes(encryptBytes(plain, key), key) != plain)
            std::abort();
    }
    return 0;
}
