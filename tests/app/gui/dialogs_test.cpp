// The link configuration, send buffer and About dialogs on the offscreen platform, driven through
// their widgets over the real engine and real sockets: adding a TCP server link, editing and
// cancelling, the check messages, removing the middle link, sending a hex buffer through a live
// connection, the one-dialog-at-a-time rule, help and the product page.
#include "app/core/texts.h"
#include "app/ui/about_dialog.h"
#include "tests/app/gui/gui_run.h"
#include "tests/support/pty.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QToolBar>

#include <cstdio>

using namespace pw::app;
using apptest::SetLink;
using apptest::TcpServerPort;
using guitest::Answers;
using guitest::Run;
using testsupport::Fd;

class DialogsTest : public QObject {
    Q_OBJECT

public slots:
    void openUrl(const QUrl& url) { opened_ << url; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void newTcpServerLinkIsListedAndListening();
    void enablingRulesFollowTheControls();
    void aFailedCheckIsShownAndTheDialogStaysOpen();
    void editDeactivatesCancelKeepsItSoSaveChangesIt();
    void removeAsksAndTakesTheMiddleLink();
    void hexBufferGoesThroughALiveConnection();
    void oneDialogAtATime();
    void aboutHelpAndProductPage();
    void anEngineThatWillNotStartIsShownInABox();

private:
    Answers answers_;
    QList<QUrl> opened_;
};

void DialogsTest::initTestCase() {
    answers_.install();
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
}

void DialogsTest::cleanupTestCase() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    SetMessageResponder({});
}

void DialogsTest::init() {
    answers_.clear();
    opened_.clear();
}

void DialogsTest::newTcpServerLinkIsListedAndListening() {
    Run run(LinkTable{});
    QVERIFY(run.app->start());
    QVERIFY(QTest::qWaitForWindowExposed(run.window()));
    run.window()->menuAction(Command::NewLink)->trigger();
    LinkDialog* dialog = run.linkDialog();
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QVERIFY(run.app->state().dialogOpen);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Add New Link"));
    QCOMPARE(dialog->nameEdit()->text(), QStringLiteral("Link1"));
    QCOMPARE(dialog->nameEdit()->maxLength(), 40);
    PortPanel* p1 = dialog->portPanel(0);
    PortPanel* p2 = dialog->portPanel(1);
    QCOMPARE(p1->title(), QStringLiteral("PORT 1 Configuration"));
    QCOMPARE(p1->portTypeList()->currentText(), QStringLiteral("Serial/COM"));
    QCOMPARE(p1->comList()->currentText(), QStringLiteral("COM1"));
    QCOMPARE(p1->comList()->count(), 32);
    QCOMPARE(p1->baudList()->currentText(), QStringLiteral("9600"));
    QCOMPARE(p1->parityList()->currentText(), QStringLiteral("NONE"));
    QCOMPARE(p1->frameEndList()->currentText(), QStringLiteral("02"));
    QCOMPARE(p1->frameEndList()->itemText(255), QStringLiteral("ff"));
    QVERIFY(p1->flowControlBox()->isChecked());
    QVERIFY(p1->instantBox()->isChecked());
    QCOMPARE(p1->headings().first()->text(),
             QStringLiteral("Forward to PORT 2 on these conditions:"));
    QVERIFY(p1->headings().first()->styleSheet().contains(QStringLiteral("255, 51, 0")));
    QCOMPARE(p2->portTypeList()->currentText(), QStringLiteral("TCP/UDP"));
    QCOMPARE(p2->remoteHostEdit()->text(), QStringLiteral("192.168.1.2"));
    QCOMPARE(p2->ipPortEdit()->text(), QStringLiteral("1001"));
    // Owned by the main dialog, centred over its window.
    QCOMPARE(dialog->parentWidget(), run.dialog());
    // (placed before it is shown, when its own frame is not known yet: off by that at most)
    const QSize frame = dialog->frameGeometry().size() - dialog->geometry().size();
    QVERIFY((dialog->frameGeometry().center() - run.window()->frameGeometry().center())
                .manhattanLength() <= frame.width() + frame.height() + 2);

    const std::uint16_t port1 = testsupport::free_tcp_port();
    const std::uint16_t port2 = testsupport::free_tcp_port();
    dialog->nameEdit()->clear();
    QTest::keyClicks(dialog->nameEdit(), QStringLiteral("Server pair"));
    guitest::MakeTcpServer(p1, port1);
    guitest::MakeTcpServer(p2, port2);
    guitest::Click(p1->activateOnSaveBox());
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    QVERIFY(answers_.asked.isEmpty());
    QTRY_VERIFY(run.linkDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);

    QCOMPARE(run.dialog()->linksList()->rowCount(), 1);
    QCOMPARE(run.linkCell(0, 0), QStringLiteral("Server pair"));
    QCOMPARE(run.linkCell(0, 1), QStringLiteral("TCP Server"));
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Listening) P2 (Down)"));
    QCOMPARE(run.dialog()->linksList()->currentRow(), 0);
    QCOMPARE(run.dialog()->activateButton(0)->text(), QStringLiteral("Deactivate Port 1"));
    QVERIFY(guitest::ConnectWhenListening(port1).valid());
    QTRY_VERIFY(run.hasEvent("Added link 0 (Server pair) Port 0 (TCP Server) Port 1 (TCP Server)"));
}

