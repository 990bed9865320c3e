#include "cloud_test_server.h"

#include "cloud/cloud_address.h"
#include "cloud/zelvane_thread.h"
#include "log/traffic_log.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/test_support.h"

#include <zelvane_config.h>

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

const char* const openPortSettings =
    "PortOpened: True, Speed=9600, DataBits=8, Parity=none, StopBits=1";
const char* const closedPortSettings =
    "PortOpened: False, Speed=9600, DataBits=8, Parity=none, StopBits=1";

// What a serial slot's worker does when it hands bytes or settings on.
void queueFromSerial(const TConnection& serial, const TBytes& data) {
    handToOtherSlots(serial, [&](TConnection& other) {
        other.BytesToSend.insert(other.BytesToSend.end(), data.begin(), data.end());
        other.HasDataFromOthers = true;
        other.LastDataFromOthersMillis = GetTickCount();
    });
}

void queueSettings(const TConnection& serial, const std::string& text) {
    handToOtherSlots(serial, [&](TConnection& other) {
        queueSettingsText(other, text);
        other.HasDataFromOthers = true;
        other.LastDataFromOthersMillis = GetTickCount();
    });
}

TBytes queueOf(TConnection& slot) {
    std::lock_guard guard(slot.BytesCriticalSection);
    return slot.BytesToSend;
}

TBytes dataPayload(const std::string& text) {
    TBytes payload{ptChannel, chData};
    payload.insert(payload.end(), text.begin(), text.end());
    return payload;
}

// "D <data>" or "S <settings text>": one channel message, for comparing
// sequences.
std::string channelMessage(const TPacket& packet) {
    const std::string text(packet.payload.begin() + 2, packet.payload.end());
    return (packet.payload[1] == chData ? "D " : "S ") + text;
}

std::string settingsOf(const TPacket& packet) {
    EXPECT_EQ(packet.type, ptChannel);
    EXPECT_GE(packet.payload.size(), 2u);
    EXPECT_EQ(packet.payload[1], chStatus);
    return std::string(packet.payload.begin() + 2, packet.payload.end());
}

class CloudClientTest : public ::testing::Test {
protected:
    // Declared first: workers read it until TearDown has stopped them.
    std::unique_ptr<ManualClock> clock;
    TTestListener server;
    MessageRecorder panel;
    PHubInfo hub = std::make_shared<THubInfo>();
    std::vector<std::shared_ptr<TWorker>> workers;

    void SetUp() override { setCloudServerAddress("127.0.0.1", server.port()); }

    void TearDown() override {
        for (auto& worker : workers)
            worker->Terminate();
        workers.clear();
        EXPECT_TRUE(waitForAllThreads(20000));
        LoggingEnabled = false;
        takeLogQueue();
    }

    void useManualClock() { clock = std::make_unique<ManualClock>(100000); }

    std::shared_ptr<TWorker> start(bool learn, const PConnectionInfo& record,
                                   const std::string& key = "TESTKEY1") {
        auto worker =
            learn ? startLearningRun(record, key, nullptr) : startCloudClient(record, key);
        workers.push_back(worker);
        return worker;
    }

    // A cloud slot with a working worker, in a hub with `serialSlots` others.
    PConnectionInfo startWorking(std::vector<PConnectionInfo>* serial = nullptr,
                                 int serialSlots = 1) {
        auto cloud = newSlotRecord(stTCPClient, panel.handle(), hub);
        for (int i = 0; i < serialSlots; ++i) {
            auto slot = newSlotRecord(stComPort, 0, hub);
            if (serial)
                serial->push_back(slot);
        }
        start(false, cloud);
        return cloud;
    }

    // Accepts the worker's next connection while the clock moves on, for
    // waits that run on ticks (the reconnect pause).
    std::unique_ptr<TServerConnection> acceptAdvancing(TTestListener& listener) {
        for (int i = 0; i < 400; ++i) {
            if (auto connection = listener.accept(50ms))
                return connection;
            clock->advance(250);
        }
        return nullptr;
    }

