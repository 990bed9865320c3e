#include "ui/hub_frame.h"

#include "platform/text.h"
#include "platform/tick.h"
#include "portpairs/ports_handler.h"
#include "settings/settings_file.h"
#include "ui/connection_item_frame.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>

TfrmConnection::TfrmConnection(TfrmZelvaneTunnel& mainWindow, QWidget* AOwner)
    : QFrame(AOwner), fMainWindow(mainWindow), handle_([this](uint32_t message) {
          if (message == WM_RELEASE_FRAME)
              fMainWindow.releaseTunnel(this);
      }) {
    setObjectName(QString::fromStdString(
        Format("frmHub%u", static_cast<unsigned>(std::rand() % 1000) + GetTickCount())));
    setFrameShape(QFrame::StyledPanel);

    lblTunnelName = new QLabel("Туннель:", this);
    lblTunnelName->setObjectName("lblTunnelName");
    QFont bold = lblTunnelName->font();
    bold.setBold(true);
    lblTunnelName->setFont(bold);

    gbConnection = new QWidget(this);
    Panel1 = new QWidget(gbConnection);
    Panel1->setFixedHeight(17);
    cxLabel2 = new QLabel("Статус", Panel1);
    cxLabel2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cxLabel2->setFixedWidth(70 + 6 + 24);
    cxLabel1 = new QLabel("Инфо", Panel1);
    cxLabel1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* heading = new QHBoxLayout(Panel1);
    heading->setContentsMargins(6, 0, 6, 0);
    heading->addWidget(cxLabel2);
    heading->addSpacing(8);
    heading->addWidget(cxLabel1);
    heading->addStretch(1);

    Panel2 = new QWidget(gbConnection);
    btnAddComPort = new QPushButton("Добавить слот COM-порт", Panel2);
    btnAddServer = new QPushButton("Добавить слот сервера", Panel2);
    btnAddClient = new QPushButton("Добавить слот клиента", Panel2);
    btnDeleteTunnel = new QPushButton("Удалить туннель", Panel2);
    btnDeleteTunnel->setObjectName("btnDeleteTunnel");
    btnAddComPort->hide();
    btnAddServer->hide();
    btnAddClient->hide();
    auto* buttons = new QVBoxLayout(Panel2);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addWidget(btnAddComPort);
    buttons->addWidget(btnAddServer);
    buttons->addWidget(btnAddClient);
    buttons->addWidget(btnDeleteTunnel);
    buttons->addStretch(1);

    auto* slotColumn = new QVBoxLayout;
    slotColumn->setSpacing(4);
    slotColumn->addWidget(Panel1);
    slotLayout_ = new QVBoxLayout;
    slotLayout_->setSpacing(4);
    slotColumn->addLayout(slotLayout_);
    slotColumn->addStretch(1);
    auto* container = new QHBoxLayout(gbConnection);
    container->setContentsMargins(0, 0, 0, 0);
    container->addLayout(slotColumn, 1);
    container->addWidget(Panel2);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 6, 8, 8);
    outer->addWidget(lblTunnelName);
    outer->addWidget(gbConnection);

    connect(btnAddComPort, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnAddComPortClick(); }); });
    connect(btnAddClient, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnAddClientClick(); }); });
    connect(btnDeleteTunnel, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnDeleteTunnelClick(); }); });

    hubInfo = std::make_shared<THubInfo>();
    hubInfo->frameHandle = Handle();
    hubList.add(hubInfo);
    SetWorkMode(WorkMode, 0);
}

TfrmConnection::~TfrmConnection() {
    hubList.removeByFrameHandle(Handle());
}

TfrmConnectionItemFrame* TfrmConnection::addSlot(TSlotType SlotType) {
    auto* slot = new TfrmConnectionItemFrame(gbConnection, *this, hubInfo, SlotType);
    slotLayout_->addWidget(slot);
    fSlots.insert(fSlots.begin(), slot);
    hubInfo->addConnection(slot->AconnectionInfo());
    return slot;
}

TfrmConnectionItemFrame* TfrmConnection::btnAddComPortClick() {
    return addSlot(stComPort);
}

TfrmConnectionItemFrame* TfrmConnection::btnAddClientClick() {
    return addSlot(stTCPClient);
}

void TfrmConnection::forgetSlot(TfrmConnectionItemFrame* slot) {
    std::erase(fSlots, slot);
}

