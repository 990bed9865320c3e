// The window as a view of the tunnel controller: what the panels show and
// which boxes appear while the user goes through a tunnel's life. The
// lifecycle itself is tested on the controller.
#include "cloud/cloud_address.h"
#include "driver/pair_store.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/user_port.h"
#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/traffic_monitor.h"
#include "ui_test_support.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>

#include <cstdlib>

namespace {

using Strings = std::vector<std::string>;

class TunnelPanelTest : public UiTest {
protected:
    TfrmConnectionItemFrame* client(TfrmConnection* tunnel) { return slotOf(tunnel, stTCPClient); }
    TfrmConnectionItemFrame* comPort(TfrmConnection* tunnel) { return slotOf(tunnel, stComPort); }
    int pairOf(TfrmConnection* tunnel) { return window->controller().pairNumber(tunnel->tunnel()); }
    bool allInConfigurationMode() const {
        for (auto* tunnel : window->tunnels()) {
            if (!tunnel->btnDeleteTunnel->isEnabled())
                return false;
            for (auto* slot : tunnel->slotFrames())
                if (slot->workMode() || slot->lblTrafficInfo->isVisible())
                    return false;
        }
        return !window->inWorkMode() && window->btnApply->isEnabled() &&
               !window->btnConfig->isEnabled() && window->btnAddTunnel->isVisible();
    }
};

TEST_F(TunnelPanelTest, ApplyingKeysFromTheButton) {
    startProgram();
    TfrmConnection* tunnel = addTunnelWithKey(goodKey);
    ASSERT_NE(comPort(tunnel), nullptr);
    ASSERT_EQ(installedPairs().size(), 1u);
    const int pair = installedPairs()[0];
    EXPECT_EQ(comPort(tunnel)->lblSelectedComport->text().toStdString(), userFacingPortPath(pair));
    EXPECT_EQ(comPort(tunnel)->lblSlotType->text(), "Ком-порт");
    EXPECT_EQ(client(tunnel)->lblSlotType->text(), "Туннель");
    EXPECT_TRUE(boxes.errors.empty());

    const std::string saved = settingsText();
    applyKey(tunnel, "wrong-key");
    // The box names the server asked.
    EXPECT_EQ(boxes.errors, Strings{"Ошибка в ключе туннеля\nСервер: 127.0.0.1:" +
                                    std::to_string(testCloudPort())});

    EXPECT_EQ(comPort(tunnel), nullptr);
    EXPECT_EQ(tunnel->slotFrames().size(), 1u);
    EXPECT_EQ(settingsText(), saved);

    // A key another tunnel has typed is refused, naming that tunnel.
    boxes.errors.clear();
    TfrmConnection* second = addTunnelWithKey(" wrong-key");
    EXPECT_EQ(boxes.errors, Strings{"Этот ключ уже указан в туннеле 1. Один ключ нельзя применить "
                                    "к двум туннелям: они мешали бы друг другу."});
    EXPECT_FALSE(client(second)->prgLearning->isVisible());
}

TEST_F(TunnelPanelTest, StartChecksEveryTunnelBeforeStartingAny) {
    auto& main = startProgram();
    addTunnelWithKey(goodKey);
    TfrmConnection* incomplete = addTunnelWithKey(portlessKey);
    ASSERT_TRUE(boxes.errors.empty());

    main.btnApply->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.errors,
              Strings{"В \"хабе\" должно быть сконфигурировано как минимум 2 ендпоинта."});
    EXPECT_TRUE(allInConfigurationMode());

    // The key as typed is what the check looks at.
    boxes.errors.clear();
    client(incomplete)->edtTunnelKey->setText("  ");
    main.btnApply->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.errors, Strings{"Не указан ключ туннеля"});
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(runningThreadCount(), 0);
}

