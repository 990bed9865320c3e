#pragma once

#include "model/connection.h"
#include "tunnels/tunnel_events.h"

#include <cstdint>
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
TStatusText comportStatusText(const TSlotStatus& status);
TStatusText tunnelStatusText(const TSlotStatus& status);
TStatusText closeReasonText(const TSlotStatus& status);
TStatusText datasourceStatusText(const TSlotStatus& status);
// The same, from a record's current values.
TStatusText comportStatusText(const TConnection& connection);
TStatusText tunnelStatusText(const TConnection& connection);
TStatusText closeReasonText(const TConnection& connection);
TStatusText datasourceStatusText(const TConnection& connection);

// The status of a slot of that kind: the port's for a COM-port slot, the
// cloud connection's otherwise.
TStatusText slotStatusText(TSlotType kind, const TSlotStatus& status);
// What the slot panel shows as its port: the path, or why there is none.
std::string portText(const TPortInfo& port);
// "S/R: <sent>/<received> b".
std::string trafficText(uint32_t sent, uint32_t received);
// The words of a message of the tunnel controller.
std::string messageText(const TTunnelMessage& message);
std::string conflictQuestionText(const TConflictQuestion& question);
// The question before a tunnel is deleted; `number` counts from the top.
std::string deleteTunnelQuestionText(size_t number);
// What a tunnel's panel shows while the cloud at `server` checks its key.
std::string learningText(const std::string& server);
// The tooltip of the notification-area icon: the tunnels' states in short.
struct TTunnelCounts {
    size_t tunnels = 0;
    size_t connected = 0; // work: the cloud connection is up
    size_t failing = 0;   // work: a slot shows an error
};
std::string trayToolTipText(bool work, const TTunnelCounts& counts);
// The line a gateway prints when it answers a conflict by pausing the tunnel.
std::string tunnelPausedText(const TConflictQuestion& question);
