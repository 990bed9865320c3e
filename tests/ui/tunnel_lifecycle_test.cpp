#include "cloud/cloud_address.h"
#include "driver/pair_store.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui_test_support.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

// The user's own program with the user-facing side of a pair open, raw.
class UserPort {
public:
    explicit UserPort(int pair) {
        const std::string path = userFacingPortPath(pair);
        // The pty appears when the slot's worker opens the hidden side.
        EXPECT_TRUE(processUntil([&] { return std::filesystem::exists(path); }));
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd_, 0) << path;
        termios raw{};
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
    }
    ~UserPort() { ::close(fd_); }
    void write(const std::string& bytes) {
        EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    int fd_ = -1;
};

class TunnelLifecycleTest : public UiTest {
protected:
    TfrmConnectionItemFrame* client(TfrmConnection* tunnel) { return slotOf(tunnel, stTCPClient); }
    TfrmConnectionItemFrame* comPort(TfrmConnection* tunnel) { return slotOf(tunnel, stComPort); }
    bool allInConfigurationMode() const {
        for (auto* tunnel : window->tunnels())
            for (auto* slot : tunnel->slotFrames())
                if (slot->workMode() || slot->AconnectionInfo()->cportThread ||
                    slot->AconnectionInfo()->tcpClientThread)
                    return false;
        return !window->inWorkMode() && window->btnApply->isEnabled() &&
               window->btnAddTunnel->isVisible();
    }
    bool authorized(TfrmConnection* tunnel) {
        return client(tunnel)->AconnectionInfo()->zvlConnectionStatus == zvlConnectedAndAuthorized;
    }
};

TEST_F(TunnelLifecycleTest, ApplyingKeysFromTheButton) {
    auto& main = startProgram();
    TfrmConnection* tunnel = addTunnelWithKey(goodKey);
    ASSERT_NE(comPort(tunnel), nullptr);
    ASSERT_EQ(installedPairs().size(), 1u);
    const int pair = installedPairs()[0];
    EXPECT_EQ(tunnel->fComportPairIdHint, pair);
    EXPECT_EQ(comPort(tunnel)->lblSelectedComport->text().toStdString(), userFacingPortPath(pair));
    EXPECT_EQ(comPort(tunnel)->selectedComportName(), hiddenPortName(pair));
    EXPECT_EQ(client(tunnel)->selectedTunnelMode(), "Стенд");
    EXPECT_EQ(settingsText(), Format("[Connections]\nConnection0Tunnel=%s\nConnection0ComPort=%d\n",
                                     goodKey.c_str(), pair));
    EXPECT_TRUE(boxes.errors.empty());

    const std::string saved = settingsText();
    applyKey(tunnel, "wrong-key");
    EXPECT_EQ(boxes.errors, Strings{"Ошибка в ключе туннеля"});
    EXPECT_EQ(comPort(tunnel), nullptr);
    EXPECT_EQ(tunnel->hubInfo->connections().size(), 1u);
    EXPECT_EQ(settingsText(), saved);

    // Without its COM-port slot the tunnel still owns its pair: the file keeps
    // it and the next good key takes the same port.
    main.btnAddTunnel->click();
    EXPECT_NE(settingsText().find(Format("Connection0ComPort=%d", pair)), std::string::npos);
    applyKey(tunnel, goodKey);
    ASSERT_NE(comPort(tunnel), nullptr);
    EXPECT_EQ(comPort(tunnel)->selectedComportName(), hiddenPortName(pair));
    EXPECT_EQ(installedPairs(), std::vector<int>{pair});
}

TEST_F(TunnelLifecycleTest, StartChecksEveryTunnelBeforeStartingAny) {
    auto& main = startProgram();
    addTunnelWithKey(goodKey);
    TfrmConnection* incomplete = addTunnelWithKey(portlessKey);
    ASSERT_TRUE(boxes.errors.empty());

    main.btnApply->click();
    EXPECT_EQ(boxes.errors,
              Strings{"В \"хабе\" должно быть сконфигурировано как минимум 2 ендпоинта."});
    EXPECT_TRUE(allInConfigurationMode());

    // A slot that fails its check shows only its own message.
    boxes.errors.clear();
    client(incomplete)->edtTunnelKey->setText("  ");
    main.btnApply->click();
    EXPECT_EQ(boxes.errors, Strings{"Не указан ключ туннеля"});
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(runningThreadCount(), 0);
}