TEST_F(TunnelPanelTest, StartAndStopShowTheNumbersStatusesAndModes) {
    auto& main = startProgram();
    TfrmConnection* first = addTunnelWithKey(goodKey);
    // Edited after its application to the first one's key: learnt at the
    // start, and the two then meet on one channel.
    TfrmConnection* second = addTunnelWithKey(goodKey2);
    client(second)->edtTunnelKey->setText(QString::fromStdString(goodKey));
    EXPECT_EQ(first->lblTunnelName->text(), "Туннель:");

    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    ASSERT_TRUE(processUntil([&] { return main.controller().tunnelWorking(second->tunnel()); }));
    EXPECT_TRUE(boxes.errors.empty());
    EXPECT_FALSE(main.btnAddTunnel->isVisible());
    EXPECT_FALSE(main.btnApply->isEnabled());
    EXPECT_TRUE(main.btnConfig->isEnabled());
    EXPECT_EQ(first->lblTunnelName->text(), "Туннель: 1");
    EXPECT_EQ(second->lblTunnelName->text(), "Туннель: 2");
    for (auto* tunnel : {first, second}) {
        EXPECT_FALSE(tunnel->btnDeleteTunnel->isEnabled());
        EXPECT_FALSE(client(tunnel)->edtTunnelKey->isEnabled());
        EXPECT_TRUE(client(tunnel)->lblTrafficInfo->isVisible());
        EXPECT_TRUE(comPort(tunnel)->workMode());
    }
    EXPECT_TRUE(processUntil([&] {
        return comPort(first)->lblPortInfo->text() == "Порт не открыт сторонним приложением" &&
               comPort(first)->statusIcon() == 2;
    }));
    EXPECT_TRUE(processUntil(
        [&] { return client(second)->lblTunnelInfo->text().startsWith("Тунель закрыт: "); }));

    main.btnConfig->click();
    EXPECT_TRUE(allInConfigurationMode());
    EXPECT_EQ(first->lblTunnelName->text(), "Туннель: 1");
    EXPECT_TRUE(client(first)->edtTunnelKey->isEnabled());
    EXPECT_TRUE(processUntil([] { return runningThreadCount() == 0; }));

    // Closing in work mode stops every worker before the program ends.
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    closeProgram();
    EXPECT_EQ(runningThreadCount(), 0);
}

TEST_F(TunnelPanelTest, ConflictDialog) {
    auto& main = startProgram();
    TfrmConnection* holder = addTunnelWithKey(goodKey);
    TfrmConnection* latecomer = addTunnelWithKey(goodKey2);
    client(latecomer)->edtTunnelKey->setText(QString::fromStdString(goodKey));
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    ASSERT_TRUE(processUntil([&] { return main.controller().tunnelWorking(holder->tunnel()); }));

    UserPort holderPort(userPortOnceThere(pairOf(holder)));
    ASSERT_TRUE(processUntil([&] { return client(holder)->statusIcon() == 3; }));

    // Yes for the latecomer, which takes the channel over; the holder is told
    // in an error box, is asked in turn, and Cancel stops work.
    boxes.answers = {true, false};
    UserPort latecomerPort(userPortOnceThere(pairOf(latecomer)));
    ASSERT_TRUE(processUntil([&] { return !main.inWorkMode(); }, std::chrono::seconds(60)));
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
    // Space on the focused control now starts work again; it deletes nothing.
    EXPECT_EQ(main.focusWidget(), main.btnApply);
}

TEST_F(TunnelPanelTest, DeletingATunnelRemovesItsPanel) {
    auto& main = startProgram();
    TfrmConnection* tunnels[] = {addTunnelWithKey(goodKey), addTunnelWithKey(goodKey2),
                                 addTunnelWithKey(goodKey3)};
    tunnels[1]->btnDeleteTunnel->click();
    EXPECT_EQ(main.tunnels(), (std::vector<TfrmConnection*>{tunnels[0], tunnels[2]}));
    EXPECT_EQ(installedPairs().size(), 2u);

    main.btnApply->click();
    EXPECT_EQ(main.tunnels()[1]->lblTunnelName->text(), "Туннель: 2");
}

