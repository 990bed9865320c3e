#include "ui_test_support.h"

#include "cloud/cloud_address.h"
#include "cloudsim/simulator.h"
#include "driver/pair_store.h"
#include "portpairs/ports_handler.h"
#include "settings/settings_file.h"
#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/traffic_monitor.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {

std::filesystem::path root;
std::unique_ptr<cloudsim::Simulator> cloud;
std::mutex cloudLogLock;
std::vector<std::string> cloudLog;

cloudsim::TunnelConfig tunnel(const std::string& key, uint8_t id, uint8_t localInterface,
                              const std::string& name) {
    cloudsim::TunnelConfig config;
    config.key = key;
    config.id = id;
    config.localInterfaceId = localInterface;
    config.name = name;
    return config;
}

} // namespace

void setUpTestSurroundings() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zvui-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    root = pattern;
    for (const char* folder : {"config", "state", "run"})
        std::filesystem::create_directory(root / folder);
    std::filesystem::permissions(root / "run", std::filesystem::perms::owner_all);
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    setPairProgramsFolder(ZELVANE_PROGRAMS_DIR);
}

void startTestCloud() {
    cloudsim::SimOptions options = cloudsim::defaultOptions();
    options.listenPort = 0;
    options.tunnels = {tunnel(goodKey, 1, 1, "Стенд"), tunnel(portlessKey, 2, 0, "Без порта"),
                       tunnel(futureKey, 3, 2, "Новый")};
    cloud = std::make_unique<cloudsim::Simulator>(options, [](const std::string& line) {
        std::lock_guard guard(cloudLogLock);
        cloudLog.push_back(line);
    });
    cloud->start();
    setCloudServerAddress("127.0.0.1", cloud->port());
}

uint16_t testCloudPort() {
    return cloud->port();
}

bool cloudLogged(const std::string& text) {
    std::lock_guard guard(cloudLogLock);
    for (const auto& line : cloudLog)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

void tearDownTestSurroundings() {
    cloud.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::filesystem::path settingsPath() {
    return settingsFilePath();
}

bool processUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void TScriptedDialogs::showError(QWidget*, const QString& text) {
    errors.push_back(text.toStdString());
    if (whileOpen)
        whileOpen();
}

bool TScriptedDialogs::askYesCancel(QWidget*, const QString& text) {
    questions.push_back(text.toStdString());
    if (whileOpen)
        whileOpen();
    if (answers.empty())
        return true;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
}

void removeAllPairs() {
    for (int pair : installedPairs())
        TC0cPortsHandler::UninstallPair(pair);
}

UiTest::UiTest() = default;
UiTest::~UiTest() = default;

void UiTest::SetUp() {
    std::error_code ignored;
    std::filesystem::remove_all(settingsPath().parent_path(), ignored);
    setDialogs(&boxes);
}

void UiTest::TearDown() {
    closeProgram();
    window.reset();
    monitor.reset();
    setDialogs(nullptr);
    removeAllPairs();
    // Releases of panels still queued.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TfrmZelvaneTunnel& UiTest::startProgram() {
    monitor = std::make_unique<TfrmTrafficMonitor>();
    window = std::make_unique<TfrmZelvaneTunnel>(*monitor);
    window->show();
    EXPECT_TRUE(processUntil([this] { return window->settingsLoaded(); }));
    return *window;
}

void UiTest::closeProgram() {
    if (window && window->isVisible())
        window->close();
}

void UiTest::writeSettings(const std::string& text) {
    std::filesystem::create_directories(settingsPath().parent_path());
    std::ofstream(settingsPath()) << text;
}

std::string UiTest::settingsText() const {
    std::ifstream in(settingsPath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TfrmConnectionItemFrame* UiTest::slotOf(TfrmConnection* tunnel, TSlotType type) {
    for (auto* slot : tunnel->slotFrames())
        if (slot->SlotType() == type)
            return slot;
    return nullptr;
}

void UiTest::applyKey(TfrmConnection* tunnel, const std::string& key) {
    TfrmConnectionItemFrame* client = slotOf(tunnel, stTCPClient);
    ASSERT_NE(client, nullptr);
    client->edtTunnelKey->setText(QString::fromStdString(key));
    client->btnApplyTunnelKey->click();
}

TfrmConnection* UiTest::addTunnelWithKey(const std::string& key) {
    window->btnAddTunnel->click();
    TfrmConnection* tunnel = window->tunnels().back();
    applyKey(tunnel, key);
    return tunnel;
}