    // Completes the handshake and waits until the worker has taken the reply.
    static void authorize(TServerConnection& connection, const TConnection& cloud) {
        connection.handshake(buildAuthAccepted());
        ASSERT_TRUE(
            waitUntil([&] { return cloud.zvlConnectionStatus == zvlConnectedAndAuthorized; }));
    }

    static bool statusIs(const TConnection& record, TZvlConnectionStatus status,
                         TZvlCloseReason reason) {
        return record.zvlConnectionStatus == status && record.zvlCloseReason == reason;
    }
};

TEST_F(CloudClientTest, LearningSendsTheRequestAndStoresTheTunnelDescription) {
    auto record = newLearningRecord();
    auto worker = start(true, record, "ABCDEFGH");
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    const THello hello = connection->sendHello();
    const auto request = connection->tryRead();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->type, ptControl);

    const std::string version = ZELVANE_VERSION_TEXT;
    const uint16_t crc = crc16Modbus(hello.challenge.data(), hello.challenge.size());
    TBytes expected{
        static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8), 0, 0, 0, 0, 0, 8};
    expected.insert(expected.end(), {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0, 0});
    expected.push_back(static_cast<uint8_t>(version.size()));
    expected.insert(expected.end(), version.begin(), version.end());
    expected.push_back(0);
    EXPECT_EQ(request->payload, expected);

    // Names arrive in Windows-1251.
    connection->send(
        ptControl, buildAuthTunnelInfo({7, 200, "\xCA\xEE\xF2\xE5\xEB", "desc", "9600,8,N,1", ""}));
    ASSERT_TRUE(worker->WaitFor(20000));
    EXPECT_TRUE(statusIs(*record, zvlDisconnected, zvlCloseReason_notYetConnected));
    EXPECT_EQ(record->TunnelId.load(), 7);
    EXPECT_EQ(record->TunnelLocalInterfaceId.load(), 200);
    EXPECT_EQ(record->TunnelName.get(), "Котел");
    EXPECT_EQ(record->TunnelDesc.get(), "desc");
    EXPECT_EQ(record->TunnelDefParamsStr.get(), "9600,8,N,1");
    EXPECT_EQ(record->TunnelParamsDesc.get(), "");
    EXPECT_TRUE(connection->waitClosed());
}

TEST_F(CloudClientTest, LearningFailuresEndTheRunWithTheirReason) {
    struct Case {
        const char* name;
        std::string key;
        bool serverAnswers;
        TZvlCloseReason reason;
    };
    const std::vector<Case> cases = {
        {"refused key", "TESTKEY1", true, zvlCloseReason_BadTunnelKey},
        {"key too long for its length byte", std::string(256, 'K'), true,
         zvlCloseReason_BadTunnelKey},
        {"refused connection", "TESTKEY1", false, zvlCloseReason_ConnectionError},
    };
    LoggingEnabled = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TTestListener> closed;
        if (!c.serverAnswers) {
            uint16_t port;
            {
                TTestListener gone;
                port = gone.port();
            }
            setCloudServerAddress("127.0.0.1", port);
        }
        auto record = newLearningRecord();
        record->forceTunnelSetup = true;
        auto worker = start(true, record, c.key);
        if (c.serverAnswers) {
            auto connection = server.accept();
            ASSERT_TRUE(connection);
            connection->sendHello();
            if (c.key.size() <= 255) {
                ASSERT_TRUE(connection->tryRead());
                connection->send(ptControl, buildAuthRefused());
            }
            EXPECT_TRUE(connection->waitClosed());
            EXPECT_EQ(connection->messagesRead(), c.key.size() <= 255 ? 1u : 0u);
        }
        ASSERT_TRUE(worker->WaitFor(20000));
        EXPECT_TRUE(statusIs(*record, zvlDisconnected, c.reason));
        setCloudServerAddress("127.0.0.1", server.port());
    }
    const std::string log = takeLogQueue();
    EXPECT_NE(log.find("client: execute exception:Authorization failed"), std::string::npos);
    EXPECT_NE(log.find("client: execute exception:Tunnel key is longer than 255 characters"),
              std::string::npos);
    EXPECT_NE(log.find("execute, connect: could not connect:"), std::string::npos);
}