TEST_F(TunnelLifecycleTest, StartAndStopNumberTheTunnelsAndRunTheirWorkers) {
    auto& main = startProgram();
    TfrmConnection* first = addTunnelWithKey(goodKey);
    // Typed with blanks: the file keeps them, the cloud gets the key without.
    TfrmConnection* second = addTunnelWithKey(" " + goodKey + " ");
    EXPECT_NE(settingsText().find("Connection1Tunnel=\" " + goodKey + " \""), std::string::npos);

    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    EXPECT_TRUE(boxes.errors.empty());
    EXPECT_FALSE(main.btnAddTunnel->isVisible());
    EXPECT_FALSE(main.btnApply->isEnabled());
    EXPECT_EQ(first->lblTunnelName->text(), "Туннель: 1");
    EXPECT_EQ(second->lblTunnelName->text(), "Туннель: 2");
    EXPECT_EQ(second->hubInfo->hubId, 2);
    for (auto* tunnel : {first, second}) {
        EXPECT_FALSE(tunnel->btnDeleteTunnel->isEnabled());
        EXPECT_FALSE(client(tunnel)->edtTunnelKey->isEnabled());
        EXPECT_TRUE(client(tunnel)->lblTrafficInfo->isVisible());
        EXPECT_TRUE(client(tunnel)->AconnectionInfo()->tcpClientThread);
        EXPECT_TRUE(comPort(tunnel)->AconnectionInfo()->cportThread);
    }
    EXPECT_TRUE(processUntil([&] { return authorized(first) && authorized(second); }));
    EXPECT_TRUE(processUntil([&] {
        return comPort(first)->lblPortInfo->text() == "Порт не открыт сторонним приложением";
    }));

    main.btnConfig->click();
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(first->lblTunnelName->text(), "Туннель: 1");
    EXPECT_TRUE(first->btnDeleteTunnel->isEnabled());
    EXPECT_TRUE(client(first)->edtTunnelKey->isEnabled());
    EXPECT_TRUE(processUntil([] { return runningThreadCount() == 0; }));

    // Closing in work mode stops every worker before the program ends and
    // saves nothing.
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    const std::string saved = settingsText();
    closeProgram();
    EXPECT_EQ(runningThreadCount(), 0);
    EXPECT_EQ(settingsText(), saved);
}

TEST_F(TunnelLifecycleTest, AStartErrorPutsEveryTunnelBackSilently) {
    auto& main = startProgram();
    TfrmConnection* top = addTunnelWithKey(goodKey);
    TfrmConnection* bottom = addTunnelWithKey(goodKey);
    // Edited to a tunnel this program cannot serve: it fails when the top
    // tunnel starts, after the bottom one has started.
    client(top)->edtTunnelKey->setText(QString::fromStdString(futureKey));

    main.btnApply->click();
    EXPECT_TRUE(boxes.errors.empty());
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(bottom->hubInfo->hubId, 2);
    EXPECT_EQ(comPort(top), nullptr);
    EXPECT_TRUE(processUntil([] { return runningThreadCount() == 0; }));
}

TEST_F(TunnelLifecycleTest, ConflictDialog) {
    auto& main = startProgram();
    TfrmConnection* holder = addTunnelWithKey(goodKey);
    TfrmConnection* latecomer = addTunnelWithKey(goodKey);
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    const PConnectionInfo holderRecord = client(holder)->AconnectionInfo();
    const PConnectionInfo latecomerRecord = client(latecomer)->AconnectionInfo();

    UserPort holderPort(holder->fComportPairIdHint);
    ASSERT_TRUE(processUntil([&] { return client(holder)->statusIcon() == 3; }));

    // The latecomer's question: more status messages meanwhile open no second box.
    boxes.answers = {true, false};
    boxes.whileOpen = [&] {
        if (boxes.questions.size() != 1 || !boxes.errors.empty())
            return;
        EXPECT_TRUE(latecomerRecord->dialogPresentNow);
        EXPECT_TRUE(latecomerRecord->waitDialog);
        for (int i = 0; i < 3; ++i)
            PostMessage(client(latecomer)->Handle(), WM_CONNECTION_STATUS);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        EXPECT_EQ(boxes.questions.size(), 1u);
    };
    UserPort latecomerPort(latecomer->fComportPairIdHint);

    // Yes: the latecomer takes the channel over by force; the holder is told
    // in an error box, tries again, is refused and asked, and Cancel returns
    // every tunnel to configuration mode.
    ASSERT_TRUE(processUntil([&] { return !main.inWorkMode(); }, std::chrono::seconds(60)));
    EXPECT_TRUE(cloudLogged("taken over by"));
    ASSERT_EQ(boxes.questions.size(), 2u);
    ASSERT_EQ(boxes.errors.size(), 1u);
    const std::string question =
        " уже установлен другой туннель, который не позволяет работать этому туннелю. Повторить "
        "попытку и завершить мешающий туннель?";
    EXPECT_EQ(boxes.questions[0].rfind("Туннель #2: с ip-адреса 127.0.0.1:", 0), 0u);
    EXPECT_TRUE(boxes.questions[0].ends_with(question));
    EXPECT_EQ(boxes.questions[1].rfind("Туннель #1: с ip-адреса 127.0.0.1:", 0), 0u);
    EXPECT_EQ(boxes.errors[0].rfind("Не подключен к серверу: Ошибка, источник данных сообщает: "
                                    "Тунель закрыт: Туннель закрыт из-за того, что с ip адреса "
                                    "127.0.0.1:",
                                    0),
              0u);
    EXPECT_TRUE(allInConfigurationMode());
    for (const auto& record : {holderRecord, latecomerRecord}) {
        EXPECT_FALSE(record->waitDialog);
        EXPECT_FALSE(record->dialogPresentNow);
    }
}

