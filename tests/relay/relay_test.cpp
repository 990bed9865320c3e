// Whole tunnels on the relay loop: a cloud client and a COM-port worker on a
// real pair, against the in-process test cloud.

#include "cloud_test_server.h"

#include "cloud/cloud_address.h"
#include "cloud/zelvane_thread.h"
#include "driver/pair_store.h"
#include "platform/event_loop.h"
#include "platform/thread.h"
#include "serial/comport_thread.h"
#include "support/test_support.h"
#include "support/user_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sys/resource.h>
#include <unistd.h>

namespace {

bool settle() {
    return TEventLoop::relay().settle(20000);
}

std::string channelText(const TPacket& packet) {
    return std::string(packet.payload.begin() + 2, packet.payload.end());
}

// Stops a worker however the test ends.
struct TStopAtEnd {
    std::shared_ptr<TWorker> worker;
    ~TStopAtEnd() { worker->Terminate(); }
};

// One tunnel: a hub with a cloud slot and a COM-port slot on a fresh pair.
struct TTunnel {
    PHubInfo hub = std::make_shared<THubInfo>();
    PConnectionInfo cloud = newSlotRecord(stTCPClient, 0, hub);
    PConnectionInfo com = newSlotRecord(stComPort, 0, hub);
    int pair = addPairToStore();
    std::shared_ptr<TWorker> comWorker;
    std::shared_ptr<TWorker> cloudWorker;

    explicit TTunnel(const std::string& key, bool withCloud = true) {
        com->PortName.set(hiddenPortName(pair));
        comWorker = startComPortWorker(com);
        if (withCloud)
            cloudWorker = startCloudClient(cloud, key);
    }
    ~TTunnel() {
        for (auto* worker : {&comWorker, &cloudWorker})
            if (*worker)
                (*worker)->Terminate();
    }
};

// What the cloud learnt of one port, from its settings texts and data.
struct TCloudView {
    bool open = false;
    std::string data;
    std::string whileClosed; // data the cloud would drop: the port was closed
    std::string settings;    // the last settings text

    void take(const TPacket& packet) {
        if (packet.type != ptChannel || packet.payload.size() < 2)
            return;
        const std::string text = channelText(packet);
        if (packet.payload[1] == chStatus) {
            settings = text;
            open = text.rfind("PortOpened: True", 0) == 0;
        } else if (packet.payload[1] == chData) {
            (open ? data : whileClosed) += text;
        }
    }
};

class RelayTest : public ::testing::Test {
protected:
    std::unique_ptr<ManualClock> clock;
    TTestListener server;

    void SetUp() override { setCloudServerAddress("127.0.0.1", server.port()); }
    void TearDown() override { EXPECT_TRUE(waitForAllThreads(20000)); }

    // Moves the clock on in quiet-time steps and takes what the cloud gets
    // until it has `bytes` bytes and was told the port is closed.
    bool follow(TServerConnection& connection, TCloudView& view, size_t bytes) {
        for (int round = 0; round < 2000; ++round) {
            if (view.data.size() + view.whileClosed.size() >= bytes && !view.open)
                return true;
            clock->advance(cloudTiming::quietTimeMs + 1);
            while (auto packet = connection.tryRead(10ms))
                view.take(*packet);
        }
        return false;
    }

