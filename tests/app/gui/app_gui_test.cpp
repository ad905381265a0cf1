// The application as a user drives it through its widgets, on the offscreen platform over the
// real engine, real sockets and a pseudo-terminal as the serial device. The texts, checks and
// row contents behind the widgets are the logic tests' business; here the widgets must carry
// them: a link made, used, edited, kept over a restart and removed; one dialog at a time; exit.
#include "app/core/app_platform.h"
#include "app/ui/about_dialog.h"
#include "app/ui/application.h"
#include "app/ui/dialog_host.h"
#include "app/ui/link_dialog.h"
#include "app/ui/log_list_model.h"
#include "app/ui/main_dialog.h"
#include "app/ui/main_window.h"
#include "app/ui/message_box.h"
#include "app/ui/port_panel.h"
#include "app/ui/report_list.h"
#include "app/ui/send_buffer_dialog.h"
#include "app/ui/tray.h"
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"
#include "tests/support/pty.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QToolBar>

#include <future>
#include <memory>
#include <numeric>
#include <string>

using namespace pw::app;
using testsupport::Fd;
using Bytes = testsupport::PtyPair::Bytes;

namespace {

// One run of the application over the real engine, in a directory of its own.
struct Run {
    explicit Run(std::string directory) : dir(std::move(directory)) {
        pw::LogOptions options;
        options.directory = dir;
        log = std::make_unique<pw::LogStore>(options);
        app = std::make_unique<Application>(SessionOptions{dir, log.get(), {}});
    }
    ~Run() { app.reset(); } // the orderly end: engine stopped, data file written

    bool start() { return app->start() && QTest::qWaitForWindowExposed(window()); }
    // A key pressed in `target` (the main window by default), focused in its active window.
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}, QWidget* target = nullptr) {
        target = target != nullptr ? target : window();
        target->window()->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), target->window());
        target->setFocus();
        QTest::keyClick(target, key, modifiers);
        target->clearFocus(); // a key for a window opened meanwhile goes there
    }
    MainWindow* window() const { return app->window(); }
    MainDialog* dialog() const { return app->window()->mainDialog(); }
    LinkDialog* linkDialog() const { return app->dialogs()->linkDialog(); }
    SendBufferDialog* sendDialog() const { return app->dialogs()->sendBufferDialog(); }
    QString linkCell(int row, int column) const {
        const QTableWidgetItem* item = dialog()->linksList()->item(row, column);
        return item != nullptr ? item->text() : QString();
    }

    std::string dir;
    std::unique_ptr<pw::LogStore> log;
    std::unique_ptr<Application> app;
};

// Answers every message box and keeps what was asked and of which window.
struct Answers {
    QList<MessageRequest> asked;
    QList<QWidget*> owners;
    MessageAnswer next = MessageAnswer::Ok;
    Answers() {
        SetMessageResponder([this](QWidget* owner, const MessageRequest& r) {
            asked << r;
            owners << owner;
            return next;
        });
    }
    ~Answers() { SetMessageResponder({}); }
};

// Clicks a check box or radio button on its indicator: a box stretched over a layout's columns
// does not take a click far right of its text.
void Click(QAbstractButton* button) {
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

constexpr int LIMIT_MS = 10000;
constexpr int COM7 = 6;

bool Receives(const Fd& fd, const std::string& expected) {
    std::string got(expected.size(), '\0');
    return testsupport::read_exact(fd.get(), got.data(), got.size(), LIMIT_MS) && got == expected;
}

} // namespace

class GuiTest : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl& url) { opened_ << url; }

private slots:
    void aSerialLinkFromCreationToRemoval();
    void oneDialogAtATimeAndChecksKeepItOpen();

private:
    QList<QUrl> opened_;
};

