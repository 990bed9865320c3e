#include "cloud/cloud_address.h"
#include "driver/pair_store.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/surroundings.h"
#include "support/test_support.h"
#include "support/user_port.h"
#include "tunnels/tunnel_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Kinds = std::vector<TTunnelErrorKind>;

class Surroundings : public ::testing::Environment {
public:
    void SetUp() override {
        setUpTestSurroundings();
        startTestCloud();
    }
    void TearDown() override { tearDownTestSurroundings(); }
};
const auto* const surroundings = ::testing::AddGlobalTestEnvironment(new Surroundings);

// Everything the controller told its front.
class Recorder : public TTunnelListener {
public:
    void tunnelAdded(TTunnelId id, size_t position) override {
        EXPECT_EQ(position, order.size());
        order.push_back(id);
    }
    void tunnelRemoved(TTunnelId id) override { std::erase(order, id); }
    void tunnelNumbered(TTunnelId id, int32_t number) override { numbers[id] = number; }
    void keyChanged(TTunnelId id, const std::string& key) override { keys[id] = key; }
    void learningStarted(TTunnelId id) override {
        learningNow.insert(id);
        mostLearningAtOnce = std::max(mostLearningAtOnce, learningNow.size());
    }
    void learningFinished(TTunnelId id, bool learnt) override {
        learningNow.erase(id);
        results.push_back(learnt);
    }
    void slotAdded(TTunnelId id, TSlotType kind) override { slots[id].insert(kind); }
    void slotRemoved(TTunnelId id, TSlotType kind) override { slots[id].erase(kind); }
    void slotWorkModeChanged(TTunnelId id, TSlotType kind, bool work) override {
        working[{id, kind}] = work;
    }
    void slotStatusChanged(TTunnelId id, TSlotType kind, const TSlotStatus& s) override {
        status[{id, kind}] = s;
    }
    void portChanged(TTunnelId id, const TPortInfo& port) override { ports[id] = port; }
    void trafficChanged(TTunnelId id, TSlotType kind, uint32_t sent, uint32_t received) override {
        traffic[{id, kind}] = {sent, received};
    }
    void workModeChanged(bool w) override { work = w; }
    void busyChanged(bool b) override { busy = b; }
    void message(const TTunnelMessage& m) override { messages.push_back(m); }
    void conflictQuestion(const TConflictQuestion& q) override { questions.push_back(q); }
    void loadFinished() override { loaded = true; }
    void portPairsRefreshed() override { ++refreshes; }

    Kinds messageKinds() const {
        Kinds kinds;
        for (const auto& m : messages)
            kinds.push_back(m.kind);
        return kinds;
    }

    std::vector<TTunnelId> order;
    std::map<TTunnelId, int32_t> numbers;
    std::map<TTunnelId, std::string> keys;
    std::set<TTunnelId> learningNow;
    size_t mostLearningAtOnce = 0;
    std::vector<bool> results;
    std::map<TTunnelId, std::set<TSlotType>> slots;
    std::map<std::pair<TTunnelId, TSlotType>, bool> working;
    std::map<std::pair<TTunnelId, TSlotType>, TSlotStatus> status;
    std::map<TTunnelId, TPortInfo> ports;
    std::map<std::pair<TTunnelId, TSlotType>, std::pair<uint32_t, uint32_t>> traffic;
    bool work = false;
    bool busy = false;
    std::vector<TTunnelMessage> messages;
    std::vector<TConflictQuestion> questions;
    bool loaded = false;
    int refreshes = 0;
};

class TunnelControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code ignored;
        std::filesystem::remove_all(settingsPath().parent_path(), ignored);
        start();
    }
    void TearDown() override {
        controller.reset();
        removeAllPairs();
    }
    void start() {
        events = std::make_unique<Recorder>();
        controller = std::make_unique<TTunnelController>(loop, *events);
    }
    // Runs the controller's loop until `condition` holds.
    bool pump(const std::function<bool()>& condition,
              std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        return waitUntil(
            [&] {
                loop.runPending();
                return condition();
            },
            timeout);
    }
    void applyKey(TTunnelId id, const std::string& key) {
        controller->setTypedKey(id, key);
        controller->applyKey(id);
        EXPECT_TRUE(controller->learning(id));
        EXPECT_TRUE(pump([&] { return !controller->learning(id); }));
    }
    TTunnelId addTunnelWithKey(const std::string& key) {
        const TTunnelId id = controller->addTunnel();
        applyKey(id, key);
        return id;
    }
    bool hasSlot(TTunnelId id, TSlotType kind) {
        return controller->slotRecord(id, kind) != nullptr;
    }
    bool allInConfigurationMode() {
        for (TTunnelId id : controller->tunnels())
            for (TSlotType kind : controller->slotKinds(id)) {
                const PConnectionInfo record = controller->slotRecord(id, kind);
                if (controller->slotWorking(id, kind) || record->cportThread ||
                    record->tcpClientThread || events->working[{id, kind}])
                    return false;
            }
        return !controller->inWorkMode() && !events->work;
    }
    bool authorized(TTunnelId id) {
        return events->status[{id, stTCPClient}].zvlConnectionStatus == zvlConnectedAndAuthorized;
    }

    TControllerLoop loop;
    std::unique_ptr<Recorder> events;
    std::unique_ptr<TTunnelController> controller;
};

TEST_F(TunnelControllerTest, ApplyingAGoodAndAWrongKey) {
    const TTunnelId tunnel = controller->addTunnel();
    EXPECT_EQ(events->order, std::vector<TTunnelId>{tunnel});
    EXPECT_EQ(events->slots[tunnel], std::set<TSlotType>{stTCPClient});
    EXPECT_EQ(settingsText(), "[Connections]\nConnection0Tunnel=\n");

    controller->setTypedKey(tunnel, goodKey);
    controller->applyKey(tunnel);
    EXPECT_FALSE(events->busy);   // the other tunnels stay usable
    controller->applyKey(tunnel); // a second application of the same tunnel is ignored
    ASSERT_TRUE(pump([&] { return !controller->learning(tunnel); }));
    EXPECT_FALSE(events->busy);
    EXPECT_EQ(events->results, std::vector<bool>{true});
    ASSERT_EQ(installedPairs().size(), 1u);
    const int pair = installedPairs()[0];
    EXPECT_EQ(controller->pairNumber(tunnel), pair);
    EXPECT_EQ(events->slots[tunnel], (std::set<TSlotType>{stTCPClient, stComPort}));
    EXPECT_EQ(events->ports[tunnel], (TPortInfo{TPortInfo::Ready, userFacingPortPath(pair)}));
    EXPECT_EQ(controller->hiddenPort(tunnel), hiddenPortName(pair));
    EXPECT_EQ(controller->tunnelMode(tunnel), "Стенд");
    EXPECT_EQ(settingsText(), Format("[Connections]\nConnection0Tunnel=%s\nConnection0ComPort=%d\n",
                                     goodKey.c_str(), pair));
    EXPECT_TRUE(events->messages.empty());

    const std::string saved = settingsText();
    applyKey(tunnel, "wrong-key");
    ASSERT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::LearningFailed});
    EXPECT_EQ(events->messages[0].tunnel, tunnel);
    EXPECT_EQ(events->messages[0].status.zvlCloseReason, zvlCloseReason_BadTunnelKey);
    EXPECT_EQ(events->slots[tunnel], std::set<TSlotType>{stTCPClient});
    EXPECT_EQ(controller->slotKinds(tunnel), std::vector<TSlotType>{stTCPClient});
    EXPECT_EQ(settingsText(), saved);

    // Without its COM-port slot the tunnel still owns its pair: the file keeps
    // it and the next good key takes the same port.
    controller->addTunnel();
    EXPECT_NE(settingsText().find(Format("Connection0ComPort=%d", pair)), std::string::npos);
    applyKey(tunnel, goodKey);
    EXPECT_EQ(controller->hiddenPort(tunnel), hiddenPortName(pair));
    EXPECT_EQ(installedPairs(), std::vector<int>{pair});
}

