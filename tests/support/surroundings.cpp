#include "support/surroundings.h"

#include "cloud/cloud_address.h"
#include "cloudsim/simulator.h"
#include "driver/pair_store.h"
#include "portpairs/ports_handler.h"
#include "settings/settings_file.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

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
    options.tunnels = {tunnel(goodKey, 1, 1, "Стенд"),    tunnel(portlessKey, 2, 0, "Без порта"),
                       tunnel(futureKey, 3, 2, "Новый"),  tunnel(goodKey2, 4, 1, "Стенд 2"),
                       tunnel(goodKey3, 5, 1, "Стенд 3"), tunnel(goodKey4, 6, 1, "Стенд 4")};
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

void removeAllPairs() {
    for (int pair : installedPairs())
        TC0cPortsHandler::UninstallPair(pair);
}

void writeSettings(const std::string& text) {
    std::filesystem::create_directories(settingsPath().parent_path());
    std::ofstream(settingsPath()) << text;
}

std::string settingsText() {
    std::ifstream in(settingsPath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

SilentCloud::SilentCloud() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0)
        std::abort();
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    setCloudServerAddress("127.0.0.1", ntohs(address.sin_port));
}

SilentCloud::~SilentCloud() {
    hangUp();
    setCloudServerAddress("127.0.0.1", testCloudPort());
}

void SilentCloud::hangUp() {
    if (listener_ < 0)
        return;
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 20000) == 1)
        ::close(::accept(listener_, nullptr, nullptr));
    ::close(listener_);
    listener_ = -1;
}

std::string userPortOnceThere(int pair) {
    const std::string path = userFacingPortPath(pair);
    if (!waitUntil([&] { return std::filesystem::exists(path); }))
        throw std::runtime_error("no port " + path);
    return path;
}
