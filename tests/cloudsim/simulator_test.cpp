#include "cloud/cloud_address.h"
#include "cloud/protocol.h"
#include "cloudsim/simulator.h"
#include "model/connection.h"
#include "platform/text.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace cloudsim;

namespace {

constexpr auto kPatience = std::chrono::seconds(20);
const std::string kOpenSettings =
    "PortOpened: True, Speed=19200, DataBits=8, Parity=none, StopBits=2";

TBytes bytesOf(const std::string& text) {
    return TBytes(text.begin(), text.end());
}

// Waits for `fd` to become readable; false when the patience ran out.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

Fd connectLoopback(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    return fd;
}

void writeAll(int fd, const TBytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write failed");
        done += static_cast<size_t>(n);
    }
}

// Reads what arrives on `fd` until `count` bytes are in or the patience runs out.
TBytes readBytes(int fd, size_t count) {
    TBytes data;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (data.size() < count && waitReadable(fd, deadline)) {
        uint8_t chunk[8192];
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, count - data.size()));
        if (n <= 0)
            break;
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

struct Status {
    bool connected = false;
    uint8_t state = 0;
    uint8_t reason = 0;
    std::string params;
    std::string argument;
};

// A minimal tunnel client over a real loopback socket, written with the
// project's codec: it speaks the messages a test asks for and nothing else.
class TestClient {
public:
    explicit TestClient(uint16_t port) : fd_(connectLoopback(port)), key_(builtinKey()) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&local), &length);
        address_ = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
    }

    const std::string& address() const { return address_; }
    int fd() const { return fd_.get(); }
    void useKey(TBytes key) { key_ = std::move(key); }
    void writeRaw(const TBytes& bytes) { writeAll(fd_.get(), bytes); }
    void send(uint8_t type, const TBytes& payload) {
        for (const TBytes& frame : buildMessageFrames(type, payload, key_))
            writeRaw(frame);
    }
    void sendSettings(const std::string& text) { send(ptChannel, buildChannelSettings(text)); }
    void sendData(const TBytes& data) { send(ptChannel, buildChannelData(data)); }

    // The next whole message; throws when the server closes or stays silent.
    TRawMessage readMessage() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            size_t used = 0;
            while (used < in_.size() && !assembler_.hasMessage())
                used += assembler_.feed(in_.data() + used, in_.size() - used);
            in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
            if (assembler_.hasMessage())
                return assembler_.takeMessage();
            if (!waitReadable(fd_.get(), deadline))
                throw std::runtime_error("no message from the server");
            uint8_t chunk[16384];
            const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
            if (n <= 0)
                throw std::runtime_error("the server closed the connection");
            in_.insert(in_.end(), chunk, chunk + n);
        }
    }
    TBytes readPayload(uint8_t type) {
        const TRawMessage message = readMessage();
        EXPECT_EQ(message.type, type);
        return messagePayload(message, key_);
    }

    // Reads the hello and answers it as the program does.
    void answerHello(const std::string& tunnelKey) {
        const THello hello = parseHello(readPayload(ptControl));
        key_ = hello.connectionKey;
        send(ptControl,
             buildAuthorizationRequest({crc16Modbus(hello.challenge.data(), hello.challenge.size()),
                                        tunnelKey, "1.0.0.1"}));
    }
    // Authorizes and returns the server's reply.
    TBytes authorize(const std::string& tunnelKey) {
        answerHello(tunnelKey);
        return readPayload(ptControl);
    }

    Status readStatus() {
        const TBytes payload = readPayload(ptChannel);
        EXPECT_GE(payload.size(), 2u);
        EXPECT_EQ(payload[1], chStatus);
        TPayloadReader reader(payload, 2);
        Status status;
        status.params = reader.lenString();
        status.connected = reader.byte() == 1;
        status.state = reader.byte();
        status.reason = reader.byte();
        status.argument = reader.lenString();
        return status;
    }

    // Channel data until `count` bytes are in; other messages fail the test.
    TBytes readData(size_t count) {
        TBytes data;
        while (data.size() < count) {
            const TBytes payload = readPayload(ptChannel);
            EXPECT_GE(payload.size(), 3u);
            EXPECT_EQ(payload[1], chData);
            if (payload.size() < 3 || payload[1] != chData)
                break;
            data.insert(data.end(), payload.begin() + 2, payload.end());
        }
        return data;
    }

    // True when the server ends the connection within the patience.
    bool closedByServer() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (waitReadable(fd_.get(), deadline)) {
            uint8_t chunk[4096];
            if (::read(fd_.get(), chunk, sizeof chunk) <= 0)
                return true;
        }
        return false;
    }

