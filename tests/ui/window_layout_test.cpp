// The window as a desktop user meets it on a 1280x800 screen: it fits, every
// control can be reached, no text is cut off, and the keyboard works.
#include "driver/pair_store.h"
#include "ui/connection_item_frame.h"
#include "ui/hub_frame.h"
#include "ui/main_window.h"
#include "ui/status_texts.h"
#include "ui_test_support.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace {

using Strings = std::vector<std::string>;

class WindowLayoutTest : public UiTest {
protected:
    TfrmConnectionItemFrame* client(TfrmConnection* tunnel) { return slotOf(tunnel, stTCPClient); }

    // `count` tunnels with their ports, loaded from the file; the last has no
    // key, so work does not start and nothing is asked.
    TfrmZelvaneTunnel& startWithTunnels(int count) {
        std::string file = "[Connections]\n";
        for (int i = 0; i < count; ++i)
            file += "Connection" + std::to_string(i) +
                    "Tunnel=" + (i + 1 < count ? goodKey : std::string()) + "\n";
        writeSettings(file);
        auto& main = startProgram();
        EXPECT_EQ(main.tunnels().size(), static_cast<size_t>(count));
        boxes.errors.clear();
        return main;
    }

    // A control the user reaches: on the screen, inside the window and, in
    // the tunnel list, inside the list's visible part once scrolled to.
    void expectReachable(TfrmZelvaneTunnel& main, QWidget* control) {
        if (main.scrollConnections->widget()->isAncestorOf(control))
            main.scrollConnections->ensureWidgetVisible(control, 0, 0);
        const QRect shown(control->mapTo(&main, QPoint(0, 0)), control->size());
        EXPECT_TRUE(main.rect().contains(shown)) << control->objectName().toStdString();
        if (main.scrollConnections->widget()->isAncestorOf(control)) {
            QWidget* viewport = main.scrollConnections->viewport();
            const QRect inView(control->mapTo(viewport, QPoint(0, 0)), control->size());
            // A key field is scrolled to as far as its cursor.
            EXPECT_TRUE(qobject_cast<QLineEdit*>(control) ? viewport->rect().intersects(inView)
                                                          : viewport->rect().contains(inView))
                << control->objectName().toStdString() << " at " << inView.x() << "," << inView.y();
        }
    }

    void expectNothingClipped(QWidget* root) {
        for (QLabel* label : root->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(root) || label->text().isEmpty())
                continue;
            if (label->wordWrap()) {
                EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                    << label->text().toStdString();
            } else {
                EXPECT_GE(label->width(), label->minimumSizeHint().width())
                    << label->text().toStdString();
            }
        }
        for (QPushButton* button : root->findChildren<QPushButton*>()) {
            if (button->isVisibleTo(root)) {
                EXPECT_GE(button->width(), button->minimumSizeHint().width())
                    << button->text().toStdString();
            }
        }
    }
};

TEST_F(WindowLayoutTest, FitsTheScreenWithOneFourAndTwelveTunnels) {
    for (int count : {1, 4, 12}) {
        SCOPED_TRACE(count);
        auto& main = startWithTunnels(count);
        // A long status wraps onto more lines instead of being cut.
        TSlotStatus status;
        status.zvlConnectionStatus = zvlDisconnected;
        status.zvlCloseReason = zvlCloseReason_Datasource;
        status.datasourceExtended = std::string(300, 'x').insert(150, " ");
        client(main.tunnels()[0])->showStatus(status);
        // Laid out: the window as its layout asks, the list's content whole.
        QWidget* content = main.scrollConnections->widget();
        ASSERT_TRUE(processUntil([&] {
            return main.size() == main.sizeHint() &&
                   content->height() >= content->minimumSizeHint().height() &&
                   content->width() <= main.scrollConnections->viewport()->width();
        }));

        const QRect screen = main.screen()->availableGeometry();
        EXPECT_EQ(screen.size(), QSize(1280, 800));
        EXPECT_LE(main.frameGeometry().height(), screen.height());
        EXPECT_LE(main.frameGeometry().width(), screen.width());
        EXPECT_EQ(main.maximumSize(), main.minimumSize()); // no maximize
        for (auto* tunnel : main.tunnels()) {
            for (auto* slot : tunnel->slotFrames())
                if (slot->SlotType() == stTCPClient)
                    for (QWidget* control : {static_cast<QWidget*>(slot->edtTunnelKey),
                                             static_cast<QWidget*>(slot->btnApplyTunnelKey)})
                        expectReachable(main, control);
            expectReachable(main, tunnel->btnDeleteTunnel);
        }
        for (QWidget* control : {main.btnAddTunnel, main.btnApply, main.btnConfig})
            expectReachable(main, control);
        expectNothingClipped(&main);
        closeProgram();
        window.reset();
        removeAllPairs();
    }
}

