#include "ui/connection_item_frame.h"

#include "platform/text.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/status_icons.h"
#include "ui/status_texts.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>

#include <algorithm>

namespace {

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
                                                 TSlotType SlotType)
    : QFrame(AOwner), ffrmConnection(frmConnection), slotType_(SlotType) {
    setObjectName(
        text(Format("frmConnection%llu_%d", static_cast<unsigned long long>(frmConnection.tunnel()),
                    static_cast<int>(SlotType))));
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
    btnCancelKey = new QPushButton("Отмена", tsClient);
    btnCancelKey->setObjectName("btnCancelKey");
    btnCancelKey->hide();
    prgLearning = new QProgressBar(this);
    prgLearning->setObjectName("prgLearning");
    prgLearning->setRange(0, 0); // runs without a known end
    prgLearning->setTextVisible(false);
    prgLearning->setFixedWidth(80);
    prgLearning->hide();
    lblTunnelInfo = wrappedLabel("Информация о подключении:", 380, tsClient);
    lblTunnelInfo->setObjectName("lblTunnelInfo");
    auto* clientLayout = new QGridLayout(tsClient);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->addWidget(Label8, 0, 0);
    clientLayout->addWidget(edtTunnelKey, 0, 1);
    clientLayout->addWidget(btnApplyTunnelKey, 0, 2);
    clientLayout->addWidget(btnCancelKey, 0, 2);
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
    // Traffic counts in work mode and the progress of a key in configuration
    // mode share one place, kept in both modes: the window keeps its width.
    auto* sideCell = new QWidget(this);
    sideCell->setMinimumWidth(lblTrafficInfo->minimumWidth());
    auto* side = new QGridLayout(sideCell);
    side->setContentsMargins(0, 0, 0, 0);
    side->addWidget(lblTrafficInfo, 0, 0, Qt::AlignRight | Qt::AlignTop);
    side->addWidget(prgLearning, 0, 0, Qt::AlignRight | Qt::AlignTop);
    btnDelete = new QPushButton("Удалить", this);
    btnDelete->hide();

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 4, 6, 4);
    row->addWidget(lblSlotType, 0, Qt::AlignTop);
    row->addWidget(imgConnection, 0, Qt::AlignTop);
    row->addWidget(PageControl1, 1);
    row->addWidget(sideCell, 0, Qt::AlignTop);
    row->addWidget(btnDelete, 0, Qt::AlignTop);

    connect(btnApplyTunnelKey, &QPushButton::clicked, this, [this] { btnApplyTunnelKeyClick(); });
    connect(edtTunnelKey, &QLineEdit::returnPressed, this, [this] { btnApplyTunnelKeyClick(); });
    connect(btnCancelKey, &QPushButton::clicked, this,
            [this] { ffrmConnection.controller().cancelKey(ffrmConnection.tunnel()); });
    connect(edtTunnelKey, &QLineEdit::textChanged, this, [this](const QString& key) {
        ffrmConnection.controller().setTypedKey(ffrmConnection.tunnel(), text(key));
    });
    connect(btnDelete, &QPushButton::clicked, this,
            [this] { ffrmConnection.controller().deleteSlot(ffrmConnection.tunnel(), slotType_); });

    for (QLabel* label : {lblSelectedComport, lblPortInfo, lblTunnelInfo})
        keepReadableWhenDisabled(label);
    showIcon(iconGrey);

    if (SlotType == stComPort) {
        PageControl1->setCurrentWidget(tsComPort);
        lblSlotType->setText("Ком-порт");
    } else {
        PageControl1->setCurrentWidget(SlotType == stTCPClient ? tsClient : tsServer);
        lblSlotType->setText(SlotType == stTCPClient ? "Туннель" : "");
    }
}

TfrmConnectionItemFrame::~TfrmConnectionItemFrame() = default;

PConnectionInfo TfrmConnectionItemFrame::AconnectionInfo() const {
    return ffrmConnection.controller().slotRecord(ffrmConnection.tunnel(), slotType_);
}

void TfrmConnectionItemFrame::showIcon(int icon) {
    fStatusIcon = icon;
    imgConnection->setPixmap(::statusIcon(icon));
}

void TfrmConnectionItemFrame::showPort(const TPortInfo& port) {
    // The full path of the user-facing port, which the user's program opens.
    lblSelectedComport->setText(text(portText(port)));
}

void TfrmConnectionItemFrame::showStatus(const TSlotStatus& status) {
    const TStatusText shown = slotStatusText(slotType_, status);
    if (slotType_ == stComPort) {
        showInfo(lblPortInfo, shown.text);
    } else if (slotType_ == stTCPClient) {
        statusText_ = shown.text;
        if (!learning_)
            showInfo(lblTunnelInfo, shown.text);
    }
    showIcon(shown.icon);
}

void TfrmConnectionItemFrame::showInfo(QLabel* label, const std::string& shown) {
    label->setText(text(shown));
    // The label's width is fixed: as tall as its wrapped lines, so no line
    // is cut off at the bottom.
    label->setMinimumHeight(std::max(49, label->heightForWidth(label->width())));
}

void TfrmConnectionItemFrame::showLearning(bool learning, const std::string& server) {
    if (slotType_ != stTCPClient || learning == learning_)
        return;
    learning_ = learning;
    const bool hadFocus =
        btnApplyTunnelKey->hasFocus() || btnCancelKey->hasFocus() || edtTunnelKey->hasFocus();
    btnApplyTunnelKey->setVisible(!learning);
    btnCancelKey->setVisible(learning);
    prgLearning->setVisible(learning);
    edtTunnelKey->setReadOnly(learning);
    if (statusText_.empty())
        statusText_ = text(lblTunnelInfo->text());
    showInfo(lblTunnelInfo, learning ? learningText(server) : statusText_);
    if (hadFocus)
        (learning ? static_cast<QWidget*>(btnCancelKey) : edtTunnelKey)->setFocus();
}

void TfrmConnectionItemFrame::showTraffic(uint32_t sent, uint32_t received) {
    lblTrafficInfo->setText(text(trafficText(sent, received)));
}

void TfrmConnectionItemFrame::SetWorkMode(bool aWorkMode) {
    WorkMode = aWorkMode;
    lblConnectionInfo->setVisible(aWorkMode);
    lblTrafficInfo->setVisible(aWorkMode);
    btnDelete->hide();
    PageControl1->setEnabled(!aWorkMode);
    setChildrenEnabled(PageControl1, !aWorkMode);
}

void TfrmConnectionItemFrame::btnApplyTunnelKeyClick() {
    ffrmConnection.controller().applyKey(ffrmConnection.tunnel());
}
