#include "ui/connection_item_frame.h"

#include "cloud/zelvane_thread.h"
#include "driver/pair_store.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "portpairs/ports_handler.h"
#include "serial/comport_thread.h"
#include "ui/dialogs.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/status_icons.h"
#include "ui/status_texts.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

#include <cstdlib>
#include <stdexcept>

namespace {

// The learning run ends by itself within its own bound; this one only keeps
// the interface from waiting for ever should it not.
constexpr int learningWaitMs = static_cast<int>(cloudTiming::learningBoundMs) + 15000;
constexpr int learningStopWaitMs = 2000;

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

std::string text(const QString& string) {
    return string.toStdString();
}

QLabel* wrappedLabel(const char* caption, int width, QWidget* parent) {
    auto* label = new QLabel(caption, parent);
    label->setWordWrap(true);
    label->setFixedWidth(width);
    label->setMinimumHeight(49);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// Status and port name are what the user watches in work mode, when the page
// is disabled: they keep their colour.
void keepReadableWhenDisabled(QLabel* label) {
    QPalette palette = label->palette();
    for (auto role : {QPalette::WindowText, QPalette::Text})
        palette.setColor(QPalette::Disabled, role, palette.color(QPalette::Active, role));
    label->setPalette(palette);
}

// Runs the event loop until `thread` has finished or `timeoutMs` passed.
bool waitKeepingInterfaceAlive(TWorker& thread, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (thread.Finished() || deadline.hasExpired())
            loop.quit();
    });
    poll.start(20);
    if (!thread.Finished())
        loop.exec();
    return thread.Finished();
}

} // namespace

void setChildrenEnabled(QWidget* control, bool value) {
    for (QObject* child : control->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (!widget)
            continue;
        if (widget->testAttribute(Qt::WA_Disabled) == value)
            widget->setEnabled(value);
        if (!widget->children().isEmpty())
            setChildrenEnabled(widget, value);
    }
}