TEST_F(WindowLayoutTest, TheWidthStaysWhenTheModeChanges) {
    auto& main = startProgram();
    main.btnAddTunnel->click();
    // Sized as the layout asks, once the events are handled.
    auto width = [&] {
        QCoreApplication::processEvents();
        return main.sizeHint().width();
    };
    const int designed = width();
    applyKey(main.tunnels()[0], goodKey);
    EXPECT_EQ(width(), designed);
    addTunnelWithKey(goodKey2);
    main.btnApply->click();
    ASSERT_TRUE(main.inWorkMode());
    EXPECT_EQ(width(), designed);
    main.btnConfig->click();
    EXPECT_EQ(width(), designed);
    EXPECT_EQ(main.width(), designed);
}

TEST_F(WindowLayoutTest, KeyboardAddsAppliesAndTabsInReadingOrder) {
    auto& main = startProgram();
    main.btnAddTunnel->click();
    TfrmConnection* first = main.tunnels()[0];
    // The new tunnel's key field has the focus: the user types, Enter applies.
    ASSERT_EQ(main.focusWidget(), client(first)->edtTunnelKey);
    client(first)->edtTunnelKey->setText(QString::fromStdString(goodKey));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(client(first)->edtTunnelKey, &enter);
    EXPECT_TRUE(main.controller().learning(first->tunnel()));
    ASSERT_TRUE(processUntil([&] { return slotOf(first, stComPort) != nullptr; }));

    main.btnAddTunnel->click();
    TfrmConnection* second = main.tunnels()[1];
    EXPECT_EQ(main.focusWidget(), client(second)->edtTunnelKey);

    // Tab goes down the window as it reads, and round.
    QCoreApplication::processEvents();
    std::vector<QWidget*> order;
    QWidget* at = client(first)->edtTunnelKey;
    do {
        order.push_back(at);
        do
            at = at->nextInFocusChain();
        while (at != order[0] &&
               !(at->isVisibleTo(&main) && at->isEnabled() && (at->focusPolicy() & Qt::TabFocus)));
    } while (at != order[0] && order.size() < 100);
    const std::vector<QWidget*> expected = {client(first)->edtTunnelKey,
                                            client(first)->btnApplyTunnelKey,
                                            first->btnDeleteTunnel,
                                            client(second)->edtTunnelKey,
                                            client(second)->btnApplyTunnelKey,
                                            second->btnDeleteTunnel,
                                            main.btnAddTunnel,
                                            main.btnApply};
    EXPECT_EQ(order, expected);
}

TEST_F(WindowLayoutTest, DeletingATunnelAsksFirst) {
    auto& main = startProgram();
    addTunnelWithKey(goodKey);
    TfrmConnection* second = addTunnelWithKey(goodKey2);
    second->btnDeleteTunnel->setFocus();
    boxes.answers = {false};
    second->btnDeleteTunnel->click();
    EXPECT_EQ(boxes.questions, Strings{"Удалить туннель 2 и его виртуальный порт?"});
    EXPECT_EQ(main.tunnels().size(), 2u);
    EXPECT_EQ(installedPairs().size(), 2u);

    second->btnDeleteTunnel->click(); // Yes
    EXPECT_EQ(main.tunnels().size(), 1u);
    EXPECT_EQ(installedPairs().size(), 1u);
    // The focus does not go with the panel.
    EXPECT_EQ(main.focusWidget(), main.btnAddTunnel);
}

} // namespace