TEST_F(TunnelPanelTest, LoadingShowsEveryStoredTunnelInFileOrder) {
    writeSettings("[Connections]\nConnection0Tunnel=" + goodKey +
                  "\nConnection1Tunnel=\nConnection2Tunnel=" + portlessKey + "\n");
    auto& main = startProgram();
    ASSERT_EQ(main.tunnels().size(), 3u);
    // The tunnel without a key is named and left out; the portless one stops
    // the start.
    EXPECT_EQ(boxes.errors,
              (Strings{"Туннель 2: не указан ключ туннеля",
                       "В \"хабе\" должно быть сконфигурировано как минимум 2 ендпоинта."}));
    EXPECT_FALSE(main.inWorkMode());
    EXPECT_EQ(client(main.tunnels()[0])->edtTunnelKey->text().toStdString(), goodKey);
    EXPECT_EQ(client(main.tunnels()[1])->edtTunnelKey->text(), "");
    EXPECT_EQ(client(main.tunnels()[2])->edtTunnelKey->text().toStdString(), portlessKey);
    EXPECT_NE(comPort(main.tunnels()[0]), nullptr);
    EXPECT_EQ(comPort(main.tunnels()[2]), nullptr);
}

TEST_F(TunnelPanelTest, AKeyThatIsNotUtf8IsNamedAndKeptByteForByte) {
    const std::string eightBitKey = "K\xE9Y\xFF";
    writeSettings("[Connections]\nConnection0Tunnel=" + eightBitKey + "\n");
    auto& main = startProgram();
    ASSERT_EQ(main.tunnels().size(), 1u);
    EXPECT_EQ(boxes.errors, Strings{"Туннель 1: ключ туннеля не читается (недопустимые символы)"});
    main.btnAddTunnel->click();
    EXPECT_NE(settingsText().find("Connection0Tunnel=" + eightBitKey + "\nConnection1Tunnel=\n"),
              std::string::npos);
}

TEST_F(TunnelPanelTest, ALoadErrorIsShown) {
    writeSettings("[Connections]\nConnection0Tunnel=" + futureKey +
                  "\nConnection1Tunnel=" + goodKey + "\n");
    auto& main = startProgram();
    ASSERT_EQ(main.tunnels().size(), 2u);
    EXPECT_EQ(boxes.errors,
              Strings{"Ошибка конфигурирования туннеля. Возможно нужно обновить Zelvane Tunnel"});
    EXPECT_FALSE(main.inWorkMode());
}

TEST_F(TunnelPanelTest, AKeyBeingLearntShowsProgressAndCanBeCancelled) {
    auto& main = startProgram();
    TfrmConnection* other = addTunnelWithKey(goodKey);
    main.btnAddTunnel->click();
    TfrmConnectionItemFrame* slot = client(main.tunnels()[1]);
    slot->edtTunnelKey->setText(QString::fromStdString(goodKey2));
    std::string silentServer;
    {
        SilentCloud cloud;
        silentServer = "127.0.0.1:" + std::to_string(cloudServerAddress().port);
        slot->btnApplyTunnelKey->click();
        // While the cloud is asked the tunnel shows it and offers "Отмена";
        // the rest of the window stays usable.
        QCoreApplication::processEvents();
        EXPECT_TRUE(slot->prgLearning->isVisible());
        EXPECT_TRUE(slot->btnCancelKey->isVisible());
        EXPECT_FALSE(slot->btnApplyTunnelKey->isVisible());
        EXPECT_EQ(slot->lblTunnelInfo->text().toStdString(),
                  "Проверка ключа на сервере " + silentServer + "...");
        EXPECT_TRUE(main.Panel1->isEnabled() && main.btnAddTunnel->isEnabled());
        EXPECT_TRUE(other->btnDeleteTunnel->isEnabled());
        EXPECT_TRUE(client(other)->edtTunnelKey->isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);

        slot->btnCancelKey->click();
        EXPECT_FALSE(slot->prgLearning->isVisible());
        EXPECT_TRUE(slot->btnApplyTunnelKey->isVisible());
        EXPECT_EQ(slot->lblTunnelInfo->text(), "Информация о подключении:");

        // Applied again and left to fail: the box names the server.
        slot->btnApplyTunnelKey->click();
        cloud.hangUp();
        EXPECT_TRUE(processUntil([&] { return boxes.errors.size() == 1; }));
    }
    EXPECT_TRUE(boxes.errors[0].ends_with("\nСервер: " + silentServer)) << boxes.errors[0];
    EXPECT_FALSE(slot->prgLearning->isVisible());
    EXPECT_EQ(comPort(main.tunnels()[1]), nullptr);
}