    // The next message that is not a keepalive or a settings text.
    static std::optional<TPacket> nextData(TServerConnection& connection) {
        for (;;) {
            auto packet = connection.tryReadSkippingKeepalives();
            if (!packet || packet->payload.size() < 2 || packet->payload[1] == chData)
                return packet;
        }
    }
};

TEST_F(RelayTest, AnIdleTunnelDoesNotWakeTheLoopUntilItsKeepalive) {
    clock = std::make_unique<ManualClock>(100000);
    std::optional<TTunnel> tunnel(std::in_place, "IDLEKEY1");
    ASSERT_TRUE(waitUntil([&] { return tunnel->com->comportStatus == c0mPOrtNotOpenedByApp; }));
    UserPort user(userFacingPortPath(tunnel->pair));
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    connection->handshake(buildAuthAccepted());
    ASSERT_TRUE(waitUntil([&] {
        return tunnel->cloud->zvlConnectionStatus == zvlConnectedAndAuthorized &&
               tunnel->com->comportStatus == c0mPortOpened;
    }));
    // The port's settings go out after the quiet time; then all is still.
    clock->advance(cloudTiming::quietTimeMs + 1);
    ASSERT_TRUE(connection->tryReadSkippingKeepalives());
    ASSERT_TRUE(settle());

    const uint32_t lastWrite = clock->now();
    const uint64_t before = TEventLoop::relay().dispatches();
    for (uint32_t elapsed = 1000; elapsed < cloudTiming::keepaliveMs; elapsed += 1000) {
        clock->set(lastWrite + elapsed - 1);
        ASSERT_TRUE(settle());
    }
    EXPECT_EQ(TEventLoop::relay().dispatches(), before);

    // The keepalive is the first thing that wakes it.
    clock->set(lastWrite + cloudTiming::keepaliveMs);
    const auto keepalive = connection->tryRead();
    ASSERT_TRUE(keepalive);
    EXPECT_EQ(keepalive->type, ptKeepAlive);
    EXPECT_GT(TEventLoop::relay().dispatches(), before);
    tunnel.reset();
}

// Each deadline of the cloud client: nothing one tick before it, its action
// at it.
TEST_F(RelayTest, CloudDeadlinesFireExactlyAtTheirTick) {
    clock = std::make_unique<ManualClock>(100000);
    auto hub = std::make_shared<THubInfo>();
    auto cloud = newSlotRecord(stTCPClient, 0, hub);
    auto serial = newSlotRecord(stComPort, 0, hub);
    auto worker = startCloudClient(cloud, "TIMERKEY");
    const TStopAtEnd stop{worker};
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    const uint32_t connectedAt = clock->now();
    connection->handshake(buildAuthAccepted());
    ASSERT_TRUE(waitUntil([&] { return cloud->zvlConnectionStatus == zvlConnectedAndAuthorized; }));
    const auto queue = [&](uint8_t byte) {
        handToOtherSlots(*serial, [&](TConnection& other) {
            other.BytesToSend.push_back(byte);
            other.HasDataFromOthers = true;
            other.LastDataFromOthersMillis = GetTickCount();
        });
    };
    const auto nothingAt = [&](uint32_t tick) {
        clock->set(tick);
        EXPECT_TRUE(settle());
        EXPECT_FALSE(connection->tryRead(50ms)) << "at " << tick - connectedAt;
    };

    // Quiet time: more than 10 ms after the last byte.
    queue('q');
    ASSERT_TRUE(settle());
    nothingAt(connectedAt + cloudTiming::quietTimeMs);
    clock->set(connectedAt + cloudTiming::quietTimeMs + 1);
    auto packet = connection->tryRead();
    ASSERT_TRUE(packet);
    EXPECT_EQ(channelText(*packet), "q");

    // Maximum hold: a stream that never pauses goes out 200 ms after its
    // first byte.
    ASSERT_TRUE(settle());
    const uint32_t holdStart = clock->now();
    queue('0');
    ASSERT_TRUE(settle());
    for (uint32_t at = 9; at < cloudTiming::longestQueueWaitMs; at += 9) {
        clock->set(holdStart + at);
        queue(static_cast<uint8_t>('0' + at % 10));
        ASSERT_TRUE(settle());
    }
    EXPECT_FALSE(connection->tryRead(50ms));
    clock->set(holdStart + cloudTiming::longestQueueWaitMs);
    packet = connection->tryRead();
    ASSERT_TRUE(packet);
    EXPECT_EQ(channelText(*packet).size(), 1 + (cloudTiming::longestQueueWaitMs - 1) / 9);

    // Keepalive: 60 s after the last frame written. The client has finished
    // its pass before the clock moves on.
    ASSERT_TRUE(settle());
    const uint32_t lastWrite = clock->now();
    nothingAt(lastWrite + cloudTiming::keepaliveMs - 1);
    clock->set(lastWrite + cloudTiming::keepaliveMs);
    packet = connection->tryRead();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->type, ptKeepAlive);
    ASSERT_TRUE(settle());