TEST_F(TunnelLifecycleTest, DeletingATunnelRemovesItsPairAndRenumbersTheFile) {
    auto& main = startProgram();
    TfrmConnection* tunnels[] = {addTunnelWithKey(goodKey), addTunnelWithKey(goodKey),
                                 addTunnelWithKey(goodKey)};
    int pairs[3];
    for (int i = 0; i < 3; ++i)
        pairs[i] = tunnels[i]->fComportPairIdHint;
    ASSERT_EQ(installedPairs().size(), 3u);

    tunnels[1]->btnDeleteTunnel->click();
    EXPECT_EQ(installedPairs(), (std::vector<int>{pairs[0], pairs[2]}));
    const std::string expected =
        Format("[Connections]\nConnection0Tunnel=%s\nConnection0ComPort=%d\n"
               "Connection1Tunnel=%s\nConnection1ComPort=%d\n",
               goodKey.c_str(), pairs[0], goodKey.c_str(), pairs[2]);
    ASSERT_TRUE(processUntil([&] { return settingsText() == expected; }));
    EXPECT_EQ(main.tunnels().size(), 2u);

    main.btnApply->click();
    EXPECT_EQ(main.tunnels()[1]->lblTunnelName->text(), "Туннель: 2");
}

TEST_F(TunnelLifecycleTest, LoadingKeepsEveryStoredTunnel) {
    writeSettings("[General]\nLang=ru\n\n[Connections]\n"
                  "Connection0Tunnel=" +
                  goodKey +
                  "\n"
                  "Connection1Tunnel=\n"
                  "Connection2Tunnel=" +
                  goodKey +
                  "\n"
                  "Connection2ComPort=COM5\n");
    auto& main = startProgram();
    ASSERT_EQ(main.tunnels().size(), 3u);
    // The tunnel without a key is restored as it was left and stops the
    // automatic start with its message.
    EXPECT_EQ(boxes.errors, Strings{"Не указан ключ туннеля"});
    EXPECT_FALSE(main.inWorkMode());
    EXPECT_EQ(client(main.tunnels()[1])->edtTunnelKey->text(), "");
    // "COM5" is no pair number, so that tunnel got a new pair like the first.
    ASSERT_NE(comPort(main.tunnels()[2]), nullptr);
    const int first = main.tunnels()[0]->fComportPairIdHint;
    const int third = main.tunnels()[2]->fComportPairIdHint;
    EXPECT_EQ(installedPairs(), (std::vector<int>{first, third}));
    // One save after the load, with every tunnel in it.
    EXPECT_EQ(settingsText(),
              Format("[General]\nLang=ru\n\n[Connections]\nConnection0Tunnel=%s\n"
                     "Connection0ComPort=%d\nConnection1Tunnel=\nConnection2Tunnel=%s\n"
                     "Connection2ComPort=%d\n",
                     goodKey.c_str(), first, goodKey.c_str(), third));

    // Without the tunnel that has no key, the next start finds both pairs,
    // installs nothing and starts work by itself.
    main.tunnels()[1]->btnDeleteTunnel->click();
    ASSERT_TRUE(
        processUntil([&] { return settingsText().find("Connection2") == std::string::npos; }));
    closeProgram();
    boxes.errors.clear();
    auto& restarted = startProgram();
    ASSERT_EQ(restarted.tunnels().size(), 2u);
    EXPECT_TRUE(boxes.errors.empty());
    EXPECT_TRUE(restarted.inWorkMode());
    EXPECT_EQ(restarted.tunnels()[1]->lblTunnelName->text(), "Туннель: 2");
    EXPECT_EQ(comPort(restarted.tunnels()[1])->selectedComportName(), hiddenPortName(third));
    EXPECT_EQ(installedPairs(), (std::vector<int>{first, third}));
}