TfrmConnectionItemFrame::TfrmConnectionItemFrame(QWidget* AOwner, TfrmConnection& frmConnection,
                                                 PHubInfo hubInfo, TSlotType SlotType)
    : QFrame(AOwner), ffrmConnection(frmConnection), hubRef(std::move(hubInfo)),
      handle_([this](uint32_t message) { windowMessage(message); }) {
    setObjectName(text(
        Format("frmConnection%u", static_cast<unsigned>(std::rand() % 1000) + GetTickCount())));
    setFrameShape(QFrame::StyledPanel);

    lblSlotType = new QLabel(this);
    lblSlotType->setObjectName("lblSlotType");
    lblSlotType->setFixedWidth(70);
    imgConnection = new QLabel(this);
    imgConnection->setObjectName("imgConnection");
    imgConnection->setFixedSize(24, 21);
    imgConnection->setAlignment(Qt::AlignCenter);

    PageControl1 = new QStackedWidget(this);
    PageControl1->setObjectName("PageControl1");

    tsComPort = new QWidget(PageControl1);
    Label1 = new QLabel("COM-порт", tsComPort);
    lblSelectedComport = new QLabel("-", tsComPort);
    lblSelectedComport->setObjectName("lblSelectedComport");
    lblSelectedComport->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblPortInfo = wrappedLabel("Информация о порте:", 384, tsComPort);
    lblPortInfo->setObjectName("lblPortInfo");
    auto* comLayout = new QGridLayout(tsComPort);
    comLayout->setContentsMargins(0, 0, 0, 0);
    comLayout->addWidget(Label1, 0, 0);
    comLayout->addWidget(lblSelectedComport, 0, 1);
    comLayout->addWidget(lblPortInfo, 1, 0, 1, 3);
    comLayout->setColumnStretch(2, 1);

    tsServer = new QWidget(PageControl1);
    lblConnectionInfo = new QLabel("Информация о подключении:", tsServer);
    lblConnectionInfo->hide();

    tsClient = new QWidget(PageControl1);
    Label8 = new QLabel("Ключ туннеля", tsClient);
    edtTunnelKey = new QLineEdit(tsClient);
    edtTunnelKey->setObjectName("edtTunnelKey");
    edtTunnelKey->setFixedWidth(217);
    btnApplyTunnelKey = new QPushButton("Применить", tsClient);
    btnApplyTunnelKey->setObjectName("btnApplyTunnelKey");
    lblTunnelInfo = wrappedLabel("Информация о подключении:", 380, tsClient);
    lblTunnelInfo->setObjectName("lblTunnelInfo");
    auto* clientLayout = new QGridLayout(tsClient);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->addWidget(Label8, 0, 0);
    clientLayout->addWidget(edtTunnelKey, 0, 1);
    clientLayout->addWidget(btnApplyTunnelKey, 0, 2);
    clientLayout->addWidget(lblTunnelInfo, 1, 0, 1, 4);
    clientLayout->setColumnStretch(3, 1);

    PageControl1->addWidget(tsComPort);
    PageControl1->addWidget(tsServer);
    PageControl1->addWidget(tsClient);

    lblTrafficInfo = new QLabel("S/R: 0/0 b", this);
    lblTrafficInfo->setObjectName("lblTrafficInfo");
    lblTrafficInfo->setMinimumWidth(150);
    lblTrafficInfo->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lblTrafficInfo->hide();
    btnDelete = new QPushButton("Удалить", this);
    btnDelete->hide();

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 4, 6, 4);
    row->addWidget(lblSlotType, 0, Qt::AlignTop);
    row->addWidget(imgConnection, 0, Qt::AlignTop);
    row->addWidget(PageControl1, 1);
    row->addWidget(lblTrafficInfo, 0, Qt::AlignTop);
    row->addWidget(btnDelete, 0, Qt::AlignTop);

    connect(btnApplyTunnelKey, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnApplyTunnelKeyClick(btnApplyTunnelKey); }); });
    connect(btnDelete, &QPushButton::clicked, this, [this] { btnDeleteClick(); });

    for (QLabel* label : {lblSelectedComport, lblPortInfo, lblTunnelInfo})
        keepReadableWhenDisabled(label);
    showIcon(iconGrey);

    // The tunnel panel lists the record once the slot exists.
    connectionInfo = newSlotRecord(SlotType, Handle(), nullptr);
    connectionInfo->pHubInfo = hubRef;

    if (SlotType == stComPort) {
        PageControl1->setCurrentWidget(tsComPort);
        lblSlotType->setText("Ком-порт");
        TC0cPortsHandler inventory;
        PC0cPair pair;
        if (ffrmConnection.fComportPairIdHint < 0) {
            pair = inventory.addPair();
            if (pair)
                ffrmConnection.fComportPairIdHint = pair->PairId;
            mainWindow().btnSaveConfigClick();
        } else {
            pair = inventory.findPairByPairId(ffrmConnection.fComportPairIdHint);
        }
        applyPortPair(pair);
    } else {
        PageControl1->setCurrentWidget(SlotType == stTCPClient ? tsClient : tsServer);
        lblSlotType->setText(SlotType == stTCPClient ? "Туннель" : "");
    }
}

TfrmConnectionItemFrame::~TfrmConnectionItemFrame() = default;

TfrmZelvaneTunnel& TfrmConnectionItemFrame::mainWindow() const {
    return ffrmConnection.mainWindow();
}

void TfrmConnectionItemFrame::showIcon(int icon) {
    fStatusIcon = icon;
    imgConnection->setPixmap(::statusIcon(icon));
}

