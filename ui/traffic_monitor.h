#pragma once

#include "ui/window_message.h"

#include <QWidget>

#include <string>
#include <vector>

class QPlainTextEdit;

// The traffic monitor: a hidden window whose memo shows the diagnostic log
// while logging is on. Closing it switches logging off.
class TfrmTrafficMonitor : public QWidget {
    Q_OBJECT
public:
    explicit TfrmTrafficMonitor(QWidget* parent = nullptr);
    ~TfrmTrafficMonitor() override;

    // Moves every queued log line into the memo.
    void FlushLogQueue();

    QPlainTextEdit* Memo1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::vector<std::string> lines_; // the memo's lines
    TWindowHandle handle_;
};
