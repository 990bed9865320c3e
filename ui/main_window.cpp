#include "ui/main_window.h"

#include "log/traffic_log.h"
#include "ui/connection_item_frame.h"
#include "ui/dialogs.h"
#include "ui/hub_frame.h"
#include "ui/status_icons.h"
#include "ui/status_texts.h"
#include "ui/traffic_monitor.h"

#include "cloud/cloud_address.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>

namespace {
// Room the window keeps on the screen besides the tunnel list.
constexpr int besidesTheList = 160;
} // namespace

TTunnelList::TTunnelList(QWidget* parent) : QScrollArea(parent) {
    setObjectName("scrollConnections");
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Tab goes to the controls in the list, which scrolls to show them.
    setFocusPolicy(Qt::NoFocus);
}

QSize TTunnelList::sizeHint() const {
    QSize size;
    if (const QWidget* content = widget())
        size = content->sizeHint()
                   .expandedTo(content->minimumSizeHint())
                   .expandedTo(content->minimumSize());
    size.rwidth() += verticalScrollBar()->sizeHint().width();
    const QScreen* shown = screen() ? screen() : QGuiApplication::primaryScreen();
    if (shown)
        size.setHeight(
            std::min(size.height(), shown->availableGeometry().height() - besidesTheList));
    return size;
}

bool TTunnelList::eventFilter(QObject* watched, QEvent* event) {
    if (watched == widget() && event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QScrollArea::eventFilter(watched, event);
}

TfrmZelvaneTunnel::TfrmZelvaneTunnel(TfrmTrafficMonitor& monitor)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      frmTrafficMonitor(monitor) {
    setObjectName("frmZelvaneTunnel");
    setWindowTitle("Zelvane tunnel");

    scrollConnections = new TTunnelList(this);
    gbConnections = new QWidget;
    gbConnections->setObjectName("gbConnections");
    Bevel1 = new QWidget(gbConnections);
    Bevel1->setFixedHeight(12);
    auto* tunnelList = new QVBoxLayout(gbConnections);
    tunnelList->setContentsMargins(0, 0, 0, 0);
    tunnelList->setSpacing(10);
    tunnelList->addWidget(Bevel1);
    tunnelList->addStretch(1);
    scrollConnections->setWidget(gbConnections);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(68);
    btnAddTunnel = new QPushButton("Добавить туннель", Panel1);
    btnAddTunnel->setObjectName("btnAddTunnel");
    btnConfig = new QPushButton("Конфигурировать", Panel1);
    btnConfig->setObjectName("btnConfig");
    btnApply = new QPushButton("Начать работу", Panel1);
    btnApply->setObjectName("btnApply");
    auto* bar = new QGridLayout(Panel1);
    bar->setContentsMargins(0, 4, 0, 4);
    bar->setColumnStretch(0, 1);
    bar->addWidget(btnAddTunnel, 0, 2);
    bar->addWidget(btnConfig, 1, 1);
    bar->addWidget(btnApply, 1, 2);

    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(5, 5, 5, 5);
    window->setSizeConstraint(QLayout::SetFixedSize);
    window->addWidget(scrollConnections);
    window->addWidget(Panel1);
    gbConnections->setMinimumWidth(793 - 10);

    TrayIcon1 = new QSystemTrayIcon(this);
    QIcon icon = QApplication::windowIcon();
    TrayIcon1->setIcon(icon.isNull() ? QIcon(statusIcon(3)) : icon);
    // Many Linux notification areas offer only a menu or a single click.
    TrayMenu = new QMenu(this);
    TrayMenu->setObjectName("TrayMenu");
    TrayMenu->addAction("Развернуть", this, [this] { TrayIcon1DblClick(); });
    TrayMenu->addAction("Выход", this, [this] { close(); });
    TrayIcon1->setContextMenu(TrayMenu);
    updateTrayToolTip();

    connect(btnAddTunnel, &QPushButton::clicked, this, [this] { btnAddTunnelClick(); });
    connect(btnConfig, &QPushButton::clicked, this, [this] { btnConfigClick(); });
    connect(btnApply, &QPushButton::clicked, this, [this] { btnApplyClick(); });
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Many Linux trays report a single click only.
                if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
                    TrayIcon1DblClick();
            });
    connect(&frmTrafficMonitor, &TfrmTrafficMonitor::toggleKeyPressed, this,
            [this] { FormKeyDown(Qt::Key_O, Qt::ControlModifier); });

    // The controller's loop runs from the Qt event loop: posts wake it, and
    // its timers are kept by a Qt timer.
    controllerTimers_ = new QTimer(this);
    controllerTimers_->setSingleShot(true);
    controllerTimers_->setTimerType(Qt::PreciseTimer);
    connect(controllerTimers_, &QTimer::timeout, this, [this] { pumpController(); });
    loop_.setWakeup([this] {
        if (!pumpQueued_.exchange(true))
            QMetaObject::invokeMethod(this, "pumpController", Qt::QueuedConnection);
    });
    listeners_.add(*this);
    listeners_.add(observers_);
    controller_ = std::make_unique<TTunnelController>(loop_, listeners_);
    btnConfig->setEnabled(false);
}