TEST_F(TunnelControllerTest, StartChecksEveryTunnelBeforeStartingAny) {
    addTunnelWithKey(goodKey);
    const TTunnelId incomplete = addTunnelWithKey(portlessKey);
    ASSERT_TRUE(events->messages.empty());

    EXPECT_FALSE(controller->startWork());
    EXPECT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::TooFewSlots});
    EXPECT_EQ(events->messages[0].tunnel, incomplete);
    EXPECT_TRUE(allInConfigurationMode());

    // A slot that fails its check gives only its own message.
    events->messages.clear();
    controller->setTypedKey(incomplete, "  ");
    EXPECT_FALSE(controller->startWork());
    EXPECT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::NoKey});
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(runningThreadCount(), 0);
}

TEST_F(TunnelControllerTest, StartAndStopNumberTheTunnelsAndRunTheirWorkers) {
    const TTunnelId first = addTunnelWithKey(goodKey);
    // Typed with blanks: the file keeps them, the cloud gets the key without.
    const TTunnelId second = addTunnelWithKey(" " + goodKey2 + " ");
    EXPECT_NE(settingsText().find("Connection1Tunnel=\" " + goodKey2 + " \""), std::string::npos);

    ASSERT_TRUE(controller->startWork());
    ASSERT_TRUE(controller->inWorkMode());
    EXPECT_TRUE(events->work);
    EXPECT_TRUE(events->messages.empty());
    EXPECT_EQ(events->numbers, (std::map<TTunnelId, int32_t>{{first, 1}, {second, 2}}));
    for (TTunnelId id : {first, second}) {
        EXPECT_TRUE((events->working[{id, stTCPClient}]));
        EXPECT_TRUE((events->working[{id, stComPort}]));
        EXPECT_TRUE(controller->slotRecord(id, stTCPClient)->tcpClientThread);
        EXPECT_TRUE(controller->slotRecord(id, stComPort)->cportThread);
    }
    EXPECT_TRUE(pump([&] { return authorized(first) && authorized(second); }));
    EXPECT_TRUE(pump([&] {
        return events->status[{first, stComPort}].comportStatus == c0mPOrtNotOpenedByApp;
    }));
    controller->deleteTunnel(first); // not while work runs
    EXPECT_EQ(controller->tunnels().size(), 2u);

    controller->stopWork();
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(controller->number(first), 1);
    EXPECT_TRUE(pump([] { return runningThreadCount() == 0; }));

    // Ending in work mode stops every worker and saves nothing.
    ASSERT_TRUE(controller->startWork());
    ASSERT_TRUE(controller->inWorkMode());
    const std::string saved = settingsText();
    controller.reset();
    EXPECT_EQ(runningThreadCount(), 0);
    EXPECT_EQ(settingsText(), saved);
}

TEST_F(TunnelControllerTest, AStartErrorPutsEveryTunnelBackSilently) {
    const TTunnelId top = addTunnelWithKey(goodKey);
    const TTunnelId bottom = addTunnelWithKey(goodKey2);
    // Edited to a tunnel this program cannot serve: learnt again at the start.
    controller->setTypedKey(top, futureKey);

    EXPECT_TRUE(controller->startWork());
    EXPECT_TRUE(pump([&] { return !controller->learning(top) && !controller->inWorkMode(); }));
    EXPECT_TRUE(events->messages.empty());
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(controller->number(bottom), 2);
    EXPECT_FALSE(hasSlot(top, stComPort));
    EXPECT_TRUE(pump([] { return runningThreadCount() == 0; }));
}

