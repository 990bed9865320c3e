#include "ui/dialogs.h"

#include <QMessageBox>
#include <QPushButton>

namespace {

const char* const boxTitle = "Zelvane Tunnel";

class TMessageBoxes : public TDialogs {
public:
    void showError(QWidget* parent, const QString& text) override {
        QMessageBox box(QMessageBox::Critical, boxTitle, text, QMessageBox::Ok, parent);
        box.exec();
    }
    bool askYesCancel(QWidget* parent, const QString& text) override {
        QMessageBox box(QMessageBox::Question, boxTitle, text,
                        QMessageBox::Yes | QMessageBox::Cancel, parent);
        box.button(QMessageBox::Yes)->setText("Да");
        box.button(QMessageBox::Cancel)->setText("Отмена");
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes;
    }
};

TMessageBoxes messageBoxes;
TDialogs* current = &messageBoxes;

} // namespace

TDialogs& dialogs() {
    return *current;
}

void setDialogs(TDialogs* replacement) {
    current = replacement ? replacement : &messageBoxes;
}
