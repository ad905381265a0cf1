// The main window on the offscreen platform, over the real engine and real sockets: a stored
// link listed and activated at start, its status word following a client, the activate button,
// tracing of real traffic, the menu and toolbar commands, close, maximize and restore, and the
// row caps of the lists.
#include "app/core/texts.h"
#include "app/ui/banner.h"
#include "app/ui/window_geometry.h"
#include "tests/app/gui/gui_run.h"

#include <QCheckBox>
#include <QDialog>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>

#include <memory>

using namespace pw::app;
using apptest::SetLink;
using apptest::TcpServerPort;
using guitest::ConnectWhenListening;
using guitest::Run;
using testsupport::Fd;

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void storedLinkIsListedActivatedAndFollowsItsClients();
    void tracingShowsRealTraffic();
    void menuAndToolbarCommandsRespectOpenDialogs();
    void exitFromTheMenuEndsInOrder();
    void closeMinimizesWithoutNotificationArea();
    void maximizeShowsTheBannerAndRestoreTheDesignedSize();
    void hexAndAsciiAreExclusive();
    void dialogsOpenCentredOverTheirOwner();
    void listsKeepTheirRowCaps();
};

void MainWindowTest::storedLinkIsListedActivatedAndFollowsItsClients() {
    const std::uint16_t p1 = testsupport::free_tcp_port();
    const std::uint16_t p2 = testsupport::free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "Plant", TcpServerPort(p1, true), TcpServerPort(p2, false));
    Run run(table);
    QVERIFY(run.app->start());
    QCOMPARE(run.window()->windowTitle(), QStringLiteral("Portweave v2.0.5"));
    QCOMPARE(run.dialog()->linksList()->rowCount(), 1);
    QCOMPARE(run.linkCell(0, 0), QStringLiteral("Plant"));
    QCOMPARE(run.linkCell(0, 1), QStringLiteral("TCP Server"));
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Listening) P2 (Down)"));
    QCOMPARE(run.dialog()->linksList()->currentRow(), 0);
    QCOMPARE(run.statsCell(STATS_ROW_PORT_STATUS, 0), QStringLiteral("Port Status"));
    QCOMPARE(run.statsCell(STATS_ROW_PORT_STATUS, 1),
             QStringLiteral("Activated, IP not connected"));
    QCOMPARE(run.dialog()->activateButton(0)->text(), QStringLiteral("Deactivate Port 1"));
    QCOMPARE(run.dialog()->activateButton(1)->text(), QStringLiteral("Activate Port 2"));
    QTRY_COMPARE(run.dialog()->eventModel()->cell(0, 1), QStringLiteral("System startup"));
    QVERIFY(run.dialog()->refreshTimer().isActive());

    Fd client = ConnectWhenListening(p1);
    QVERIFY(client.valid());
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Down)"));

    QTest::mouseClick(run.dialog()->activateButton(0), Qt::LeftButton);
    QCOMPARE(run.dialog()->activateButton(0)->text(), QStringLiteral("Activate Port 1"));
    QCOMPARE(+run.app->state().table.entry[0].config.port[0].active, 0u);
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Down) P2 (Down)"));
    QTest::mouseClick(run.dialog()->activateButton(1), Qt::LeftButton);
    QCOMPARE(run.dialog()->activateButton(1)->text(), QStringLiteral("Deactivate Port 2"));
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Down) P2 (Listening)"));
}