TEST_F(TunnelControllerTest, ConflictAnsweredTakeOverThenPause) {
    const TTunnelId holder = addTunnelWithKey(goodKey);
    const TTunnelId bystander = addTunnelWithKey(goodKey3);
    // A key the other tunnel has is refused when applied, but one edited
    // after its application is learnt at the start: two tunnels of this
    // program on one channel, as two computers would be.
    const TTunnelId latecomer = addTunnelWithKey(goodKey2);
    controller->setTypedKey(latecomer, goodKey);
    ASSERT_TRUE(controller->startWork());
    const PConnectionInfo holderRecord = controller->slotRecord(holder, stTCPClient);
    const PConnectionInfo latecomerRecord = controller->slotRecord(latecomer, stTCPClient);

    // The workers start once the edited key is learnt.
    ASSERT_TRUE(pump([&] { return controller->tunnelWorking(holder); }));
    UserPort holderPort(userPortOnceThere(controller->pairNumber(holder)));
    ASSERT_TRUE(pump([&] {
        return events->status[{holder, stTCPClient}].datasourceChannelState == dcsConnected;
    }));
    UserPort latecomerPort(userPortOnceThere(controller->pairNumber(latecomer)));

    // The latecomer is asked; while the question is open its cloud connection
    // waits and more status messages ask nothing more.
    ASSERT_TRUE(pump([&] { return !events->questions.empty(); }));
    EXPECT_EQ(events->questions[0].tunnel, latecomer);
    EXPECT_EQ(events->questions[0].number, 3);
    EXPECT_EQ(events->questions[0].otherAddress.rfind("127.0.0.1:", 0), 0u);
    EXPECT_TRUE(latecomerRecord->dialogPresentNow);
    EXPECT_TRUE(latecomerRecord->waitDialog);
    for (int i = 0; i < 3; ++i)
        PostMessage(latecomerRecord->FrameHandle, WM_CONNECTION_STATUS);
    loop.runPending();
    EXPECT_EQ(events->questions.size(), 1u);

    // Yes: the latecomer takes the channel over by force; the holder is told,
    // tries again, is refused and asked, and pausing stops the holder alone.
    controller->answerConflict(latecomer, TConflictAnswer::TakeOver);
    ASSERT_TRUE(pump([&] { return events->questions.size() == 2; }));
    EXPECT_TRUE(cloudLogged("taken over by"));
    EXPECT_EQ(events->questions[1].tunnel, holder);
    EXPECT_EQ(events->questions[1].number, 1);
    ASSERT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::TakenOver});
    EXPECT_EQ(events->messages[0].tunnel, holder);
    EXPECT_EQ(events->messages[0].status.datasourceCloseReason, crClosedDueToInterferedTunnel);
    controller->answerConflict(holder, TConflictAnswer::PauseTunnel);
    EXPECT_TRUE(controller->inWorkMode());
    EXPECT_FALSE(controller->tunnelWorking(holder));
    EXPECT_FALSE(holderRecord->tcpClientThread);
    EXPECT_FALSE(controller->slotRecord(holder, stComPort)->cportThread);
    EXPECT_TRUE(controller->tunnelWorking(latecomer));
    EXPECT_TRUE(controller->tunnelWorking(bystander));
    EXPECT_TRUE(latecomerRecord->tcpClientThread);
    EXPECT_TRUE(pump([&] { return authorized(bystander); }));
    for (const auto& record : {holderRecord, latecomerRecord}) {
        EXPECT_FALSE(record->waitDialog);
        EXPECT_FALSE(record->dialogPresentNow);
    }
}

TEST_F(TunnelControllerTest, DeletingTheMiddleOfThreeTunnels) {
    const TTunnelId tunnels[] = {addTunnelWithKey(goodKey), addTunnelWithKey(goodKey2),
                                 addTunnelWithKey(goodKey3)};
    int pairs[3];
    for (int i = 0; i < 3; ++i)
        pairs[i] = controller->pairNumber(tunnels[i]);
    ASSERT_EQ(installedPairs().size(), 3u);

    controller->deleteTunnel(tunnels[1]);
    EXPECT_EQ(installedPairs(), (std::vector<int>{pairs[0], pairs[2]}));
    EXPECT_EQ(events->order, (std::vector<TTunnelId>{tunnels[0], tunnels[2]}));
    EXPECT_EQ(controller->tunnels(), events->order);
    EXPECT_EQ(settingsText(), Format("[Connections]\nConnection0Tunnel=%s\nConnection0ComPort=%d\n"
                                     "Connection1Tunnel=%s\nConnection1ComPort=%d\n",
                                     goodKey.c_str(), pairs[0], goodKey3.c_str(), pairs[2]));

    ASSERT_TRUE(controller->startWork());
    EXPECT_EQ(events->numbers[tunnels[2]], 2);
}