    // Inactivity: more than 120 s without the server since the connect.
    clock->set(connectedAt + cloudTiming::inactivityMs);
    ASSERT_TRUE(settle());
    EXPECT_FALSE(connection->waitClosed(50ms));
    clock->set(connectedAt + cloudTiming::inactivityMs + 1);
    EXPECT_TRUE(connection->waitClosed());

    // Reconnect pause: 3000 ms after the loss.
    ASSERT_TRUE(settle());
    const uint32_t lostAt = clock->now();
    clock->set(lostAt + cloudTiming::reconnectPauseMs - 1);
    ASSERT_TRUE(settle());
    EXPECT_FALSE(server.accept(50ms));
    clock->set(lostAt + cloudTiming::reconnectPauseMs);
    EXPECT_TRUE(server.accept());
}

TEST_F(RelayTest, LearningBoundAndPortReopenFireExactlyAtTheirTick) {
    clock = std::make_unique<ManualClock>(100000);
    auto learning = newLearningRecord();
    const uint32_t startedAt = clock->now();
    auto run = startLearningRun(learning, "LEARNKEY", nullptr);
    const TStopAtEnd stopRun{run};
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    // The connect has its own deadline on the same clock: done before the
    // clock jumps.
    ASSERT_TRUE(waitUntil(
        [&] { return learning->zvlConnectionStatus == zvlConnectedButNotAuthorizedYet; }));
    clock->set(startedAt + cloudTiming::learningBoundMs);
    ASSERT_TRUE(settle());
    EXPECT_FALSE(run->Finished());
    clock->set(startedAt + cloudTiming::learningBoundMs + 1);
    ASSERT_TRUE(run->WaitFor(20000));
    EXPECT_EQ(learning->zvlCloseReason.load(), zvlCloseReason_ConnectionError);

    // The port of a pair not installed yet: tried again 2000 ms later.
    const int pair = addPairToStore();
    ASSERT_TRUE(removePairFromStore(pair));
    auto hub = std::make_shared<THubInfo>();
    auto com = newSlotRecord(stComPort, 0, hub);
    com->PortName.set(hiddenPortName(pair));
    const uint32_t failedAt = clock->now();
    auto worker = startComPortWorker(com);
    const TStopAtEnd stop{worker};
    ASSERT_TRUE(waitUntil([&] { return com->comportStatus == c0mPortOpenError; }));
    ASSERT_EQ(addPairToStore(), pair);
    clock->set(failedAt + comportReopenDelayMs - 1);
    ASSERT_TRUE(settle());
    EXPECT_EQ(com->comportStatus.load(), c0mPortOpenError);
    clock->set(failedAt + comportReopenDelayMs);
    EXPECT_TRUE(waitUntil([&] { return com->comportStatus == c0mPOrtNotOpenedByApp; }));
}