TEST_F(TunnelPanelTest, TrafficCountsAreShownInFull) {
    startProgram();
    TfrmConnection* tunnel = addTunnelWithKey(goodKey);
    TfrmConnectionItemFrame* slot = comPort(tunnel);
    EXPECT_EQ(slot->lblTrafficInfo->text(), "S/R: 0/0 b");
    slot->AconnectionInfo()->BytesWritten = 4294967295u;
    slot->AconnectionInfo()->BytesRead = 2147483648u;
    PostMessage(slot->AconnectionInfo()->FrameHandle, WM_TRAFFIC_RX);
    EXPECT_TRUE(processUntil(
        [&] { return slot->lblTrafficInfo->text() == "S/R: 4294967295/2147483648 b"; }));
}

TEST_F(TunnelPanelTest, ManyTunnelsScrollAndAddAsQuicklyAsTheFirst) {
    auto& main = startProgram();
    QElapsedTimer clock;
    std::vector<qint64> addNs;
    for (int i = 0; i < 200; ++i) {
        clock.start();
        main.btnAddTunnel->click();
        QCoreApplication::processEvents();
        addNs.push_back(clock.nsecsElapsed());
    }
    ASSERT_EQ(main.tunnels().size(), 200u);
    // The window stays on the screen; the list scrolls.
    const int screenHeight = main.screen()->availableGeometry().height();
    EXPECT_LE(main.height(), screenHeight);
    EXPECT_GT(main.scrollConnections->verticalScrollBar()->maximum(), 0);
    std::printf("adding tunnel 1: %lld us, tunnel 200: %lld us\n",
                static_cast<long long>(addNs.front() / 1000),
                static_cast<long long>(addNs.back() / 1000));
}

// Takes the pictures of the main window in work mode and of the traffic
// monitor for the guide (with ZELVANE_SCREENSHOT and ZELVANE_MONITOR_SCREENSHOT
// naming the files; the build target "screenshot" does so).
TEST_F(TunnelPanelTest, Screenshot) {
    auto& main = startProgram();
    TfrmConnection* tunnel = addTunnelWithKey(goodKey);
    for (const std::string& key : {goodKey2, goodKey3, goodKey4})
        addTunnelWithKey(key);
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    UserPort port(userPortOnceThere(pairOf(tunnel)));
    ASSERT_TRUE(processUntil([&] { return client(tunnel)->statusIcon() == 3; }));
    main.FormKeyDown(Qt::Key_O, Qt::ControlModifier); // the monitor logs the traffic
    ASSERT_TRUE(port.write(Bytes{'A', 'T', '+', 'P', 'I', 'N', 'G', '\r', '\n'}));
    // The echo device answers: the bytes come back through the COM-port slot.
    const PConnectionInfo record = comPort(tunnel)->AconnectionInfo();
    ASSERT_TRUE(processUntil([&] {
        return record->BytesWritten >= 9 && comPort(tunnel)->statusIcon() == 3 &&
               comPort(tunnel)->lblTrafficInfo->text().toStdString() ==
                   Format("S/R: %u/%u b", record->BytesWritten.load(), record->BytesRead.load());
    }));
    ASSERT_TRUE(processUntil([&] { return monitor->Memo1->blockCount() >= 2; }));
    main.scrollConnections->verticalScrollBar()->setValue(0);
    QCoreApplication::processEvents();
    for (const auto& [shown, variable] :
         {std::pair<QWidget*, const char*>{&main, "ZELVANE_SCREENSHOT"},
          {monitor.get(), "ZELVANE_MONITOR_SCREENSHOT"}}) {
        const QPixmap picture = shown->grab();
        ASSERT_FALSE(picture.isNull());
        if (const char* target = std::getenv(variable)) {
            EXPECT_TRUE(picture.save(target, "PNG")) << target;
        }
    }
    main.FormKeyDown(Qt::Key_O, Qt::ControlModifier);
}

} // namespace