TfrmZelvaneTunnel::~TfrmZelvaneTunnel() {
    FormDestroy();
    loop_.setWakeup(nullptr);
}

void TfrmZelvaneTunnel::pumpController() {
    pumpQueued_ = false;
    loop_.runPending();
    const int64_t next = loop_.msUntilNextTimer();
    if (next >= 0)
        controllerTimers_->start(static_cast<int>(next));
    else
        controllerTimers_->stop();
}

TTunnelController& TfrmZelvaneTunnel::controller() {
    if (!controller_)
        throw std::logic_error("the window is closed");
    return *controller_;
}

bool TfrmZelvaneTunnel::inWorkMode() const {
    return controller_ && controller_->inWorkMode();
}

TfrmConnection* TfrmZelvaneTunnel::panelOf(TTunnelId tunnel) const {
    const auto it = panels_.find(tunnel);
    return it == panels_.end() ? nullptr : it->second;
}

void TfrmZelvaneTunnel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window is drawn first; the load follows from the event loop.
    if (!fSettingsLoaded)
        QTimer::singleShot(0, this, [this] { FormShow(); });
}

void TfrmZelvaneTunnel::FormShow() {
    if (fSettingsLoaded || fDestroyed)
        return;
    fSettingsLoaded = true;
    controller_->load();
}

void TfrmZelvaneTunnel::btnAddTunnelClick() {
    TfrmConnection* panel = panelOf(controller_->addTunnel());
    if (!panel)
        return;
    // The user types the key next.
    if (auto* client = panel->slotFrame(stTCPClient)) {
        client->edtTunnelKey->setFocus();
        layout()->activate();
        scrollConnections->ensureWidgetVisible(panel, 0, 0);
    }
}

void TfrmZelvaneTunnel::btnApplyClick() {
    controller_->startWork();
}

void TfrmZelvaneTunnel::btnConfigClick() {
    controller_->stopWork();
}

void TfrmZelvaneTunnel::FormDestroy() {
    if (fDestroyed)
        return;
    fDestroyed = true;
    TrayIcon1->hide();
    TrayMenu->close();
    // Ports and connections close cleanly before the program ends; the
    // panels go with the window.
    listeners_.remove(*this);
    if (controller_->busy())
        QApplication::restoreOverrideCursor();
    controller_.reset();
    setEnabled(false);
}

void TfrmZelvaneTunnel::closeEvent(QCloseEvent* event) {
    FormDestroy();
    event->accept();
    emit closed();
}

// --- the controller's events

void TfrmZelvaneTunnel::tunnelAdded(TTunnelId tunnel, size_t position) {
    auto* panel = new TfrmConnection(*this, tunnel, gbConnections);
    // Below the bevel, above the closing stretch.
    static_cast<QVBoxLayout*>(gbConnections->layout())
        ->insertWidget(static_cast<int>(position) + 1, panel);
    fTunnels.insert(fTunnels.begin() + static_cast<std::ptrdiff_t>(position), panel);
    panels_[tunnel] = panel;
    panel->SetWorkMode(inWorkMode());
    updateTrayToolTip();
}

