#include "ui/traffic_monitor.h"

#include "log/traffic_log.h"
#include "settings/settings_file.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {
// Characters of a log line the monitor shows without scrolling: the time
// stamp and a status or traffic line.
constexpr int lineChars = 120;
constexpr int shownLines = 24;
// Sizes read back from the file are kept within these bounds.
constexpr int smallest = 200;
constexpr int largest = 16384;
} // namespace

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
    restoreSize();
    MonitorWindowHandle = handle_.get();
}

TfrmTrafficMonitor::~TfrmTrafficMonitor() {
    if (isVisible())
        saveSize();
    LoggingEnabled = false;
    HWND mine = handle_.get();
    MonitorWindowHandle.compare_exchange_strong(mine, 0);
}

void TfrmTrafficMonitor::closeEvent(QCloseEvent* event) {
    LoggingEnabled = false;
    event->accept(); // hides the window; it lives on
}

void TfrmTrafficMonitor::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        saveSize();
}

void TfrmTrafficMonitor::keyPressEvent(QKeyEvent* event) {
    if ((event->modifiers() & Qt::ControlModifier) && event->key() == Qt::Key_O) {
        emit toggleKeyPressed();
        return;
    }
    QWidget::keyPressEvent(event);
}

std::string TfrmTrafficMonitor::sizeFilePath() {
    return (std::filesystem::path(settingsFilePath()).parent_path() / "traffic-monitor.size")
        .string();
}

void TfrmTrafficMonitor::restoreSize() {
    const QFontMetrics metrics(Memo1->font());
    const int bars = Memo1->verticalScrollBar()->sizeHint().width() + 2 * Memo1->frameWidth() +
                     2 * static_cast<int>(Memo1->document()->documentMargin());
    QSize size(metrics.horizontalAdvance(QString(lineChars, '0')) + bars,
               metrics.lineSpacing() * shownLines + bars);
    // "WIDTHxHEIGHT", as saveSize() writes it; anything else is ignored.
    std::ifstream file(sizeFilePath());
    std::string line;
    int width = 0, height = 0;
    char rest = 0;
    if (std::getline(file, line) &&
        std::sscanf(line.c_str(), "%dx%d%c", &width, &height, &rest) == 2 && width >= smallest &&
        width <= largest && height >= smallest && height <= largest)
        size = QSize(width, height);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableSize());
    resize(size);
}

void TfrmTrafficMonitor::saveSize() const {
    std::ofstream file(sizeFilePath(), std::ios::trunc);
    file << width() << "x" << height() << "\n";
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
