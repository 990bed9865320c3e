#pragma once

#include "model/connection.h"
#include "tunnels/controller_loop.h"
#include "tunnels/tunnel_events.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TDeviceWatch;
class TSoleInstanceLock;
class TThread;

// Hands a call to the controller's loop from any thread; the call is dropped
// when the controller is gone by then.
using TPoster = std::function<void(std::function<void()>)>;

// The tunnel list and its lifecycle, without any drawing: adding and deleting
// tunnels and slots, applying a key (a learning run of the cloud client),
// installing and removing the tunnel's virtual port pair, the check before
// work, numbering, starting and stopping work, the settings file, the
// take-over question and the refresh of port names after device changes.
//
// Threads: every member is called on the thread that runs `loop`, and every
// listener call happens there. Workers report through their slot records and
// the messages they post to a slot's FrameHandle (a receiver of the
// controller); those, learning results, device changes and refreshed port
// lists all reach the controller as calls posted to `loop`, whatever thread
// delivers them (so it works with any main-thread dispatcher the front
// installs). Long operations do not block: a key is learnt in the background
// and the outcome arrives as events; only installing a pair waits for the
// pair program. The loop must outlive the controller.
//
// Keys are kept as typed (blanks included, that is how the file stores them);
// the cloud gets them trimmed.
class TTunnelController {
public:
    TTunnelController(TControllerLoop& loop, TTunnelListener& listener);
    // Tells every worker and learning run to stop, waits for them a bounded
    // time and forgets the tunnels, without listener calls; the settings file
    // is not written.
    ~TTunnelController();
    TTunnelController(const TTunnelController&) = delete;
    TTunnelController& operator=(const TTunnelController&) = delete;

    // --- queries
    // The tunnels from the top down.
    std::vector<TTunnelId> tunnels() const;
    bool inWorkMode() const { return workMode_; }
    bool busy() const { return busy_ > 0; }
    bool loading() const { return loading_; }
    // 1-based position in the list, 0 for an unknown tunnel.
    size_t position(TTunnelId tunnel) const;
    const std::string& typedKey(TTunnelId tunnel) const;
    // The tunnel description the cloud gave for the applied key ("" before).
    const std::string& tunnelMode(TTunnelId tunnel) const;
    int32_t pairNumber(TTunnelId tunnel) const;               // -1 without a pair
    int32_t number(TTunnelId tunnel) const;                   // 0 before work numbered it
    std::vector<TSlotType> slotKinds(TTunnelId tunnel) const; // oldest first
    // Null when the tunnel has no slot of that kind.
    PConnectionInfo slotRecord(TTunnelId tunnel, TSlotType kind) const;
    // The device a COM-port slot opens (hidden side of the pair), "" without.
    std::string hiddenPort(TTunnelId tunnel) const;
    bool slotWorking(TTunnelId tunnel, TSlotType kind) const;
    bool learning(TTunnelId tunnel) const;
    // True while a saved key that could not be learnt (the cloud was out of
    // reach or answered nonsense) waits for, or runs, its next try.
    bool retrying(TTunnelId tunnel) const;

    // --- commands (errors reach the listener as messages unless said)
    // Reads the settings file, lists its tunnels in file order and learns all
    // their keys at once; when every run is over saves once, reports the first
    // error, or starts work when tunnels were loaded. loadFinished() follows.
    // Called once, on an empty list.
    //
    // Before that it tidies up after a previous run: an unreadable pair list
    // is set aside (reported), and when no other instance of the program runs
    // for this pair list, the temporary files of an interrupted save beside
    // the settings file and the pair list are removed, and so are the pairs no
    // saved tunnel names. A saved tunnel whose pair is missing gets it
    // installed again (the same number). Saved tunnels whose key is empty,
    // too long or unreadable, and entries that cannot be used, are reported
    // naming the tunnel; such tunnels stay out of the automatic start, the
    // others start. A key that could not be learnt because the cloud was out
    // of reach is tried again in the background with a growing pause (the
    // tunnel keeps its port meanwhile) and the tunnel joins work once learnt.
    void load();
    // A tunnel with its cloud slot at the bottom of the list; saved.
    TTunnelId addTunnel();
    // The key typed for the tunnel; not saved until the cloud accepted one.
    void setTypedKey(TTunnelId tunnel, std::string key);
    // Learns the typed key in the background. When the cloud accepts it the
    // tunnel gets a COM-port slot if it needs a port (its pair installed when
    // it has none) and the file is saved; a refusal is reported. A key that
    // another tunnel has typed or applied already is refused at once
    // (DuplicateKey): two tunnels on one channel would push each other off.
    // Ignored while the tunnel learns already or work runs. Unlike the
    // learning runs of a load or a start, it does not make the controller
    // busy: the other tunnels stay usable.
    void applyKey(TTunnelId tunnel);
    // Gives up the learning run applyKey started: the tunnel stays as it
    // was, learningFinished(tunnel, false) follows at once, no message.
    void cancelKey(TTunnelId tunnel);
    // Adds a slot of that kind (a COM-port slot takes or installs the pair).
    void addSlot(TTunnelId tunnel, TSlotType kind);
    void deleteSlot(TTunnelId tunnel, TSlotType kind);
    // Removes the tunnel and its pair; saved. Ignored while work runs.
    void deleteTunnel(TTunnelId tunnel);
    // Checks every tunnel but those whose key is retried in the background
    // (the first failure is reported, nothing starts),
    // numbers them from the top, learns keys edited since their application
    // (all at once) and starts every slot's worker. A failure then puts every
    // tunnel back into configuration mode without a message. False when the
    // check failed.
    bool startWork();
    // Configuration mode: every worker is told to stop; nobody waits.
    void stopWork();
    // Writes the whole tunnel list to the settings file (held back while a
    // load runs). Throws ETunnelError(SettingsFile).
    void save();
    // The answer to conflictQuestion.
    void answerConflict(TTunnelId tunnel, TConflictAnswer answer);
    // True while the tunnel's workers run (false before work and once paused).
    bool tunnelWorking(TTunnelId tunnel) const;
    // A pair came or went: port names are refreshed a second after the last
    // change of a burst. The controller watches the pair store itself; fronts
    // and tests may call this too.
    void deviceChanged();
    bool refreshPending() const;

