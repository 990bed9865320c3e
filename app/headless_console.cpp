#include "app/headless_console.h"

#include "ui/main_window.h"

#include <QGuiApplication>

THeadlessConsole::THeadlessConsole(TfrmZelvaneTunnel& window)
    : window_(window), printer_(window.controller()) {
    setDialogs(this);
    window_.observers().add(*this);
}

THeadlessConsole::~THeadlessConsole() {
    window_.observers().remove(*this);
    setDialogs(nullptr);
}

bool THeadlessConsole::needed() {
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

void THeadlessConsole::showError(QWidget*, const QString& text) {
    printer_.error(text.toStdString());
}

bool THeadlessConsole::askYesCancel(QWidget*, const QString& text) {
    printer_.question(text.toStdString());
    return false;
}