TEST_F(CloudClientTest, LearningAgainstASilentServerEndsAtItsBound) {
    useManualClock();
    for (bool sendsHello : {false, true}) {
        SCOPED_TRACE(sendsHello ? "no reply to the request" : "no hello");
        auto record = newLearningRecord();
        auto worker = start(true, record);
        auto connection = server.accept();
        ASSERT_TRUE(connection);
        if (sendsHello) {
            connection->sendHello();
            ASSERT_TRUE(connection->tryRead());
            connection->sendRaw({0x80, 0x10}); // a frame begins, and nothing follows
        }
        EXPECT_FALSE(worker->WaitFor(50));
        clock->advance(cloudTiming::learningBoundMs + 1);
        ASSERT_TRUE(worker->WaitFor(20000));
        EXPECT_TRUE(statusIs(*record, zvlDisconnected, zvlCloseReason_ConnectionError));
        EXPECT_TRUE(connection->waitClosed());
    }
}

TEST_F(CloudClientTest, RedirectIsFollowedWhileValidOnly) {
    useManualClock();
    TTestListener second;
    auto record = startWorking();

    // Validity 0: never used, the next attempt goes to the default server.
    auto first = server.accept();
    ASSERT_TRUE(first);
    first->handshake(buildAuthRedirect("127.0.0.1:" + std::to_string(second.port()), 0));
    EXPECT_TRUE(first->waitClosed());
    auto again = server.accept();
    ASSERT_TRUE(again);
    EXPECT_EQ(record->zvlCloseReason.load(), zvlCloseReason_ReconnectToADifferentServer);

    // Blanks around host and port are trimmed.
    again->handshake(buildAuthRedirect(" 127.0.0.1 : " + std::to_string(second.port()) + " ", 60));
    EXPECT_TRUE(again->waitClosed());
    auto redirected = second.accept();
    ASSERT_TRUE(redirected);
    redirected->handshake(buildAuthAccepted());
    EXPECT_TRUE(
        waitUntil([&] { return record->zvlConnectionStatus == zvlConnectedAndAuthorized; }));

    // Lost while the redirect is valid: back to the redirect target.
    redirected->close();
    auto stillRedirected = second.accept();
    ASSERT_TRUE(stillRedirected);
    stillRedirected->handshake(buildAuthAccepted());
    EXPECT_TRUE(
        waitUntil([&] { return record->zvlConnectionStatus == zvlConnectedAndAuthorized; }));

    // Lost after it ran out: the default server again.
    clock->advance(61000);
    stillRedirected->close();
    auto backHome = acceptAdvancing(server);
    ASSERT_TRUE(backHome);
    EXPECT_FALSE(second.accept(0ms));
}

TEST_F(CloudClientTest, ServerDataReachesEveryOtherSlotOnlyAfterAuthorization) {
    std::vector<PConnectionInfo> serial;
    auto cloud = startWorking(&serial, 2);
    // The cloud slot in the middle of the hub's list.
    hub->removeConnection(serial[1].get());
    hub->removeConnection(cloud.get());
    hub->addConnection(cloud);
    hub->addConnection(serial[1]);

    auto connection = server.accept();
    ASSERT_TRUE(connection);
    connection->sendHello();
    ASSERT_TRUE(connection->tryRead());
    connection->send(ptChannel, dataPayload("early")); // before the first acceptance: ignored
    connection->send(ptControl, buildAuthAccepted());
    connection->send(ptChannel, dataPayload("abc"));
    connection->send(ptChannel, dataPayload("def"));

    EXPECT_TRUE(waitUntil([&] { return queueOf(*serial[1]).size() == 6; }));
    for (auto& slot : serial) {
        EXPECT_EQ(queueOf(*slot), (TBytes{'a', 'b', 'c', 'd', 'e', 'f'}));
        EXPECT_TRUE(slot->HasDataFromOthers);
    }
    EXPECT_TRUE(queueOf(*cloud).empty());
    EXPECT_FALSE(cloud->HasDataFromOthers);
}

