#pragma once

#include "tunnels/tunnel_controller.h"

#include <QFrame>

#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;
class TfrmConnectionItemFrame;
class TfrmZelvaneTunnel;

// The panel of one tunnel, a view of it in the controller: its number, its
// slot panels and the buttons that act on the tunnel.
class TfrmConnection : public QFrame {
    Q_OBJECT
public:
    TfrmConnection(TfrmZelvaneTunnel& mainWindow, TTunnelId tunnel, QWidget* AOwner);
    ~TfrmConnection() override;

    TTunnelId tunnel() const { return tunnel_; }
    TfrmZelvaneTunnel& mainWindow() const { return fMainWindow; }
    TTunnelController& controller() const;
    // The slot panels, oldest first.
    const std::vector<TfrmConnectionItemFrame*>& slotFrames() const { return fSlots; }
    TfrmConnectionItemFrame* slotFrame(TSlotType kind) const;

    void SetWorkMode(bool aWorkMode);
    void showNumber(int32_t number);
    void showKey(const std::string& key);
    void addSlotFrame(TSlotType kind);
    void removeSlotFrame(TSlotType kind);
    // Asks first; "Отмена" keeps the tunnel.
    void btnDeleteTunnelClick();

    // The list lays the panels out by their size hints alone: asking every
    // panel's wrapped labels for their height at each change of the list
    // made adding a tunnel slower the more there were.
    bool hasHeightForWidth() const override { return false; }

    bool WorkMode = false;

    QLabel* lblTunnelName;
    QWidget* gbConnection;
    QWidget* Panel1;
    QLabel* cxLabel2;
    QLabel* cxLabel1;
    QWidget* Panel2;
    QPushButton* btnAddComPort;
    QPushButton* btnAddServer;
    QPushButton* btnAddClient;
    QPushButton* btnDeleteTunnel;

private:
    // Tab goes through the slots from the top, then the tunnel's buttons.
    void orderTabs();

    TfrmZelvaneTunnel& fMainWindow;
    const TTunnelId tunnel_;
    std::vector<TfrmConnectionItemFrame*> fSlots;
    QVBoxLayout* slotLayout_;
};
