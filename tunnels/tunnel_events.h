#pragma once

#include "model/connection.h"

#include <cstdint>
#include <string>
#include <vector>

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
    std::string portFraming; // COM-port slot: "19200 8N1", the framing sent on
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
    LearningFailed,    // the cloud refused the key; `status` says why, `detail`
                       // names the server asked ("host:port")
    DuplicateKey,      // another tunnel has the key already; `otherTunnel` says which
    UnsupportedTunnel, // the tunnel needs a local interface this program lacks
    TakenOver,         // another computer took the channel; `status` says so
    SettingsFile,      // the settings file could not be read or written; `detail`
    PortPairs,         // a pair could not be installed or removed; `detail`
    KeyTooLong,        // a saved key longer than the cloud takes (255 characters)
    KeyUnreadable,     // a saved key that is not UTF-8 or holds control characters
    StoredEntry,       // entries of a saved tunnel that cannot be used; `detail`
    PairListSetAside,  // the unreadable pair list was set aside; `detail` names both paths
};

// A message for the user: an error box in the window, a line headless.
struct TTunnelMessage {
    TTunnelErrorKind kind{};
    TTunnelId tunnel = 0; // 0 when no tunnel is concerned
    TSlotStatus status;   // LearningFailed, TakenOver
    // SettingsFile, PortPairs, StoredEntry, PairListSetAside: the system's words
    std::string detail;
    // The tunnel's place in the list (1 = top) when the text names it: the
    // problems found in the saved tunnels at a load.
    size_t position = 0;
    size_t otherTunnel = 0; // DuplicateKey: the other tunnel's position (1 = top)
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

// What the front answers to a conflict question.
enum class TConflictAnswer : uint8_t {
    TakeOver,    // the tunnel takes the channel over by force
    StopWork,    // every tunnel goes back to configuration mode
    PauseTunnel, // only this tunnel stops; the others keep working
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

// Hands every event to each of several listeners, in the order they were
// added (the window and, without a display, the console printer).
class TListenerFan : public TTunnelListener {
public:
    void add(TTunnelListener& listener) { listeners_.push_back(&listener); }
    void remove(TTunnelListener& listener) { std::erase(listeners_, &listener); }

    void tunnelAdded(TTunnelId t, size_t p) override { each(&TTunnelListener::tunnelAdded, t, p); }
    void tunnelRemoved(TTunnelId t) override { each(&TTunnelListener::tunnelRemoved, t); }
    void tunnelNumbered(TTunnelId t, int32_t n) override {
        each(&TTunnelListener::tunnelNumbered, t, n);
    }
    void keyChanged(TTunnelId t, const std::string& k) override {
        each(&TTunnelListener::keyChanged, t, k);
    }
    void learningStarted(TTunnelId t) override { each(&TTunnelListener::learningStarted, t); }
    void learningFinished(TTunnelId t, bool l) override {
        each(&TTunnelListener::learningFinished, t, l);
    }
    void slotAdded(TTunnelId t, TSlotType k) override { each(&TTunnelListener::slotAdded, t, k); }
    void slotRemoved(TTunnelId t, TSlotType k) override {
        each(&TTunnelListener::slotRemoved, t, k);
    }
    void slotWorkModeChanged(TTunnelId t, TSlotType k, bool w) override {
        each(&TTunnelListener::slotWorkModeChanged, t, k, w);
    }
    void slotStatusChanged(TTunnelId t, TSlotType k, const TSlotStatus& s) override {
        each(&TTunnelListener::slotStatusChanged, t, k, s);
    }
    void portChanged(TTunnelId t, const TPortInfo& p) override {
        each(&TTunnelListener::portChanged, t, p);
    }
    void trafficChanged(TTunnelId t, TSlotType k, uint32_t s, uint32_t r) override {
        each(&TTunnelListener::trafficChanged, t, k, s, r);
    }
    void workModeChanged(bool w) override { each(&TTunnelListener::workModeChanged, w); }
    void busyChanged(bool b) override { each(&TTunnelListener::busyChanged, b); }
    void message(const TTunnelMessage& m) override { each(&TTunnelListener::message, m); }
    void conflictQuestion(const TConflictQuestion& q) override {
        each(&TTunnelListener::conflictQuestion, q);
    }
    void loadFinished() override { each(&TTunnelListener::loadFinished); }
    void portPairsRefreshed() override { each(&TTunnelListener::portPairsRefreshed); }

private:
    template <class Method, class... Args> void each(Method method, const Args&... args) {
        for (TTunnelListener* listener : std::vector(listeners_))
            (listener->*method)(args...);
    }
    std::vector<TTunnelListener*> listeners_;
};