void GuiTest::aSerialLinkFromCreationToRemoval() {
    Answers answers;
    testsupport::ScratchDir dir; // the current directory, where the serial layer looks
    testsupport::PtyPair device;
    dir.writePorts({{COM7 + 1, device.slavePath()}});
    const std::uint16_t first = testsupport::free_tcp_port(), second = testsupport::free_tcp_port();
    {
        Run run(dir.path());
        QVERIFY(run.start());
        run.window()->menuAction(Command::NewLink)->trigger();
        LinkDialog* dialog = run.linkDialog();
        QVERIFY(dialog != nullptr);
        dialog->nameEdit()->selectAll();
        QTest::keyClicks(dialog->nameEdit(), QStringLiteral("Bridge"));
        PortPanel* serial = dialog->portPanel(0);
        // The picker gives the selected COM port a device at once; both panels' lists follow.
        const QString pty = QString::fromStdString(device.slavePath());
        serial->comList()->setCurrentIndex(2);
        serial->devicePicker()->addItem(pty, pty);
        emit serial->devicePicker()->activated(serial->devicePicker()->count() - 1);
        QCOMPARE(dialog->portPanel(1)->comList()->itemText(2),
                 QStringLiteral("COM3 (%1)").arg(pty));
        serial->comList()->setCurrentIndex(COM7);
        serial->baudList()->setCurrentIndex(serial->baudList()->findText(QStringLiteral("115200")));
        Click(serial->flowControlBox()); // a pseudo-terminal has no modem lines
        Click(serial->activateOnSaveBox());
        PortPanel* server = dialog->portPanel(1);
        server->portTypeList()->setCurrentIndex(PORT_TYPE_IP);
        server->protocolList()->setCurrentIndex(IP_PROTO_TCP);
        server->roleList()->setCurrentIndex(TCP_ROLE_SERVER);
        server->ipPortEdit()->setText(QString::number(first));
        Click(server->activateOnSaveBox());
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QTRY_VERIFY(run.linkDialog() == nullptr);
        QVERIFY(answers.asked.isEmpty());
        QCOMPARE(run.linkCell(0, 0), QStringLiteral("Bridge"));
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Listening)"),
                                  LIMIT_MS);

        Click(run.dialog()->enableTracingBox());
        Fd client = testsupport::tcp_connect_within(first);
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"), LIMIT_MS);
        QVERIFY(device.write("ping"));
        QVERIFY(Receives(client, "ping"));
        QVERIFY(testsupport::write_all(client.get(), "pong", 4));
        QVERIFY(device.read(4) == Bytes({'p', 'o', 'n', 'g'}));
        LogListModel* trace = run.dialog()->traceModel();
        QTRY_VERIFY_WITH_TIMEOUT(trace->rowCount() >= 4, LIMIT_MS);
        QCOMPARE(trace->cell(0, 4), QStringLiteral("70 69 6e 67 "));

        // A test buffer typed as hex leaves the serial port.
        run.key(Qt::Key_B, Qt::ControlModifier);
        SendBufferDialog* send = run.sendDialog();
        QVERIFY(send != nullptr);
        QTest::keyClicks(send->bufferEdit(), QStringLiteral("4f4b0d0a"));
        QTest::mouseClick(send->sendButton(), Qt::LeftButton);
        QVERIFY(device.read(4) == Bytes({'O', 'K', '\r', '\n'}));
        QTRY_VERIFY(run.sendDialog() == nullptr);

        // Edit (Enter in the list): the server moves to another port (Return presses Save).
        run.key(Qt::Key_Return, {}, run.dialog()->linksList());
        dialog = run.linkDialog();
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->portPanel(0)->comList()->currentIndex(), COM7);
        dialog->portPanel(1)->ipPortEdit()->setText(QString::number(second));
        QTest::keyClick(dialog->nameEdit(), Qt::Key_Return);
        QTRY_VERIFY(run.linkDialog() == nullptr);
        QVERIFY(testsupport::wait_peer_closed(client.get(), LIMIT_MS));

        // The port's button takes it down and up again.
        QPushButton* button = run.dialog()->activateButton(1);
        QCOMPARE(button->text(), QStringLiteral("Deactivate Port 2"));
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Down)"),
                                  LIMIT_MS);
        QTest::mouseClick(button, Qt::LeftButton);
        client = testsupport::tcp_connect_within(second);
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"), LIMIT_MS);
        QVERIFY(device.write("again"));
        QVERIFY(Receives(client, "again"));

        run.window()->setGeometry(QRect(QPoint(40, 30), run.window()->size())); // comes back
        run.window()->showMaximized();
        QTRY_VERIFY(run.window()->isMaximized());

        // Remove asks first: Cancel keeps the link.
        answers.next = MessageAnswer::Cancel;
        run.dialog()->toolBar()->actions().at(2)->trigger();
        QCOMPARE(run.dialog()->linksList()->rowCount(), 1);
    } // the orderly end writes the data file
    // After a restart the link is back and traced; OK takes it.
    Run run(dir.path());
    QVERIFY(run.start());
    QCOMPARE(run.linkCell(0, 0), QStringLiteral("Bridge"));
    QVERIFY(run.dialog()->enableTracingBox()->isChecked());
    const WindowPlace place = run.window()->place();
    QVERIFY(place.maximized && place.normal.left == 40 && place.normal.top == 30);
    answers.next = MessageAnswer::Ok;
    run.key(Qt::Key_Delete);
    QCOMPARE(answers.asked.size(), 2);
    QCOMPARE(answers.owners[1], static_cast<QWidget*>(run.dialog()));
    QCOMPARE(run.dialog()->linksList()->rowCount(), 0);
    run.app->tray()->menu()->actions().last()->trigger(); // the icon's Exit
    QTRY_VERIFY(run.app->window() == nullptr);
}

