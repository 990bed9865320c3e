#include "app/headless_console.h"

#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"

#include <QGuiApplication>
#include <QLabel>

#include <algorithm>
#include <cstdio>

THeadlessConsole::THeadlessConsole(TfrmZelvaneTunnel& window) : window_(window) {
    setDialogs(this);
    connect(&window_, &TfrmZelvaneTunnel::slotTextsShown, this,
            [this](TfrmConnectionItemFrame* slot) { printSlot(slot); });
}

THeadlessConsole::~THeadlessConsole() {
    setDialogs(nullptr);
}

bool THeadlessConsole::needed() {
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

void THeadlessConsole::showError(QWidget*, const QString& text) {
    print("Error: " + text);
}

bool THeadlessConsole::askYesCancel(QWidget*, const QString& text) {
    print("Question: " + text);
    print("Answered: Cancel (no one to ask without a display)");
    return false;
}

void THeadlessConsole::printSlot(TfrmConnectionItemFrame* slot) {
    const auto& tunnels = window_.tunnels();
    const auto tunnel = std::find_if(tunnels.begin(), tunnels.end(), [slot](TfrmConnection* t) {
        const auto& frames = t->slotFrames();
        return std::find(frames.begin(), frames.end(), slot) != frames.end();
    });
    // A panel still being built shows placeholders; its first status follows.
    if (tunnel == tunnels.end())
        return;
    // Tunnels are numbered from the top, as work numbers them.
    const auto number = tunnel - tunnels.begin() + 1;
    const bool serial = slot->SlotType() == stComPort;
    const std::pair<const char*, QLabel*> shown[] = {
        {"port", serial ? slot->lblSelectedComport : nullptr},
        {serial ? "port status" : "cloud status", serial ? slot->lblPortInfo : slot->lblTunnelInfo},
    };
    for (const auto& [what, label] : shown) {
        if (!label || label->text().isEmpty() || shown_[label] == label->text())
            continue;
        shown_[label] = label->text();
        print(QString("Tunnel %1 %2: %3").arg(number).arg(what, label->text()));
    }
}

void THeadlessConsole::print(const QString& line) {
    std::fputs((line + "\n").toUtf8().constData(), stdout);
    std::fflush(stdout);
}