// A cloud that takes the connection and says nothing: the learning run waits.
class SilentCloud {
public:
    SilentCloud() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        setCloudServerAddress("127.0.0.1", ntohs(address.sin_port));
    }
    ~SilentCloud() {
        hangUp();
        setCloudServerAddress("127.0.0.1", testCloudPort());
    }
    // Waits for the client, then closes it and the listener: the client's
    // next attempt fails.
    void hangUp() {
        if (listener_ < 0)
            return;
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 20000) == 1)
            ::close(::accept(listener_, nullptr, nullptr));
        ::close(listener_);
        listener_ = -1;
    }

private:
    int listener_ = -1;
};

TEST_F(TunnelLifecycleTest, ApplyingAKeyKeepsTheInterfaceAlive) {
    auto& main = startProgram();
    main.btnAddTunnel->click();
    TfrmConnectionItemFrame* slot = client(main.tunnels()[0]);
    slot->edtTunnelKey->setText(QString::fromStdString(goodKey));
    const std::string saved = settingsText();

    SilentCloud cloud;
    bool checked = false;
    QTimer::singleShot(0, &main, [&] {
        // The event loop runs while the cloud is asked; the window takes no
        // commands, shows it is busy and puts off being closed.
        EXPECT_FALSE(main.gbConnections->isEnabled());
        EXPECT_FALSE(main.Panel1->isEnabled());
        EXPECT_NE(QApplication::overrideCursor(), nullptr);
        QElapsedTimer second;
        second.start();
        slot->btnApplyTunnelKeyClick(slot->btnApplyTunnelKey);
        EXPECT_LT(second.elapsed(), 1000) << "a second application of the same slot ran";
        main.close();
        EXPECT_TRUE(main.isVisible());
        cloud.hangUp();
        checked = true;
    });
    slot->btnApplyTunnelKey->click();
    EXPECT_TRUE(checked);
    EXPECT_EQ(boxes.errors.size(), 1u); // the learning failed; nothing is saved
    EXPECT_EQ(settingsText(), saved);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(processUntil([&] { return !main.isVisible(); }));
}

TEST_F(TunnelLifecycleTest, ALoadErrorIsShownAndTheOtherTunnelsStillLoad) {
    writeSettings("[Connections]\nConnection0Tunnel=" + futureKey +
                  "\nConnection1Tunnel=" + goodKey + "\n");
    auto& main = startProgram();
    ASSERT_EQ(main.tunnels().size(), 2u);
    EXPECT_EQ(boxes.errors,
              Strings{"Ошибка конфигурирования туннеля. Возможно нужно обновить Zelvane Tunnel"});
    EXPECT_FALSE(main.inWorkMode());
    EXPECT_EQ(client(main.tunnels()[0])->edtTunnelKey->text().toStdString(), futureKey);
    EXPECT_NE(comPort(main.tunnels()[1]), nullptr);
    EXPECT_NE(settingsText().find("Connection0Tunnel=" + futureKey), std::string::npos);
}

TEST_F(TunnelLifecycleTest, TrafficCountsAreShownInFull) {
    startProgram();
    TfrmConnection* tunnel = addTunnelWithKey(goodKey);
    TfrmConnectionItemFrame* slot = comPort(tunnel);
    EXPECT_EQ(slot->lblTrafficInfo->text(), "S/R: 0/0 b");
    slot->AconnectionInfo()->BytesWritten = 4294967295u;
    slot->AconnectionInfo()->BytesRead = 2147483648u;
    PostMessage(slot->Handle(), WM_TRAFFIC_RX);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    EXPECT_EQ(slot->lblTrafficInfo->text(), "S/R: 4294967295/2147483648 b");
}

// Takes the picture of the main window in work mode for the guide (with
// ZELVANE_SCREENSHOT naming the file; the build target "screenshot" does so).
TEST_F(TunnelLifecycleTest, Screenshot) {
    auto& main = startProgram();
    TfrmConnection* tunnel = addTunnelWithKey(goodKey);
    addTunnelWithKey(goodKey);
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    UserPort port(tunnel->fComportPairIdHint);
    ASSERT_TRUE(processUntil([&] { return client(tunnel)->statusIcon() == 3; }));
    port.write("AT+PING\r\n");
    // The echo device answers: the bytes come back through the COM-port slot.
    const PConnectionInfo record = comPort(tunnel)->AconnectionInfo();
    ASSERT_TRUE(processUntil([&] {
        return record->BytesWritten >= 9 && comPort(tunnel)->statusIcon() == 3 &&
               comPort(tunnel)->lblTrafficInfo->text().toStdString() ==
                   Format("S/R: %u/%u b", record->BytesWritten.load(), record->BytesRead.load());
    }));
    const QPixmap picture = main.grab();
    ASSERT_FALSE(picture.isNull());
    const char* target = std::getenv("ZELVANE_SCREENSHOT");
    if (target) {
        EXPECT_TRUE(picture.save(target, "PNG"));
    }
}

} // namespace