void GuiTest::oneDialogAtATimeAndChecksKeepItOpen() {
    Answers answers;
    testsupport::ScratchDir dir; // the current directory, where the pages are looked for
    QVERIFY(QFile::copy(QStringLiteral(PORTWEAVE_SHARE_DIR "/portweave_help.html"),
                        QString::fromStdString(dir.path() + "/portweave_help.html")));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    LinkTable table{};
    testsupport::set_link(table, 4, "Plant", testsupport::tcp_server_port(0, false),
                          testsupport::tcp_server_port(0, false));
    testsupport::write_data_file(dir.path(), SettingsBlock{}, table);
    Run run(dir.path());
    QVERIFY(run.start());
    DialogHost* host = run.app->dialogs();
    const QAbstractItemView* events = run.dialog()->eventList(); // the timestamps fit
    QVERIFY(run.dialog()->eventList()->columnWidth(0) >= events->sizeHintForColumn(0));

    run.key(Qt::Key_N, Qt::ControlModifier);
    LinkDialog* dialog = run.linkDialog();
    QVERIFY(dialog != nullptr && dialog->isVisible() && !dialog->isModal());
    run.key(Qt::Key_B, Qt::AltModifier, dialog->saveButton()); // a label's letter: its control
    QCOMPARE(dialog->focusWidget(), dialog->portPanel(0)->baudList());
    run.window()->trigger(Command::About);
    host->sendBuffer(); // even past the window's own rule
    host->about();
    QCOMPARE(run.linkDialog(), dialog);
    QVERIFY(run.sendDialog() == nullptr && host->aboutDialog() == nullptr);
    // Help is never blocked.
    run.key(Qt::Key_F1);
    QCOMPARE(opened_.size(), 1);
    QCOMPARE(opened_[0].fileName(), QStringLiteral("portweave_help.html"));

    // A failed check is told in a box owned by the dialog, which stays open with what was typed.
    dialog->nameEdit()->setText(QStringLiteral("plant"));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    QCOMPARE(answers.asked.size(), 1);
    QCOMPARE(answers.owners[0], static_cast<QWidget*>(dialog));
    QVERIFY(answers.asked[0].text.contains(QStringLiteral("already used")));
    QCOMPARE(run.linkDialog(), dialog);
    QCOMPARE(dialog->nameEdit()->text(), QStringLiteral("plant"));
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(run.linkDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);
    QCOMPARE(run.dialog()->linksList()->rowCount(), 1);

    // A change that cannot be saved is told in a box of the window, after the click.
    const QString file = QString::fromStdString(dir.path() + "/" + DATA_FILE_NAME);
    QVERIFY(QFile::remove(file) && QDir().mkdir(file));
    Click(run.dialog()->asciiBox());
    QTRY_COMPARE(answers.asked.size(), 2);
    QCOMPARE(answers.asked[1].text,
             QStringLiteral("Failed to open data file for writing err=0x15"));
    QVERIFY(QDir().rmdir(file)); // the exit's save goes through

    // The trace list follows new rows only from its end; scrolled up, it keeps its rows in view,
    // also when the oldest go, which come back for reuse. Selected rows copy as lines of
    // trace.log.
    ReportView* traces = run.dialog()->traceList();
    auto rows = [&run](int from, int count, std::uint32_t drop) {
        RowBatch batch;
        batch.traces.dropFront = drop;
        for (int i = from; i < from + count; ++i) {
            batch.traces.rows.push_back({"t ", "L1 P1", "Rx", "1", std::string(1, char(i))});
        }
        std::string dropped;
        for (const QueuedTraceRow& row : run.dialog()->applyRows(std::move(batch))) {
            dropped += row.data;
        }
        return dropped;
    };
    const QScrollBar* bar = traces->verticalScrollBar();
    QVERIFY(rows(0, 200, 0).empty());
    QVERIFY(bar->value() == bar->maximum() && bar->value() > 0);
    traces->verticalScrollBar()->setValue(50);
    std::string first20(20, '\0');
    std::iota(first20.begin(), first20.end(), '\0');
    QCOMPARE(rows(200, 30, 20), first20);
    QCOMPARE(run.dialog()->traceModel()->cell(traces->rowAt(0), 4), QStringLiteral("32 "));
    traces->selectRow(31);
    traces->selectionModel()->select(traces->model()->index(32, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    run.key(Qt::Key_C, Qt::ControlModifier, traces);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("t , L1 P1, Rx, 1, 33 \nt , L1 P1, Rx, 1, 34 \n"));
    traces->scrollToBottom();
    (void)rows(230, 30, 30);
    QVERIFY(bar->value() == bar->maximum() && bar->value() > 0);

    // Minimized, the window comes back when a second start asks; hidden, from the icon's menu.
    InstanceChannel channel;
    QVERIFY(channel.listen(dir.path() + "/show"));
    run.app->watchShowRequests(channel.readFd(), [&channel] { return channel.takeRequests(); });
    run.window()->showMinimized();
    QTRY_VERIFY(run.window()->isMinimized());
    auto second =
        std::async(std::launch::async, AskRunningInstanceToShow, dir.path() + "/show", LIMIT_MS);
    QTRY_VERIFY(!run.window()->isMinimized() && run.window()->isVisible());
    QVERIFY(second.get());
    run.window()->hide();
    run.app->tray()->menu()->actions().first()->trigger();
    QVERIFY(run.window()->isVisible());

    // Tools > Exit with a dialog open: it goes with the window and leaves nothing blocked.
    run.window()->trigger(Command::NewLink);
    QVERIFY(run.app->state().dialogOpen);
    run.key(Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(run.app->window() == nullptr);
    QVERIFY(run.app->exiting() && !run.app->state().dialogOpen);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

QTEST_MAIN(GuiTest)
#include "app_gui_test.moc"