TEST_F(TunnelControllerTest, LoadingKeepsEveryStoredTunnel) {
    writeSettings("[General]\nLang=ru\n\n[Connections]\n"
                  "Connection0Tunnel=" +
                  goodKey +
                  "\n"
                  "Connection1Tunnel=\n"
                  "Connection2Tunnel=" +
                  goodKey +
                  "\n"
                  "Connection2ComPort=COM5\n");
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    const auto tunnels = controller->tunnels();
    ASSERT_EQ(tunnels.size(), 3u);
    EXPECT_EQ(events->order, tunnels);
    EXPECT_EQ(events->keys[tunnels[0]], goodKey);
    EXPECT_EQ(events->keys[tunnels[1]], "");
    // The tunnel without a key is restored as it was left, named and left out
    // of the automatic start; so is the entry "COM5", which is no pair number.
    EXPECT_EQ(events->messageKinds(),
              (Kinds{TTunnelErrorKind::NoKey, TTunnelErrorKind::StoredEntry}));
    EXPECT_EQ(events->messages[0].tunnel, tunnels[1]);
    EXPECT_EQ(events->messages[0].position, 2u);
    EXPECT_EQ(events->messages[1].position, 3u);
    EXPECT_TRUE(controller->inWorkMode());
    EXPECT_FALSE(controller->slotWorking(tunnels[1], stTCPClient));
    EXPECT_TRUE(controller->slotWorking(tunnels[2], stComPort));
    // "COM5" is no pair number, so that tunnel got a new pair like the first
    // (the keys are learnt at once: either may get the lower number).
    ASSERT_TRUE(hasSlot(tunnels[2], stComPort));
    const int first = controller->pairNumber(tunnels[0]);
    const int third = controller->pairNumber(tunnels[2]);
    EXPECT_EQ(installedPairs(), (std::vector<int>{std::min(first, third), std::max(first, third)}));
    // One save after the load, with every tunnel in it.
    EXPECT_EQ(settingsText(),
              Format("[General]\nLang=ru\n\n[Connections]\nConnection0Tunnel=%s\n"
                     "Connection0ComPort=%d\nConnection1Tunnel=\nConnection2Tunnel=%s\n"
                     "Connection2ComPort=%d\n",
                     goodKey.c_str(), first, goodKey.c_str(), third));

    // Without the tunnel that has no key, the next start finds both pairs,
    // installs nothing and starts work by itself.
    controller->stopWork();
    controller->deleteTunnel(tunnels[1]);
    controller.reset();
    start();
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    const auto restarted = controller->tunnels();
    ASSERT_EQ(restarted.size(), 2u);
    EXPECT_TRUE(events->messages.empty());
    EXPECT_TRUE(controller->inWorkMode());
    EXPECT_EQ(events->numbers[restarted[1]], 2);
    EXPECT_EQ(controller->hiddenPort(restarted[1]), hiddenPortName(third));
    EXPECT_EQ(installedPairs(), (std::vector<int>{std::min(first, third), std::max(first, third)}));
}

TEST_F(TunnelControllerTest, ALoadErrorIsReportedAndTheOtherTunnelsStillLoad) {
    writeSettings("[Connections]\nConnection0Tunnel=" + futureKey +
                  "\nConnection1Tunnel=" + goodKey + "\n");
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    const auto tunnels = controller->tunnels();
    ASSERT_EQ(tunnels.size(), 2u);
    EXPECT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::UnsupportedTunnel});
    EXPECT_FALSE(controller->inWorkMode());
    EXPECT_EQ(controller->typedKey(tunnels[0]), futureKey);
    EXPECT_TRUE(hasSlot(tunnels[1], stComPort));
    EXPECT_NE(settingsText().find("Connection0Tunnel=" + futureKey), std::string::npos);
}

TEST_F(TunnelControllerTest, SavedTunnelsLearnTheirKeysAllAtOnce) {
    constexpr int count = 200;
    std::string file = "[Connections]\n";
    for (int k = 0; k < count; ++k)
        file += Format("Connection%dTunnel=%s\n", k, portlessKey.c_str());
    writeSettings(file);
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }, std::chrono::seconds(120)));
    // Every learning run had started before the first result came in.
    EXPECT_EQ(events->mostLearningAtOnce, static_cast<size_t>(count));
    EXPECT_EQ(events->results, std::vector<bool>(count, true));
    EXPECT_EQ(controller->tunnels(), events->order);
    ASSERT_EQ(events->order.size(), static_cast<size_t>(count));
    // The list keeps the order of the file.
    for (int k = 0; k < count; ++k)
        EXPECT_EQ(controller->position(events->order[k]), static_cast<size_t>(k + 1));
    // Portless tunnels have one slot only: the start is refused.
    EXPECT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::TooFewSlots});
}