void MainWindowTest::tracingShowsRealTraffic() {
    const std::uint16_t p1 = testsupport::free_tcp_port();
    const std::uint16_t p2 = testsupport::free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "Traced", TcpServerPort(p1, true), TcpServerPort(p2, true));
    Run run(table);
    QVERIFY(run.app->start());
    QVERIFY(!run.dialog()->enableTracingBox()->isChecked());
    QTest::mouseClick(run.dialog()->enableTracingBox(), Qt::LeftButton);
    QVERIFY(run.dialog()->enableTracingBox()->isChecked());
    QCOMPARE(+run.app->state().table.entry[0].config.port[1].trace, 1u);

    Fd a = ConnectWhenListening(p1);
    Fd b = ConnectWhenListening(p2);
    QVERIFY(a.valid() && b.valid());
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"));
    QVERIFY(testsupport::write_all(a.get(), "abc", 3));
    char got[3];
    QVERIFY(testsupport::read_exact(b.get(), got, sizeof(got)));
    LogListModel* traces = run.dialog()->traceModel();
    QTRY_VERIFY(traces->rowCount() >= 2);
    QCOMPARE(traces->cell(0, 1), QStringLiteral("L1 P1 TCP Server"));
    QCOMPARE(traces->cell(0, 2), QStringLiteral("Rx"));
    QCOMPARE(traces->cell(0, 3), QStringLiteral("3"));
    QCOMPARE(traces->cell(0, 4), QStringLiteral("61 62 63 "));
    QCOMPARE(traces->cell(1, 2), QStringLiteral("Tx"));

    QTest::mouseClick(run.dialog()->clearTraceButton(), Qt::LeftButton);
    QTRY_COMPARE(traces->rowCount(), 0);
    QTest::mouseClick(run.dialog()->clearStatsButton(), Qt::LeftButton);
    QCOMPARE(run.statsCell(STATS_ROW_RX_BYTES, 1), QStringLiteral("0 "));
}

