#pragma once

#include "app/console_printer.h"
#include "ui/dialogs.h"

class TfrmZelvaneTunnel;

// The window on a platform without a screen (QT_QPA_PLATFORM=offscreen):
// nobody sees it or answers its boxes, so the console printer says what the
// panels show and what the boxes say, and every question is answered with
// Cancel.
class THeadlessConsole : public TDialogs, public TTunnelListener {
public:
    explicit THeadlessConsole(TfrmZelvaneTunnel& window);
    ~THeadlessConsole() override;

    void showError(QWidget* parent, const QString& text) override;
    bool askYesCancel(QWidget* parent, const QString& text) override;

    void tunnelRemoved(TTunnelId tunnel) override { printer_.tunnelRemoved(tunnel); }
    void slotStatusChanged(TTunnelId tunnel, TSlotType kind, const TSlotStatus& status) override {
        printer_.slotStatusChanged(tunnel, kind, status);
    }
    void portChanged(TTunnelId tunnel, const TPortInfo& port) override {
        printer_.portChanged(tunnel, port);
    }

    // True when the program runs on a platform without a screen.
    static bool needed();

private:
    TfrmZelvaneTunnel& window_;
    TConsolePrinter printer_;
};
