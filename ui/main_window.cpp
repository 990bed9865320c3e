#include "ui/main_window.h"

#include "driver/device_watch.h"
#include "log/traffic_log.h"
#include "portpairs/ports_refresher.h"
#include "settings/settings_file.h"
#include "ui/dialogs.h"
#include "ui/hub_frame.h"
#include "ui/status_icons.h"
#include "ui/traffic_monitor.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// Workers get this long to end when the program closes.
constexpr uint32_t shutdownWaitMs = 2000;
} // namespace

TfrmZelvaneTunnel::TfrmZelvaneTunnel(TfrmTrafficMonitor& monitor)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      frmTrafficMonitor(monitor), handle_([this](uint32_t message) { windowMessage(message); }) {
    setObjectName("frmZelvaneTunnel");
    setWindowTitle("Zelvane tunnel");

    gbConnections = new QWidget(this);
    gbConnections->setObjectName("gbConnections");
    Bevel1 = new QWidget(gbConnections);
    Bevel1->setFixedHeight(12);
    auto* tunnelList = new QVBoxLayout(gbConnections);
    tunnelList->setContentsMargins(0, 0, 0, 0);
    tunnelList->setSpacing(10);
    tunnelList->addWidget(Bevel1);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(68);
    btnAddTunnel = new QPushButton("Добавить туннель", Panel1);
    btnAddTunnel->setObjectName("btnAddTunnel");
    btnConfig = new QPushButton("Конфигурировать", Panel1);
    btnConfig->setObjectName("btnConfig");
    btnApply = new QPushButton("Начать работу", Panel1);
    btnApply->setObjectName("btnApply");
    btnSaveConfig = new QPushButton("Сохранить конфигурацию", Panel1);
    btnSaveConfig->hide();
    auto* bar = new QGridLayout(Panel1);
    bar->setContentsMargins(0, 4, 0, 4);
    bar->setColumnStretch(0, 1);
    bar->addWidget(btnAddTunnel, 0, 2);
    bar->addWidget(btnConfig, 1, 1);
    bar->addWidget(btnApply, 1, 2);

    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(5, 5, 5, 5);
    window->setSizeConstraint(QLayout::SetFixedSize);
    window->addWidget(gbConnections);
    window->addWidget(Panel1);
    gbConnections->setMinimumWidth(793 - 10);

    TrayIcon1 = new QSystemTrayIcon(this);
    QIcon icon = QApplication::windowIcon();
    TrayIcon1->setIcon(icon.isNull() ? QIcon(statusIcon(3)) : icon);

    refreshComportNames = new QTimer(this);
    refreshComportNames->setInterval(1000);
    refreshComportNames->setTimerType(Qt::PreciseTimer);

    connect(btnAddTunnel, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnAddTunnelClick(); }); });
    connect(btnConfig, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnConfigClick(); }); });
    connect(btnApply, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnApplyClick(); }); });
    connect(btnSaveConfig, &QPushButton::clicked, this,
            [this] { runUserAction(this, [this] { btnSaveConfigClick(); }); });
    connect(TrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Many Linux trays report a single click only.
                if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
                    TrayIcon1DblClick();
            });
    connect(refreshComportNames, &QTimer::timeout, this, [this] { refreshComportNamesTimer(); });

    // The pair store changes when pairs come and go: a device change.
    const HWND self = Handle();
    fDeviceWatch = std::make_unique<TDeviceWatch>([self] { PostMessage(self, WM_DEVICECHANGE); });
}

TfrmZelvaneTunnel::~TfrmZelvaneTunnel() {
    FormDestroy();
}

bool TfrmZelvaneTunnel::inWorkMode() const {
    return fWorkMode;
}

void TfrmZelvaneTunnel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window is drawn first; the load follows from the event loop.
    if (!fSettingsLoaded)
        QTimer::singleShot(0, this, [this] { FormShow(); });
}

void TfrmZelvaneTunnel::FormShow() {
    if (fSettingsLoaded)
        return;
    fSettingsLoaded = true;
    hubList.clear();
    btnConfigClick();

    // Every stored tunnel is read before any panel exists, and saves wait
    // until the end: a save erases the section and writes what is on screen.
    fLoading = true;
    std::string loadError;
    size_t loaded = 0;
    {
        TBusyWindow busy(*this);
        try {
            TIniFile ini = openSettingsFile();
            for (const TStoredTunnel& stored : readStoredTunnels(ini)) {
                TfrmConnection* panel = addTunnel();
                ++loaded;
                try {
                    panel->LoadSettings(ini, stored.index);
                } catch (const std::exception& e) {
                    if (loadError.empty())
                        loadError = e.what();
                }
            }
        } catch (const std::exception& e) {
            loadError = e.what();
        }
    }
    fLoading = false;
    if (fSaveHeldBack) {
        fSaveHeldBack = false;
        runUserAction(this, [this] { btnSaveConfigClick(); });
    }
    if (!loadError.empty())
        showActionError(this, loadError.c_str());
    else if (loaded > 0)
        btnApplyClick();
    emit loadFinished();
}

