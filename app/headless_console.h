#pragma once

#include "ui/dialogs.h"

#include <QObject>

#include <map>

class QLabel;
class TfrmConnectionItemFrame;
class TfrmZelvaneTunnel;

// Without a display nobody sees the window or answers its boxes. The console
// prints each tunnel's virtual port and status texts on standard output as
// the panels show them, prints the boxes' messages, and answers every
// question with Cancel: without a user the program never takes a channel over
// from another tunnel.
class THeadlessConsole : public QObject, public TDialogs {
public:
    explicit THeadlessConsole(TfrmZelvaneTunnel& window);
    ~THeadlessConsole() override;

    void showError(QWidget* parent, const QString& text) override;
    bool askYesCancel(QWidget* parent, const QString& text) override;

    // True when the program runs on a platform without a screen.
    static bool needed();

private:
    void printSlot(TfrmConnectionItemFrame* slot);
    void print(const QString& line);

    TfrmZelvaneTunnel& window_;
    std::map<const QLabel*, QString> shown_;
};
