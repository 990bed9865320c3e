#include "tunnels/tunnel_controller.h"

#include "cloud/zelvane_thread.h"
#include "driver/device_watch.h"
#include "driver/pair_store.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "portpairs/ports_handler.h"
#include "portpairs/ports_refresher.h"
#include "serial/comport_thread.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

// Workers get this long to end when the controller goes.
constexpr uint32_t shutdownWaitMs = 2000;
constexpr int refreshTimer = 1;

// A pair as the refresher found it, kept beyond the inventory's life.
struct TFoundPair {
    int32_t id;
    std::string human;
    std::string hidden;
};

bool blockedByOtherTunnel(TDatasourceCloseReason reason) {
    return reason == crClosedDueToOpenErrorDueToInterferedTunnel ||
           reason == crClosedDueToOpenErrorDueToMultipleInterferedTunnels ||
           reason == crClosedDueToInterferedTunnel;
}

} // namespace

TSlotStatus slotStatusOf(const TConnection& c) {
    TSlotStatus status;
    status.zvlConnectionStatus = c.zvlConnectionStatus;
    status.zvlCloseReason = c.zvlCloseReason;
    status.datasourceConnectedToServer = c.datasourceConnectedToServer;
    status.datasourceChannelState = c.datasourceChannelState;
    status.datasourceCloseReason = c.datasourceCloseReason;
    status.datasourceExtended = c.datasourceChannelStateExtendedString.get();
    status.comportStatus = c.comportStatus;
    status.portFraming = c.portFraming.get();
    return status;
}

struct TTunnelController::Slot {
    TSlotType kind = stTCPClient;
    PConnectionInfo record;
    HWND handle = 0;
    bool work = false;
    std::string hiddenPort; // COM-port slot: the device its worker opens
    TPortInfo port;

    ~Slot() { unregisterMessageReceiver(handle); }
};

struct TTunnelController::Tunnel {
    TTunnelId id = 0;
    PHubInfo hub = std::make_shared<THubInfo>();
    // The pair stays the tunnel's while it has no COM-port slot, so a later
    // application of a key takes the same port.
    int32_t pairHint = -1;
    std::string typedKey;
    std::string appliedKey;                   // trimmed, as the cloud accepted it
    std::string mode;                         // tunnel description the cloud gave
    std::vector<std::unique_ptr<Slot>> slots; // oldest first
    bool work = false;

    std::shared_ptr<TWorker> learner;
    PConnectionInfo learningRecord;
    std::string learningKey;
    bool learningByUser = false;
    bool learningForLoad = false;
    bool learningForStart = false;
};

TTunnelController::TTunnelController(TControllerLoop& loop, TTunnelListener& listener)
    : loop_(loop), listener_(listener) {
    // The pair store changes when pairs come and go: a device change.
    deviceWatch_ = std::make_unique<TDeviceWatch>(
        [this, post = poster()] { post([this] { deviceChanged(); }); });
}

TTunnelController::~TTunnelController() {
    deviceWatch_.reset();
    loop_.stopTimer(refreshTimer);
    for (auto& tunnel : tunnels_) {
        for (auto& slot : tunnel->slots) {
            // No message reaches a slot once the controller goes.
            unregisterMessageReceiver(slot->handle);
            slot->handle = 0;
            slot->record->FrameHandle = 0;
            // The record and its worker hold each other until the worker is let go.
            for (auto* worker : {&slot->record->cportThread, &slot->record->tcpClientThread}) {
                if (*worker) {
                    (*worker)->Terminate();
                    worker->reset();
                }
            }
        }
        if (tunnel->learner)
            tunnel->learner->Terminate();
    }
    for (const auto& refresher : refreshers_)
        if (const auto running = refresher.lock())
            running->Terminate();
    // Ports and connections close cleanly before the program ends.
    waitForAllThreads(shutdownWaitMs);
}

TPoster TTunnelController::poster() const {
    return [&loop = loop_, alive = std::weak_ptr<int>(alive_)](std::function<void()> call) {
        loop.post([alive, call = std::move(call)] {
            if (alive.lock())
                call();
        });
    };
}

void TTunnelController::post(std::function<void()> call) {
    poster()(std::move(call));
}

// --- queries

TTunnelController::Tunnel* TTunnelController::find(TTunnelId id) const {
    for (const auto& tunnel : tunnels_)
        if (tunnel->id == id)
            return tunnel.get();
    return nullptr;
}