void TfrmZelvaneTunnel::tunnelRemoved(TTunnelId tunnel) {
    TfrmConnection* panel = panelOf(tunnel);
    if (!panel)
        return;
    // The focus does not go with the panel (nor nowhere, while busy).
    QWidget* focused = focusBeforeBusy_ ? focusBeforeBusy_.data() : focusWidget();
    if (panel->isAncestorOf(focused)) {
        focusBeforeBusy_ = btnAddTunnel;
        btnAddTunnel->setFocus();
    }
    panels_.erase(tunnel);
    std::erase(fTunnels, panel);
    panel->hide();
    panel->deleteLater();
    updateTrayToolTip();
}

void TfrmZelvaneTunnel::tunnelNumbered(TTunnelId tunnel, int32_t number) {
    if (TfrmConnection* panel = panelOf(tunnel))
        panel->showNumber(number);
}

void TfrmZelvaneTunnel::keyChanged(TTunnelId tunnel, const std::string& key) {
    if (TfrmConnection* panel = panelOf(tunnel))
        panel->showKey(key);
}

void TfrmZelvaneTunnel::learningStarted(TTunnelId tunnel) {
    const TCloudAddress server = cloudServerAddress();
    if (TfrmConnection* panel = panelOf(tunnel))
        if (auto* slot = panel->slotFrame(stTCPClient))
            slot->showLearning(true, server.host + ":" + std::to_string(server.port));
}

void TfrmZelvaneTunnel::learningFinished(TTunnelId tunnel, bool) {
    if (TfrmConnection* panel = panelOf(tunnel))
        if (auto* slot = panel->slotFrame(stTCPClient))
            slot->showLearning(false);
}

void TfrmZelvaneTunnel::slotAdded(TTunnelId tunnel, TSlotType kind) {
    if (TfrmConnection* panel = panelOf(tunnel))
        panel->addSlotFrame(kind);
}

void TfrmZelvaneTunnel::slotRemoved(TTunnelId tunnel, TSlotType kind) {
    if (TfrmConnection* panel = panelOf(tunnel))
        panel->removeSlotFrame(kind);
}

void TfrmZelvaneTunnel::slotWorkModeChanged(TTunnelId tunnel, TSlotType kind, bool work) {
    if (TfrmConnection* panel = panelOf(tunnel))
        if (auto* slot = panel->slotFrame(kind))
            slot->SetWorkMode(work);
}

void TfrmZelvaneTunnel::slotStatusChanged(TTunnelId tunnel, TSlotType kind,
                                          const TSlotStatus& status) {
    if (TfrmConnection* panel = panelOf(tunnel))
        if (auto* slot = panel->slotFrame(kind))
            slot->showStatus(status);
    updateTrayToolTip();
}

void TfrmZelvaneTunnel::portChanged(TTunnelId tunnel, const TPortInfo& port) {
    if (TfrmConnection* panel = panelOf(tunnel))
        if (auto* slot = panel->slotFrame(stComPort))
            slot->showPort(port);
}

void TfrmZelvaneTunnel::trafficChanged(TTunnelId tunnel, TSlotType kind, uint32_t sent,
                                       uint32_t received) {
    if (TfrmConnection* panel = panelOf(tunnel))
        if (auto* slot = panel->slotFrame(kind))
            slot->showTraffic(sent, received);
}

void TfrmZelvaneTunnel::workModeChanged(bool work) {
    for (auto* panel : fTunnels)
        panel->SetWorkMode(work);
    btnAddTunnel->setVisible(!work);
    btnConfig->setEnabled(work);
    btnApply->setEnabled(!work);
    updateTrayToolTip();
}

