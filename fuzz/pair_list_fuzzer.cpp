// Reads an arbitrary pair list: every number it gives is a pair number that
// stands once, and no more numbers come out than lines went in.
#include "driver/pair_store.h"

#include <algorithm>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const TPairList list = parsePairList(text);
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    const std::set<int> distinct(list.pairs.begin(), list.pairs.end());
    if (distinct.size() != list.pairs.size() || list.pairs.size() + list.badLines > lines ||
        (!list.pairs.empty() && (*distinct.begin() < 0 || *distinct.rbegin() > 999999999)))
        std::abort();
    return 0;
}
