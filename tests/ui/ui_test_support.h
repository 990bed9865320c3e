#pragma once

#include "model/connection.h"
#include "support/surroundings.h"
#include "ui/dialogs.h"

#include <QString>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TfrmConnection;
class TfrmConnectionItemFrame;
class TfrmTrafficMonitor;
class TfrmZelvaneTunnel;

// Runs the event loop until `condition` holds; false after `timeout`.
bool processUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Answers the boxes of the interface and remembers what they said. A box is
// modal and keeps the event loop running, so `whileOpen` runs inside it.
class TScriptedDialogs : public TDialogs {
public:
    void showError(QWidget* parent, const QString& text) override;
    bool askYesCancel(QWidget* parent, const QString& text) override;

    std::vector<std::string> errors;
    std::vector<std::string> questions;
    // Answers to the questions in turn; Yes once they are used up.
    std::deque<bool> answers;
    std::function<void()> whileOpen;
};

// A test with a fresh settings file, answered boxes and the program's windows.
class UiTest : public ::testing::Test {
protected:
    UiTest();
    ~UiTest() override;
    void SetUp() override;
    void TearDown() override;

    // Creates the windows, shows the main window and waits until its
    // first-show load has finished.
    TfrmZelvaneTunnel& startProgram();
    // Closes the main window as the user does.
    void closeProgram();

    static TfrmConnectionItemFrame* slotOf(TfrmConnection* tunnel, TSlotType type);
    // Types the key into the tunnel's client slot, presses "Применить" and
    // waits until the cloud answered.
    void applyKey(TfrmConnection* tunnel, const std::string& key);
    // Adds a tunnel as the user does and applies the key.
    TfrmConnection* addTunnelWithKey(const std::string& key);

    TScriptedDialogs boxes;
    std::unique_ptr<TfrmTrafficMonitor> monitor;
    std::unique_ptr<TfrmZelvaneTunnel> window;
};
