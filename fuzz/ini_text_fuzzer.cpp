// Reads an arbitrary settings file the way the program does: the text splits
// into lines that join back to the same bytes, and reads of the sections and
// entries it names never fail.
#include "settings/ini_file.h"
#include "settings/settings_file.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const TIniText text = parseIniText(bytes);
    if (iniTextBytes(text) != bytes)
        std::abort();
    std::string value;
    for (const std::string& key : iniSectionKeys(text, ConnectionsSection)) {
        if (!iniReadValue(text, ConnectionsSection, key, value))
            std::abort();
        int32_t number;
        parseIniInteger(value, number);
    }
    iniReadValue(text, "General", "Lang", value);
    return 0;
}
