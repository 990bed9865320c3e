#pragma once

#include "model/connection.h"
#include "ui/window_message.h"

#include <QFrame>

#include <vector>

class QLabel;
class QPushButton;
class TC0cPortsHandler;
class TIniFile;
class TfrmConnectionItemFrame;
class TfrmZelvaneTunnel;

// The panel of one tunnel: owns the tunnel record and the slot panels, checks
// the tunnel before work, switches its slots between the modes, numbers the
// tunnel, saves and loads its entries of the settings file and deletes the
// tunnel with its virtual port pair. It keeps the tunnel's pair number, so the
// COM-port slot can be removed and created again without losing its pair.
class TfrmConnection : public QFrame {
    Q_OBJECT
public:
    TfrmConnection(TfrmZelvaneTunnel& mainWindow, QWidget* AOwner);
    ~TfrmConnection() override;

    HWND Handle() const { return handle_.get(); }
    TfrmZelvaneTunnel& mainWindow() const { return fMainWindow; }
    // The slot panels still in the tunnel, newest first.
    const std::vector<TfrmConnectionItemFrame*>& slotFrames() const { return fSlots; }

    TfrmConnectionItemFrame* addSlot(TSlotType SlotType);
    TfrmConnectionItemFrame* btnAddComPortClick();
    TfrmConnectionItemFrame* btnAddClientClick();
    bool CheckConfigBeforeWork();
    // Numbers the tunnel (thisHubId > 0) and switches every slot, oldest
    // first; a slot's error stops the walk and reaches the caller.
    void SetWorkMode(bool aWorkMode, int32_t thisHubId);
    void deleteNonTunnelConnections();
    bool hasSomeComportConfigured() const;
    void receiveUpdatedPortPairs(TC0cPortsHandler& pairs);
    void LoadSettings(TIniFile& ini, int32_t hubId);
    void SaveSettings(TIniFile& ini, int32_t hubId);
    void btnDeleteTunnelClick();

    // A slot panel left the tunnel (btnDeleteClick); it is released later.
    void forgetSlot(TfrmConnectionItemFrame* slot);
    // Removes the tunnel's virtual port pair, if it has one.
    void uninstallPair();

    bool WorkMode = false;
    PHubInfo hubInfo;
    int32_t fComportPairIdHint = -1;

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
    TfrmZelvaneTunnel& fMainWindow;
    std::vector<TfrmConnectionItemFrame*> fSlots;
    class QVBoxLayout* slotLayout_;
    TWindowHandle handle_;
};