    // Ticks from the last device change to the refresh.
    static constexpr uint32_t refreshDelayMs = 1000;
    // Pauses between the tries of a saved key the cloud could not be asked
    // about: the first, doubled after each failure up to the last.
    static constexpr uint32_t firstRetryPauseMs = 3000;
    static constexpr uint32_t longestRetryPauseMs = 30000;

private:
    struct Slot;
    struct Tunnel;

    Tunnel* find(TTunnelId tunnel) const;
    Tunnel& get(TTunnelId tunnel) const;
    Slot* slotOf(const Tunnel& tunnel, TSlotType kind) const;
    // Calls posted from other threads run only while the controller lives.
    TPoster poster() const;
    void post(std::function<void()> call);
    void report(TTunnelMessage message);
    void beginBusy();
    void endBusy();

    Slot& createSlot(Tunnel& tunnel, TSlotType kind);
    void removeSlot(Tunnel& tunnel, Slot& slot);
    void deleteNonTunnelSlots(Tunnel& tunnel);
    void takePortPair(Tunnel& tunnel, Slot& slot);
    void showPortPair(Tunnel& tunnel, Slot& slot, const struct TC0cPair* pair);
    void uninstallPair(Tunnel& tunnel);
    void startLearning(Tunnel& tunnel, bool byUser);
    void learningDone(TTunnelId tunnel, uint64_t run);
    void dropLearning(Tunnel& tunnel);
    void retryLater(Tunnel& tunnel, const TConnection& learnt);
    void retryLearning(TTunnelId tunnel);
    void stopRetrying(Tunnel& tunnel);
    void joinWork(Tunnel& tunnel);
    void tidyUp(const std::vector<struct TStoredTunnel>& stored);
    void reinstallMissingPairs();
    void loadDone();
    bool beginWork();
    void startWorkers();
    bool checkTunnel(Tunnel& tunnel);
    void setSlotWorkMode(Tunnel& tunnel, Slot& slot, bool work);
    void slotMessage(TTunnelId tunnel, TSlotType kind, uint32_t message);
    void askAboutConflict(Tunnel& tunnel, Slot& slot);
    void refreshPortNames();
    void saveIfAllowed();

    TControllerLoop& loop_;
    TTunnelListener& listener_;
    // Posted calls hold it weakly: they do nothing once the controller is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::vector<std::unique_ptr<Tunnel>> tunnels_;
    TTunnelId lastId_ = 0;
    bool workMode_ = false;
    int busy_ = 0;
    bool loading_ = false;
    bool saveHeldBack_ = false;
    // Learning runs of the load, and of the start of work, still out.
    size_t loadLearning_ = 0;
    size_t startLearning_ = 0;
    bool startFailed_ = false;
    std::unique_ptr<TTunnelMessage> loadError_;
    // What the load found in the saved tunnels and the pair list, reported
    // when it is over.
    std::vector<TTunnelMessage> loadNotes_;
    std::unique_ptr<TSoleInstanceLock> soleInstance_;
    std::vector<std::weak_ptr<TThread>> refreshers_;
    std::unique_ptr<TDeviceWatch> deviceWatch_;
};
