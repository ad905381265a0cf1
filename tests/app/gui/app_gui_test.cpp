// The application as a user drives it through its widgets, on the offscreen platform over the
// real engine, real sockets and a pseudo-terminal as the serial device. The texts, checks and
// row contents behind the widgets are the logic tests' business; here the widgets must carry
// them: a link made, used, edited, kept over a restart and removed; one dialog at a time; the
// window's close, maximize and restore; an engine that will not start.
#include "app/ui/about_dialog.h"
#include "app/ui/banner.h"
#include "tests/app/gui/gui_run.h"
#include "tests/support/pty.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QPushButton>
#include <QToolBar>

#include <cstdio>

using namespace pw::app;
using guitest::Answers;
using guitest::Run;
using testsupport::Fd;
using Bytes = testsupport::PtyPair::Bytes;

namespace {

constexpr int LIMIT_MS = 10000;
constexpr int COM7 = 6;

bool Receives(const Fd& fd, const std::string& expected) {
    std::string got(expected.size(), '\0');
    return testsupport::read_exact(fd.get(), got.data(), got.size(), LIMIT_MS) && got == expected;
}

std::uint32_t InitRefused(const WeaveInitStruct*, char* errText) {
    std::snprintf(errText, ERR_TEXT_SIZE, "no threads today");
    return 0;
}

} // namespace

class GuiTest : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl& url) { opened_ << url; }

private slots:
    void aSerialLinkFromCreationToRemoval();
    void oneDialogAtATimeAndChecksKeepItOpen();
    void closeMinimizesAndMaximizeShowsTheBanner();
    void anEngineThatWillNotStartIsShownInABox();

private:
    QList<QUrl> opened_;
};

void GuiTest::aSerialLinkFromCreationToRemoval() {
    Answers answers;
    testsupport::ScratchDir dir; // the current directory, where the serial layer looks
    testsupport::PtyPair device;
    dir.writePorts({{COM7 + 1, device.slavePath()}});
    const std::uint16_t first = testsupport::free_tcp_port();
    const std::uint16_t second = testsupport::free_tcp_port();
    {
        Run run(dir.path());
        QVERIFY(run.app->start());
        QVERIFY(QTest::qWaitForWindowExposed(run.window()));
        run.window()->menuAction(Command::NewLink)->trigger();
        LinkDialog* dialog = run.linkDialog();
        QVERIFY(dialog != nullptr);
        dialog->nameEdit()->selectAll();
        QTest::keyClicks(dialog->nameEdit(), QStringLiteral("Bridge"));
        PortPanel* serial = dialog->portPanel(0);
        serial->comList()->setCurrentIndex(COM7);
        serial->baudList()->setCurrentIndex(serial->baudList()->findText(QStringLiteral("115200")));
        guitest::Click(serial->flowControlBox()); // a pseudo-terminal has no modem lines
        guitest::Click(serial->activateOnSaveBox());
        guitest::MakeTcpServer(dialog->portPanel(1), first);
        guitest::Click(dialog->portPanel(1)->activateOnSaveBox());
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QTRY_VERIFY(run.linkDialog() == nullptr);
        QVERIFY(answers.asked.isEmpty());
        QCOMPARE(run.linkCell(0, 0), QStringLiteral("Bridge"));
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Listening)"),
                                  LIMIT_MS);

        guitest::Click(run.dialog()->enableTracingBox());
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
        run.window()->menuAction(Command::SendBuffer)->trigger();
        SendBufferDialog* send = run.sendDialog();
        QVERIFY(send != nullptr);
        QTest::keyClicks(send->bufferEdit(), QStringLiteral("4f4b0d0a"));
        QTest::mouseClick(send->sendButton(), Qt::LeftButton);
        QVERIFY(device.read(4) == Bytes({'O', 'K', '\r', '\n'}));
        QTRY_VERIFY(run.sendDialog() == nullptr);

        // Edit: the server moves to another port (Return presses Save, the default button).
        run.window()->menuAction(Command::EditLink)->trigger();
        dialog = run.linkDialog();
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->portPanel(0)->comList()->currentIndex(), COM7);
        dialog->portPanel(1)->ipPortEdit()->setText(QString::number(second));
        QTest::keyClick(dialog->nameEdit(), Qt::Key_Return);
        QTRY_VERIFY(run.linkDialog() == nullptr);
        QVERIFY(testsupport::wait_peer_closed(client.get(), LIMIT_MS));
        QVERIFY(testsupport::tcp_connect_within(second).valid());
    } // the orderly end writes the data file

    {
        // After a restart the link is back, activated and traced, and carries bytes.
        Run run(dir.path());
        QVERIFY(run.app->start());
        QCOMPARE(run.linkCell(0, 0), QStringLiteral("Bridge"));
        QVERIFY(run.dialog()->enableTracingBox()->isChecked());
        Fd client = testsupport::tcp_connect_within(second);
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"), LIMIT_MS);
        QVERIFY(device.write("again"));
        QVERIFY(Receives(client, "again"));

        // The port's button takes it down and up again.
        QPushButton* button = run.dialog()->activateButton(1);
        QCOMPARE(button->text(), QStringLiteral("Deactivate Port 2"));
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(testsupport::wait_peer_closed(client.get(), LIMIT_MS));
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Down)"),
                                  LIMIT_MS);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(testsupport::tcp_connect_within(second).valid());

        // Remove, asked first: Cancel keeps the link, OK takes it.
        answers.next = MessageAnswer::Cancel;
        run.dialog()->toolBar()->actions().at(2)->trigger();
        QCOMPARE(run.dialog()->linksList()->rowCount(), 1);
        answers.next = MessageAnswer::Ok;
        run.window()->menuAction(Command::RemoveLink)->trigger();
        QCOMPARE(answers.asked.size(), 2);
        QCOMPARE(answers.owners[1], static_cast<QWidget*>(run.dialog()));
        QCOMPARE(run.dialog()->linksList()->rowCount(), 0);
    }
    Run run(dir.path());
    QVERIFY(run.app->start());
    QCOMPARE(run.dialog()->linksList()->rowCount(), 0);
}