// The user's program opens the port, writes and closes it, all within one
// quiet time or with the clock moved between write and close.
TEST_F(RelayTest, ShortSessionsReachTheCloudBetweenTheirOpenAndCloseReports) {
    clock = std::make_unique<ManualClock>(100000);
    TTunnel tunnel("SHORTKEY");
    auto connection = server.accept();
    ASSERT_TRUE(connection);
    connection->handshake(buildAuthAccepted());
    ASSERT_TRUE(waitUntil([&] {
        return tunnel.cloud->zvlConnectionStatus == zvlConnectedAndAuthorized &&
               tunnel.com->comportStatus == c0mPOrtNotOpenedByApp;
    }));
    const std::string port = userFacingPortPath(tunnel.pair);
    TCloudView view;
    std::string expected;
    const auto session = [&](const std::string& bytes, uint32_t closeAfterMs) {
        const int fd = ::open(port.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        if (closeAfterMs > 0) {
            clock->advance(closeAfterMs);
            EXPECT_TRUE(settle());
        }
        ::close(fd);
        expected += bytes;
    };

    for (const uint32_t closeAfter : {0u, 5u, 20u, 50u}) {
        SCOPED_TRACE(closeAfter);
        session("closed " + std::to_string(closeAfter) + " ms after the write;", closeAfter);
        ASSERT_TRUE(follow(*connection, view, expected.size()));
        EXPECT_EQ(view.data, expected);
    }
    ASSERT_EQ(std::system(("printf 'x' > " + port).c_str()), 0);
    expected += "x";
    ASSERT_TRUE(follow(*connection, view, expected.size()));
    EXPECT_EQ(view.data, expected);
    // Back to back: both may share one open and close report, never a byte.
    session("first;", 0);
    session("second;", 0);
    ASSERT_TRUE(follow(*connection, view, expected.size()));
    clock->advance(cloudTiming::quietTimeMs + 1);
    while (auto packet = connection->tryRead(100ms))
        view.take(*packet);

    EXPECT_EQ(view.data, expected);
    EXPECT_EQ(view.whileClosed, "");
    EXPECT_EQ(view.settings.rfind("PortOpened: False, ", 0), 0u) << view.settings;
}

TEST_F(RelayTest, TwoHundredTunnelsRelayAByteEachWayEach) {
    constexpr int tunnelCount = 200;
    // Every tunnel holds a few descriptors here and the test as many again.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    std::vector<std::unique_ptr<TTunnel>> tunnels;
    std::map<std::string, int> byKey;
    for (int i = 0; i < tunnelCount; ++i) {
        const std::string key = "K" + std::to_string(1000 + i);
        tunnels.push_back(std::make_unique<TTunnel>(key));
        byKey[key] = i;
    }
    // A client whose connect timed out while 200 others queued up tries
    // again; the connection it gave up is skipped.
    std::vector<std::unique_ptr<TServerConnection>> connections(tunnelCount);
    for (int authorized = 0; authorized < tunnelCount;) {
        auto connection = server.accept();
        ASSERT_TRUE(connection);
        connection->sendHello();
        const auto request = connection->tryRead(5s);
        if (!request)
            continue;
        connection->send(ptControl, buildAuthAccepted());
        const auto found = byKey.find(parseAuthorizationRequest(request->payload).tunnelKey);
        ASSERT_NE(found, byKey.end());
        ASSERT_FALSE(connections[found->second]);
        connections[found->second] = std::move(connection);
        ++authorized;
    }
    std::vector<std::unique_ptr<UserPort>> users;
    for (auto& tunnel : tunnels) {
        ASSERT_TRUE(waitUntil([&] { return tunnel->com->comportStatus != c0mPortUnknown; }));
        users.push_back(std::make_unique<UserPort>(userFacingPortPath(tunnel->pair)));
    }
    for (int i = 0; i < tunnelCount; ++i)
        ASSERT_TRUE(users[i]->write({static_cast<uint8_t>(i)}));
    for (int i = 0; i < tunnelCount; ++i) {
        SCOPED_TRACE(i);
        const auto packet = nextData(*connections[i]);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->payload, (TBytes{ptChannel, chData, static_cast<uint8_t>(i)}));
        connections[i]->send(ptChannel, {ptChannel, chData, static_cast<uint8_t>(255 - i)});
    }
    for (int i = 0; i < tunnelCount; ++i)
        EXPECT_EQ(users[i]->read(1), Bytes{static_cast<uint8_t>(255 - i)}) << i;
    tunnels.clear();
}

} // namespace
