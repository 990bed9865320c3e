#pragma once

#include "tunnels/tunnel_controller.h"

#include <QPointer>
#include <QScrollArea>
#include <QWidget>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class TfrmConnection;
class TfrmTrafficMonitor;

// The scrolling list of tunnel panels: as tall as its panels, but never
// taller than the screen leaves room for.
class TTunnelList : public QScrollArea {
public:
    explicit TTunnelList(QWidget* parent);
    QSize sizeHint() const override;

protected:
    // The window sizes itself to the list: a change of the panels changes
    // the list's size hint.
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The main window, a view of the tunnel controller: the list of tunnel panels
// and the commands that act on all of them (the two global modes, adding a
// tunnel). It runs the controller's loop from the Qt event loop, loads the
// tunnels at its first show, shows the controller's messages and questions
// in boxes, lives in the notification area when minimized (a tooltip sums up
// the tunnels, a menu restores the window or ends the program) and toggles
// the traffic monitor with Ctrl+O, from the monitor too.
class TfrmZelvaneTunnel : public QWidget, public TTunnelListener {
    Q_OBJECT
public:
    explicit TfrmZelvaneTunnel(TfrmTrafficMonitor& monitor);
    ~TfrmZelvaneTunnel() override;

    // Throws once the window was closed.
    TTunnelController& controller();
    // Further listeners of the controller's events (the console without a
    // display); called after the window.
    TListenerFan& observers() { return observers_; }
    // The tunnel panels from the top down.
    const std::vector<TfrmConnection*>& tunnels() const { return fTunnels; }
    TfrmConnection* panelOf(TTunnelId tunnel) const;
    bool inWorkMode() const;
    bool settingsLoaded() const {
        return fSettingsLoaded && controller_ && !controller_->loading();
    }

    // The first-show initialisation: loads the tunnels and starts work when
    // there were any. Later calls do nothing.
    void FormShow();
    void btnAddTunnelClick();
    // Starts work: checks every tunnel, then starts them all.
    void btnApplyClick();
    // Puts every tunnel into configuration mode.
    void btnConfigClick();
    // Stops work, ends every worker and waits for them a bounded time.
    void FormDestroy();

    void ApplicationEvents1Minimize();
    void ApplicationEvents1Restore();
    void TrayIcon1DblClick();
    void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
    // Brings the window to the front, from the notification area too (a
    // second start of the program asks for it).
    void bringToFront();

    TTunnelList* scrollConnections;
    QWidget* gbConnections;
    QWidget* Bevel1;
    QWidget* Panel1;
    QPushButton* btnAddTunnel;
    QPushButton* btnConfig;
    QPushButton* btnApply;
    QSystemTrayIcon* TrayIcon1;
    QMenu* TrayMenu;

    // The controller's events.
    void tunnelAdded(TTunnelId tunnel, size_t position) override;
    void tunnelRemoved(TTunnelId tunnel) override;
    void tunnelNumbered(TTunnelId tunnel, int32_t number) override;
    void keyChanged(TTunnelId tunnel, const std::string& key) override;
    void learningStarted(TTunnelId tunnel) override;
    void learningFinished(TTunnelId tunnel, bool learnt) override;
    void slotAdded(TTunnelId tunnel, TSlotType kind) override;
    void slotRemoved(TTunnelId tunnel, TSlotType kind) override;
    void slotWorkModeChanged(TTunnelId tunnel, TSlotType kind, bool work) override;
    void slotStatusChanged(TTunnelId tunnel, TSlotType kind, const TSlotStatus& status) override;
    void portChanged(TTunnelId tunnel, const TPortInfo& port) override;
    void trafficChanged(TTunnelId tunnel, TSlotType kind, uint32_t sent,
                        uint32_t received) override;
    void workModeChanged(bool work) override;
    void busyChanged(bool busy) override;
    void message(const TTunnelMessage& message) override;
    void conflictQuestion(const TConflictQuestion& question) override;

signals:
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    Q_INVOKABLE void pumpController();
    void relayout();
    void updateTrayToolTip();

    TfrmTrafficMonitor& frmTrafficMonitor;
    TControllerLoop loop_;
    TListenerFan listeners_;
    TListenerFan observers_;
    std::unique_ptr<TTunnelController> controller_;
    QTimer* controllerTimers_;
    std::atomic<bool> pumpQueued_{false};
    std::vector<TfrmConnection*> fTunnels;
    std::map<TTunnelId, TfrmConnection*> panels_;
    bool fSettingsLoaded = false;
    bool fDestroyed = false;
    QPointer<QWidget> focusBeforeBusy_;
    // Where the window was when it went to the notification area.
    std::optional<QPoint> placeBeforeTray_;
};