bool TfrmConnection::CheckConfigBeforeWork() {
    int passed = 0;
    for (auto* slot : std::vector(fSlots)) {
        if (!slot->CheckConfigBeforeWork())
            return false;
        ++passed;
    }
    if (passed < 2) {
        dialogs().showError(this,
                            "В \"хабе\" должно быть сконфигурировано как минимум 2 ендпоинта.");
        return false;
    }
    return true;
}

void TfrmConnection::SetWorkMode(bool aWorkMode, int32_t thisHubId) {
    if (thisHubId > 0)
        lblTunnelName->setText(QString::fromStdString(Format("Туннель: %d", thisHubId)));
    hubInfo->hubId = thisHubId;
    WorkMode = aWorkMode;
    for (auto* button : {btnAddClient, btnAddServer, btnAddComPort, btnDeleteTunnel})
        button->setEnabled(!aWorkMode);
    // Oldest first, so the cloud client starts before the COM-port slot. A
    // client that applies an edited key replaces the COM-port slot meanwhile;
    // the slot list is read anew each time, so the new slot is switched too
    // and the removed one is not.
    for (;;) {
        auto pending = std::find_if(fSlots.rbegin(), fSlots.rend(), [aWorkMode](auto* slot) {
            return slot->workMode() != aWorkMode;
        });
        if (pending == fSlots.rend())
            break;
        (*pending)->SetWorkMode(aWorkMode);
    }
}

void TfrmConnection::deleteNonTunnelConnections() {
    // A removed panel lives on until its release message, so the copy stays valid.
    const auto frames = fSlots;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
        if ((*it)->SlotType() != stTCPClient)
            (*it)->btnDeleteClick();
}

bool TfrmConnection::hasSomeComportConfigured() const {
    return std::any_of(fSlots.begin(), fSlots.end(),
                       [](auto* slot) { return slot->SlotType() == stComPort; });
}

void TfrmConnection::receiveUpdatedPortPairs(TC0cPortsHandler& pairs) {
    for (auto it = fSlots.rbegin(); it != fSlots.rend(); ++it)
        (*it)->receiveUpdatedPortPairs(pairs);
}

void TfrmConnection::LoadSettings(TIniFile& ini, int32_t hubId) {
    // The pair number first: the COM-port slot looks its pair up by it.
    fComportPairIdHint = ini.ReadInteger(ConnectionsSection, connectionEntry(hubId, "ComPort"), -1);
    const std::string key =
        ini.ReadString(ConnectionsSection, connectionEntry(hubId, "Tunnel"), "");
    // A tunnel saved before its key was given comes back as it was left.
    TfrmConnectionItemFrame* client = addSlot(stTCPClient);
    client->edtTunnelKey->setText(QString::fromStdString(key));
    if (!key.empty())
        client->btnApplyTunnelKeyClick(nullptr);
}

void TfrmConnection::SaveSettings(TIniFile& ini, int32_t hubId) {
    bool comPortWritten = false;
    for (auto it = fSlots.rbegin(); it != fSlots.rend(); ++it) {
        auto* slot = *it;
        if (slot->SlotType() == stTCPClient) {
            ini.WriteString(ConnectionsSection, connectionEntry(hubId, "Tunnel"),
                            slot->edtTunnelKey->text().toStdString());
        } else if (slot->SlotType() == stComPort) {
            ini.WriteInteger(ConnectionsSection, connectionEntry(hubId, "ComPort"),
                             fComportPairIdHint);
            comPortWritten = true;
        }
    }
    // The pair stays the tunnel's while it has no COM-port slot (learning
    // failed, say), so a later application takes the same port.
    if (!comPortWritten && fComportPairIdHint >= 0)
        ini.WriteInteger(ConnectionsSection, connectionEntry(hubId, "ComPort"), fComportPairIdHint);
}

void TfrmConnection::uninstallPair() {
    if (fComportPairIdHint < 0)
        return;
    TC0cPortsHandler::UninstallPair(fComportPairIdHint);
    fComportPairIdHint = -1;
}

void TfrmConnection::btnDeleteTunnelClick() {
    TBusyWindow busy(fMainWindow);
    for (auto it = fSlots.rbegin(); it != fSlots.rend(); ++it)
        (*it)->TunnelIsBeingDeleted();
    // A pair kept while the tunnel had no COM-port slot goes too.
    uninstallPair();
    hubList.removeByFrameHandle(Handle());
    fMainWindow.forgetTunnel(this);
    PostMessage(Handle(), WM_RELEASE_FRAME);
}