TEST_F(CloudClientTest, SettingsTextCarriesTheForceMarkerOnlyForAnOpenPort) {
    useManualClock();
    std::vector<PConnectionInfo> serial;
    auto cloud = startWorking(&serial);
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    connection->handshake(buildAuthAccepted());
    EXPECT_TRUE(waitUntil([&] { return cloud->zvlConnectionStatus == zvlConnectedAndAuthorized; }));

    struct Case {
        std::string text;
        bool force;
        std::string sent;
        bool forceAfter;
    };
    const std::string open = openPortSettings;
    const std::vector<Case> cases = {
        {closedPortSettings, true, closedPortSettings, true},
        {open, true, open + " Force=true", false},
        {closedPortSettings, false, closedPortSettings, false},
        {open, false, open, false},
        {open + " Force=true", true, open + " Force=true", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        cloud->forceTunnelSetup = c.force;
        queueSettings(*serial[0], c.text);
        clock->advance(cloudTiming::quietTimeMs + 1);
        const auto packet = connection->tryReadSkippingKeepalives();
        ASSERT_TRUE(packet);
        EXPECT_EQ(settingsOf(*packet), c.sent);
        EXPECT_EQ(cloud->forceTunnelSetup.load(), c.forceAfter);
        std::lock_guard guard(cloud->BytesCriticalSection);
        EXPECT_EQ(cloud->latestLocalportSettingsString, c.text); // the stored text stays
    }

    // Settings and data waiting together go out in the order they came; a
    // change and its undoing with no byte between them tell nothing.
    const std::string closed = closedPortSettings;
    queueFromSerial(*serial[0], {'x'});
    queueSettings(*serial[0], closed);
    queueFromSerial(*serial[0], {'y'});
    queueSettings(*serial[0], open);
    queueSettings(*serial[0], closed);
    queueFromSerial(*serial[0], {'z'});
    clock->advance(cloudTiming::quietTimeMs + 1);
    std::vector<std::string> received;
    for (int i = 0; i < 3; ++i) {
        const auto packet = connection->tryReadSkippingKeepalives();
        ASSERT_TRUE(packet);
        received.push_back(channelMessage(*packet));
    }
    EXPECT_EQ(received, (std::vector<std::string>{"D x", "S " + closed, "D yz"}));
}

TEST_F(CloudClientTest, DatasourceStatusIsStoredAndAConflictPausesUntilAnswered) {
    useManualClock();
    std::vector<PConnectionInfo> serial;
    auto cloud = startWorking(&serial);
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    authorize(*connection, *cloud);

    struct Case {
        TBytes payload;
        std::string params;
        bool connected;
        TDatasourceChannelState state;
        TDatasourceCloseReason reason;
        std::string extended;
    };
    const std::vector<Case> cases = {
        {buildDatasourceStatus({"web=1", true, dcsConnected, crUnknown, ""}), "web=1", true,
         dcsConnected, crUnknown, ""},
        // L1 = 0: the connected flag is byte 4.
        {buildDatasourceStatus({"", true, dcsConnecting, crClosedByDevice, "x"}), "", true,
         dcsConnecting, crClosedByDevice, "x"},
        // L1 = 300 is not skipped either: the flag follows the length.
        {{ptChannel, chStatus, 0x01, 0x2C, 1, dcsClosed, crClosedByDevice, 0, 0},
         "",
         true,
         dcsClosed,
         crClosedByDevice,
         ""},
    };
    for (const Case& c : cases) {
        const size_t posted = panel.count(WM_CONNECTION_STATUS);
        connection->send(ptChannel, c.payload);
        ASSERT_TRUE(waitUntil([&] { return panel.count(WM_CONNECTION_STATUS) > posted; }));
        EXPECT_EQ(cloud->datasourceWebserverParams.get(), c.params);
        EXPECT_EQ(cloud->datasourceConnectedToServer.load(), c.connected);
        EXPECT_EQ(cloud->datasourceChannelState.load(), c.state);
        EXPECT_EQ(cloud->datasourceCloseReason.load(), c.reason);
        EXPECT_EQ(cloud->datasourceChannelStateExtendedString.get(), c.extended);
        EXPECT_FALSE(cloud->waitDialog);
    }

    // Another tunnel holds the channel: disconnect and wait for the user.
    queueSettings(*serial[0], openPortSettings);
    connection->send(ptChannel, buildDatasourceStatus({"", true, dcsClosed,
                                                       crClosedDueToInterferedTunnel, "10.1.2.3"}));
    EXPECT_TRUE(connection->waitClosed());
    EXPECT_TRUE(cloud->waitDialog);
    EXPECT_TRUE(statusIs(*cloud, zvlDisconnected, zvlCloseReason_Datasource));
    EXPECT_EQ(cloud->datasourceChannelStateExtendedString.get(), "10.1.2.3");
    clock->advance(10 * cloudTiming::inactivityMs); // every timer is long due
    EXPECT_FALSE(server.accept(300ms));
    EXPECT_TRUE(statusIs(*cloud, zvlDisconnected, zvlCloseReason_Datasource));

    // The user takes over, and the answer wakes the client: reconnect, and the
    // settings go out with the marker.
    cloud->forceTunnelSetup = true;
    cloud->waitDialog = false;
    {
        std::lock_guard guard(cloud->BytesCriticalSection);
        wakeSlotWorker(*cloud);
    }
    auto resumed = acceptAdvancing(server);
    ASSERT_TRUE(resumed);
    resumed->handshake(buildAuthAccepted());
    clock->advance(cloudTiming::quietTimeMs + 1);
    const auto packet = resumed->tryReadSkippingKeepalives();
    ASSERT_TRUE(packet);
    EXPECT_EQ(settingsOf(*packet), std::string(openPortSettings) + " Force=true");
    EXPECT_FALSE(cloud->forceTunnelSetup);
}

TEST_F(CloudClientTest, KeepaliveAfterAMinuteAndReconnectAfterTwoMinutesOfSilence) {
    useManualClock();
    LoggingEnabled = true;
    std::vector<PConnectionInfo> serial;
    auto cloud = startWorking(&serial);
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    authorize(*connection, *cloud);

    clock->advance(cloudTiming::keepaliveMs);
    auto keepalive = connection->tryRead();
    ASSERT_TRUE(keepalive);
    EXPECT_EQ(keepalive->type, ptKeepAlive);
    EXPECT_EQ(connection->lastHeader(), (std::array<uint8_t, 2>{0x08, 0x00}));

    // The server's keepalive is a sign of life.
    const int32_t readBefore = cloud->ReadPacketNum;
    connection->send(ptKeepAlive, {});
    ASSERT_TRUE(waitUntil([&] { return cloud->ReadPacketNum > readBefore; }));

    // Data written in between postpones the next keepalive.
    clock->advance(cloudTiming::keepaliveMs - 100);
    queueFromSerial(*serial[0], {'d'});
    clock->advance(cloudTiming::quietTimeMs + 1);
    auto data = connection->tryRead();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->payload, dataPayload("d"));
    clock->advance(200);
    EXPECT_FALSE(connection->tryRead(200ms));

    // 119 s after the server's last sign of life the connection stays; past
    // 120 s it is dropped and made anew.
    clock->advance(cloudTiming::inactivityMs - 1000 - (cloudTiming::keepaliveMs + 111));
    EXPECT_FALSE(connection->waitClosed(200ms));
    clock->advance(2000);
    EXPECT_TRUE(connection->waitClosed());
    EXPECT_TRUE(acceptAdvancing(server));
    EXPECT_NE(takeLogQueue().find("No activity from server it will be reconnected."),
              std::string::npos);
}

