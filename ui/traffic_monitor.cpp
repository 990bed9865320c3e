#include "ui/traffic_monitor.h"

#include "log/traffic_log.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

TfrmTrafficMonitor::TfrmTrafficMonitor(QWidget* parent)
    : QWidget(parent, Qt::Window), handle_([this](uint32_t message) {
          if (message == WM_LOG_ADDED)
              FlushLogQueue();
      }) {
    setWindowTitle("Traffic monitor");
    setObjectName("frmTrafficMonitor");
    QFont font("Tahoma");
    font.setPixelSize(11);
    setFont(font);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo1);
    resize(423, 238);
    MonitorWindowHandle = handle_.get();
}

TfrmTrafficMonitor::~TfrmTrafficMonitor() {
    LoggingEnabled = false;
    HWND mine = handle_.get();
    MonitorWindowHandle.compare_exchange_strong(mine, 0);
}

void TfrmTrafficMonitor::closeEvent(QCloseEvent* event) {
    LoggingEnabled = false;
    event->accept(); // hides the window; it lives on
}

void TfrmTrafficMonitor::FlushLogQueue() {
    const std::string batch = takeLogQueue();
    if (batch.empty())
        return; // an earlier message took this line already
    const size_t kept = lines_.size();
    const size_t removed = appendLogBatch(lines_, batch);

    Memo1->setUpdatesEnabled(false);
    if (removed > 0) {
        QTextCursor cut(Memo1->document());
        cut.movePosition(QTextCursor::Start);
        cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                         static_cast<int>(removed));
        cut.removeSelectedText();
    }
    QString added;
    for (size_t i = kept - removed; i < lines_.size(); ++i) {
        if (!added.isEmpty())
            added += '\n';
        added += QString::fromStdString(lines_[i]);
    }
    Memo1->appendPlainText(added);
    Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
    Memo1->setUpdatesEnabled(true);
}