void TfrmConnectionItemFrame::applyPortPair(const TC0cPair* pair) {
    if (pair) {
        // The full path of the user-facing port, which the user's program opens.
        lblSelectedComport->setText(pair->ComHuman.empty()
                                        ? QString("Идет установка драйвера..")
                                        : text(userFacingPortPath(pair->PairId)));
        fSelectedComportName = pair->ComHidden;
    } else {
        lblSelectedComport->setText("Порт не найден");
    }
    emit mainWindow().slotTextsShown(this);
}

void TfrmConnectionItemFrame::receiveUpdatedPortPairs(TC0cPortsHandler& pairs) {
    if (SlotType() == stComPort)
        applyPortPair(pairs.findPairByPairId(ffrmConnection.fComportPairIdHint));
}

void TfrmConnectionItemFrame::SetWorkMode(bool aWorkMode) {
    if (aWorkMode == WorkMode)
        return;
    WorkMode = aWorkMode;
    TConnection& c = *connectionInfo;
    if (aWorkMode) {
        lblConnectionInfo->show();
        lblTrafficInfo->show();
        btnDelete->hide();
        PageControl1->setEnabled(false);
        setChildrenEnabled(PageControl1, false);

        c.FrameHandle = Handle();
        // Reset before the worker starts, so it never overwrites a state the
        // worker already reported.
        c.zvlConnectionStatus = zvlDisconnected;
        c.zvlCloseReason = zvlCloseReason_notYetConnected;
        c.datasourceConnectedToServer = false;
        c.datasourceCloseReason = crUnknown;

        if (c.SlotType == stComPort) {
            c.PortName.set(fSelectedComportName);
            c.cportThread = startComPortWorker(connectionInfo);
        } else if (c.SlotType == stTCPClient) {
            const std::string key = trimmed(text(edtTunnelKey->text()));
            if (trimmed(fJustAppliedTunnelKey) != key) {
                if (key.empty())
                    throw std::runtime_error("Нужно указать ключ туннеля");
                btnApplyTunnelKeyClick(nullptr);
            }
            if (fSelectedTunnelMode.empty())
                throw std::runtime_error("Ошибка конфигурации туннеля");
            // The key the cloud accepted while learning: without the blanks.
            c.tcpClientThread = startCloudClient(connectionInfo, key);
        }
        PostMessage(Handle(), WM_CONNECTION_STATUS);
    } else {
        lblConnectionInfo->hide();
        lblTrafficInfo->hide();
        btnDelete->hide();
        PageControl1->setEnabled(true);
        setChildrenEnabled(PageControl1, true);
        // Nobody waits: the ending worker posts its final status itself.
        if (c.cportThread) {
            c.cportThread->Terminate();
            c.cportThread.reset();
        }
        if (c.tcpClientThread) {
            c.tcpClientThread->Terminate();
            c.tcpClientThread.reset();
        }
    }
}

void TfrmConnectionItemFrame::btnApplyTunnelKeyClick(QObject* Sender) {
    if (fApplyingKey)
        return; // this slot is applying a key already
    fApplyingKey = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{fApplyingKey};
    TBusyWindow busy(mainWindow());

    const std::string key = trimmed(text(edtTunnelKey->text()));
    const PConnectionInfo learning = newLearningRecord();
    const auto learner = startLearningRun(learning, key, nullptr);
    if (!waitKeepingInterfaceAlive(*learner, learningWaitMs)) {
        learner->Terminate();
        waitKeepingInterfaceAlive(*learner, learningStopWaitMs);
    }

    ffrmConnection.deleteNonTunnelConnections();

    const bool learnt = learning->zvlConnectionStatus == zvlDisconnected &&
                        learning->zvlCloseReason == zvlCloseReason_notYetConnected;
    if (!learnt) {
        if (Sender)
            throw std::runtime_error(closeReasonText(*learning).text);
        return;
    }
    const int32_t localInterface = learning->TunnelLocalInterfaceId;
    if (localInterface == 1)
        ffrmConnection.btnAddComPortClick();
    else if (localInterface > 1)
        throw std::runtime_error(
            "Ошибка конфигурирования туннеля. Возможно нужно обновить Zelvane Tunnel");
    fSelectedTunnelMode = learning->TunnelName.get();
    fJustAppliedTunnelKey = key;
    if (Sender)
        mainWindow().btnSaveConfigClick();
}