TEST_F(CloudClientTest, BatchOverOneMessageGoesOutAsSeveralInOrder) {
    useManualClock();
    std::vector<PConnectionInfo> serial;
    startWorking(&serial);
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    connection->handshake(buildAuthAccepted());

    TBytes batch(150000);
    for (size_t i = 0; i < batch.size(); ++i)
        batch[i] = static_cast<uint8_t>(i * 31 + i / 256);
    queueFromSerial(*serial[0], batch);
    clock->advance(cloudTiming::quietTimeMs + 1);

    TBytes received;
    int messages = 0;
    while (received.size() < batch.size()) {
        const auto packet = connection->tryReadSkippingKeepalives();
        ASSERT_TRUE(packet);
        ASSERT_EQ(packet->type, ptChannel);
        ASSERT_LE(packet->payload.size(), maxMessagePayload);
        received.insert(received.end(), packet->payload.begin() + 2, packet->payload.end());
        ++messages;
    }
    EXPECT_EQ(messages, 3);
    EXPECT_TRUE(received == batch);
}

TEST_F(CloudClientTest, ContinuousSerialStreamReachesTheServerWhileItFlows) {
    useManualClock();
    std::vector<PConnectionInfo> serial;
    startWorking(&serial);
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    connection->handshake(buildAuthAccepted());

    // A byte every tick: the quiet time never passes while the stream runs.
    std::atomic<bool> received{false};
    std::atomic<int> sentBytes{0};
    std::thread producer([&] {
        for (int i = 0; i < 100000 && !received; ++i) {
            clock->advance(1);
            queueFromSerial(*serial[0], {static_cast<uint8_t>(i)});
            ++sentBytes;
            std::this_thread::yield();
        }
    });
    const auto packet = connection->tryReadSkippingKeepalives();
    received = true;
    producer.join();
    ASSERT_TRUE(packet);
    ASSERT_GT(packet->payload.size(), 2u);
    EXPECT_EQ(packet->payload[2], 0);    // the stream from its first byte
    EXPECT_LT(sentBytes.load(), 100000); // and the producer was still at work
}

