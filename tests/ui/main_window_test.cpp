#include "log/traffic_log.h"
#include "platform/thread.h"
#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/traffic_monitor.h"
#include "ui_test_support.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace {

class MainWindowTest : public UiTest {
protected:
    void TearDown() override {
        UiTest::TearDown();
        LoggingEnabled = false;
    }
    void press(QWidget* target, Qt::KeyboardModifiers modifiers) {
        QKeyEvent event(QEvent::KeyPress, Qt::Key_O, modifiers, "o");
        QCoreApplication::sendEvent(target, &event);
    }
};

TEST_F(MainWindowTest, FirstStartWithoutSettingsIsInConfigurationMode) {
    auto& main = startProgram();
    EXPECT_TRUE(std::filesystem::is_directory(settingsPath().parent_path()));
    EXPECT_FALSE(std::filesystem::exists(settingsPath()));
    EXPECT_TRUE(main.tunnels().empty());
    EXPECT_TRUE(main.btnAddTunnel->isVisible());
    EXPECT_FALSE(main.btnConfig->isEnabled());
    EXPECT_TRUE(main.btnApply->isEnabled());
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(MainWindowTest, AddedTunnelsAreSavedAtOnce) {
    auto& main = startProgram();
    main.btnAddTunnel->click();
    main.btnAddTunnel->click();
    EXPECT_EQ(settingsText(), "[Connections]\nConnection0Tunnel=\nConnection1Tunnel=\n");
    EXPECT_EQ(main.tunnels()[0]->lblTunnelName->text(), "Туннель:");
    EXPECT_EQ(main.controller().number(main.tunnels()[0]->tunnel()), 0);
}

TEST_F(MainWindowTest, CtrlOTogglesTheMonitorAndLogging) {
    auto& main = startProgram();
    main.btnAddTunnel->click();
    QLineEdit* key = UiTest::slotOf(main.tunnels()[0], stTCPClient)->edtTunnelKey;

    press(&main, Qt::ControlModifier);
    EXPECT_TRUE(LoggingEnabled);
    EXPECT_TRUE(monitor->isVisible());
    // Other modifiers may be held too, and the key may come from a control.
    press(key, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(LoggingEnabled);
    EXPECT_FALSE(monitor->isVisible());
    press(&main, Qt::ShiftModifier);
    EXPECT_FALSE(LoggingEnabled);

    press(key, Qt::ControlModifier);
    EXPECT_TRUE(LoggingEnabled);
    monitor->close();
    EXPECT_FALSE(LoggingEnabled);
    press(&main, Qt::ControlModifier);
    EXPECT_TRUE(LoggingEnabled);
    EXPECT_TRUE(monitor->isVisible());
    // From the monitor as well.
    press(monitor->Memo1, Qt::ControlModifier);
    EXPECT_FALSE(LoggingEnabled);
    EXPECT_FALSE(monitor->isVisible());
}

TEST_F(MainWindowTest, TheTrayIconSumsUpTheTunnelsAndHasAMenu) {
    auto& main = startProgram();
    EXPECT_EQ(main.TrayIcon1->toolTip(), "Zelvane Tunnel\nТуннелей нет");
    main.btnAddTunnel->click();
    main.btnAddTunnel->click();
    EXPECT_EQ(main.TrayIcon1->toolTip(), "Zelvane Tunnel\nКонфигурирование, туннелей: 2");
    ASSERT_EQ(main.TrayIcon1->contextMenu(), main.TrayMenu);
    const QList<QAction*> actions = main.TrayMenu->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Развернуть");
    EXPECT_EQ(actions[1]->text(), "Выход");
    // "Выход" ends the program as closing the window does.
    bool closed = false;
    QObject::connect(&main, &TfrmZelvaneTunnel::closed, [&] { closed = true; });
    actions[1]->trigger();
    EXPECT_TRUE(closed);
}

TEST_F(MainWindowTest, WithoutANotificationAreaMinimizingKeepsTheWindow) {
    auto& main = startProgram();
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has none
    main.showMinimized();
    QCoreApplication::processEvents();
    EXPECT_TRUE(main.isVisible());
    EXPECT_FALSE(main.TrayIcon1->isVisible());
    main.TrayIcon1DblClick();
    EXPECT_TRUE(main.isVisible());
    EXPECT_FALSE(main.isMinimized());
}

} // namespace