void DialogsTest::enablingRulesFollowTheControls() {
    Run run(LinkTable{});
    QVERIFY(run.app->start());
    run.window()->trigger(Command::NewLink);
    LinkDialog* dialog = run.linkDialog();
    QVERIFY(dialog != nullptr);
    PortPanel* p = dialog->portPanel(0);
    // Serial: the IP controls are off, the remote address label stays on.
    QVERIFY(p->comList()->isEnabled());
    QVERIFY(!p->ipPortEdit()->isEnabled());
    QVERIFY(!p->remoteHostEdit()->isEnabled());
    QVERIFY(p->remoteHostLabel()->isEnabled());
    p->portTypeList()->setCurrentIndex(PORT_TYPE_IP);
    QVERIFY(!p->comList()->isEnabled());
    QVERIFY(!p->flowControlBox()->isEnabled());
    QVERIFY(p->ipPortEdit()->isEnabled());
    QVERIFY(p->roleList()->isEnabled());
    p->protocolList()->setCurrentIndex(IP_PROTO_UDP);
    QVERIFY(!p->roleList()->isEnabled());
    QVERIFY(p->remoteHostEdit()->isEnabled());

    // Forwarding: instant excludes the others; each condition enables its value.
    QVERIFY(!p->bufferSizeEdit()->isEnabled());
    guitest::Click(p->bufferFullBox());
    QVERIFY(!p->instantBox()->isChecked());
    QVERIFY(p->bufferSizeEdit()->isEnabled());
    guitest::Click(p->frameEndBox());
    QVERIFY(p->frameEndList()->isEnabled());
    QVERIFY(p->bufferFullBox()->isChecked());
    guitest::Click(p->instantBox());
    QVERIFY(!p->bufferFullBox()->isChecked() && !p->frameEndBox()->isChecked());
    QVERIFY(!p->bufferSizeEdit()->isEnabled() && !p->frameEndList()->isEnabled());

    QVERIFY(!p->reconnectEdit()->isEnabled());
    guitest::Click(p->reconnectBox());
    QVERIFY(p->reconnectEdit()->isEnabled());
    QVERIFY(!p->genDataEdit()->isEnabled() && !p->genHexButton()->isEnabled());
    guitest::Click(p->generatorBox());
    QVERIFY(p->genDataEdit()->isEnabled() && p->genPeriodEdit()->isEnabled());
    QVERIFY(p->genAsciiButton()->isChecked());
    // Numeric edits take digits only, up to their limit.
    p->ipPortEdit()->clear();
    QTest::keyClicks(p->ipPortEdit(), QStringLiteral("7a0b0000"));
    QCOMPARE(p->ipPortEdit()->text(), QStringLiteral("70000"));
    QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    QTRY_VERIFY(run.linkDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);
    QCOMPARE(run.dialog()->linksList()->rowCount(), 0);
}

