#include "app/headless_console.h"

#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"

#include <QGuiApplication>
#include <QLabel>

#include <cstdio>

namespace {
// Status texts change at human pace; four looks a second keep the console
// current without waking the program more than that.
constexpr int pollIntervalMs = 250;
} // namespace

THeadlessConsole::THeadlessConsole(TfrmZelvaneTunnel& window) : window_(window) {
    setDialogs(this);
    connect(&poll_, &QTimer::timeout, this, [this] { printChanges(); });
    poll_.start(pollIntervalMs);
}

THeadlessConsole::~THeadlessConsole() {
    setDialogs(nullptr);
}

bool THeadlessConsole::needed() {
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

// A box comes up in the middle of a status change: the status it is about is
// printed first.
void THeadlessConsole::showError(QWidget*, const QString& text) {
    printChanges();
    print("Error: " + text);
}

bool THeadlessConsole::askYesCancel(QWidget*, const QString& text) {
    printChanges();
    print("Question: " + text);
    print("Answered: Cancel (no one to ask without a display)");
    return false;
}

void THeadlessConsole::printChanges() {
    int number = 0;
    for (TfrmConnection* tunnel : window_.tunnels()) {
        ++number;
        for (TfrmConnectionItemFrame* slot : tunnel->slotFrames()) {
            const bool serial = slot->SlotType() == stComPort;
            const std::pair<const char*, QLabel*> shown[] = {
                {"port", serial ? slot->lblSelectedComport : nullptr},
                {serial ? "port status" : "cloud status",
                 serial ? slot->lblPortInfo : slot->lblTunnelInfo},
            };
            for (const auto& [what, label] : shown) {
                if (!label || label->text().isEmpty())
                    continue;
                const std::string key = std::to_string(reinterpret_cast<uintptr_t>(label));
                if (shown_[key] == label->text())
                    continue;
                shown_[key] = label->text();
                print(QString("Tunnel %1 %2: %3").arg(number).arg(what, label->text()));
            }
        }
    }
}

void THeadlessConsole::print(const QString& line) {
    std::fputs((line + "\n").toUtf8().constData(), stdout);
    std::fflush(stdout);
}
