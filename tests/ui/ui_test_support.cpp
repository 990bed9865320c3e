#include "ui_test_support.h"

#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/traffic_monitor.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

bool processUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void TScriptedDialogs::showError(QWidget*, const QString& text) {
    errors.push_back(text.toStdString());
    if (whileOpen)
        whileOpen();
}

bool TScriptedDialogs::askYesCancel(QWidget*, const QString& text) {
    questions.push_back(text.toStdString());
    if (whileOpen)
        whileOpen();
    if (answers.empty())
        return true;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
}

UiTest::UiTest() = default;
UiTest::~UiTest() = default;

void UiTest::SetUp() {
    std::error_code ignored;
    std::filesystem::remove_all(settingsPath().parent_path(), ignored);
    setDialogs(&boxes);
}

void UiTest::TearDown() {
    closeProgram();
    window.reset();
    monitor.reset();
    setDialogs(nullptr);
    removeAllPairs();
    // Releases of panels still queued.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TfrmZelvaneTunnel& UiTest::startProgram() {
    monitor = std::make_unique<TfrmTrafficMonitor>();
    window = std::make_unique<TfrmZelvaneTunnel>(*monitor);
    window->show();
    EXPECT_TRUE(processUntil([this] { return window->settingsLoaded(); }));
    QCoreApplication::processEvents(); // boxes of the load

    return *window;
}

void UiTest::closeProgram() {
    if (window && window->isVisible())
        window->close();
}

TfrmConnectionItemFrame* UiTest::slotOf(TfrmConnection* tunnel, TSlotType type) {
    return tunnel->slotFrame(type);
}

void UiTest::applyKey(TfrmConnection* tunnel, const std::string& key) {
    TfrmConnectionItemFrame* client = slotOf(tunnel, stTCPClient);
    ASSERT_NE(client, nullptr);
    client->edtTunnelKey->setText(QString::fromStdString(key));
    client->btnApplyTunnelKey->click();
    EXPECT_TRUE(processUntil([&] { return !window->controller().learning(tunnel->tunnel()); }));
    // Boxes the answer brought are shown from the event loop.
    QCoreApplication::processEvents();
}

TfrmConnection* UiTest::addTunnelWithKey(const std::string& key) {
    window->btnAddTunnel->click();
    TfrmConnection* tunnel = window->tunnels().back();
    applyKey(tunnel, key);
    return tunnel;
}
