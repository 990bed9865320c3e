#pragma once

#include "tunnels/tunnel_controller.h"

#include <QFrame>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QWidget;
class TfrmConnection;

// One slot of a tunnel, a view of it in the controller: the slot's port or
// tunnel key, its status as text and icon and its traffic counts.
class TfrmConnectionItemFrame : public QFrame {
    Q_OBJECT
public:
    TfrmConnectionItemFrame(QWidget* AOwner, TfrmConnection& frmConnection, TSlotType SlotType);
    ~TfrmConnectionItemFrame() override;

    TSlotType SlotType() const { return slotType_; }
    bool workMode() const { return WorkMode; }
    int statusIcon() const { return fStatusIcon; }
    // The slot's record in the controller.
    PConnectionInfo AconnectionInfo() const;

    void SetWorkMode(bool aWorkMode);
    void showStatus(const TSlotStatus& status);
    void showPort(const TPortInfo& port);
    void showTraffic(uint32_t sent, uint32_t received);
    // Applies the key in edtTunnelKey.
    void btnApplyTunnelKeyClick();

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
    void showIcon(int icon);

    TfrmConnection& ffrmConnection;
    const TSlotType slotType_;
    bool WorkMode = false;
    int fStatusIcon = 0;
};

// Sets Enabled on every descendant widget of `control`, depth first, touching
// only those whose own setting differs.
void setChildrenEnabled(QWidget* control, bool value);
