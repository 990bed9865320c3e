#pragma once

#include "tunnels/tunnel_controller.h"

#include <QFrame>

#include <string>

class QLabel;
class QLineEdit;
class QProgressBar;
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
    // While the cloud at `server` checks the key: a running progress bar and
    // "Отмена" in place of "Применить"; the key cannot be edited meanwhile.
    void showLearning(bool learning, const std::string& server = {});
    bool learningShown() const { return learning_; }
    // Applies the key in edtTunnelKey (Enter in the field does the same).
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
    QPushButton* btnCancelKey;
    QProgressBar* prgLearning;
    QLabel* lblTunnelInfo;
    QLabel* lblTrafficInfo;
    QPushButton* btnDelete;

private:
    void showIcon(int icon);
    void showInfo(QLabel* label, const std::string& text);

    TfrmConnection& ffrmConnection;
    const TSlotType slotType_;
    bool WorkMode = false;
    bool learning_ = false;
    int fStatusIcon = 0;
    std::string statusText_; // the status the learning text stands in for
};

// Sets Enabled on every descendant widget of `control`, depth first, touching
// only those whose own setting differs.
void setChildrenEnabled(QWidget* control, bool value);