void TfrmZelvaneTunnel::updateTrayToolTip() {
    TTunnelCounts counts;
    counts.tunnels = fTunnels.size();
    for (auto* panel : fTunnels) {
        bool failing = false;
        for (auto* slot : panel->slotFrames()) {
            failing = failing || slot->statusIcon() == iconRed;
            if (slot->SlotType() == stTCPClient && slot->statusIcon() == iconGreen)
                ++counts.connected;
        }
        counts.failing += failing ? 1 : 0;
    }
    TrayIcon1->setToolTip(QString::fromStdString(trayToolTipText(inWorkMode(), counts)));
}

void TfrmZelvaneTunnel::busyChanged(bool busy) {
    // While keys are learnt for a load or a start, or a pair is installed,
    // the window takes no commands; the focus comes back afterwards.
    if (busy)
        focusBeforeBusy_ = focusWidget();
    scrollConnections->setEnabled(!busy);
    Panel1->setEnabled(!busy);
    if (!busy && focusBeforeBusy_)
        std::exchange(focusBeforeBusy_, nullptr)->setFocus();
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TfrmZelvaneTunnel::message(const TTunnelMessage& message) {
    // Shown from the Qt loop: the controller goes on while the box is open.
    const QString text = QString::fromStdString(messageText(message));
    QTimer::singleShot(0, this, [this, text] { dialogs().showError(this, text); });
}

void TfrmZelvaneTunnel::conflictQuestion(const TConflictQuestion& question) {
    const QString text = QString::fromStdString(conflictQuestionText(question));
    const TTunnelId tunnel = question.tunnel;
    QTimer::singleShot(0, this, [this, text, tunnel] {
        const bool takeOver = dialogs().askYesCancel(this, text);
        if (!controller_)
            return;
        controller_->answerConflict(tunnel, takeOver ? TConflictAnswer::TakeOver
                                                     : TConflictAnswer::StopWork);
        // Work stopped: the focus goes to the button that starts it again,
        // never to a tunnel's delete button, where Space would delete it.
        (inWorkMode() ? btnConfig : btnApply)->setFocus();
    });
}

// --- window behaviour

void TfrmZelvaneTunnel::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // Back where it was, not where the window manager put it when it was
    // shown again: the first move after that is corrected.
    if (placeBeforeTray_ && isVisible() && !isMinimized())
        move(*std::exchange(placeBeforeTray_, std::nullopt));
}

void TfrmZelvaneTunnel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Shown and placed: later moves are the user's.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        placeBeforeTray_.reset();
    if (event->type() != QEvent::WindowStateChange)
        return;
    const auto previous = static_cast<QWindowStateChangeEvent*>(event)->oldState();
    if (isMinimized())
        ApplicationEvents1Minimize();
    else if (previous & Qt::WindowMinimized)
        ApplicationEvents1Restore();
}

void TfrmZelvaneTunnel::ApplicationEvents1Minimize() {
    // Without a notification area the window stays in the task bar: hidden,
    // nothing would bring it back.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    QTimer::singleShot(0, this, [this] {
        placeBeforeTray_ = pos();
        hide();
        TrayIcon1->show();
    });
}

void TfrmZelvaneTunnel::ApplicationEvents1Restore() {
    relayout();
}

void TfrmZelvaneTunnel::TrayIcon1DblClick() {
    TrayIcon1->hide();
    showNormal();
    relayout();
    raise();
    activateWindow();
}

void TfrmZelvaneTunnel::bringToFront() {
    if (fDestroyed)
        return;
    if (isHidden() || isMinimized()) {
        TrayIcon1DblClick();
        return;
    }
    raise();
    activateWindow();
}

void TfrmZelvaneTunnel::relayout() {
    layout()->invalidate();
    layout()->activate();
    adjustSize();
}

void TfrmZelvaneTunnel::keyPressEvent(QKeyEvent* event) {
    FormKeyDown(event->key(), event->modifiers());
    QWidget::keyPressEvent(event);
}

void TfrmZelvaneTunnel::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
    if (!(modifiers & Qt::ControlModifier) || key != Qt::Key_O)
        return;
    LoggingEnabled = !LoggingEnabled;
    frmTrafficMonitor.setVisible(LoggingEnabled);
}