TEST_F(TunnelControllerTest, ApplyingAKeyDoesNotBlockTheController) {
    const TTunnelId tunnel = controller->addTunnel();
    const std::string saved = settingsText();
    SilentCloud cloud;
    controller->setTypedKey(tunnel, goodKey);
    controller->applyKey(tunnel);
    // The controller's loop keeps running while the cloud is asked.
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_TRUE(pump([&] { return ran; }));
    EXPECT_TRUE(controller->learning(tunnel));
    cloud.hangUp();
    ASSERT_TRUE(pump([&] { return !controller->learning(tunnel); }));
    EXPECT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::LearningFailed});
    // The message names the server that was asked.
    EXPECT_EQ(events->messages[0].detail, "127.0.0.1:" + std::to_string(cloudServerAddress().port));
    EXPECT_EQ(settingsText(), saved); // the learning failed; nothing is saved
}

TEST_F(TunnelControllerTest, AKeyAnotherTunnelHasIsRefused) {
    addTunnelWithKey(goodKey);
    const TTunnelId typedOnly = controller->addTunnel();
    controller->setTypedKey(typedOnly, goodKey2); // typed, not yet applied
    const TTunnelId third = controller->addTunnel();
    const std::string saved = settingsText();
    for (const auto& [key, other] : {std::pair{" " + goodKey, size_t{1}}, {goodKey2, size_t{2}}}) {
        events->messages.clear();
        controller->setTypedKey(third, key);
        controller->applyKey(third);
        EXPECT_FALSE(controller->learning(third)) << key;
        ASSERT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::DuplicateKey}) << key;
        EXPECT_EQ(events->messages[0].tunnel, third);
        EXPECT_EQ(events->messages[0].otherTunnel, other);
    }
    EXPECT_FALSE(hasSlot(third, stComPort));
    EXPECT_EQ(settingsText(), saved);
    // A key of its own goes through.
    events->messages.clear();
    applyKey(third, goodKey3);
    EXPECT_TRUE(events->messages.empty());
    EXPECT_TRUE(hasSlot(third, stComPort));
}

TEST_F(TunnelControllerTest, ACancelledKeyLeavesTheTunnelAsItWas) {
    const TTunnelId tunnel = controller->addTunnel();
    const TTunnelId other = addTunnelWithKey(goodKey);
    {
        SilentCloud cloud;
        controller->setTypedKey(tunnel, goodKey2);
        controller->applyKey(tunnel);
        ASSERT_TRUE(controller->learning(tunnel));
        // The other tunnels stay usable meanwhile.
        EXPECT_FALSE(events->busy);
        controller->deleteSlot(other, stComPort);
        EXPECT_FALSE(hasSlot(other, stComPort));
        // The run's outcome, already on its way, is dropped.
        cloud.hangUp();
        controller->cancelKey(tunnel);
        EXPECT_FALSE(controller->learning(tunnel));
        EXPECT_EQ(events->results.back(), false);
        EXPECT_TRUE(pump([] { return runningThreadCount() == 0; }));
        loop.runPending();
        EXPECT_TRUE(events->messages.empty());
        EXPECT_FALSE(hasSlot(tunnel, stComPort));
    }
    // Applied again, it is learnt as usual.
    applyKey(tunnel, goodKey2);
    EXPECT_TRUE(hasSlot(tunnel, stComPort));
}

TEST_F(TunnelControllerTest, TrafficCountsArriveInFull) {
    const TTunnelId tunnel = addTunnelWithKey(goodKey);
    const PConnectionInfo record = controller->slotRecord(tunnel, stComPort);
    record->BytesWritten = 4294967295u;
    record->BytesRead = 2147483648u;
    PostMessage(record->FrameHandle, WM_TRAFFIC_RX);
    loop.runPending();
    EXPECT_EQ((events->traffic[{tunnel, stComPort}]),
              (std::pair<uint32_t, uint32_t>{4294967295u, 2147483648u}));
}