void DialogsTest::aFailedCheckIsShownAndTheDialogStaysOpen() {
    LinkTable table{};
    SetLink(table, 4, "Plant", TcpServerPort(0, false), TcpServerPort(0, false));
    Run run(table);
    QVERIFY(run.app->start());
    run.window()->trigger(Command::NewLink);
    LinkDialog* dialog = run.linkDialog();
    QVERIFY(dialog != nullptr);
    dialog->nameEdit()->setText(QStringLiteral("plant"));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    QCOMPARE(answers_.asked.size(), 1);
    QCOMPARE(answers_.asked[0].kind, MessageKind::Notice);
    QCOMPARE(answers_.asked[0].caption, QString());
    QCOMPARE(answers_.asked[0].text,
             QStringLiteral("Name plant already used by an existing link (# 4), please enter a "
                            "different name"));
    QCOMPARE(answers_.owners[0], static_cast<QWidget*>(dialog));
    QVERIFY(run.linkDialog() == dialog && dialog->isVisible());
    QCOMPARE(dialog->nameEdit()->text(), QStringLiteral("plant")); // what was typed stays

    dialog->portPanel(1)->reconnectEdit()->clear();
    dialog->nameEdit()->setText(QStringLiteral("Other"));
    QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
    QCOMPARE(answers_.asked.last().text,
             QStringLiteral("Please enter a non zero auto-reconnect interval"));
    QVERIFY(run.linkDialog() == dialog);
    QCOMPARE(run.dialog()->linksList()->rowCount(), 1);
    // Escape cancels.
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(run.linkDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);
}

void DialogsTest::editDeactivatesCancelKeepsItSoSaveChangesIt() {
    const std::uint16_t port1 = testsupport::free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "Edited", TcpServerPort(port1, true), TcpServerPort(0, false));
    Run run(table);
    QVERIFY(run.app->start());
    QVERIFY(QTest::qWaitForWindowExposed(run.window()));
    QVERIFY(guitest::ConnectWhenListening(port1).valid());

    // A double click on the link edits it; its ports go down first.
    QTableWidget* links = run.dialog()->linksList();
    const QRect cell = links->visualItemRect(links->item(0, 0));
    QTest::mouseClick(links->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QTest::mouseDClick(links->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    LinkDialog* dialog = run.linkDialog();
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Edit Link"));
    QCOMPARE(dialog->nameEdit()->text(), QStringLiteral("Edited"));
    QCOMPARE(dialog->portPanel(0)->ipPortEdit()->text(), QString::number(port1));
    QCOMPARE(dialog->portPanel(0)->roleList()->currentText(), QStringLiteral("Server"));
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Down) P2 (Down)"));
    QVERIFY(guitest::Closed(port1));
    QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    QTRY_VERIFY(run.linkDialog() == nullptr);
    QCOMPARE(+run.app->state().table.entry[0].config.port[0].active, 0u);
    QVERIFY(guitest::Closed(port1));

    // Edit again from the menu: a new port, activated on save.
    run.window()->menuAction(Command::EditLink)->trigger();
    dialog = run.linkDialog();
    QVERIFY(dialog != nullptr);
    const std::uint16_t moved = testsupport::free_tcp_port();
    dialog->portPanel(0)->ipPortEdit()->setText(QString::number(moved));
    guitest::Click(dialog->portPanel(0)->activateOnSaveBox());
    dialog->nameEdit()->setText(QStringLiteral("Moved"));
    QTest::keyClick(dialog->nameEdit(), Qt::Key_Return); // Save is the default button
    QTRY_VERIFY(run.linkDialog() == nullptr);
    QCOMPARE(run.linkCell(0, 0), QStringLiteral("Moved"));
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Listening) P2 (Down)"));
    QVERIFY(guitest::ConnectWhenListening(moved).valid());
    QCOMPARE(run.statsCell(STATS_ROW_PORT_DETAILS, 1),
             QStringLiteral("TCP Server Port %1").arg(moved));
    QTRY_VERIFY(run.hasEvent("Updated link 0 (Moved) Port 0 (TCP Server) Port 1 (TCP Server)"));
}

