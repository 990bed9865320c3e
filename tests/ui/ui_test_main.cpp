#include "ui/qt_platform.h"
#include "ui_test_support.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

// The offscreen platform with one 1280x800 screen, the size of a small
// laptop's: the window must fit it. Returns the file to remove once read.
std::filesystem::path useLaptopScreen() {
    const auto config = std::filesystem::temp_directory_path() /
                        ("zelvane-ui-screen-" + std::to_string(getpid()) + ".json");
    std::ofstream(config) << R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1280,
                                 "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96,
                                 "dpr": 1}]})";
    qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config.string()).c_str());
    return config;
}

} // namespace

int main(int argc, char** argv) {
    // Test discovery runs this program without the test environment.
    std::filesystem::path screenConfig;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen")
        screenConfig = useLaptopScreen();
    setUpTestSurroundings();
    QApplication app(argc, argv);
    if (!screenConfig.empty())
        std::filesystem::remove(screenConfig);
    QApplication::setQuitOnLastWindowClosed(false);
    installQtPlatformHooks();
    ::testing::InitGoogleTest(&argc, argv);
    startTestCloud();
    const int result = RUN_ALL_TESTS();
    removeQtPlatformHooks();
    tearDownTestSurroundings();
    return result;
}
