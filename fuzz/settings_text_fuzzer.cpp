// Reads an arbitrary port settings text as the cloud simulator does: it never
// fails, and a text that says the port is open reads as open.
#include "cloudsim/settings_text.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    cloudsim::parseSettingsText(text);
    if (!cloudsim::parseSettingsText("PortOpened: True, " + text).opened ||
        !cloudsim::parseSettingsText(text + " Force=true").force)
        std::abort();
    return 0;
}
