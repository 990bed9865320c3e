#pragma once

#include <QString>

class QWidget;

// The modal boxes of the interface. Tests install their own to answer them.
class TDialogs {
public:
    virtual ~TDialogs() = default;
    // Error box with one OK button.
    virtual void showError(QWidget* parent, const QString& text) = 0;
    // Question with the buttons Yes and Cancel; true for Yes.
    virtual bool askYesCancel(QWidget* parent, const QString& text) = 0;
};

// The boxes in use: message boxes unless a test installed others.
TDialogs& dialogs();
// Null puts the message boxes back.
void setDialogs(TDialogs* replacement);