TTunnelController::Tunnel& TTunnelController::get(TTunnelId id) const {
    Tunnel* tunnel = find(id);
    if (!tunnel)
        throw std::invalid_argument("unknown tunnel");
    return *tunnel;
}

TTunnelController::Slot* TTunnelController::slotOf(const Tunnel& tunnel, TSlotType kind) const {
    for (const auto& slot : tunnel.slots)
        if (slot->kind == kind)
            return slot.get();
    return nullptr;
}

std::vector<TTunnelId> TTunnelController::tunnels() const {
    std::vector<TTunnelId> ids;
    for (const auto& tunnel : tunnels_)
        ids.push_back(tunnel->id);
    return ids;
}

size_t TTunnelController::position(TTunnelId id) const {
    for (size_t i = 0; i < tunnels_.size(); ++i)
        if (tunnels_[i]->id == id)
            return i + 1;
    return 0;
}

const std::string& TTunnelController::typedKey(TTunnelId id) const {
    return get(id).typedKey;
}

const std::string& TTunnelController::tunnelMode(TTunnelId id) const {
    return get(id).mode;
}

int32_t TTunnelController::pairNumber(TTunnelId id) const {
    return get(id).pairHint;
}

int32_t TTunnelController::number(TTunnelId id) const {
    return get(id).hub->hubId;
}

std::vector<TSlotType> TTunnelController::slotKinds(TTunnelId id) const {
    std::vector<TSlotType> kinds;
    for (const auto& slot : get(id).slots)
        kinds.push_back(slot->kind);
    return kinds;
}

PConnectionInfo TTunnelController::slotRecord(TTunnelId id, TSlotType kind) const {
    const Slot* slot = slotOf(get(id), kind);
    return slot ? slot->record : nullptr;
}

std::string TTunnelController::hiddenPort(TTunnelId id) const {
    const Slot* slot = slotOf(get(id), stComPort);
    return slot ? slot->hiddenPort : std::string();
}

bool TTunnelController::slotWorking(TTunnelId id, TSlotType kind) const {
    const Slot* slot = slotOf(get(id), kind);
    return slot && slot->work;
}

bool TTunnelController::learning(TTunnelId id) const {
    return get(id).learner != nullptr;
}

bool TTunnelController::refreshPending() const {
    return loop_.timerActive(refreshTimer) ||
           std::any_of(refreshers_.begin(), refreshers_.end(),
                       [](const auto& refresher) { return !refresher.expired(); });
}

// --- helpers

void TTunnelController::report(TTunnelMessage message) {
    listener_.message(message);
}

void TTunnelController::beginBusy() {
    if (busy_++ == 0)
        listener_.busyChanged(true);
}

void TTunnelController::endBusy() {
    if (--busy_ == 0)
        listener_.busyChanged(false);
}

void TTunnelController::saveIfAllowed() {
    try {
        save();
    } catch (const ETunnelError& e) {
        report(e.message());
    }
}

// --- slots

TTunnelController::Slot& TTunnelController::createSlot(Tunnel& tunnel, TSlotType kind) {
    auto slot = std::make_unique<Slot>();
    slot->kind = kind;
    const TTunnelId id = tunnel.id;
    slot->handle = registerMessageReceiver([this, id, kind, post = poster()](uint32_t message) {
        post([=, this] { slotMessage(id, kind, message); });
    });
    slot->record = newSlotRecord(kind, slot->handle, tunnel.hub);
    Slot& added = *slot;
    tunnel.slots.push_back(std::move(slot));
    listener_.slotAdded(id, kind);
    if (kind == stComPort)
        takePortPair(tunnel, added);
    return added;
}

void TTunnelController::takePortPair(Tunnel& tunnel, Slot& slot) {
    beginBusy();
    try {
        TC0cPortsHandler inventory;
        if (tunnel.pairHint < 0) {
            const PC0cPair pair = inventory.addPair();
            if (pair)
                tunnel.pairHint = pair->PairId;
            showPortPair(tunnel, slot, pair);
            saveIfAllowed();
        } else {
            showPortPair(tunnel, slot, inventory.findPairByPairId(tunnel.pairHint));
        }
    } catch (const std::exception& e) {
        showPortPair(tunnel, slot, nullptr);
        report({TTunnelErrorKind::PortPairs, tunnel.id, {}, e.what()});
    }
    endBusy();
}