void DialogsTest::removeAsksAndTakesTheMiddleLink() {
    LinkTable table{};
    for (std::uint32_t id = 0; id < 3; ++id) {
        SetLink(table, id, std::string(1, static_cast<char>('A' + id)).c_str(),
                TcpServerPort(0, false), TcpServerPort(0, false));
    }
    Run run(table);
    QVERIFY(run.app->start());
    QVERIFY(QTest::qWaitForWindowExposed(run.window()));
    QTableWidget* links = run.dialog()->linksList();
    QTest::mouseClick(links->viewport(), Qt::LeftButton, Qt::NoModifier,
                      links->visualItemRect(links->item(1, 0)).center());
    QCOMPARE(run.app->state().settings.selectedLinkRow, 1u);

    QAction* deleteTool = run.dialog()->toolBar()->actions().at(2);
    QCOMPARE(deleteTool->text(), QStringLiteral("Delete Link"));
    answers_.next = MessageAnswer::Cancel;
    deleteTool->trigger();
    QCOMPARE(answers_.asked.size(), 1);
    QCOMPARE(answers_.asked[0].kind, MessageKind::ConfirmDelete);
    QCOMPARE(answers_.asked[0].caption, QStringLiteral("Delete Confirmation"));
    QCOMPARE(answers_.asked[0].text, QStringLiteral("Confirm Delete Link B"));
    QCOMPARE(answers_.owners[0], static_cast<QWidget*>(run.dialog()));
    QCOMPARE(links->rowCount(), 3);

    answers_.next = MessageAnswer::Ok;
    run.window()->menuAction(Command::RemoveLink)->trigger();
    QCOMPARE(links->rowCount(), 2);
    QCOMPARE(run.linkCell(0, 0), QStringLiteral("A"));
    QCOMPARE(run.linkCell(1, 0), QStringLiteral("C"));
    QCOMPARE(links->currentRow(), 1); // the last row
    QCOMPARE(run.app->state().settings.selectedLinkRow, 1u);
    QCOMPARE(+run.app->state().table.entry[1].inUse, 0u);
    QTRY_VERIFY(run.hasEvent("Removed link 1 (B)"));
}

