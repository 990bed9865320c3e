#include "cloud_test_server.h"

#include "platform/tcp_client.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct Connected {
    TTestListener listener;
    TTcpClient client;
    std::unique_ptr<TServerConnection> server;
    Connected() {
        client.Connect("127.0.0.1", listener.port(), 1000);
        server = listener.accept();
    }
};

TEST(TcpClientTest, ReadsExactCountsAcrossWritesAndTellsWhatIsWaiting) {
    Connected c;
    ASSERT_TRUE(c.server);
    EXPECT_TRUE(c.client.Connected());
    EXPECT_TRUE(c.client.InputBufferIsEmpty());
    EXPECT_FALSE(c.client.Readable(5));

    c.server->sendRaw({1, 2, 3});
    EXPECT_TRUE(c.client.Readable(20000));
    uint8_t two[2];
    c.client.ReadBytes(two, 2);
    EXPECT_EQ(two[0], 1);
    EXPECT_FALSE(c.client.InputBufferIsEmpty()); // the third byte is buffered
    EXPECT_TRUE(c.client.Readable(0));

    std::thread late([&] { c.server->sendRaw({4, 5}); });
    uint8_t three[3];
    c.client.ReadBytes(three, 3);
    late.join();
    EXPECT_EQ(TBytes(three, three + 3), (TBytes{3, 4, 5}));

    // More than the socket buffers hold: the write waits for the reader.
    TBytes big(8 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    TBytes received;
    std::thread drain([&] { received = c.server->readRaw(big.size()); });
    c.client.Write(big.data(), big.size());
    drain.join();
    EXPECT_TRUE(received == big);
}

TEST(TcpClientTest, HostNamesAreResolved) {
    TTestListener listener;
    TTcpClient client;
    client.Connect("localhost", listener.port(), 5000);
    EXPECT_TRUE(listener.accept());
    EXPECT_TRUE(client.Connected());
}

TEST(TcpClientTest, PeerCloseEndsARead) {
    Connected c;
    c.server->sendRaw({9});
    c.server->close();
    uint8_t bytes[2];
    EXPECT_THROW(c.client.ReadBytes(bytes, 2), ESocketError);
    EXPECT_FALSE(c.client.Connected());
}

TEST(TcpClientTest, RefusedAndUnreachableConnectsSayWhere) {
    uint16_t closedPort;
    {
        TTestListener gone;
        closedPort = gone.port();
    }
    TTcpClient client;
    try {
        client.Connect("127.0.0.1", closedPort, 1000);
        FAIL() << "connected to a closed port";
    } catch (const ESocketError& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(closedPort)),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(client.Connected());
}

TEST(TcpClientTest, ConnectGivesUpAfterItsTimeout) {
    // A listener whose accept queue is full leaves new connections unanswered.
    const int full = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(full, 0), 0);
    ::getsockname(full, reinterpret_cast<sockaddr*>(&address), &size);
    const uint16_t port = ntohs(address.sin_port);
    std::vector<std::unique_ptr<TTcpClient>> queued;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        auto client = std::make_unique<TTcpClient>();
        const auto start = std::chrono::steady_clock::now();
        try {
            client->Connect("127.0.0.1", port, 300);
            queued.push_back(std::move(client));
        } catch (const ESocketError& e) {
            timedOut = true;
            EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
            EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
        }
    }
    EXPECT_TRUE(timedOut);
    ::close(full);
}

TEST(TcpClientTest, ShutdownFromAnotherThreadWakesABlockedRead) {
    Connected c;
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        uint8_t bytes[4];
        try {
            c.client.ReadBytes(bytes, 4);
        } catch (const ESocketError&) {
            failed = true;
        }
    });
    c.server->sendRaw({1}); // the read has begun and waits for more
    c.client.Shutdown();
    reader.join();
    EXPECT_TRUE(failed);
}

TEST(TcpClientTest, WatchCanGiveUpABlockedRead) {
    Connected c;
    std::atomic<bool> giveUp{false};
    c.client.setWatch([&] {
        if (giveUp)
            throw std::runtime_error("bored");
    });
    std::thread later([&] { giveUp = true; });
    uint8_t bytes[1];
    EXPECT_THROW(c.client.ReadBytes(bytes, 1), std::runtime_error);
    later.join();
    EXPECT_TRUE(c.client.Connected()); // giving up a wait leaves the connection as it is
}

} // namespace