void MainWindowTest::menuAndToolbarCommandsRespectOpenDialogs() {
    LinkTable table{};
    SetLink(table, 0, "One", TcpServerPort(testsupport::free_tcp_port(), false),
            TcpServerPort(testsupport::free_tcp_port(), false));
    Run run(table);
    QVERIFY(run.app->start());
    MainWindow* window = run.window();

    const QList<QAction*> menus = window->menuBar()->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus[0]->text(), QStringLiteral("Tools"));
    QCOMPARE(menus[1]->text(), QStringLiteral("About"));
    const auto texts = [](const QList<QAction*>& actions) {
        QStringList out;
        for (QAction* a : actions) {
            out << (a->isSeparator() ? QStringLiteral("-") : a->text());
        }
        return out;
    };
    QCOMPARE(texts(menus[0]->menu()->actions()),
             (QStringList{"New Link", "Edit Link", "Remove Link", "Send Buffer", "-", "Exit"}));
    QCOMPARE(texts(menus[1]->menu()->actions()),
             (QStringList{"Help", "About", "Product on the web"}));
    QCOMPARE(texts(run.dialog()->toolBar()->actions()),
             (QStringList{"New Link", "Edit Link", "Delete Link", "Send Buffer", "Online Help"}));
    QCOMPARE(run.dialog()->toolBar()->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);

    // The window's own rules alone: no dialog opens here (the dialog tests open them).
    QObject::disconnect(window, nullptr, run.app->dialogs(), nullptr);
    QSignalSpy newLink(window, &MainWindow::newLinkRequested);
    QSignalSpy editLink(window, &MainWindow::editLinkRequested);
    QSignalSpy removeLink(window, &MainWindow::removeLinkRequested);
    QSignalSpy sendBuffer(window, &MainWindow::sendBufferRequested);
    QSignalSpy help(window, &MainWindow::helpRequested);
    QSignalSpy about(window, &MainWindow::aboutRequested);
    QSignalSpy web(window, &MainWindow::productPageRequested);
    for (Command c : {Command::NewLink, Command::EditLink, Command::RemoveLink, Command::SendBuffer,
                      Command::Help, Command::About, Command::ProductWeb}) {
        window->menuAction(c)->trigger();
    }
    for (QAction* a : run.dialog()->toolBar()->actions()) {
        a->trigger();
    }
    // The double click on a link edits it.
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTableWidget* links = run.dialog()->linksList();
    const QRect cell = links->visualItemRect(links->item(0, 0));
    // (an item view takes a double click only after a press on the same item)
    QTest::mouseClick(links->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QTest::mouseDClick(links->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QCOMPARE(newLink.size(), 2);
    QCOMPARE(editLink.size(), 3);
    QCOMPARE(removeLink.size(), 2);
    QCOMPARE(sendBuffer.size(), 2);
    QCOMPARE(help.size(), 2);
    QCOMPARE(about.size(), 1);
    QCOMPARE(web.size(), 1);

    // While a dialog is open only Help and the product page go through.
    run.app->state().dialogOpen = true;
    for (Command c : {Command::NewLink, Command::EditLink, Command::RemoveLink, Command::SendBuffer,
                      Command::Help, Command::About, Command::ProductWeb}) {
        window->menuAction(c)->trigger();
    }
    QCOMPARE(newLink.size(), 2);
    QCOMPARE(editLink.size(), 3);
    QCOMPARE(about.size(), 1);
    QCOMPARE(help.size(), 3);
    QCOMPARE(web.size(), 2);
    run.app->state().dialogOpen = false;
}

void MainWindowTest::exitFromTheMenuEndsInOrder() {
    LinkTable table{};
    Run run(table);
    QVERIFY(run.app->start());
    run.log->setEventsToFile(true);
    run.window()->menuAction(Command::Exit)->trigger();
    QTRY_VERIFY(run.app->window() == nullptr);
    QVERIFY(run.app->exiting());
    QVERIFY(run.app->state().exitRequested);
    run.app->finish();
    const std::string events = apptest::ReadText(run.dir + "/event.log");
    QVERIFY(events.find("System shutdown\r\n") != std::string::npos);
    SettingsBlock saved{};
    LinkTable savedTable{};
    QVERIFY(apptest::ReadDataFile(run.dir, saved, savedTable));
    QCOMPARE(+saved.logEventsToFile, 1u);
}

void MainWindowTest::closeMinimizesWithoutNotificationArea() {
    LinkTable table{};
    Run run(table);
    QVERIFY(run.app->start());
    QVERIFY(QTest::qWaitForWindowExposed(run.window()));
    run.window()->close();
    // The offscreen platform has no notification area: the window only minimizes.
    QVERIFY(run.app->window() != nullptr);
    QVERIFY(!run.app->exiting());
    QTRY_VERIFY(run.window()->windowState() & Qt::WindowMinimized);
    // A click on the notification-area icon brings the window back.
    run.window()->hide();
    run.window()->showFromTray();
    QVERIFY(run.window()->isVisible());
}

void MainWindowTest::maximizeShowsTheBannerAndRestoreTheDesignedSize() {
    LinkTable table{};
    Run run(table);
    QVERIFY(run.app->start());
    MainWindow* window = run.window();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QSize designed = window->size();
    QCOMPARE(designed, window->designedSize());
    const int eventWidth = run.dialog()->eventList()->width();
    const int traceHeight = run.dialog()->traceList()->height();
    const int linksWidth = run.dialog()->linksList()->width();
    QVERIFY(!run.dialog()->banner()->isVisible());

    window->showMaximized();
    QTRY_VERIFY(window->isMaximizedLayout());
    QTRY_VERIFY(run.dialog()->banner()->isVisible());
    QTRY_VERIFY(window->size() != designed);
    QTRY_VERIFY(run.dialog()->traceList()->height() > traceHeight);
    QVERIFY(run.dialog()->eventList()->width() > eventWidth);
    QCOMPARE(run.dialog()->linksList()->width(), linksWidth);
    QVERIFY(Banner::text().contains(QStringLiteral("Portweave v2.0.5")));

    window->showNormal();
    QTRY_VERIFY(!window->isMaximizedLayout());
    QTRY_COMPARE(window->size(), designed);
    QVERIFY(!run.dialog()->banner()->isVisible());
    QTRY_COMPARE(run.dialog()->eventList()->width(), eventWidth);
}

void MainWindowTest::hexAndAsciiAreExclusive() {
    LinkTable table{};
    Run run(table);
    QVERIFY(run.app->start());
    QCheckBox* hex = run.dialog()->hexBox();
    QCheckBox* ascii = run.dialog()->asciiBox();
    QVERIFY(hex->isChecked() && !ascii->isChecked());
    QTest::mouseClick(hex, Qt::LeftButton); // clicking the checked box switches the display
    QVERIFY(!hex->isChecked() && ascii->isChecked());
    QVERIFY(run.log->traceAscii());
    QTest::mouseClick(hex, Qt::LeftButton);
    QVERIFY(hex->isChecked() && !ascii->isChecked());
    QTest::mouseClick(ascii, Qt::LeftButton);
    QVERIFY(!hex->isChecked() && ascii->isChecked());
    QCOMPARE(+run.app->state().settings.traceAscii, 1u);
    QTest::mouseClick(run.dialog()->logEventsBox(), Qt::LeftButton);
    QVERIFY(run.log->eventsToFile());
}

void MainWindowTest::dialogsOpenCentredOverTheirOwner() {
    LinkTable table{};
    Run run(table);
    QVERIFY(run.app->start());
    MainWindow* window = run.window();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->move(40, 30);
    QTRY_COMPARE(window->frameGeometry().topLeft(), QPoint(40, 30));
    const QRect owner = window->frameGeometry();

    QDialog small(run.dialog());
    small.resize(300, 200);
    CenterOverOwner(&small);
    const QSize frame = small.frameGeometry().size();
    QCOMPARE(small.frameGeometry().topLeft(),
             QPoint(owner.x() + (owner.width() - frame.width()) / 2,
                    owner.y() + (owner.height() - frame.height()) / 2));
    QVERIFY(owner.contains(small.frameGeometry()));

    // Larger than its owner: above and to the left of the owner's corner.
    QDialog large(run.dialog());
    large.resize(owner.width() + 101, owner.height() + 51);
    CenterOverOwner(&large);
    const QSize largeFrame = large.frameGeometry().size();
    QVERIFY(largeFrame.width() > owner.width() && largeFrame.height() > owner.height());
    QCOMPARE(large.frameGeometry().topLeft(),
             QPoint(owner.x() - (largeFrame.width() - owner.width()) / 2,
                    owner.y() - (largeFrame.height() - owner.height()) / 2));
}

void MainWindowTest::listsKeepTheirRowCaps() {
    LinkTable table{};
    Run run(table);
    QVERIFY(run.app->start());
    const int extra = 10;
    const int total = static_cast<int>(pw::LOG_ROW_CAP) + extra;
    for (int i = 0; i < total; ++i) {
        run.log->logEvent(QByteArray::number(i).constData());
        const std::uint8_t byte = static_cast<std::uint8_t>(i);
        run.log->traceData(0, 0, TRACE_DIR_RX, &byte, 1);
    }
    LogListModel* events = run.dialog()->eventModel();
    LogListModel* traces = run.dialog()->traceModel();
    QTRY_COMPARE(events->rowCount(), static_cast<int>(pw::LOG_ROW_CAP));
    QTRY_COMPARE(traces->rowCount(), static_cast<int>(pw::LOG_ROW_CAP));
    // "System startup" and the oldest numbers went first; the newest is last.
    QCOMPARE(events->cell(events->rowCount() - 1, 1), QString::number(total - 1));
    QCOMPARE(events->cell(0, 1), QString::number(total - static_cast<int>(pw::LOG_ROW_CAP)));
    QCOMPARE(traces->cell(traces->rowCount() - 1, 4),
             QStringLiteral("%1 ").arg((total - 1) & 0xff, 2, 16, QLatin1Char('0')));
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