void TTunnelController::showPortPair(Tunnel& tunnel, Slot& slot, const TC0cPair* pair) {
    TPortInfo port;
    if (pair) {
        port.state = pair->ComHuman.empty() ? TPortInfo::Installing : TPortInfo::Ready;
        if (port.state == TPortInfo::Ready)
            port.path = userFacingPortPath(pair->PairId);
        slot.hiddenPort = pair->ComHidden;
    }
    slot.port = port;
    listener_.portChanged(tunnel.id, port);
}

void TTunnelController::removeSlot(Tunnel& tunnel, Slot& slot) {
    setSlotWorkMode(tunnel, slot, false);
    tunnel.hub->removeConnection(slot.record.get());
    const TSlotType kind = slot.kind;
    std::erase_if(tunnel.slots, [&slot](const auto& s) { return s.get() == &slot; });
    listener_.slotRemoved(tunnel.id, kind);
}

void TTunnelController::deleteNonTunnelSlots(Tunnel& tunnel) {
    while (true) {
        auto it = std::find_if(tunnel.slots.begin(), tunnel.slots.end(),
                               [](const auto& slot) { return slot->kind != stTCPClient; });
        if (it == tunnel.slots.end())
            return;
        removeSlot(tunnel, **it);
    }
}

void TTunnelController::addSlot(TTunnelId id, TSlotType kind) {
    Tunnel& tunnel = get(id);
    if (!slotOf(tunnel, kind))
        createSlot(tunnel, kind);
}

void TTunnelController::deleteSlot(TTunnelId id, TSlotType kind) {
    Tunnel& tunnel = get(id);
    if (Slot* slot = slotOf(tunnel, kind))
        removeSlot(tunnel, *slot);
}

// --- tunnels

TTunnelId TTunnelController::addTunnel() {
    auto tunnel = std::make_unique<Tunnel>();
    tunnel->id = ++lastId_;
    Tunnel& added = *tunnel;
    tunnels_.push_back(std::move(tunnel));
    listener_.tunnelAdded(added.id, tunnels_.size() - 1);
    createSlot(added, stTCPClient);
    if (!loading_)
        saveIfAllowed();
    return added.id;
}

void TTunnelController::setTypedKey(TTunnelId id, std::string key) {
    get(id).typedKey = std::move(key);
}

void TTunnelController::uninstallPair(Tunnel& tunnel) {
    if (tunnel.pairHint < 0)
        return;
    try {
        TC0cPortsHandler::UninstallPair(tunnel.pairHint);
    } catch (const std::exception& e) {
        report({TTunnelErrorKind::PortPairs, tunnel.id, {}, e.what()});
    }
    tunnel.pairHint = -1;
}

void TTunnelController::deleteTunnel(TTunnelId id) {
    Tunnel& tunnel = get(id);
    if (workMode_)
        return;
    beginBusy();
    const bool learningForLoad = tunnel.learner && tunnel.learningForLoad;
    if (tunnel.learner) {
        // Its outcome is dropped when it arrives.
        tunnel.learner->Terminate();
        tunnel.learner.reset();
        listener_.learningFinished(id, false);
        endBusy();
    }
    while (!tunnel.slots.empty())
        removeSlot(tunnel, *tunnel.slots.back());
    uninstallPair(tunnel);
    std::erase_if(tunnels_, [id](const auto& t) { return t->id == id; });
    listener_.tunnelRemoved(id);
    endBusy();
    saveIfAllowed();
    if (learningForLoad && --loadLearning_ == 0)
        loadDone();
}

// --- keys

void TTunnelController::applyKey(TTunnelId id) {
    Tunnel& tunnel = get(id);
    if (tunnel.learner || tunnel.work)
        return;
    startLearning(tunnel, true);
}

void TTunnelController::startLearning(Tunnel& tunnel, bool byUser) {
    tunnel.learningByUser = byUser;
    tunnel.learningKey = trimmed(tunnel.typedKey);
    tunnel.learningRecord = newLearningRecord();
    beginBusy();
    listener_.learningStarted(tunnel.id);
    const TTunnelId id = tunnel.id;
    tunnel.learner =
        startLearningRun(tunnel.learningRecord, tunnel.learningKey,
                         [this, id, post = poster()] { post([this, id] { learningDone(id); }); });
}

