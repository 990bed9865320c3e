#include "tunnels/tunnel_controller.h"

#include "cloud/cloud_address.h"
#include "cloud/protocol.h"
#include "cloud/zelvane_thread.h"
#include "driver/device_watch.h"
#include "driver/pair_store.h"
#include "log/traffic_log.h"
#include "platform/file_replace.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "portpairs/ports_handler.h"
#include "portpairs/ports_refresher.h"
#include "serial/comport_thread.h"
#include "settings/settings_file.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

namespace {

// Workers get this long to end when the controller goes.
constexpr uint32_t shutdownWaitMs = 2000;
constexpr int refreshTimer = 1;
// Each tunnel's retry timer: its id above the refresh timer.
int retryTimer(TTunnelId id) {
    return refreshTimer + 1 + static_cast<int>(id % (INT_MAX - refreshTimer - 1));
}

static_assert(TTunnelController::firstRetryPauseMs == cloudTiming::reconnectPauseMs &&
              TTunnelController::longestRetryPauseMs == 10 * cloudTiming::reconnectPauseMs);

// The reader's problems with a saved tunnel's entries other than its key (the
// key's own are told by keyProblem).
std::vector<std::string> entryProblems(const TStoredTunnel& stored) {
    const std::string keyEntry = connectionEntry(stored.index, "Tunnel") + " ";
    std::vector<std::string> problems;
    for (const std::string& problem : stored.problems)
        if (problem.compare(0, keyEntry.size(), keyEntry) != 0)
            problems.push_back(problem);
    return problems;
}

// Why a saved key cannot be sent to the cloud, or nullopt when it can.
std::optional<TTunnelErrorKind> keyProblem(const std::string& typedKey) {
    const std::string key = trimmed(typedKey);
    if (key.empty())
        return TTunnelErrorKind::NoKey;
    if (!isUtf8(key) || std::any_of(key.begin(), key.end(), [](char c) {
            return static_cast<uint8_t>(c) < 0x20 || c == 0x7F;
        }))
        return TTunnelErrorKind::KeyUnreadable;
    if (textToAnsi(key).size() > maxRequestTextLength)
        return TTunnelErrorKind::KeyTooLong;
    return std::nullopt;
}

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
    // The run makes the controller busy (not one in the background).
    bool learnerBusy = false;
    // A saved key the cloud could not be asked about is tried again.
    bool retrying = false;
    uint32_t retryPauseMs = 0;
    // Left out of the load's start: its saved key cannot be used.
    bool leftOut = false;
    PConnectionInfo learningRecord;
    std::string learningKey;
    bool learningByUser = false;
    uint64_t learningRun = 0; // tells a cancelled run's late outcome from the current one
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
        loop_.stopTimer(retryTimer(tunnel->id));
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

bool TTunnelController::tunnelWorking(TTunnelId id) const {
    return get(id).work;
}

bool TTunnelController::learning(TTunnelId id) const {
    return get(id).learner != nullptr;
}

bool TTunnelController::retrying(TTunnelId id) const {
    return get(id).retrying;
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
    stopRetrying(tunnel);
    if (tunnel.learner)
        dropLearning(tunnel);
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
    const std::string key = trimmed(tunnel.typedKey);
    for (size_t i = 0; i < tunnels_.size() && !key.empty(); ++i) {
        const Tunnel& other = *tunnels_[i];
        if (&other != &tunnel && (trimmed(other.typedKey) == key || other.appliedKey == key)) {
            TTunnelMessage refused{TTunnelErrorKind::DuplicateKey, id, {}, {}};
            refused.otherTunnel = i + 1;
            report(refused);
            return;
        }
    }
    stopRetrying(tunnel);
    startLearning(tunnel, true);
}

void TTunnelController::cancelKey(TTunnelId id) {
    Tunnel* tunnel = find(id);
    if (tunnel && tunnel->learner && tunnel->learningByUser)
        dropLearning(*tunnel);
}

void TTunnelController::dropLearning(Tunnel& tunnel) {
    // Its outcome is dropped when it arrives.
    tunnel.learner->Terminate();
    tunnel.learner.reset();
    tunnel.learningRecord.reset();
    listener_.learningFinished(tunnel.id, false);
    if (std::exchange(tunnel.learnerBusy, false))
        endBusy();
}

void TTunnelController::startLearning(Tunnel& tunnel, bool byUser) {
    tunnel.learningByUser = byUser;
    tunnel.learningKey = trimmed(tunnel.typedKey);
    tunnel.learningRecord = newLearningRecord();
    // The user's own key check and a try in the background leave the
    // window's commands free.
    tunnel.learnerBusy = !byUser && !tunnel.retrying;
    if (tunnel.learnerBusy)
        beginBusy();
    listener_.learningStarted(tunnel.id);
    const TTunnelId id = tunnel.id;
    const uint64_t run = ++tunnel.learningRun;
    tunnel.learner = startLearningRun(
        tunnel.learningRecord, tunnel.learningKey,
        [this, id, run, post = poster()] { post([this, id, run] { learningDone(id, run); }); });
}

void TTunnelController::learningDone(TTunnelId id, uint64_t run) {
    Tunnel* found = find(id);
    if (!found || !found->learner || found->learningRun != run)
        return; // deleted or cancelled meanwhile
    Tunnel& tunnel = *found;
    const PConnectionInfo learnt = std::move(tunnel.learningRecord);
    tunnel.learner.reset();
    const bool byUser = tunnel.learningByUser;
    const bool forLoad = std::exchange(tunnel.learningForLoad, false);
    const bool forStart = std::exchange(tunnel.learningForStart, false);
    const bool background = tunnel.retrying;

    const bool accepted = learnt->zvlConnectionStatus == zvlDisconnected &&
                          learnt->zvlCloseReason == zvlCloseReason_notYetConnected;
    // Only a refusal says anything about the key; a cloud out of reach or
    // answering nonsense is asked again later.
    if (!accepted && learnt->zvlCloseReason != zvlCloseReason_BadTunnelKey &&
        (forLoad || background)) {
        listener_.learningFinished(id, false);
        if (std::exchange(tunnel.learnerBusy, false))
            endBusy();
        retryLater(tunnel, *learnt);
        if (forLoad && --loadLearning_ == 0)
            loadDone();
        return;
    }
    stopRetrying(tunnel);

    deleteNonTunnelSlots(tunnel);
    std::unique_ptr<TTunnelMessage> failure;
    if (!accepted) {
        const TCloudAddress server = cloudServerAddress();
        failure = std::make_unique<TTunnelMessage>(
            TTunnelMessage{TTunnelErrorKind::LearningFailed, id, slotStatusOf(*learnt),
                           server.host + ":" + std::to_string(server.port)});
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
    if (std::exchange(tunnel.learnerBusy, false))
        endBusy();

    if (background) {
        // As if it had loaded so: it joins the work that runs meanwhile.
        if (failure)
            report(*failure);
        else if (workMode_)
            joinWork(tunnel);
        saveIfAllowed();
        return;
    }

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

void TTunnelController::retryLater(Tunnel& tunnel, const TConnection& learnt) {
    tunnel.retryPauseMs = tunnel.retrying ? std::min(tunnel.retryPauseMs * 2, longestRetryPauseMs)
                                          : firstRetryPauseMs;
    tunnel.retrying = true;
    // The port stays where the user's program expects it meanwhile.
    if (tunnel.pairHint >= 0 && !slotOf(tunnel, stComPort))
        createSlot(tunnel, stComPort);
    if (Slot* cloud = slotOf(tunnel, stTCPClient)) {
        const TZvlCloseReason reason = learnt.zvlCloseReason;
        cloud->record->zvlConnectionStatus = zvlDisconnected;
        cloud->record->zvlCloseReason =
            reason == zvlCloseReason_notYetConnected ? zvlCloseReason_ConnectionError : reason;
        listener_.slotStatusChanged(tunnel.id, stTCPClient, slotStatusOf(*cloud->record));
    }
    logLine(Format("Tunnel %zu: the cloud could not be asked about its key; next try in %u ms",
                   position(tunnel.id), tunnel.retryPauseMs));
    const TTunnelId id = tunnel.id;
    loop_.startTimer(retryTimer(id), tunnel.retryPauseMs, [this, id] { retryLearning(id); });
}

void TTunnelController::retryLearning(TTunnelId id) {
    Tunnel* tunnel = find(id);
    if (tunnel && tunnel->retrying && !tunnel->learner)
        startLearning(*tunnel, false);
}

void TTunnelController::stopRetrying(Tunnel& tunnel) {
    tunnel.retrying = false;
    loop_.stopTimer(retryTimer(tunnel.id));
}

void TTunnelController::joinWork(Tunnel& tunnel) {
    tunnel.work = true;
    for (const auto& slot : tunnel.slots)
        setSlotWorkMode(tunnel, *slot, true);
}

// --- settings file

void TTunnelController::load() {
    if (loading_)
        return;
    stopWork();
    loading_ = true;
    loadError_.reset();
    loadNotes_.clear();
    std::vector<TTunnelId> learners;
    try {
        TIniFile ini = openSettingsFile();
        const std::vector<TStoredTunnel> stored = readStoredTunnels(ini);
        tidyUp(stored);
        for (const TStoredTunnel& entry : stored) {
            const TTunnelId id = addTunnel();
            Tunnel& tunnel = get(id);
            tunnel.pairHint = entry.comPort;
            tunnel.typedKey = entry.tunnelKey;
            listener_.keyChanged(id, tunnel.typedKey);
            const size_t place = position(id);
            if (const auto problems = entryProblems(entry); !problems.empty()) {
                std::string detail;
                for (const std::string& problem : problems)
                    detail += (detail.empty() ? "" : "; ") + problem;
                loadNotes_.push_back({TTunnelErrorKind::StoredEntry, id, {}, detail, place});
            }
            // A tunnel saved before its key was given comes back as it was
            // left, and one whose key cannot be sent stays as it is: both are
            // named and left out of the start.
            if (const auto problem = keyProblem(entry.tunnelKey)) {
                tunnel.leftOut = true;
                loadNotes_.push_back({*problem, id, {}, {}, place});
            } else {
                learners.push_back(id);
            }
        }
        reinstallMissingPairs();
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
    for (const TTunnelMessage& note : std::exchange(loadNotes_, {}))
        report(note);
    if (loadError_)
        report(*std::exchange(loadError_, nullptr));
    else if (std::any_of(tunnels_.begin(), tunnels_.end(),
                         [](const auto& t) { return !t->leftOut; }))
        beginWork();
    listener_.loadFinished();
}

void TTunnelController::tidyUp(const std::vector<TStoredTunnel>& stored) {
    try {
        const std::string setAside = setAsideUnreadablePairStore();
        if (!setAside.empty()) {
            logLine(setAside);
            loadNotes_.push_back({TTunnelErrorKind::PairListSetAside, 0, {}, setAside});
        }
    } catch (const EPairStore& e) {
        loadNotes_.push_back({TTunnelErrorKind::PortPairs, 0, {}, e.what()});
    }
    if (!soleInstance_)
        soleInstance_ = std::make_unique<TSoleInstanceLock>();
    // Another instance may be saving or installing a pair right now.
    if (!soleInstance_->sole())
        return;
    std::set<std::string> folders{pairStoreFolder()};
    const std::string settings = settingsFilePath();
    folders.insert(settings.substr(0, settings.rfind('/')));
    // A settings file that is a link is replaced beside its target.
    if (char* target = ::realpath(settings.c_str(), nullptr)) {
        const std::string resolved = target;
        std::free(target);
        folders.insert(resolved.substr(0, resolved.rfind('/')));
    }
    for (const std::string& folder : folders)
        for (const std::string& name : removeStrayReplacements(folder))
            logLine(Format("Removed %s/%s, left over from an interrupted save", folder.c_str(),
                           name.c_str()));
    // A pair is orphaned when the program ended between installing it and
    // saving the tunnel that took it. A pair entry that could not be read may
    // hide a pair number, and another settings file may name pairs of the
    // same list: then nothing is removed.
    try {
        if (settingsFileChosen())
            markPairStoreShared();
    } catch (const EPairStore& e) {
        loadNotes_.push_back({TTunnelErrorKind::PortPairs, 0, {}, e.what()});
        return;
    }
    if (pairStoreShared())
        return;
    std::set<int> named;
    for (const TStoredTunnel& entry : stored) {
        if (!entryProblems(entry).empty())
            return;
        named.insert(entry.comPort);
    }
    for (int pair : installedPairs()) {
        if (named.contains(pair))
            continue;
        try {
            TC0cPortsHandler::UninstallPair(pair);
            logLine(Format("Removed pair %d, which no saved tunnel names", pair));
        } catch (const std::exception& e) {
            loadNotes_.push_back({TTunnelErrorKind::PortPairs, 0, {}, e.what()});
        }
    }
}

void TTunnelController::reinstallMissingPairs() {
    const std::vector<int> installed = installedPairs();
    std::set<int> present(installed.begin(), installed.end());
    for (const auto& tunnel : tunnels_) {
        if (tunnel->pairHint < 0 || present.contains(tunnel->pairHint))
            continue;
        const int32_t wanted = tunnel->pairHint;
        try {
            TC0cPortsHandler inventory;
            const PC0cPair pair = inventory.addPair(wanted);
            tunnel->pairHint = pair ? pair->PairId : -1;
            if (pair)
                present.insert(pair->PairId);
            if (tunnel->pairHint != wanted)
                saveIfAllowed(); // held back until the load is over
            logLine(Format("Tunnel %zu: its pair %d was missing and is installed again as pair %d",
                           position(tunnel->id), wanted, tunnel->pairHint));
        } catch (const std::exception& e) {
            loadNotes_.push_back({TTunnelErrorKind::PortPairs, tunnel->id, {}, e.what()});
        }
    }
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
    if (!workMode_)
        for (const auto& tunnel : tunnels_)
            tunnel->leftOut = false;
    return beginWork();
}

bool TTunnelController::beginWork() {
    if (workMode_ || startLearning_ > 0)
        return true;
    // Tunnels whose key is tried in the background join when it is learnt.
    const auto waits = [](const Tunnel& tunnel) { return tunnel.retrying || tunnel.leftOut; };
    for (const auto& tunnel : tunnels_)
        if (tunnel->learner && !waits(*tunnel))
            return false; // a key is being learnt; its outcome decides
    for (const auto& tunnel : tunnels_)
        if (!waits(*tunnel) && !checkTunnel(*tunnel))
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
        if (!waits(*tunnel) && trimmed(tunnel->typedKey) != tunnel->appliedKey)
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
        if (tunnel->mode.empty() && !tunnel->retrying && !tunnel->leftOut)
            startFailed_ = true;
    if (startFailed_) {
        // Silently back to configuration; the tunnels' texts say why.
        stopWork();
        return;
    }
    // Started from the bottom up; in a tunnel the cloud slot first.
    for (auto it = tunnels_.rbegin(); it != tunnels_.rend(); ++it)
        if (!(*it)->retrying && !(*it)->leftOut)
            joinWork(**it);
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

namespace {

// Ends the cloud client's pause for the user's answer; the client goes on at
// once (nothing happens once work stopped).
void resumeAfterConflict(TConnection& record) {
    record.dialogPresentNow = false;
    record.waitDialog = false;
    std::lock_guard guard(record.BytesCriticalSection);
    wakeSlotWorker(record);
}

} // namespace

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
        resumeAfterConflict(*record);
        return;
    }
    listener_.conflictQuestion(
        {tunnel.id, tunnel.hub->hubId, c.datasourceChannelStateExtendedString.get()});
}

void TTunnelController::answerConflict(TTunnelId id, TConflictAnswer answer) {
    Tunnel* tunnel = find(id);
    Slot* slot = tunnel ? slotOf(*tunnel, stTCPClient) : nullptr;
    if (!slot || !slot->record->dialogPresentNow)
        return;
    const PConnectionInfo record = slot->record;
    switch (answer) {
    case TConflictAnswer::TakeOver:
        record->forceTunnelSetup = true;
        break;
    case TConflictAnswer::StopWork:
        stopWork();
        break;
    case TConflictAnswer::PauseTunnel:
        tunnel->work = false;
        for (const auto& each : tunnel->slots)
            setSlotWorkMode(*tunnel, *each, false);
        break;
    }
    resumeAfterConflict(*record);
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