TEST_F(TunnelControllerTest, ABurstOfDeviceChangesGivesOneRefreshASecondAfterTheLast) {
    // Without a COM-port slot anywhere a device change refreshes nothing.
    const TTunnelId tunnel = controller->addTunnel();
    controller->deviceChanged();
    ASSERT_TRUE(pump([&] { return !controller->refreshPending(); }));
    EXPECT_EQ(events->refreshes, 0);

    // Installing the tunnel's pair is itself a device change.
    applyKey(tunnel, goodKey);
    ASSERT_TRUE(hasSlot(tunnel, stComPort));
    ASSERT_TRUE(pump([&] { return events->refreshes >= 1 && !controller->refreshPending(); }));

    events->refreshes = 0;
    ManualClock clock;
    for (int i = 0; i < 3; ++i) {
        controller->deviceChanged();
        clock.advance(800); // the next change comes while the interval runs
        loop.runPending();
        EXPECT_TRUE(controller->refreshPending());
    }
    clock.advance(TTunnelController::refreshDelayMs - 801);
    loop.runPending();
    EXPECT_EQ(events->refreshes, 0);
    clock.advance(1);
    ASSERT_TRUE(pump([&] { return events->refreshes == 1 && !controller->refreshPending(); }));
    EXPECT_EQ(events->ports[tunnel].state, TPortInfo::Ready);
}

} // namespace

TEST_F(TunnelControllerTest, ASavedTunnelComesUpByItselfOnceTheCloudCanBeReached) {
    // Its pair went missing meanwhile: it is installed again with its number.
    writeSettings("[Connections]\nConnection0Tunnel=" + goodKey + "\nConnection0ComPort=7\n");
    ManualClock clock;
    auto unreachable = std::make_unique<SilentCloud>();
    controller->load();
    unreachable->hangUp();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    const TTunnelId tunnel = controller->tunnels().at(0);
    EXPECT_TRUE(controller->retrying(tunnel));
    EXPECT_TRUE(events->messages.empty());
    EXPECT_EQ(installedPairs(), std::vector<int>{7});
    EXPECT_EQ(controller->hiddenPort(tunnel), hiddenPortName(7));
    EXPECT_TRUE(controller->inWorkMode());
    EXPECT_FALSE(controller->slotWorking(tunnel, stComPort));
    EXPECT_NE((events->status[{tunnel, stTCPClient}].zvlCloseReason),
              zvlCloseReason_notYetConnected);
    EXPECT_FALSE(events->busy); // the window stays usable meanwhile

    // Still out of reach at the first try: the pause doubles.
    unreachable.reset();
    unreachable = std::make_unique<SilentCloud>();
    clock.advance(TTunnelController::firstRetryPauseMs - 1);
    loop.runPending();
    EXPECT_FALSE(controller->learning(tunnel));
    clock.advance(1);
    loop.runPending();
    EXPECT_TRUE(controller->learning(tunnel));
    unreachable->hangUp();
    ASSERT_TRUE(pump([&] { return !controller->learning(tunnel); }));
    EXPECT_TRUE(controller->retrying(tunnel));

    unreachable.reset();
    clock.advance(2 * TTunnelController::firstRetryPauseMs - 1);
    loop.runPending();
    EXPECT_FALSE(controller->learning(tunnel));
    clock.advance(1);
    ASSERT_TRUE(pump([&] { return !controller->retrying(tunnel) && authorized(tunnel); }));
    EXPECT_TRUE(controller->slotWorking(tunnel, stComPort));
    EXPECT_EQ(events->numbers[tunnel], 1);
    EXPECT_TRUE(events->messages.empty());
    EXPECT_EQ(controller->pairNumber(tunnel), 7);
}

TEST_F(TunnelControllerTest, ARefusedSavedKeyStaysRefused) {
    writeSettings("[Connections]\nConnection0Tunnel=wrong-key\n");
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    const TTunnelId tunnel = controller->tunnels().at(0);
    EXPECT_FALSE(controller->retrying(tunnel));
    EXPECT_FALSE(controller->inWorkMode());
    EXPECT_FALSE(hasSlot(tunnel, stComPort));
    EXPECT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::TooFewSlots});
}