void TTunnelController::learningDone(TTunnelId id) {
    Tunnel* found = find(id);
    if (!found || !found->learner)
        return; // deleted meanwhile
    Tunnel& tunnel = *found;
    const PConnectionInfo learnt = std::move(tunnel.learningRecord);
    tunnel.learner.reset();
    const bool byUser = tunnel.learningByUser;
    const bool forLoad = std::exchange(tunnel.learningForLoad, false);
    const bool forStart = std::exchange(tunnel.learningForStart, false);

    deleteNonTunnelSlots(tunnel);
    const bool accepted = learnt->zvlConnectionStatus == zvlDisconnected &&
                          learnt->zvlCloseReason == zvlCloseReason_notYetConnected;
    std::unique_ptr<TTunnelMessage> failure;
    if (!accepted) {
        failure = std::make_unique<TTunnelMessage>(
            TTunnelMessage{TTunnelErrorKind::LearningFailed, id, slotStatusOf(*learnt), {}});
    } else if (learnt->TunnelLocalInterfaceId > 1) {
        failure = std::make_unique<TTunnelMessage>(
            TTunnelMessage{TTunnelErrorKind::UnsupportedTunnel, id, {}, {}});
    } else {
        if (learnt->TunnelLocalInterfaceId == 1)
            createSlot(tunnel, stComPort);
        tunnel.mode = learnt->TunnelName.get();
        tunnel.appliedKey = tunnel.learningKey;
    }
    listener_.learningFinished(id, failure == nullptr);
    endBusy();

    if (forLoad) {
        // A refused key leaves the tunnel as it was; an unsupported one is an
        // error of the load.
        if (failure && failure->kind == TTunnelErrorKind::UnsupportedTunnel && !loadError_)
            loadError_ = std::move(failure);
        if (--loadLearning_ == 0)
            loadDone();
        return;
    }
    if (forStart) {
        if ((failure && failure->kind == TTunnelErrorKind::UnsupportedTunnel) ||
            tunnel.mode.empty())
            startFailed_ = true;
        if (--startLearning_ == 0)
            startWorkers();
        return;
    }
    if (byUser) {
        if (failure)
            report(*failure);
        else
            saveIfAllowed();
    }
}

// --- settings file

void TTunnelController::load() {
    if (loading_)
        return;
    stopWork();
    loading_ = true;
    loadedTunnels_ = 0;
    loadError_.reset();
    std::vector<TTunnelId> learners;
    try {
        TIniFile ini = openSettingsFile();
        for (const TStoredTunnel& stored : readStoredTunnels(ini)) {
            const TTunnelId id = addTunnel();
            ++loadedTunnels_;
            Tunnel& tunnel = get(id);
            tunnel.pairHint = stored.comPort;
            tunnel.typedKey = stored.tunnelKey;
            listener_.keyChanged(id, tunnel.typedKey);
            // A tunnel saved before its key was given comes back as it was left.
            if (!trimmed(stored.tunnelKey).empty())
                learners.push_back(id);
        }
    } catch (const std::exception& e) {
        loadError_ = std::make_unique<TTunnelMessage>(
            TTunnelMessage{TTunnelErrorKind::SettingsFile, 0, {}, e.what()});
    }
    // Every run starts before any result is looked at: they overlap.
    loadLearning_ = learners.size();
    for (TTunnelId id : learners) {
        Tunnel& tunnel = get(id);
        tunnel.learningForLoad = true;
        startLearning(tunnel, false);
    }
    if (learners.empty())
        loadDone();
}

void TTunnelController::loadDone() {
    loading_ = false;
    // Saves wait until the end: a save erases the section and writes what
    // is listed.
    if (std::exchange(saveHeldBack_, false))
        saveIfAllowed();
    if (loadError_)
        report(*std::exchange(loadError_, nullptr));
    else if (loadedTunnels_ > 0)
        startWork();
    listener_.loadFinished();
}

void TTunnelController::save() {
    if (loading_) {
        saveHeldBack_ = true;
        return;
    }
    try {
        TIniFile ini = openSettingsFile();
        std::vector<TStoredTunnel> stored;
        for (const auto& tunnel : tunnels_)
            stored.push_back(
                {static_cast<int>(stored.size()), tunnel->typedKey, tunnel->pairHint, {}});
        // One replacement of the file: a failure leaves the previous configuration.
        writeStoredTunnels(ini, stored);
    } catch (const std::exception& e) {
        throw ETunnelError({TTunnelErrorKind::SettingsFile, 0, {}, e.what()});
    }
}

