#include "cloud_test_server.h"

#include "platform/event_loop.h"
#include "platform/tcp_stream.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Runs `call` on the relay loop and waits for it.
template <class F> auto onLoop(F call) {
    std::packaged_task<decltype(call())()> task(std::move(call));
    auto result = task.get_future();
    TEventLoop::relay().post([&task] { task(); });
    EXPECT_EQ(result.wait_for(20s), std::future_status::ready);
    return result.get();
}

// A stream on the relay loop and what its handlers reported.
class TcpStreamTest : public ::testing::Test {
protected:
    std::mutex lock;
    std::string outcome; // "connected" or the connect error
    TBytes received;
    std::string ended; // how the connection ended
    int drains = 0;
    std::unique_ptr<TTcpStream> stream;
    std::vector<std::unique_ptr<TTcpStream>> kept; // loop thread only

    // On the loop thread.
    std::unique_ptr<TTcpStream> makeStream() {
        return std::make_unique<TTcpStream>(
            TEventLoop::relay(),
            TTcpStream::THandlers{[this] { report(outcome, "connected"); },
                                  [this](const std::string& error) { report(outcome, error); },
                                  [this] { receive(); },
                                  [this] {
                                      std::lock_guard guard(lock);
                                      ++drains;
                                  }});
    }
    void SetUp() override {
        onLoop([this] {
            stream = makeStream();
            return 0;
        });
    }
    void TearDown() override {
        onLoop([this] {
            kept.clear();
            stream.reset();
            return 0;
        });
    }
    void report(std::string& field, const std::string& text) {
        std::lock_guard guard(lock);
        field = text;
    }
    void receive() {
        TBytes bytes;
        try {
            stream->receive(bytes);
        } catch (const ESocketError& error) {
            report(ended, error.what());
        }
        std::lock_guard guard(lock);
        received.insert(received.end(), bytes.begin(), bytes.end());
    }
    std::string connectTo(const std::string& host, uint16_t port, uint32_t timeoutMs = 1000) {
        onLoop([&] {
            stream->connect(host, port, timeoutMs);
            return 0;
        });
        EXPECT_TRUE(waitUntil([&] {
            std::lock_guard guard(lock);
            return !outcome.empty();
        }));
        std::lock_guard guard(lock);
        return outcome;
    }
    size_t receivedCount() {
        std::lock_guard guard(lock);
        return received.size();
    }
};

TEST_F(TcpStreamTest, ReceivesAsBytesComeAndKeepsAWriteTheSocketCannotTakeYet) {
    TTestListener listener;
    ASSERT_EQ(connectTo("127.0.0.1", listener.port()), "connected");
    auto server = listener.accept();
    ASSERT_TRUE(server);

    server->sendRaw({1, 2, 3});
    ASSERT_TRUE(waitUntil([&] { return receivedCount() == 3; }));

    // More than the socket buffers hold: the rest goes out as the peer reads.
    TBytes big(8 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    const size_t unsent = onLoop([&] {
        stream->Write(big.data(), big.size());
        return stream->unsent();
    });
    EXPECT_GT(unsent, 0u);
    EXPECT_TRUE(server->readRaw(big.size()) == big);
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard guard(lock);
        return drains > 0;
    }));
    EXPECT_EQ(onLoop([&] { return stream->unsent(); }), 0u);
}

TEST_F(TcpStreamTest, BytesBeforeThePeerClosedComeFirstThenTheEnd) {
    TTestListener listener;
    ASSERT_EQ(connectTo("localhost", listener.port(), 5000), "connected");
    auto server = listener.accept();
    ASSERT_TRUE(server);
    server->sendRaw({9});
    server->close();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard guard(lock);
        return !ended.empty();
    }));
    EXPECT_EQ(ended, "Connection closed by the server");
    EXPECT_EQ(received, TBytes{9});
    EXPECT_FALSE(onLoop([&] { return stream->connected(); }));
}

TEST_F(TcpStreamTest, RefusedAndUnansweredConnectsSayWhy) {
    uint16_t closedPort;
    {
        TTestListener gone;
        closedPort = gone.port();
    }
    const std::string refused = connectTo("127.0.0.1", closedPort);
    EXPECT_NE(refused.find("Could not connect to 127.0.0.1:" + std::to_string(closedPort)),
              std::string::npos)
        << refused;

    // A listener whose accept queue is full leaves new connections unanswered.
    const int full = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(full, 0), 0);
    ::getsockname(full, reinterpret_cast<sockaddr*>(&address), &size);
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        {
            std::lock_guard guard(lock);
            outcome.clear();
        }
        const auto start = std::chrono::steady_clock::now();
        const std::string result = connectTo("127.0.0.1", ntohs(address.sin_port), 300);
        if (result == "connected") {
            // Kept open so that the queue stays full; a new stream for the next.
            onLoop([&] {
                kept.push_back(std::move(stream));
                stream = makeStream();
                return 0;
            });
            continue;
        }
        timedOut = true;
        EXPECT_NE(result.find("timed out after 300 ms"), std::string::npos) << result;
        EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    }
    EXPECT_TRUE(timedOut);
    ::close(full);
}

} // namespace