TEST_F(TunnelControllerTest, UnusableSavedKeysAreNamedAndTheOtherTunnelsStart) {
    const std::string longKey(300, 'k');
    const std::string eightBitKey = "K\xE9Y\xFF";
    const std::string file = "[Connections]\nConnection0Tunnel=" + longKey +
                             "\nConnection1Tunnel=" + eightBitKey +
                             "\nConnection2Tunnel=" + goodKey + "\n";
    writeSettings(file);
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    const auto tunnels = controller->tunnels();
    ASSERT_EQ(tunnels.size(), 3u);
    EXPECT_EQ(events->messageKinds(),
              (Kinds{TTunnelErrorKind::KeyTooLong, TTunnelErrorKind::KeyUnreadable}));
    EXPECT_EQ(events->messages[0].position, 1u);
    EXPECT_EQ(events->messages[1].position, 2u);
    EXPECT_TRUE(controller->inWorkMode());
    ASSERT_TRUE(pump([&] { return authorized(tunnels[2]); }));
    EXPECT_FALSE(controller->slotWorking(tunnels[0], stTCPClient));

    // Saving another tunnel writes the keys it never changed back byte for byte.
    controller->stopWork();
    controller->addTunnel();
    const std::string saved = settingsText();
    EXPECT_NE(saved.find("Connection0Tunnel=" + longKey + "\n"), std::string::npos);
    EXPECT_NE(saved.find("Connection1Tunnel=" + eightBitKey + "\n"), std::string::npos);
    EXPECT_NE(saved.find("Connection3Tunnel="), std::string::npos);
}

TEST_F(TunnelControllerTest, AStartAloneRemovesOrphanPairsAndLeftoversOfInterruptedSaves) {
    const int named = addPairToStore();
    const int orphan = addPairToStore();
    writeSettings(Format("[Connections]\nConnection0Tunnel=%s\nConnection0ComPort=%d\n",
                         goodKey.c_str(), named));
    const std::filesystem::path stray[] = {settingsPath().parent_path() / ".replace.Ab12Cd",
                                           std::filesystem::path(pairStoreFolder()) /
                                               ".replace.x9Y8z7"};
    for (const auto& path : stray)
        std::ofstream(path) << "half a save";
    const auto strayLeft = [&] {
        return std::count_if(std::begin(stray), std::end(stray),
                             [](const auto& path) { return std::filesystem::exists(path); });
    };

    // Another instance runs: it may be saving or installing just now.
    const int other =
        ::open(TSoleInstanceLock::lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    EXPECT_EQ(installedPairs(), (std::vector<int>{named, orphan}));
    EXPECT_EQ(strayLeft(), 2);

    // Another settings file used the list once: its tunnels may name the pair.
    controller.reset();
    ::close(other);
    const std::string sharedMark = pairStoreFolder() + "/pairs.shared";
    std::ofstream{sharedMark};
    start();
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    EXPECT_EQ(installedPairs(), (std::vector<int>{named, orphan}));
    EXPECT_EQ(strayLeft(), 0);

    controller.reset();
    std::filesystem::remove(sharedMark);
    start();
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    EXPECT_EQ(installedPairs(), std::vector<int>{named});
    EXPECT_TRUE(controller->inWorkMode());
    EXPECT_TRUE(events->messages.empty());
}

TEST_F(TunnelControllerTest, AnUnreadablePairListIsSetAsideNamedAndTheTunnelGetsItsPairBack) {
    std::filesystem::remove(pairStoreFile());
    std::filesystem::create_directory(pairStoreFile()); // a folder in its place
    writeSettings("[Connections]\nConnection0Tunnel=" + goodKey + "\nConnection0ComPort=3\n");
    controller->load();
    ASSERT_TRUE(pump([&] { return events->loaded; }));
    ASSERT_EQ(events->messageKinds(), Kinds{TTunnelErrorKind::PairListSetAside});
    EXPECT_NE(events->messages[0].detail.find(pairStoreFile()), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(pairStoreFile() + ".unreadable.1"));
    EXPECT_EQ(installedPairs(), std::vector<int>{3});
    EXPECT_TRUE(controller->inWorkMode());
    std::filesystem::remove_all(pairStoreFile() + ".unreadable.1");
}