TEST_F(CloudClientTest, StopTakesEffectInsideAReadAndInTheReconnectPause) {
    useManualClock();
    for (bool inRead : {true, false}) {
        SCOPED_TRACE(inRead ? "blocked in a read" : "in the reconnect pause");
        auto cloud = startWorking();
        auto worker = workers.back();
        auto connection = server.accept();
        ASSERT_TRUE(connection);
        authorize(*connection, *cloud);
        std::unique_ptr<TServerConnection> second;
        if (inRead) {
            const uint32_t readBefore = cloud->BytesRead;
            connection->sendRaw({0x14, 0x20, 1, 2, 3}); // 32 bytes announced, 3 sent
            ASSERT_TRUE(waitUntil([&] { return cloud->BytesRead == readBefore + 2; }));
        } else {
            // Two losses in a row: the second reconnect waits 3000 ticks, and
            // the clock stands still.
            connection->close();
            second = server.accept();
            ASSERT_TRUE(second);
            second->close();
            ASSERT_TRUE(waitUntil([&] {
                return statusIs(*cloud, zvlDisconnected, zvlConnectionClosedUnexpectedly);
            }));
        }
        const size_t posted = panel.count(WM_CONNECTION_STATUS);
        worker->Terminate();
        ASSERT_TRUE(worker->WaitFor(20000));
        EXPECT_TRUE(statusIs(*cloud, zvlDisconnected, zvlCloseReason_notYetConnected));
        EXPECT_GT(panel.count(WM_CONNECTION_STATUS), posted);
        if (inRead) {
            EXPECT_TRUE(connection->waitClosed());
        }
        hub = std::make_shared<THubInfo>();
    }
}

