#pragma once

#include "model/connection.h"

#include <string>

// Status icons, indices into the slot panel's image list.
enum TStatusIcon : int { iconGrey = 0, iconRed = 1, iconYellow = 2, iconGreen = 3 };

// A status text shown to the user (UTF-8) with its icon.
struct TStatusText {
    std::string text;
    int icon = iconGrey;
};

// The status texts of a slot, computed from its record. They nest: the text
// of a disconnected client holds the close reason, which for a data source
// error holds the data source status.
TStatusText comportStatusText(const TConnection& connection);
TStatusText tunnelStatusText(const TConnection& connection);
TStatusText closeReasonText(const TConnection& connection);
TStatusText datasourceStatusText(const TConnection& connection);
