#include "cloudsim/settings_text.h"

namespace cloudsim {

SettingsText parseSettingsText(const std::string& text) {
    static const std::string forceMarker = " Force=true";
    SettingsText settings;
    settings.opened = text.find("PortOpened: True") != std::string::npos;
    settings.force =
        text.size() >= forceMarker.size() &&
        text.compare(text.size() - forceMarker.size(), forceMarker.size(), forceMarker) == 0;
    return settings;
}

} // namespace cloudsim