// --- work

bool TTunnelController::checkTunnel(Tunnel& tunnel) {
    int passed = 0;
    for (auto it = tunnel.slots.rbegin(); it != tunnel.slots.rend(); ++it) {
        const Slot& slot = **it;
        if (slot.kind == stComPort && slot.hiddenPort.empty()) {
            report({TTunnelErrorKind::NoComPort, tunnel.id, {}, {}});
            return false;
        }
        if (slot.kind == stTCPClient && trimmed(tunnel.typedKey).empty()) {
            report({TTunnelErrorKind::NoKey, tunnel.id, {}, {}});
            return false;
        }
        ++passed;
    }
    if (passed < 2) {
        report({TTunnelErrorKind::TooFewSlots, tunnel.id, {}, {}});
        return false;
    }
    return true;
}

bool TTunnelController::startWork() {
    if (workMode_ || startLearning_ > 0)
        return true;
    for (const auto& tunnel : tunnels_)
        if (tunnel->learner)
            return false; // a key is being learnt; its outcome decides
    for (const auto& tunnel : tunnels_)
        if (!checkTunnel(*tunnel))
            return false;
    // Numbered 1, 2, ... from the top.
    for (size_t i = 0; i < tunnels_.size(); ++i) {
        tunnels_[i]->hub->hubId = static_cast<int32_t>(i + 1);
        listener_.tunnelNumbered(tunnels_[i]->id, static_cast<int32_t>(i + 1));
    }
    workMode_ = true;
    startFailed_ = false;
    listener_.workModeChanged(true);
    // Keys edited since their application are learnt first, all at once.
    std::vector<Tunnel*> relearn;
    for (const auto& tunnel : tunnels_)
        if (trimmed(tunnel->typedKey) != tunnel->appliedKey)
            relearn.push_back(tunnel.get());
    startLearning_ = relearn.size();
    for (Tunnel* tunnel : relearn) {
        tunnel->learningForStart = true;
        startLearning(*tunnel, false);
    }
    if (relearn.empty())
        startWorkers();
    return true;
}

void TTunnelController::startWorkers() {
    if (!workMode_)
        return; // stopped while keys were learnt
    for (const auto& tunnel : tunnels_)
        if (tunnel->mode.empty())
            startFailed_ = true;
    if (startFailed_) {
        // Silently back to configuration; the tunnels' texts say why.
        stopWork();
        return;
    }
    // Started from the bottom up; in a tunnel the cloud slot first.
    for (auto it = tunnels_.rbegin(); it != tunnels_.rend(); ++it) {
        Tunnel& tunnel = **it;
        tunnel.work = true;
        for (const auto& slot : tunnel.slots)
            setSlotWorkMode(tunnel, *slot, true);
    }
}

void TTunnelController::stopWork() {
    for (auto it = tunnels_.rbegin(); it != tunnels_.rend(); ++it) {
        Tunnel& tunnel = **it;
        // A key being learnt for the start is learnt to the end, like one
        // the user applied; the workers then stay stopped.
        tunnel.work = false;
        for (const auto& slot : tunnel.slots)
            setSlotWorkMode(tunnel, *slot, false);
    }
    const bool wasWorking = std::exchange(workMode_, false);
    if (wasWorking)
        listener_.workModeChanged(false);
}

void TTunnelController::setSlotWorkMode(Tunnel& tunnel, Slot& slot, bool work) {
    if (slot.work == work)
        return;
    slot.work = work;
    TConnection& c = *slot.record;
    if (work) {
        c.FrameHandle = slot.handle;
        // Reset before the worker starts, so it never overwrites a state the
        // worker already reported.
        c.zvlConnectionStatus = zvlDisconnected;
        c.zvlCloseReason = zvlCloseReason_notYetConnected;
        c.datasourceConnectedToServer = false;
        c.datasourceCloseReason = crUnknown;
        if (slot.kind == stComPort) {
            c.PortName.set(slot.hiddenPort);
            c.cportThread = startComPortWorker(slot.record);
        } else if (slot.kind == stTCPClient) {
            // The key the cloud accepted while learning: without the blanks.
            c.tcpClientThread = startCloudClient(slot.record, tunnel.appliedKey);
        }
        PostMessage(slot.handle, WM_CONNECTION_STATUS);
    } else {
        // Nobody waits: the ending worker posts its final status itself.
        for (auto* worker : {&c.cportThread, &c.tcpClientThread}) {
            if (*worker) {
                (*worker)->Terminate();
                worker->reset();
            }
        }
    }
    listener_.slotWorkModeChanged(tunnel.id, slot.kind, work);
}