void DialogsTest::hexBufferGoesThroughALiveConnection() {
    const std::uint16_t port1 = testsupport::free_tcp_port();
    const std::uint16_t port2 = testsupport::free_tcp_port();
    LinkTable table{};
    SetLink(table, 0, "Live", TcpServerPort(port1, true), TcpServerPort(port2, true));
    Run run(table);
    QVERIFY(run.app->start());
    Fd a = guitest::ConnectWhenListening(port1);
    Fd b = guitest::ConnectWhenListening(port2);
    QVERIFY(a.valid() && b.valid());
    QTRY_COMPARE(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"));

    run.window()->menuAction(Command::SendBuffer)->trigger();
    SendBufferDialog* dialog = run.sendBufferDialog();
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Send Buffer"));
    QCOMPARE(dialog->linkLine()->text(), QStringLiteral("Link (0) name: Live"));
    QCOMPARE(dialog->portList()->count(), 2);
    QCOMPARE(dialog->portList()->itemText(0), QStringLiteral("P1 IP TCP Server %1").arg(port1));
    QCOMPARE(dialog->portList()->itemText(1), QStringLiteral("P2 IP TCP Server %1").arg(port2));
    QCOMPARE(dialog->portList()->currentIndex(), 0);
    QVERIFY(dialog->hexButton()->isChecked());
    QVERIFY(!dialog->appendCrBox()->isChecked());
    QVERIFY(dialog->bufferEdit()->text().isEmpty());

    dialog->portList()->setCurrentIndex(1);
    QTest::keyClicks(dialog->bufferEdit(), QStringLiteral("48690D0a"));
    guitest::Click(dialog->appendCrBox());
    QTest::mouseClick(dialog->sendButton(), Qt::LeftButton);
    QTRY_VERIFY(run.sendBufferDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);
    char got[5] = {};
    QVERIFY(testsupport::read_exact(b.get(), got, sizeof got));
    QCOMPARE(QByteArray(got, 5), QByteArray("Hi\r\n\r"));
    QTRY_VERIFY(run.hasEvent("Test buffer sent on Link (0) Live P2"));

    // ASCII on P1; then an odd hex text, which only says so.
    run.window()->trigger(Command::SendBuffer);
    dialog = run.sendBufferDialog();
    QVERIFY(dialog != nullptr);
    guitest::Click(dialog->asciiButton());
    QTest::keyClicks(dialog->bufferEdit(), QStringLiteral("abc"));
    QTest::keyClick(dialog->bufferEdit(), Qt::Key_Return); // Send is the default button
    QVERIFY(testsupport::read_exact(a.get(), got, 3));
    QCOMPARE(QByteArray(got, 3), QByteArray("abc"));
    QTRY_VERIFY(run.sendBufferDialog() == nullptr);
    run.window()->trigger(Command::SendBuffer);
    dialog = run.sendBufferDialog();
    QVERIFY(dialog != nullptr);
    QTest::keyClicks(dialog->bufferEdit(), QStringLiteral("0D 0A"));
    QTest::mouseClick(dialog->sendButton(), Qt::LeftButton);
    QTRY_VERIFY(run.hasEvent("cannot send buffer: error converting from hex"));
    QTRY_VERIFY(run.sendBufferDialog() == nullptr);
    QVERIFY(testsupport::read_for(a.get(), 100).empty());
}

void DialogsTest::oneDialogAtATime() {
    LinkTable table{};
    SetLink(table, 0, "Only", TcpServerPort(0, false), TcpServerPort(0, false));
    Run run(table);
    QVERIFY(run.app->start());
    DialogHost* host = run.app->dialogs();
    run.window()->trigger(Command::NewLink);
    LinkDialog* linkDialog = host->linkDialog();
    QVERIFY(linkDialog != nullptr);
    // Every other dialog command waits; none asks anything.
    for (Command c : {Command::NewLink, Command::EditLink, Command::RemoveLink, Command::SendBuffer,
                      Command::About}) {
        run.window()->trigger(c);
        host->newLink(); // even called directly, past the window's own rule
        host->editLink();
        host->removeLink();
        host->sendBuffer();
        host->about();
    }
    QCOMPARE(host->linkDialog(), linkDialog);
    QVERIFY(host->sendBufferDialog() == nullptr);
    QVERIFY(host->aboutDialog() == nullptr);
    QVERIFY(answers_.asked.isEmpty());
    linkDialog->close(); // the window's close button cancels
    QTRY_VERIFY(host->linkDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);

    run.window()->trigger(Command::About);
    AboutDialog* about = host->aboutDialog();
    QVERIFY(about != nullptr);
    QVERIFY(run.app->state().dialogOpen);
    host->newLink();
    host->sendBuffer();
    host->about();
    QVERIFY(host->linkDialog() == nullptr && host->sendBufferDialog() == nullptr);
    QCOMPARE(host->aboutDialog(), about);
    QTest::mouseClick(about->closeButton(), Qt::LeftButton);
    QTRY_VERIFY(host->aboutDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);

    // Send Buffer without a selected link opens nothing and leaves nothing blocked.
    run.app->logic().currentRowChanged(-1);
    host->sendBuffer();
    QVERIFY(host->sendBufferDialog() == nullptr);
    QVERIFY(!run.app->state().dialogOpen);

    // A dialog open at exit goes with the window and leaves the flag clear.
    run.window()->trigger(Command::NewLink);
    QVERIFY(run.app->state().dialogOpen);
    run.app->requestExit();
    QVERIFY(!run.app->state().dialogOpen);
}

void DialogsTest::aboutHelpAndProductPage() {
    testsupport::ScratchDir pages; // the current directory, where the pages are looked for
    for (const char* page : {"portweave_help.html", "portweave_product.html"}) {
        QVERIFY(QFile::copy(QStringLiteral(PORTWEAVE_SHARE_DIR "/") + QString::fromLatin1(page),
                            QString::fromStdString(pages.path() + "/" + page)));
    }
    Run run(LinkTable{});
    QVERIFY(run.app->start());
    QVERIFY(QTest::qWaitForWindowExposed(run.window()));
    run.window()->menuAction(Command::About)->trigger();
    AboutDialog* about = run.app->dialogs()->aboutDialog();
    QVERIFY(about != nullptr);
    QCOMPARE(about->windowTitle(), QStringLiteral("About Portweave"));
    QCOMPARE(about->version()->text(), QStringLiteral("2.0.5"));
    QCOMPARE(about->notice()->text(), QString::fromUtf8(PRODUCT_NOTICE));
    QVERIFY(!about->logo()->pixmap().isNull());
    QVERIFY(about->contact()->isReadOnly());
    QVERIFY(!about->contact()->toPlainText().isEmpty());
    QCOMPARE(about->parentWidget(), static_cast<QWidget*>(run.window()));

    QTest::mouseClick(about->productWebButton(), Qt::LeftButton);
    QCOMPARE(opened_.size(), 1);
    QCOMPARE(opened_[0],
             QUrl::fromLocalFile(QString::fromStdString(pages.path() + "/portweave_product.html")));
    QVERIFY(run.app->dialogs()->aboutDialog() == about); // it stays open
    QTest::keyClick(about, Qt::Key_Escape);
    QTRY_VERIFY(run.app->dialogs()->aboutDialog() == nullptr);

    // Help from the menu and from the toolbar, also while a dialog is open.
    run.window()->trigger(Command::NewLink);
    run.window()->menuAction(Command::Help)->trigger();
    run.dialog()->toolBar()->actions().at(4)->trigger();
    run.window()->menuAction(Command::ProductWeb)->trigger();
    QCOMPARE(opened_.size(), 4);
    QCOMPARE(opened_[1].fileName(), QStringLiteral("portweave_help.html"));
    QCOMPARE(opened_[2], opened_[1]);
    QCOMPARE(opened_[3].fileName(), QStringLiteral("portweave_product.html"));
    QVERIFY(QFile::exists(opened_[1].toLocalFile()));
}

namespace {

std::uint32_t InitRefused(const WeaveInitStruct*, char* errText) {
    std::snprintf(errText, ERR_TEXT_SIZE, "no threads today");
    return 0;
}

} // namespace

void DialogsTest::anEngineThatWillNotStartIsShownInABox() {
    apptest::TempDir dir;
    pw::LogOptions options;
    options.directory = dir.str();
    pw::LogStore log(options);
    EngineCalls calls;
    calls.init = InitRefused;
    Application app(SessionOptions{dir.str(), &log, calls});
    QVERIFY(!app.start());
    QVERIFY(app.window() == nullptr);
    QCOMPARE(answers_.asked.size(), 1);
    QCOMPARE(answers_.asked[0].kind, MessageKind::Failure);
    QCOMPARE(answers_.asked[0].caption, QStringLiteral("WeaveInit failed"));
    QCOMPARE(answers_.asked[0].text, QStringLiteral("no threads today"));
}

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