TEST_F(CloudClientTest, BrokenStreamsAreDroppedAndReconnected) {
    useManualClock();
    LoggingEnabled = true;
    auto cloud = startWorking();
    for (bool overlong : {true, false}) {
        SCOPED_TRACE(overlong ? "message over 65535 bytes" : "silent in the middle of a message");
        auto connection = acceptAdvancing(server);
        ASSERT_TRUE(connection);
        authorize(*connection, *cloud);
        if (overlong) {
            TBytes stream;
            for (int i = 0; i < 65; ++i) {
                stream.insert(stream.end(), {0x97, 0xFF});
                stream.insert(stream.end(), 1023, 0);
            }
            connection->sendRaw(stream);
        } else {
            connection->sendRaw({0x14, 0x20, 1, 2, 3});
            const uint32_t readBefore = cloud->BytesRead;
            ASSERT_TRUE(waitUntil([&] { return cloud->BytesRead == readBefore + 2; }));
            clock->advance(cloudTiming::inactivityMs + 1);
        }
        EXPECT_TRUE(connection->waitClosed());
    }
    EXPECT_TRUE(acceptAdvancing(server));
    const std::string log = takeLogQueue();
    EXPECT_NE(log.find("client: execute exception:Message longer than 65535 bytes"),
              std::string::npos);
    EXPECT_NE(log.find("client: execute exception:No activity from server"), std::string::npos);
}

TEST_F(CloudClientTest, GarbageAfterAuthorizationReconnectsWithinThePauseAndDataFlowsAgain) {
    useManualClock();
    std::vector<PConnectionInfo> serial;
    auto cloud = startWorking(&serial);
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    authorize(*connection, *cloud);

    std::mt19937 random(8);
    TBytes garbage(8192);
    for (auto& byte : garbage)
        byte = static_cast<uint8_t>(random());
    connection->sendRaw(garbage);
    // Noticed in the stream itself, not by the inactivity bound.
    EXPECT_TRUE(connection->waitClosed());
    // The reconnect pause has begun before the clock moves.
    ASSERT_TRUE(TEventLoop::relay().settle(20000));

    clock->advance(cloudTiming::reconnectPauseMs + 1);
    auto again = server.accept();
    ASSERT_TRUE(again);
    authorize(*again, *cloud);
    again->send(ptChannel, dataPayload("ok"));
    EXPECT_TRUE(waitUntil([&] { return queueOf(*serial[0]) == TBytes{'o', 'k'}; }));
}

} // namespace

// The cloud drops data of a port it does not know open: a new connection is
// told the settings the queued bytes were written under before those bytes.
TEST_F(CloudClientTest, ANewConnectionLearnsThePortStateBeforeTheBytesQueuedMeanwhile) {
    useManualClock();
    std::vector<PConnectionInfo> serial;
    auto cloud = startWorking(&serial);
    auto connection = acceptAdvancing(server);
    ASSERT_TRUE(connection);
    authorize(*connection, *cloud);
    queueSettings(*serial[0], openPortSettings);
    clock->advance(cloudTiming::quietTimeMs + 1);
    auto packet = connection->tryReadSkippingKeepalives();
    ASSERT_TRUE(packet);
    EXPECT_EQ(settingsOf(*packet), openPortSettings);

    connection->close();
    ASSERT_TRUE(waitUntil([&] { return cloud->zvlConnectionStatus != zvlConnectedAndAuthorized; }));
    queueFromSerial(*serial[0], {'a'});
    queueSettings(*serial[0], closedPortSettings);
    connection = acceptAdvancing(server);
    ASSERT_TRUE(connection);
    authorize(*connection, *cloud);
    clock->advance(cloudTiming::quietTimeMs + 1);
    std::vector<std::string> received;
    for (int i = 0; i < 3; ++i) {
        packet = connection->tryReadSkippingKeepalives();
        ASSERT_TRUE(packet);
        received.push_back(channelMessage(*packet));
    }
    EXPECT_EQ(received, (std::vector<std::string>{"S " + std::string(openPortSettings), "D a",
                                                  "S " + std::string(closedPortSettings)}));
}