// --- worker notifications

void TTunnelController::slotMessage(TTunnelId id, TSlotType kind, uint32_t message) {
    Tunnel* tunnel = find(id);
    Slot* slot = tunnel ? slotOf(*tunnel, kind) : nullptr;
    if (!slot)
        return;
    const PConnectionInfo record = slot->record; // stays valid whatever the listener does
    if (message == WM_CONNECTION_STATUS) {
        listener_.slotStatusChanged(id, kind, slotStatusOf(*record));
        if (kind == stTCPClient)
            askAboutConflict(*tunnel, *slot);
    } else if (message == WM_TRAFFIC_RX || message == WM_TRAFFIC_TX) {
        listener_.trafficChanged(id, kind, record->BytesWritten, record->BytesRead);
    }
}

void TTunnelController::askAboutConflict(Tunnel& tunnel, Slot& slot) {
    TConnection& c = *slot.record;
    const TDatasourceCloseReason reason = c.datasourceCloseReason;
    if (!c.waitDialog || c.dialogPresentNow || c.datasourceChannelState != dcsClosed ||
        !blockedByOtherTunnel(reason))
        return;
    c.dialogPresentNow = true;
    if (reason == crClosedDueToInterferedTunnel) {
        // Taken over: told, and the worker tries again.
        const PConnectionInfo record = slot.record;
        report({TTunnelErrorKind::TakenOver, tunnel.id, slotStatusOf(c), {}});
        record->dialogPresentNow = false;
        record->waitDialog = false;
        return;
    }
    listener_.conflictQuestion(
        {tunnel.id, tunnel.hub->hubId, c.datasourceChannelStateExtendedString.get()});
}

void TTunnelController::answerConflict(TTunnelId id, bool takeOver) {
    Tunnel* tunnel = find(id);
    Slot* slot = tunnel ? slotOf(*tunnel, stTCPClient) : nullptr;
    if (!slot || !slot->record->dialogPresentNow)
        return;
    const PConnectionInfo record = slot->record;
    if (takeOver)
        record->forceTunnelSetup = true;
    else
        stopWork();
    record->dialogPresentNow = false;
    record->waitDialog = false;
}

// --- device changes

void TTunnelController::deviceChanged() {
    // A burst of changes gives one refresh, a second after the last.
    loop_.startTimer(refreshTimer, refreshDelayMs, [this] { refreshPortNames(); });
}

void TTunnelController::refreshPortNames() {
    const bool anyComPort = std::any_of(tunnels_.begin(), tunnels_.end(),
                                        [this](const auto& t) { return slotOf(*t, stComPort); });
    if (!anyComPort)
        return;
    std::erase_if(refreshers_, [](const auto& refresher) { return refresher.expired(); });
    refreshers_.push_back(
        startThread<TThreadPortsRefresher>([this, post = poster()](TC0cPortsHandler& pairs) {
            // Copied: the inventory goes when this call returns, on whatever
            // thread the refresher delivers.
            auto found = std::make_shared<std::vector<TFoundPair>>();
            for (const auto& pair : pairs.pairs())
                found->push_back({pair->PairId, pair->ComHuman, pair->ComHidden});
            post([this, found] {
                for (const auto& tunnel : tunnels_) {
                    Slot* slot = slotOf(*tunnel, stComPort);
                    if (!slot)
                        continue;
                    const auto it = std::find_if(found->begin(), found->end(), [&](const auto& p) {
                        return p.id == tunnel->pairHint;
                    });
                    if (it == found->end()) {
                        showPortPair(*tunnel, *slot, nullptr);
                    } else {
                        const TC0cPair pair{it->human, it->hidden, it->id};
                        showPortPair(*tunnel, *slot, &pair);
                    }
                }
                listener_.portPairsRefreshed();
            });
        }));
}
