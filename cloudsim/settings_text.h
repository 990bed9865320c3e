#pragma once

#include <string>

namespace cloudsim {

// The port settings text a client sends on its channel, for example
// "PortOpened: True, Speed=19200, DataBits=8, Parity=none, StopBits=2", with
// " Force=true" at its end when the client takes the channel from another.
// The simulator reads only whether the port is open and whether it forces.
struct SettingsText {
    bool opened = false;
    bool force = false;
};
SettingsText parseSettingsText(const std::string& text);

} // namespace cloudsim
