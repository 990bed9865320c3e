#include "ui/qt_platform.h"
#include "ui_test_support.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Test discovery runs this program without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    setUpTestSurroundings();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    installQtPlatformHooks();
    ::testing::InitGoogleTest(&argc, argv);
    startTestCloud();
    const int result = RUN_ALL_TESTS();
    removeQtPlatformHooks();
    tearDownTestSurroundings();
    return result;
}
