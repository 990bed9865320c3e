#pragma once

#include "ui/window_message.h"

#include <QWidget>

#include <memory>
#include <vector>

class QPushButton;
class QSystemTrayIcon;
class QTimer;
class TC0cPortsHandler;
class TDeviceWatch;
class TThread;
class TfrmConnection;
class TfrmConnectionItemFrame;
class TfrmTrafficMonitor;

// The main window: the list of tunnel panels and the commands that act on all
// of them. It switches the two global modes (configuration and work), loads
// the configuration at its first show and starts work by itself, saves the
// configuration for everyone, lives in the notification area when minimized,
// toggles the traffic monitor with Ctrl+O and refreshes the port names after
// device changes.
class TfrmZelvaneTunnel : public QWidget {
    Q_OBJECT
public:
    explicit TfrmZelvaneTunnel(TfrmTrafficMonitor& monitor);
    ~TfrmZelvaneTunnel() override;

    HWND Handle() const { return handle_.get(); }
    // The tunnel panels from the top down.
    const std::vector<TfrmConnection*>& tunnels() const { return fTunnels; }
    bool inWorkMode() const;
    bool settingsLoaded() const { return fSettingsLoaded && !fLoading; }

    // The first-show initialisation: loads the tunnels and starts work when
    // there were any. Later calls do nothing.
    void FormShow();
    void btnAddTunnelClick();
    // Starts work: checks every tunnel, then switches them all; an error
    // puts every tunnel back into configuration mode without a message.
    void btnApplyClick();
    // Puts every tunnel into configuration mode.
    void btnConfigClick();
    // Saves the whole configuration. Held back while the load runs.
    void btnSaveConfigClick();
    // Stops work, ends every worker and waits for them a bounded time.
    void FormDestroy();

    void ApplicationEvents1Minimize();
    void ApplicationEvents1Restore();
    void TrayIcon1DblClick();
    void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
    void refreshComportNamesTimer();

    // Long operations (applying a key, installing or removing a pair) keep
    // the event loop running; meanwhile the window takes no commands and a
    // close waits until they are done.
    void beginBusy();
    void endBusy();

    // A tunnel panel left the model; it is released at its WM_RELEASE_FRAME.
    void forgetTunnel(TfrmConnection* panel);
    // WM_RELEASE_FRAME of a tunnel panel.
    void releaseTunnel(TfrmConnection* panel);

    QWidget* gbConnections;
    QWidget* Bevel1;
    QWidget* Panel1;
    QPushButton* btnAddTunnel;
    QPushButton* btnConfig;
    QPushButton* btnApply;
    QPushButton* btnSaveConfig;
    QSystemTrayIcon* TrayIcon1;
    QTimer* refreshComportNames;

signals:
    // A slot panel has just shown new status texts or a new port.
    void slotTextsShown(TfrmConnectionItemFrame* slot);
    void portPairsRefreshed();
    void loadFinished();
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    TfrmConnection* addTunnel();
    void onPortPairsRefreshed(TC0cPortsHandler& pairs);
    void relayout();
    void windowMessage(uint32_t message);

    TfrmTrafficMonitor& frmTrafficMonitor;
    std::vector<TfrmConnection*> fTunnels;
    std::vector<std::weak_ptr<TThread>> fRefreshers;
    std::unique_ptr<TDeviceWatch> fDeviceWatch;
    bool fWorkMode = false;
    bool fSettingsLoaded = false;
    bool fLoading = false;
    bool fSaveHeldBack = false;
    int fBusy = 0;
    bool fCloseRequested = false;
    bool fDestroyed = false;
    TWindowHandle handle_;
};

// RAII form of beginBusy/endBusy.
class TBusyWindow {
public:
    explicit TBusyWindow(TfrmZelvaneTunnel& window) : window_(window) { window_.beginBusy(); }
    ~TBusyWindow() { window_.endBusy(); }
    TBusyWindow(const TBusyWindow&) = delete;
    TBusyWindow& operator=(const TBusyWindow&) = delete;

private:
    TfrmZelvaneTunnel& window_;
};
