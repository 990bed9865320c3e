#pragma once

#include "model/connection.h"
#include "ui/window_message.h"

#include <QFrame>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QWidget;
struct TC0cPair;
class TC0cPortsHandler;
class TfrmConnection;
class TfrmZelvaneTunnel;

// One slot of a tunnel: owns the slot record, shows the slot's port or tunnel
// key and its status as text and icon, starts and stops the slot's worker
// with the mode, applies the tunnel key through a learning run of the cloud
// client, and asks the user when another tunnel blocks this one.
class TfrmConnectionItemFrame : public QFrame {
    Q_OBJECT
public:
    TfrmConnectionItemFrame(QWidget* AOwner, TfrmConnection& frmConnection, PHubInfo hubInfo,
                            TSlotType SlotType);
    ~TfrmConnectionItemFrame() override;

    HWND Handle() const { return handle_.get(); }
    const PConnectionInfo& AconnectionInfo() const { return connectionInfo; }
    TSlotType SlotType() const { return connectionInfo->SlotType; }
    bool workMode() const { return WorkMode; }
    const std::string& selectedComportName() const { return fSelectedComportName; }
    const std::string& selectedTunnelMode() const { return fSelectedTunnelMode; }
    int statusIcon() const { return fStatusIcon; }

    void SetWorkMode(bool aWorkMode);
    bool CheckConfigBeforeWork();
    // Applies the key in edtTunnelKey. `Sender` is the control the user
    // pressed, or null when the program applies it: then a failed learning is
    // not reported and nothing is saved.
    void btnApplyTunnelKeyClick(QObject* Sender);
    void btnDeleteClick();
    void TunnelIsBeingDeleted();
    void receiveUpdatedPortPairs(TC0cPortsHandler& pairs);

    QLabel* lblSlotType;
    QLabel* imgConnection;
    QStackedWidget* PageControl1;
    QWidget* tsComPort;
    QLabel* Label1;
    QLabel* lblSelectedComport;
    QLabel* lblPortInfo;
    QWidget* tsServer;
    QLabel* lblConnectionInfo;
    QWidget* tsClient;
    QLabel* Label8;
    QLineEdit* edtTunnelKey;
    QPushButton* btnApplyTunnelKey;
    QLabel* lblTunnelInfo;
    QLabel* lblTrafficInfo;
    QPushButton* btnDelete;

private:
    void windowMessage(uint32_t message);
    void applyPortPair(const TC0cPair* pair);
    void WMConnectionStatus();
    void WMTraffic();
    void showConflictDialog();
    void showIcon(int icon);
    TfrmZelvaneTunnel& mainWindow() const;

    std::string fJustAppliedTunnelKey;
    TfrmConnection& ffrmConnection;
    std::string fSelectedTunnelMode;
    std::string fSelectedComportName;
    bool WorkMode = false;
    bool fApplyingKey = false;
    int fStatusIcon = 0;
    PHubInfo hubRef;
    PConnectionInfo connectionInfo;
    TWindowHandle handle_;
};

// Sets Enabled on every descendant widget of `control`, depth first, touching
// only those whose own setting differs.
void setChildrenEnabled(QWidget* control, bool value);
