#pragma once

#include "ui/window_message.h"

#include <QWidget>

#include <string>
#include <vector>

class QPlainTextEdit;

// The traffic monitor: a hidden window whose memo shows the diagnostic log
// while logging is on. Closing it switches logging off. It opens wide enough
// for whole log lines and keeps the size the user gives it in a small file
// beside the settings file; Ctrl+O in it is passed on to the main window.
class TfrmTrafficMonitor : public QWidget {
    Q_OBJECT
public:
    explicit TfrmTrafficMonitor(QWidget* parent = nullptr);
    ~TfrmTrafficMonitor() override;

    // Moves every queued log line into the memo.
    void FlushLogQueue();

    QPlainTextEdit* Memo1;

    // Where the monitor keeps its size.
    static std::string sizeFilePath();

signals:
    void toggleKeyPressed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void restoreSize();
    void saveSize() const;

    std::vector<std::string> lines_; // the memo's lines
    TWindowHandle handle_;
};