TfrmConnection* TfrmZelvaneTunnel::addTunnel() {
    auto* panel = new TfrmConnection(*this, gbConnections);
    gbConnections->layout()->addWidget(panel);
    fTunnels.push_back(panel);
    return panel;
}

void TfrmZelvaneTunnel::btnAddTunnelClick() {
    addTunnel()->btnAddClientClick();
    btnSaveConfigClick();
}

void TfrmZelvaneTunnel::btnApplyClick() {
    const std::vector<TfrmConnection*> tunnels = fTunnels;
    for (auto* tunnel : tunnels)
        if (!tunnel->CheckConfigBeforeWork())
            return;
    try {
        // Numbered 1, 2, ... from the top, started from the bottom up.
        for (size_t i = tunnels.size(); i-- > 0;)
            tunnels[i]->SetWorkMode(true, static_cast<int32_t>(i + 1));
        btnAddTunnel->hide();
        btnConfig->setEnabled(true);
        btnApply->setEnabled(false);
        fWorkMode = true;
    } catch (const std::exception&) {
        btnConfigClick();
    }
}

void TfrmZelvaneTunnel::btnConfigClick() {
    const std::vector<TfrmConnection*> tunnels = fTunnels;
    for (size_t i = tunnels.size(); i-- > 0;)
        tunnels[i]->SetWorkMode(false, static_cast<int32_t>(i + 1));
    btnAddTunnel->show();
    btnConfig->setEnabled(false);
    btnApply->setEnabled(true);
    fWorkMode = false;
}

void TfrmZelvaneTunnel::btnSaveConfigClick() {
    if (fLoading) {
        fSaveHeldBack = true;
        return;
    }
    TIniFile ini = openSettingsFile();
    // One replacement of the file: a failure leaves the previous configuration.
    ini.Update([&] {
        ini.EraseSection(ConnectionsSection);
        int32_t k = 0;
        for (auto* tunnel : fTunnels)
            tunnel->SaveSettings(ini, k++);
    });
}

void TfrmZelvaneTunnel::forgetTunnel(TfrmConnection* panel) {
    std::erase(fTunnels, panel);
}

void TfrmZelvaneTunnel::releaseTunnel(TfrmConnection* panel) {
    forgetTunnel(panel);
    panel->hide();
    panel->deleteLater();
    runUserAction(this, [this] { btnSaveConfigClick(); });
}

void TfrmZelvaneTunnel::FormDestroy() {
    if (fDestroyed)
        return;
    fDestroyed = true;
    refreshComportNames->stop();
    fDeviceWatch.reset();
    if (inWorkMode())
        btnConfigClick();
    for (const auto& refresher : fRefreshers)
        if (const auto running = refresher.lock())
            running->Terminate();
    TrayIcon1->hide();
    // Ports and connections close cleanly before the program ends.
    waitForAllThreads(shutdownWaitMs);
    hubList.clear();
}

void TfrmZelvaneTunnel::closeEvent(QCloseEvent* event) {
    if (fBusy > 0) {
        // Closed once the long operation is over.
        fCloseRequested = true;
        event->ignore();
        return;
    }
    FormDestroy();
    event->accept();
    emit closed();
}

void TfrmZelvaneTunnel::beginBusy() {
    if (fBusy++ > 0)
        return;
    gbConnections->setEnabled(false);
    Panel1->setEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
}

void TfrmZelvaneTunnel::endBusy() {
    if (--fBusy > 0)
        return;
    gbConnections->setEnabled(true);
    Panel1->setEnabled(true);
    QApplication::restoreOverrideCursor();
    if (fCloseRequested)
        QTimer::singleShot(0, this, [this] { close(); });
}

void TfrmZelvaneTunnel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
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

void TfrmZelvaneTunnel::windowMessage(uint32_t message) {
    if (message == WM_DEVICECHANGE) {
        // A burst of changes gives one refresh, a second after the last.
        refreshComportNames->stop();
        refreshComportNames->start();
    }
}

void TfrmZelvaneTunnel::refreshComportNamesTimer() {
    refreshComportNames->stop();
    const bool anyComPort = std::any_of(fTunnels.begin(), fTunnels.end(), [](auto* tunnel) {
        return tunnel->hasSomeComportConfigured();
    });
    if (!anyComPort)
        return;
    std::erase_if(fRefreshers, [](const auto& refresher) { return refresher.expired(); });
    QPointer<TfrmZelvaneTunnel> self(this);
    fRefreshers.push_back(startThread<TThreadPortsRefresher>([self](TC0cPortsHandler& pairs) {
        if (self)
            self->onPortPairsRefreshed(pairs);
    }));
}

void TfrmZelvaneTunnel::onPortPairsRefreshed(TC0cPortsHandler& pairs) {
    for (auto* tunnel : std::vector(fTunnels))
        tunnel->receiveUpdatedPortPairs(pairs);
    emit portPairsRefreshed();
}