private:
    Fd fd_;
    TBytes key_;
    std::string address_;
    TBytes in_;
    TMessageAssembler assembler_;
};

// Lines the simulator logs, collected across threads.
class LogLines {
public:
    void add(const std::string& line) {
        std::lock_guard guard(lock_);
        lines_.push_back(line);
    }
    bool has(const std::string& part) const {
        std::lock_guard guard(lock_);
        for (const std::string& line : lines_)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    bool waitFor(const std::string& part) const {
        return waitUntil([&] { return has(part); });
    }
    size_t count(const std::string& part) const {
        std::lock_guard guard(lock_);
        return static_cast<size_t>(
            std::count_if(lines_.begin(), lines_.end(), [&part](const std::string& line) {
                return line.find(part) != std::string::npos;
            }));
    }
    // The sum of the numbers that follow `prefix` in lines that hold `part`.
    size_t sumAfter(const std::string& prefix, const std::string& part) const {
        std::lock_guard guard(lock_);
        size_t sum = 0;
        for (const std::string& line : lines_)
            if (line.rfind(prefix, 0) == 0 && line.find(part) != std::string::npos)
                sum += std::stoul(line.substr(prefix.size()));
        return sum;
    }
    std::string all() const {
        std::lock_guard guard(lock_);
        std::string text;
        for (const std::string& line : lines_)
            text += line + "\n";
        return text;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

TunnelConfig tunnel(const std::string& key, DeviceKind kind) {
    TunnelConfig config;
    config.key = key;
    config.id = 9;
    config.localInterfaceId = 1;
    config.name = "Демо " + key;
    config.description = "test tunnel";
    config.params = "19200 8N2";
    config.paramsDescription = "baud, frame";
    config.device.kind = kind;
    return config;
}

class SimulatorTest : public ::testing::Test {
protected:
    void start(std::function<void(SimOptions&)> adjust = {}) {
        SimOptions options = defaultOptions();
        options.listenPort = 0;
        options.tunnels = {tunnel("demo", DeviceKind::Echo), tunnel("modem", DeviceKind::Tcp),
                           tunnel("terminal", DeviceKind::Pty)};
        if (adjust)
            adjust(options);
        simulator_ = std::make_unique<Simulator>(
            options, [this](const std::string& line) { log_.add(line); });
        simulator_->start();
    }
    uint16_t port() const { return simulator_->port(); }

    // A client of `key` that holds the tunnel's channel open.
    std::unique_ptr<TestClient> openedClient(const std::string& key) {
        auto client = std::make_unique<TestClient>(port());
        client->authorize(key);
        client->readStatus();
        client->sendSettings(kOpenSettings);
        client->readStatus();
        return client;
    }

    std::optional<ManualClock> clock_; // outlives the simulator, which reads it
    LogLines log_;
    std::unique_ptr<Simulator> simulator_;
};

} // namespace

TEST_F(SimulatorTest, KnownKeyGetsItsTunnelAndTheDataSourceState) {
    start();
    TestClient client(port());
    const TBytes reply = client.authorize("demo");
    ASSERT_GE(reply.size(), 5u);
    EXPECT_EQ(reply[0], ctlAuthReply);
    EXPECT_EQ(reply[1], authAccepted);
    EXPECT_EQ(reply[2], authTunnelInfo);
    EXPECT_EQ(reply[3], 9);
    EXPECT_EQ(reply[4], 1);
    TPayloadReader reader(reply, 5);
    EXPECT_EQ(ansiToText(reader.lenString()), "Демо demo");
    EXPECT_EQ(reader.lenString(), "test tunnel");
    EXPECT_EQ(reader.lenString(), "19200 8N2");
    EXPECT_EQ(reader.lenString(), "baud, frame");
    EXPECT_EQ(reader.remaining(), 0u);

    const Status status = client.readStatus();
    EXPECT_TRUE(status.connected);
    EXPECT_EQ(status.state, dcsUnknown);
    EXPECT_EQ(status.params, "19200 8N2");
    EXPECT_TRUE(log_.has("accepted " + client.address() + " for tunnel demo"));
    EXPECT_TRUE(log_.has("authorization from " + client.address() +
                         ": tunnel key \"demo\", version 1.0.0.1"));
}

TEST_F(SimulatorTest, UnknownKeyIsRefusedAndTheConnectionEnds) {
    start();
    TestClient client(port());
    EXPECT_EQ(client.authorize("nosuchtunnel"), (TBytes{ctlAuthReply, 0}));
    EXPECT_TRUE(client.closedByServer());
    EXPECT_TRUE(log_.has("refused " + client.address() + ": unknown tunnel key \"nosuchtunnel\""));
}

TEST_F(SimulatorTest, EchoDeviceReturnsEveryByteInOrder) {
    start();
    TestClient client(port());
    client.authorize("demo");
    client.readStatus();
    client.sendSettings(kOpenSettings);
    const Status opened = client.readStatus();
    EXPECT_EQ(opened.state, dcsConnected);
    EXPECT_EQ(opened.reason, crUnknown);
    EXPECT_TRUE(log_.has("settings from " + client.address() + ": " + kOpenSettings));

    // Small writes, then more than one message can carry, every byte value.
    TBytes sent;
    for (const std::string& piece :
         {std::string("a"), std::string("bc"), std::string("\x61\x00\x61", 3)}) {
        client.sendData(bytesOf(piece));
        sent.insert(sent.end(), piece.begin(), piece.end());
    }
    TBytes block(150000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    for (size_t offset = 0; offset < block.size(); offset += maxChannelData)
        client.sendData(TBytes(block.begin() + static_cast<std::ptrdiff_t>(offset),
                               block.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                   block.size(), offset + maxChannelData))));
    sent.insert(sent.end(), block.begin(), block.end());
    EXPECT_EQ(client.readData(sent.size()), sent);
}

TEST_F(SimulatorTest, DataQueuedAcrossAReconnectIsKept) {
    // After a reconnect the program sends what it queued before it has read
    // the hello, so under the built-in key, and before it repeats its
    // settings text.
    start();
    TestClient client(port());
    client.sendData(bytesOf("queued while away"));
    client.sendSettings(kOpenSettings);
    client.authorize("demo");
    EXPECT_EQ(client.readStatus().state, dcsUnknown);
    EXPECT_EQ(client.readStatus().state, dcsConnected);
    EXPECT_EQ(client.readData(17), bytesOf("queued while away"));
}

TEST_F(SimulatorTest, StatusFollowsTheRemoteDeviceAndBytesFlowBothWays) {
    start();
    TestClient client(port());
    client.authorize("modem");
    Status status = client.readStatus();
    EXPECT_FALSE(status.connected);
    client.sendSettings(kOpenSettings);
    status = client.readStatus();
    EXPECT_FALSE(status.connected);
    EXPECT_EQ(status.state, dcsConnecting);

    const std::string address = simulator_->deviceAddress("modem");
    const auto devicePort =
        static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    std::optional<Fd> device(connectLoopback(devicePort));
    status = client.readStatus();
    EXPECT_TRUE(status.connected);
    EXPECT_EQ(status.state, dcsConnected);

    writeAll(device->get(), bytesOf("from the field"));
    EXPECT_EQ(client.readData(14), bytesOf("from the field"));
    client.sendData(bytesOf("to the field"));
    EXPECT_EQ(readBytes(device->get(), 12), bytesOf("to the field"));

    device.reset();
    status = client.readStatus();
    EXPECT_FALSE(status.connected);
    EXPECT_EQ(status.state, dcsConnecting);
    EXPECT_TRUE(
        log_.has("status to " + client.address() + ": device connected=0, channel=dcsConnecting"));
}

// What the device sends while its client is away arrives, in order, once a
// client opens the channel again; past 1 MB the oldest bytes go.
TEST_F(SimulatorTest, DeviceDataWaitsForAnAbsentClient) {
    start();
    const std::string address = simulator_->deviceAddress("modem");
    const auto devicePort =
        static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    Fd device(connectLoopback(devicePort));
    {
        auto away = openedClient("modem");
        writeAll(device.get(), bytesOf("live "));
        EXPECT_EQ(away->readData(5), bytesOf("live "));
    }
    ASSERT_TRUE(log_.waitFor("channel of tunnel modem closed: its client is gone"));
    writeAll(device.get(), bytesOf("first "));
    writeAll(device.get(), bytesOf("second "));
    ASSERT_TRUE(log_.waitFor("tunnel modem: no client has the channel open: bytes from the "
                             "device are held for the next one, 1048576 at most"));
    auto back = openedClient("modem");
    writeAll(device.get(), bytesOf("third"));
    EXPECT_EQ(back->readData(18), bytesOf("first second third"));
    back.reset();
    const std::string gone = "channel of tunnel modem closed: its client is gone";
    ASSERT_TRUE(waitUntil([&] { return log_.count(gone) == 2; }));

    // Over the bound: the last 1 MB is kept.
    TBytes flood(kHeldForAbsentClient + 1000);
    for (size_t i = 0; i < flood.size(); ++i)
        flood[i] = static_cast<uint8_t>(i % 251);
    writeAll(device.get(), flood);
    ASSERT_TRUE(waitUntil([&] {
        return log_.sumAfter("tunnel modem: ", " oldest bytes from the device dropped") == 1000;
    })) << log_.all();
    auto late = openedClient("modem");
    EXPECT_TRUE(late->readData(kHeldForAbsentClient) == TBytes(flood.begin() + 1000, flood.end()));
}

TEST_F(SimulatorTest, PtyDeviceIsARealTerminal) {
    start();
    const std::string path = simulator_->deviceAddress("terminal");
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    Fd terminal(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(terminal);
    auto client = openedClient("terminal");

    client->sendData(bytesOf("AT\r"));
    EXPECT_EQ(readBytes(terminal.get(), 3), bytesOf("AT\r"));
    writeAll(terminal.get(), bytesOf("OK\r\n"));
    EXPECT_EQ(client->readData(4), bytesOf("OK\r\n"));
}

TEST_F(SimulatorTest, SecondClientIsBlockedUntilItForcesTheTunnel) {
    start();
    auto first = openedClient("demo");
    TestClient second(port());
    second.authorize("demo");
    second.readStatus();

    second.sendSettings(kOpenSettings);
    Status status = second.readStatus();
    EXPECT_EQ(status.state, dcsClosed);
    EXPECT_EQ(status.reason, crClosedDueToOpenErrorDueToInterferedTunnel);
    EXPECT_EQ(status.argument, first->address());
    second.sendData(bytesOf("x"));
    EXPECT_TRUE(log_.waitFor("1 bytes from " + second.address() + " dropped"));

    second.sendSettings(kOpenSettings + " Force=true");
    status = second.readStatus();
    EXPECT_EQ(status.state, dcsConnected);
    status = first->readStatus();
    EXPECT_EQ(status.state, dcsClosed);
    EXPECT_EQ(status.reason, crClosedDueToInterferedTunnel);
    EXPECT_EQ(status.argument, second.address());

    // The channel now echoes to the newcomer only.
    first->sendData(bytesOf("old"));
    second.sendData(bytesOf("new"));
    EXPECT_EQ(second.readData(3), bytesOf("new"));
    EXPECT_TRUE(log_.waitFor("3 bytes from " + first->address() + " dropped"));
}

TEST_F(SimulatorTest, ClosedPortReleasesTheChannel) {
    start();
    auto first = openedClient("demo");
    first->sendSettings("PortOpened: False, Speed=19200, DataBits=8, Parity=none, StopBits=2");
    const Status closed = first->readStatus();
    EXPECT_EQ(closed.state, dcsClosed);
    EXPECT_EQ(closed.reason, crClosedDueToLocalChannelClosed);

    auto second = openedClient("demo");
    second->sendData(bytesOf("mine"));
    EXPECT_EQ(second->readData(4), bytesOf("mine"));
}

TEST_F(SimulatorTest, RedirectSendsEveryClientAway) {
    start([](SimOptions& options) { options.redirect = RedirectTarget{"127.0.0.1:4444", 30}; });
    TestClient client(port());
    const TBytes reply = client.authorize("anything");
    ASSERT_GE(reply.size(), 3u);
    EXPECT_EQ(reply[1], authAccepted);
    EXPECT_EQ(reply[2], authRedirect);
    TPayloadReader reader(reply, 3);
    EXPECT_EQ(reader.lenString(), "127.0.0.1:4444");
    EXPECT_EQ(reader.u16(), 30);
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(SimulatorTest, KeepaliveIsAnswered) {
    start();
    TestClient client(port());
    client.authorize("demo");
    client.readStatus();
    client.writeRaw({0x08, 0x00});
    const TRawMessage answer = client.readMessage();
    EXPECT_EQ(answer.type, ptKeepAlive);
    EXPECT_TRUE(answer.body.empty());
}

TEST_F(SimulatorTest, ClientSilentForMoreThan120SecondsIsDropped) {
    clock_.emplace();
    start();
    TestClient silent(port());
    silent.readPayload(ptControl); // the hello; then nothing more
    TestClient talking(port());
    talking.authorize("demo");
    talking.readStatus();

    clock_->advance(100000);
    talking.writeRaw({0x08, 0x00});
    EXPECT_EQ(talking.readMessage().type, ptKeepAlive);
    clock_->advance(20001);
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(log_.has("client " + silent.address() + " silent for more than 120 s"));
    // 20 s after its keepalive the other client is still served.
    talking.writeRaw({0x08, 0x00});
    EXPECT_EQ(talking.readMessage().type, ptKeepAlive);
}

TEST_F(SimulatorTest, MalformedInputDropsOnlyThatClient) {
    start();
    // Half a frame that never ends must not hold up anyone else.
    TestClient stalled(port());
    stalled.writeRaw({0x14, 0x0A, 1, 2, 3});

    // 64 whole frames of 1023 bytes, then the header that passes 65535.
    TBytes tooLong;
    for (int i = 0; i < 65; ++i) {
        tooLong.push_back(0x97); // more frames follow, type 5, 1023 bytes
        tooLong.push_back(0xFF);
        if (i < 64)
            tooLong.resize(tooLong.size() + 1023);
    }
    const struct {
        const char* what;
        std::function<void(TestClient&)> send;
    } cases[] = {
        {"frames over 65535 bytes", [&](TestClient& c) { c.writeRaw(tooLong); }},
        {"an unused message type",
         [](TestClient& c) {
             c.writeRaw({0x1C, 0x00});
         }},
        {"a short authorization request",
         [](TestClient& c) {
             c.useKey(parseHello(c.readPayload(ptControl)).connectionKey);
             c.send(ptControl, {1, 2, 3});
         }},
        {"an authorization under another key",
         [](TestClient& c) {
             c.readPayload(ptControl);
             c.useKey(TBytes(16, 0x55));
             c.send(ptControl, buildAuthorizationRequest({0x1234, "demo", "1.0.0.1"}));
         }},
        {"a channel message of an unknown channel",
         [](TestClient& c) {
             c.authorize("demo");
             c.readStatus();
             c.send(ptChannel, {ptChannel, 9, 1});
         }},
        {"garbage before the authorization",
         [](TestClient& c) {
             c.send(ptChannel, {7, 7, 7});
         }},
    };
    for (const auto& c : cases) {
        TestClient client(port());
        c.send(client);
        EXPECT_TRUE(client.closedByServer()) << c.what;
        EXPECT_TRUE(log_.waitFor("client " + client.address() + " dropped: ")) << c.what;
    }

    std::mt19937 random(5);
    for (int i = 0; i < 30; ++i) {
        TestClient noise(port());
        TBytes bytes(1 + random() % 3000);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(random());
        // The server may hang up in the middle: that is its right.
        ::send(noise.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    auto client = openedClient("demo");
    client->sendData(bytesOf("still here"));
    EXPECT_EQ(client->readData(10), bytesOf("still here"));
}

namespace {

// The program as a child process with its standard output on a pipe.
class ChildProgram {
public:
    explicit ChildProgram(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        output_.reset(out[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), CLOUDSIM_PROGRAM);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int failed =
            posix_spawn(&pid_, CLOUDSIM_PROGRAM, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (failed)
            throw std::runtime_error("cannot start " CLOUDSIM_PROGRAM);
    }
    ~ChildProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The next output line starting with `prefix`; empty when none came.
    std::string lineStartingWith(const std::string& prefix) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            for (size_t end; (end = text_.find('\n')) != std::string::npos;) {
                const std::string line = text_.substr(0, end);
                text_.erase(0, end + 1);
                if (line.rfind(prefix, 0) == 0)
                    return line;
            }
            char chunk[1024];
            if (!waitReadable(output_.get(), deadline))
                return {};
            const ssize_t n = ::read(output_.get(), chunk, sizeof chunk);
            if (n <= 0)
                return {};
            text_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Sends `signal` and returns the exit status, or -1 when it did not end.
    int stop(int signal) {
        ::kill(pid_, signal);
        int status = 0;
        const bool ended = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
        if (!ended)
            return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = 0;
    Fd output_;
    std::string text_;
};

} // namespace

TEST(CloudSimProgram, PrintsItsPortServesAndStopsOnSigterm) {
    ChildProgram program({"--listen", "127.0.0.1:0", "--tunnel", "key=demo,device=echo"});
    const std::string listening = program.lineStartingWith("listening on 127.0.0.1:");
    ASSERT_FALSE(listening.empty());
    const auto port = static_cast<uint16_t>(std::stoi(listening.substr(listening.rfind(':') + 1)));

    TestClient client(port);
    const TBytes reply = client.authorize("demo");
    ASSERT_GE(reply.size(), 3u);
    EXPECT_EQ(reply[2], authTunnelInfo);
    EXPECT_FALSE(program.lineStartingWith("accepted 127.0.0.1:").empty());

    EXPECT_EQ(program.stop(SIGTERM), 0);
    EXPECT_FALSE(program.lineStartingWith("stopped").empty());
}
