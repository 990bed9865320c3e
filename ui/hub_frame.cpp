#include "ui/hub_frame.h"

#include "platform/text.h"
#include "ui/connection_item_frame.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/status_texts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

TfrmConnection::TfrmConnection(TfrmZelvaneTunnel& mainWindow, TTunnelId tunnel, QWidget* AOwner)
    : QFrame(AOwner), fMainWindow(mainWindow), tunnel_(tunnel) {
    setObjectName(
        QString::fromStdString(Format("frmHub%llu", static_cast<unsigned long long>(tunnel))));
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
            [this] { controller().addSlot(tunnel_, stComPort); });
    connect(btnAddClient, &QPushButton::clicked, this,
            [this] { controller().addSlot(tunnel_, stTCPClient); });
    connect(btnDeleteTunnel, &QPushButton::clicked, this, [this] { btnDeleteTunnelClick(); });
}

TfrmConnection::~TfrmConnection() = default;

TTunnelController& TfrmConnection::controller() const {
    return fMainWindow.controller();
}

TfrmConnectionItemFrame* TfrmConnection::slotFrame(TSlotType kind) const {
    for (auto* slot : fSlots)
        if (slot->SlotType() == kind)
            return slot;
    return nullptr;
}

void TfrmConnection::SetWorkMode(bool aWorkMode) {
    WorkMode = aWorkMode;
    for (auto* button : {btnAddClient, btnAddServer, btnAddComPort, btnDeleteTunnel})
        button->setEnabled(!aWorkMode);
}

void TfrmConnection::showNumber(int32_t number) {
    lblTunnelName->setText(QString::fromStdString(Format("Туннель: %d", number)));
}

void TfrmConnection::showKey(const std::string& key) {
    if (auto* client = slotFrame(stTCPClient)) {
        // Showing the controller's key changes nothing: a stored key keeps its
        // bytes, also those that are not UTF-8 text.
        const QSignalBlocker quiet(client->edtTunnelKey);
        client->edtTunnelKey->setText(QString::fromStdString(key));
    }
}

void TfrmConnection::addSlotFrame(TSlotType kind) {
    auto* slot = new TfrmConnectionItemFrame(gbConnection, *this, kind);
    slotLayout_->addWidget(slot);
    fSlots.push_back(slot);
    orderTabs();
}

void TfrmConnection::orderTabs() {
    // Slot panels come after the tunnel's buttons in creation order.
    std::vector<QWidget*> chain;
    for (auto* slot : fSlots) {
        if (slot->SlotType() == stTCPClient)
            chain.insert(chain.end(),
                         {slot->edtTunnelKey, slot->btnApplyTunnelKey, slot->btnCancelKey});
        chain.push_back(slot->btnDelete);
    }
    chain.insert(chain.end(), {btnAddComPort, btnAddServer, btnAddClient, btnDeleteTunnel});
    for (size_t i = 1; i < chain.size(); ++i)
        setTabOrder(chain[i - 1], chain[i]);
}

void TfrmConnection::removeSlotFrame(TSlotType kind) {
    TfrmConnectionItemFrame* slot = slotFrame(kind);
    if (!slot)
        return;
    std::erase(fSlots, slot);
    slot->hide();
    slot->deleteLater();
}

void TfrmConnection::btnDeleteTunnelClick() {
    const size_t number = controller().position(tunnel_);
    if (!dialogs().askYesCancel(&fMainWindow,
                                QString::fromStdString(deleteTunnelQuestionText(number))))
        return;
    controller().deleteTunnel(tunnel_);
}
