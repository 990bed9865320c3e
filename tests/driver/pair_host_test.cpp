#include "driver/pair_host.h"
#include "driver/pair_store.h"
#include "driver_fixtures.h"
#include "platform/process.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

constexpr uint32_t allReports = 0x03000303;

// Reports as the hidden side's stream carries them, escape 0x61.
std::string modemStatus(int value) {
    return bytes({0x61, 0x03, value});
}
std::string baudRate(uint32_t rate) {
    return bytes({0x61, 0x10, int(rate & 0xFF), int((rate >> 8) & 0xFF), int((rate >> 16) & 0xFF),
                  int(rate >> 24)});
}
std::string lineControl(int byteSize, int parity, int stopBits) {
    return bytes({0x61, 0x11, byteSize, parity, stopBits});
}
std::string state(bool userSideOpen, uint32_t rate, int stopBits) {
    return bytes({0x61, 0x02, 0x60}) + modemStatus(userSideOpen ? 0x30 : 0x00) + baudRate(rate) +
           lineControl(8, 0, stopBits);
}

std::string escaped(const std::string& data) {
    std::string out;
    for (char c : data) {
        out += c;
        if (c == 0x61)
            out += '\0';
    }
    return out;
}

std::string linkTarget(const std::string& link) {
    char target[256];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

class PairHostTest : public ::testing::Test {
protected:
    TTempUser user;
    int pair = addPairToStore();
    std::string hidden = hiddenPortName(pair);
    std::string link = userFacingPortPath(pair);

    // Opens the hidden side with every report on; the answer is the state.
    void openWithReports(TStreamPort& port, const std::string& expectedState) {
        port.Open();
        std::string answer;
        ASSERT_TRUE(port.insert(0x61, allReports, 17, answer));
        EXPECT_EQ(hex(expectedState), hex(answer));
    }
};

TEST_F(PairHostTest, AnswersTheCapabilityQueryAndReportsTheStateOnInsertion) {
    // A link left over from a program that ended abruptly is replaced.
    ensurePrivateFolder(runtimeFolder());
    ASSERT_EQ(0, symlink("/nonexistent", link.c_str()));

    TStreamPort port(hidden);
    port.Open();
    std::string answer;
    ASSERT_TRUE(port.insert(0, 0xFFFFFFFF, 8, answer));
    EXPECT_EQ(hex(bytes({'c', '0', 'c', 0, 0x03, 0x03, 0x00, 0x03})), hex(answer));

    ASSERT_TRUE(port.insert(0x61, 0x00000303, 17, answer));
    EXPECT_EQ("", answer) << "no state without the immediate-state option";
    EXPECT_FALSE(port.insert(0x61, allReports, 16, answer)) << "the state does not fit";
    ASSERT_TRUE(port.insert(0x61, 0x01000002, 17, answer));
    EXPECT_EQ(hex(modemStatus(0x00)), hex(answer)) << "only the reports asked for";
    ASSERT_TRUE(port.insert(0x61, allReports, 17, answer));
    EXPECT_EQ(hex(state(false, 9600, 0)), hex(answer));

    std::vector<uint8_t> unsigned_ = {0x61, 'x', '0', 'c', 0, 3, 3, 0, 3};
    std::vector<uint8_t> output(17);
    EXPECT_FALSE(port.DeviceIoControl(0x1B007C, unsigned_, output));
    EXPECT_FALSE(port.DeviceIoControl(0x1B0004, {0x61}, output));

    EXPECT_EQ(0u, linkTarget(link).find("/dev/pts/")) << linkTarget(link);
    struct stat folder {};
    ASSERT_EQ(0, stat(runtimeFolder().c_str(), &folder));
    EXPECT_EQ(0700u, folder.st_mode & 0777);
}

TEST_F(PairHostTest, UserSideOpenSettingsAndCloseReachTheStream) {
    TStreamPort port(hidden);
    openWithReports(port, state(false, 9600, 0));

    auto client = std::make_unique<TClientPort>(link);
    EXPECT_TRUE(port.receives(modemStatus(0x30)));
    client->setSpeedAndStopBits(B19200, true);
    EXPECT_TRUE(port.receives(baudRate(19200) + lineControl(8, 0, 2)));

    // A program that builds its modes from nothing clears the change notices;
    // its settings and every later change are reported all the same.
    termios fresh{};
    fresh.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetspeed(&fresh, B38400);
    ASSERT_EQ(0, tcsetattr(client->fd(), TCSANOW, &fresh));
    EXPECT_TRUE(port.receives(baudRate(38400) + lineControl(8, 0, 0)));
    client->setSpeedAndStopBits(B57600, false);
    EXPECT_TRUE(port.receives(baudRate(57600)));

    client->close();
    EXPECT_TRUE(port.receives(modemStatus(0x00)));

    // The next open of the hidden side learns what the user's program left.
    port.Close();
    openWithReports(port, state(false, 57600, 0));
    EXPECT_EQ("", hex(port.received()));
}

TEST_F(PairHostTest, BytesFlowBothWaysIntact) {
    TStreamPort port(hidden);
    openWithReports(port, state(false, 9600, 0));
    TClientPort client(link);
    ASSERT_TRUE(port.receives(modemStatus(0x30)));

    client.write(bytes({0x41, 0x61, 0x42, 0x00, 0xFF}));
    EXPECT_TRUE(port.receives(bytes({0x41, 0x61, 0x00, 0x42, 0x00, 0xFF})));
    const std::string toUser = bytes({0x78, 0x61, 0x79});
    port.Write(toUser.data(), static_cast<int>(toUser.size()));
    EXPECT_TRUE(client.reads(toUser));

    // Far more than any buffer on the way holds, every byte value included.
    std::string bulk;
    for (int i = 0; i < 256 * 1024; ++i)
        bulk += static_cast<char>((i * 7 + i / 256) & 0xFF);
    client.write(bulk);
    EXPECT_TRUE(port.receives(escaped(bulk)));
    std::thread writer([&] { port.Write(bulk.data(), static_cast<int>(bulk.size())); });
    EXPECT_TRUE(client.reads(bulk));
    writer.join();
}

TEST_F(PairHostTest, UserBytesAreDroppedWhileNoHiddenSideIsOpen) {
    {
        TStreamPort first(hidden);
        first.Open(); // the pty and its link live on after this
    }
    TClientPort client(link);
    // Only a reader on the other side lets this much through the pty.
    client.write(std::string(256 * 1024, 'x'));

    TStreamPort port(hidden);
    openWithReports(port, state(true, 9600, 0));
    client.write("END");
    EXPECT_TRUE(port.receives("END"));
}

TEST_F(PairHostTest, HiddenSideBytesAreDroppedWhileTheUserSideIsClosed) {
    TStreamPort port(hidden);
    openWithReports(port, state(false, 9600, 0));
    port.Write("stale", 5);

    auto client = std::make_unique<TClientPort>(link);
    ASSERT_TRUE(port.receives(modemStatus(0x30)));
    port.Write("fresh", 5);
    EXPECT_TRUE(client->reads("fresh"));

    // What the user's program leaves unread is not kept for the next one.
    port.Write("unread", 6);
    client->close();
    client = std::make_unique<TClientPort>(link);
    ASSERT_TRUE(port.receives(modemStatus(0x00) + modemStatus(0x30)));
    port.Write("new", 3);
    EXPECT_TRUE(client->reads("new"));
}

TEST_F(PairHostTest, OpenFailsForAMissingPairAndForASecondOpen) {
    TStreamPort port(hidden);
    port.Open();
    const struct {
        std::string name;
        std::string message;
    } cases[] = {
        {hiddenPortName(pair + 1), hiddenPortName(pair + 1) + ": virtual port pair " +
                                       std::to_string(pair + 1) + " is not installed"},
        {hidden, hidden + ": the port is already open"},
    };
    for (const auto& c : cases) {
        TStreamPort other(c.name);
        try {
            other.Open();
            ADD_FAILURE() << c.name << " opened";
        } catch (const EComPort& error) {
            EXPECT_EQ(c.message, error.what());
        }
    }
    // Once closed, the hidden side can be opened again at once.
    port.Close();
    TStreamPort again(hidden);
    EXPECT_NO_THROW(again.Open());
}

TEST_F(PairHostTest, OneProgramAtATimeHostsAPair) {
    int toChild[2], fromChild[2];
    ASSERT_EQ(0, pipe2(toChild, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(fromChild, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::string program = executableFolder() + "/driver_test_hold_pair";
    char* argv[] = {program.data(), hidden.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(0, posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ));
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);

    char answer[128] = {};
    pollfd said{fromChild[0], POLLIN, 0};
    ASSERT_EQ(1, poll(&said, 1, 20000));
    ASSERT_GT(::read(fromChild[0], answer, sizeof answer - 1), 0);
    EXPECT_EQ(std::string("opened\n"), answer);

    TStreamPort port(hidden);
    try {
        port.Open();
        ADD_FAILURE() << "two programs host one pair";
    } catch (const EComPort& error) {
        EXPECT_EQ(hidden + ": pair " + std::to_string(pair) + " is in use by another program",
                  error.what());
    }

    ::close(toChild[1]); // the other program ends
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
    ::close(fromChild[0]);
    EXPECT_NE(0, ::access((link + ".lock").c_str(), F_OK)) << "the lock file stays behind";
    EXPECT_NO_THROW(port.Open());
    EXPECT_EQ(0u, linkTarget(link).find("/dev/pts/"));
}

TEST_F(PairHostTest, RemovingThePairEndsBothSides) {
    TStreamPort port(hidden);
    openWithReports(port, state(false, 9600, 0));
    TClientPort client(link);
    ASSERT_TRUE(port.receives(modemStatus(0x30)));

    ASSERT_TRUE(removePairFromStore(pair));
    EXPECT_TRUE(waitUntil([&] { return !port.Connected(); }));
    EXPECT_TRUE(waitUntil([&] { return linkTarget(link).empty(); }));
    EXPECT_TRUE(waitUntil([&] { return ::access((link + ".lock").c_str(), F_OK) != 0; }));
    EXPECT_THROW(port.Open(), EComPort);

    // The same number added again at once opens as a fresh pair.
    ASSERT_EQ(addPairToStore(), pair);
    EXPECT_NO_THROW(port.Open());
}

TEST_F(PairHostTest, BytesLeftUnreadByTheReceiveHookCanBeCleared) {
    TStreamPort port(hidden, /*readOnEvent=*/false);
    port.Open();
    TClientPort client(link);
    client.write("abc");
    ASSERT_TRUE(waitUntil([&] { return port.InputCount() == 3; }));
    port.ClearBuffer(true, true);
    EXPECT_EQ(0, port.InputCount());
}

} // namespace

// A pseudo-terminal keeps 8 data bits and no parity whatever it is asked.
// The C library reports a request none of whose changes took as EINVAL; a
// request that also changes something else succeeds without the framing.
TEST_F(PairHostTest, ProgramsGetEightDataBitsAndNoParity) {
    TStreamPort port(hidden);
    openWithReports(port, state(false, 9600, 0));
    TClientPort client(link);
    EXPECT_TRUE(port.receives(modemStatus(0x30)));
    const struct {
        const char* name;
        tcflag_t framing;
        speed_t speed;
        bool accepted;
        std::string reported;
    } cases[] = {
        {"8E1 at the same rate", PARENB, B9600, false, ""},
        {"7N1 at the same rate", CS7, B9600, false, ""},
        {"8E1 at a new rate", PARENB, B19200, true, baudRate(19200)},
        {"7O2 at a new rate", CS7 | PARENB | PARODD | CSTOPB, B38400, true,
         baudRate(38400) + lineControl(8, 0, 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        termios settings{};
        ASSERT_EQ(0, tcgetattr(client.fd(), &settings));
        settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
        settings.c_cflag |= (c.framing & CSIZE ? 0 : CS8) | c.framing;
        cfsetspeed(&settings, c.speed);
        errno = 0;
        EXPECT_EQ(c.accepted ? 0 : -1, tcsetattr(client.fd(), TCSANOW, &settings));
        EXPECT_EQ(c.accepted ? 0 : EINVAL, errno);
        termios now{};
        ASSERT_EQ(0, tcgetattr(client.fd(), &now));
        EXPECT_EQ(CS8, now.c_cflag & CSIZE);
        EXPECT_EQ(0u, now.c_cflag & PARENB);
        if (c.accepted) {
            EXPECT_TRUE(port.receives(c.reported));
        }
    }
    EXPECT_EQ("", hex(port.received()));
}