void GuiTest::oneDialogAtATimeAndChecksKeepItOpen() {
    Answers answers;
    testsupport::ScratchDir dir; // the current directory, where the pages are looked for
    for (const char* page : {"portweave_help.html", "portweave_product.html"}) {
        QVERIFY(QFile::copy(QStringLiteral(PORTWEAVE_SHARE_DIR "/") + QString::fromLatin1(page),
                            QString::fromStdString(dir.path() + "/" + page)));
    }
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    LinkTable table{};
    testsupport::set_link(table, 4, "Plant", testsupport::tcp_server_port(0, false),
                          testsupport::tcp_server_port(0, false));
    testsupport::write_data_file(dir.path(), SettingsBlock{}, table);
    Run run(dir.path());
    QVERIFY(run.app->start());
    DialogHost* host = run.app->dialogs();

    run.window()->trigger(Command::NewLink);
    LinkDialog* dialog = run.linkDialog();
    QVERIFY(dialog != nullptr && dialog->isVisible() && !dialog->isModal());
    for (Command c : {Command::NewLink, Command::EditLink, Command::RemoveLink, Command::SendBuffer,
                      Command::About}) {
        run.window()->trigger(c);
    }
    host->sendBuffer(); // even past the window's own rule
    host->about();
    QCOMPARE(run.linkDialog(), dialog);
    QVERIFY(run.sendDialog() == nullptr && host->aboutDialog() == nullptr);
    // Help is never blocked.
    run.window()->menuAction(Command::Help)->trigger();
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

    // About, with the product page; it stays open until closed.
    run.window()->trigger(Command::About);
    AboutDialog* about = host->aboutDialog();
    QVERIFY(about != nullptr);
    host->newLink();
    QVERIFY(run.linkDialog() == nullptr);
    QTest::mouseClick(about->productWebButton(), Qt::LeftButton);
    QCOMPARE(opened_.size(), 2);
    QCOMPARE(opened_[1],
             QUrl::fromLocalFile(QString::fromStdString(dir.path() + "/portweave_product.html")));
    QTest::mouseClick(about->closeButton(), Qt::LeftButton);
    QTRY_VERIFY(host->aboutDialog() == nullptr);

    // A dialog open at exit goes with the window and leaves nothing blocked.
    run.window()->trigger(Command::NewLink);
    QVERIFY(run.app->state().dialogOpen);
    run.app->requestExit();
    QVERIFY(!run.app->state().dialogOpen);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void GuiTest::closeMinimizesAndMaximizeShowsTheBanner() {
    testsupport::TempDir dir;
    Run run(dir.str());
    QVERIFY(run.app->start());
    MainWindow* window = run.window();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QSize designed = window->size();
    const int eventWidth = run.dialog()->eventList()->width();
    QVERIFY(!run.dialog()->banner()->isVisible());
    window->showMaximized();
    QTRY_VERIFY(run.dialog()->banner()->isVisible());
    QTRY_VERIFY(run.dialog()->eventList()->width() > eventWidth);
    window->showNormal();
    QTRY_COMPARE(window->size(), designed);
    QTRY_COMPARE(run.dialog()->eventList()->width(), eventWidth);
    QVERIFY(!run.dialog()->banner()->isVisible());

    // The offscreen platform has no notification area: closing only minimizes.
    window->close();
    QVERIFY(run.app->window() != nullptr && !run.app->exiting());
    QTRY_VERIFY(window->windowState() & Qt::WindowMinimized);
    window->hide();
    window->showFromTray();
    QVERIFY(window->isVisible());

    run.window()->menuAction(Command::Exit)->trigger();
    QTRY_VERIFY(run.app->window() == nullptr);
    QVERIFY(run.app->exiting());
}

void GuiTest::anEngineThatWillNotStartIsShownInABox() {
    Answers answers;
    testsupport::TempDir dir;
    pw::LogOptions options;
    options.directory = dir.str();
    pw::LogStore log(options);
    EngineCalls calls;
    calls.init = InitRefused;
    Application app(SessionOptions{dir.str(), &log, calls});
    QVERIFY(!app.start());
    QVERIFY(app.window() == nullptr);
    QCOMPARE(answers.asked.size(), 1);
    QCOMPARE(answers.asked[0].caption, QStringLiteral("WeaveInit failed"));
    QCOMPARE(answers.asked[0].text, QStringLiteral("no threads today"));
}

QTEST_MAIN(GuiTest)
#include "app_gui_test.moc"