void TfrmConnectionItemFrame::btnDeleteClick() {
    for (const PHubInfo& hub : hubList.hubs()) {
        for (const PConnectionInfo& c : hub->connections()) {
            if (c->FrameHandle == Handle()) {
                hub->removeConnection(c.get());
                ffrmConnection.forgetSlot(this);
                PostMessage(Handle(), WM_RELEASE_FRAME);
                return;
            }
        }
    }
}

void TfrmConnectionItemFrame::TunnelIsBeingDeleted() {
    if (SlotType() == stComPort)
        ffrmConnection.uninstallPair();
}

bool TfrmConnectionItemFrame::CheckConfigBeforeWork() {
    if (SlotType() == stComPort && fSelectedComportName.empty()) {
        dialogs().showError(this, "Не создан локальный COM-порт");
        return false;
    }
    if (SlotType() == stTCPClient && trimmed(text(edtTunnelKey->text())).empty()) {
        dialogs().showError(this, "Не указан ключ туннеля");
        return false;
    }
    return true;
}

void TfrmConnectionItemFrame::windowMessage(uint32_t message) {
    switch (message) {
    case WM_RELEASE_FRAME:
        deleteLater();
        break;
    case WM_CONNECTION_STATUS:
        WMConnectionStatus();
        break;
    case WM_TRAFFIC_RX:
    case WM_TRAFFIC_TX:
        WMTraffic();
        break;
    }
}

void TfrmConnectionItemFrame::WMConnectionStatus() {
    TStatusText status;
    if (SlotType() == stComPort) {
        status = comportStatusText(*connectionInfo);
        lblPortInfo->setText(text(status.text));
    } else if (SlotType() == stTCPClient) {
        status = tunnelStatusText(*connectionInfo);
        lblTunnelInfo->setText(text(status.text));
    }
    showIcon(status.icon);
    emit mainWindow().slotTextsShown(this);
    showConflictDialog();
}

void TfrmConnectionItemFrame::showConflictDialog() {
    // Held here: the record stays valid whatever the box's event loop does.
    const PConnectionInfo record = connectionInfo;
    TConnection& c = *record;
    const TDatasourceCloseReason reason = c.datasourceCloseReason;
    const bool blocked = reason == crClosedDueToOpenErrorDueToInterferedTunnel ||
                         reason == crClosedDueToOpenErrorDueToMultipleInterferedTunnels ||
                         reason == crClosedDueToInterferedTunnel;
    if (c.SlotType != stTCPClient || !c.waitDialog || c.dialogPresentNow ||
        c.datasourceChannelState != dcsClosed || !blocked)
        return;

    c.dialogPresentNow = true;
    TfrmZelvaneTunnel& window = mainWindow();
    if (reason == crClosedDueToInterferedTunnel) {
        dialogs().showError(this, lblTunnelInfo->text());
    } else {
        const PHubInfo hub = c.hub();
        const std::string question = Format(
            "Туннель #%d: с ip-адреса %s уже установлен другой туннель, который не позволяет "
            "работать этому туннелю. Повторить попытку и завершить мешающий туннель?",
            hub ? hub->hubId.load() : 0,
            ansiToText(c.datasourceChannelStateExtendedString.get()).c_str());
        if (dialogs().askYesCancel(this, text(question)))
            c.forceTunnelSetup = true;
        else
            window.btnConfigClick();
    }
    c.dialogPresentNow = false;
    c.waitDialog = false;
}

void TfrmConnectionItemFrame::WMTraffic() {
    lblTrafficInfo->setText(text(Format("S/R: %u/%u b", connectionInfo->BytesWritten.load(),
                                        connectionInfo->BytesRead.load())));
}
