#pragma once

#include "model/connection.h"

#include <cstdint>
#include <string>

// Stable identity of a tunnel within one controller; never reused.
using TTunnelId = uint64_t;

// The status values of a slot as its worker last reported them: what the
// fronts turn into texts and icons.
struct TSlotStatus {
    TZvlConnectionStatus zvlConnectionStatus = zvlUnknown;
    TZvlCloseReason zvlCloseReason = zvlCloseReason_notYetConnected;
    bool datasourceConnectedToServer = false;
    TDatasourceChannelState datasourceChannelState = dcsUnknown;
    TDatasourceCloseReason datasourceCloseReason = crUnknown;
    std::string datasourceExtended; // 8-bit, as the cloud sent it
    TC0mPortStatus comportStatus = c0mPortUnknown;
};

// A snapshot of the record's status fields.
TSlotStatus slotStatusOf(const TConnection& record);

// The virtual port of a COM-port slot.
struct TPortInfo {
    enum State : uint8_t {
        Installing, // the pair exists but its user-facing port not yet
        NotFound,   // the tunnel's pair is not installed
        Ready,      // `path` is the user-facing port
    };
    State state = NotFound;
    std::string path;
    bool operator==(const TPortInfo&) const = default;
};

// What went wrong, for the front to word.
enum class TTunnelErrorKind : uint8_t {
    NoComPort,         // check: a COM-port slot without a port
    NoKey,             // check: a tunnel slot without a key
    TooFewSlots,       // check: a tunnel with fewer than two slots
    KeyMissing,        // start: the key was removed before work
    NotConfigured,     // start: the tunnel's key was never learnt
    LearningFailed,    // the cloud refused the key; `status` says why
    UnsupportedTunnel, // the tunnel needs a local interface this program lacks
    TakenOver,         // another computer took the channel; `status` says so
    SettingsFile,      // the settings file could not be read or written; `detail`
    PortPairs,         // a pair could not be installed or removed; `detail`
};

// A message for the user: an error box in the window, a line headless.
struct TTunnelMessage {
    TTunnelErrorKind kind{};
    TTunnelId tunnel = 0; // 0 when no tunnel is concerned
    TSlotStatus status;   // LearningFailed, TakenOver
    std::string detail;   // SettingsFile, PortPairs: the system's words
};

// The error of an operation that fails at once.
class ETunnelError : public std::exception {
public:
    explicit ETunnelError(TTunnelMessage message) : message_(std::move(message)) {}
    const TTunnelMessage& message() const { return message_; }
    const char* what() const noexcept override { return "tunnel operation failed"; }

private:
    TTunnelMessage message_;
};

// The question asked when the cloud refuses to open a tunnel because another
// computer holds a conflicting one: take the channel over or stop work.
struct TConflictQuestion {
    TTunnelId tunnel = 0;
    int32_t number = 0;       // the tunnel's number in work
    std::string otherAddress; // 8-bit, the other computer's address
};

// Everything a front learns from the controller, on the controller's thread.
// A listener must not destroy the controller from inside a call.
class TTunnelListener {
public:
    virtual ~TTunnelListener() = default;

    // A tunnel was put at `position` of the list (0 = top); it has no slots yet.
    virtual void tunnelAdded(TTunnelId, size_t /*position*/) {}
    virtual void tunnelRemoved(TTunnelId) {}
    // Work numbered the tunnel (1 = top).
    virtual void tunnelNumbered(TTunnelId, int32_t /*number*/) {}
    // The key as the controller keeps it (after a load).
    virtual void keyChanged(TTunnelId, const std::string& /*typedKey*/) {}
    // A learning run for the tunnel's key started or ended (then `learnt`).
    virtual void learningStarted(TTunnelId) {}
    virtual void learningFinished(TTunnelId, bool /*learnt*/) {}

    virtual void slotAdded(TTunnelId, TSlotType) {}
    virtual void slotRemoved(TTunnelId, TSlotType) {}
    virtual void slotWorkModeChanged(TTunnelId, TSlotType, bool /*work*/) {}
    virtual void slotStatusChanged(TTunnelId, TSlotType, const TSlotStatus&) {}
    virtual void portChanged(TTunnelId, const TPortInfo&) {}
    virtual void trafficChanged(TTunnelId, TSlotType, uint32_t /*sent*/, uint32_t /*received*/) {}

    // The whole program's mode.
    virtual void workModeChanged(bool /*work*/) {}
    // True while a key is learnt or pairs are installed: the window takes no
    // commands then.
    virtual void busyChanged(bool /*busy*/) {}
    virtual void message(const TTunnelMessage&) {}
    // Answer with TTunnelController::answerConflict, now or later; until then
    // the tunnel's cloud connection waits and no second question comes.
    virtual void conflictQuestion(const TConflictQuestion&) {}
    virtual void loadFinished() {}
    virtual void portPairsRefreshed() {}
};
