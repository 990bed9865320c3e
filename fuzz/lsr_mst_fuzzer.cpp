// Feeds an arbitrary stream from the hidden side of a pair through the
// in-band report decoder, cut into reads at arbitrary points; the data bytes
// it passes on can never outnumber the bytes read.
#include "serial/lsr_mst_escape.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t delivered = 0;
    LsrMstEscape escape;
    InitLsrMstEscape(
        escape, 0x61, nullptr, [](TC0cCport*, bool, int32_t, int32_t, int32_t, int32_t) {},
        [&delivered](TC0cCport*, int32_t count, const std::string& bytes) {
            if (count < 0 || static_cast<size_t>(count) != bytes.size())
                std::abort();
            delivered += bytes.size();
        });
    // The first byte chooses where the stream is cut.
    const size_t cut = data[0];
    size_t offset = 1;
    while (offset < size) {
        const size_t length = std::min(size - offset, 1 + (cut + offset) % 13);
        ParseLsrMst(escape, data + offset, static_cast<int32_t>(length));
        offset += length;
    }
    if (delivered > size)
        std::abort();
    return 0;
}
