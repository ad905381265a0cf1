// A user's whole session, through the widgets only, over the real engine: a serial port (a
// pseudo-terminal named in portweave.ports) bridged to a TCP server is created in the link
// dialog and activated on save; bytes cross both ways and show in the trace; a test buffer goes
// out of the serial port; the link is edited; after a restart it is all back and running; it is
// removed, and after another restart it is gone.
#include "tests/app/gui/gui_run.h"
#include "tests/support/pty.h"

#include <QCheckBox>
#include <QPushButton>

#include <cstring>
#include <string>

using namespace pw::app;
using guitest::Answers;
using guitest::Run;
using testsupport::Fd;
using Bytes = testsupport::PtyPair::Bytes;

namespace {

constexpr int LIMIT_MS = 10000;
constexpr int COM7 = 6; // COM index of the pseudo-terminal

bool Read(const Fd& fd, const char* expected) {
    const std::size_t n = std::strlen(expected);
    std::string got(n, '\0');
    return testsupport::read_exact(fd.get(), got.data(), n, LIMIT_MS) && got == expected;
}

} // namespace

class UserFlowTest : public QObject {
    Q_OBJECT

private slots:
    void serialToTcpFromCreationToRemoval();

private:
    Answers answers_;
};

void UserFlowTest::serialToTcpFromCreationToRemoval() {
    answers_.install();
    testsupport::ScratchDir dir; // the current directory, where the serial layer looks
    testsupport::PtyPair device;
    dir.writePorts({{COM7 + 1, device.slavePath()}});
    apptest::WriteDataFile(dir.path(), SettingsBlock{}, LinkTable{});
    const std::uint16_t first = testsupport::free_tcp_port();
    const std::uint16_t second = testsupport::free_tcp_port();

    {
        Run run(dir.path());
        QVERIFY(run.app->start());
        QVERIFY(QTest::qWaitForWindowExposed(run.window()));

        // Create: COM7 at 115200 without flow control, to a TCP server; both activated on save.
        run.window()->menuAction(Command::NewLink)->trigger();
        LinkDialog* dialog = run.linkDialog();
        QVERIFY(dialog != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        PortPanel* serial = dialog->portPanel(0);
        QCOMPARE(serial->comList()->itemText(COM7),
                 QStringLiteral("COM7 (%1)").arg(QString::fromStdString(device.slavePath())));
        QCOMPARE(serial->comList()->itemText(7), QStringLiteral("COM8"));
        dialog->nameEdit()->selectAll();
        QTest::keyClicks(dialog->nameEdit(), QStringLiteral("Bridge"));
        serial->comList()->setCurrentIndex(COM7);
        serial->baudList()->setCurrentIndex(serial->baudList()->findText(QStringLiteral("115200")));
        guitest::Click(serial->flowControlBox());
        guitest::Click(serial->activateOnSaveBox());
        guitest::MakeTcpServer(dialog->portPanel(1), first);
        guitest::Click(dialog->portPanel(1)->activateOnSaveBox());
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QTRY_VERIFY(run.linkDialog() == nullptr);
        QVERIFY(answers_.asked.isEmpty());
        QCOMPARE(run.linkCell(0, 0), QStringLiteral("Bridge"));
        QCOMPARE(run.linkCell(0, 1), QStringLiteral("COM7"));
        QCOMPARE(run.linkCell(0, 2), QStringLiteral("TCP Server"));
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Listening)"),
                                  LIMIT_MS);

        // Traffic both ways, traced.
        guitest::Click(run.dialog()->enableTracingBox());
        QVERIFY(run.dialog()->enableTracingBox()->isChecked());
        Fd client = guitest::ConnectWhenListening(first);
        QVERIFY(client.valid());
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"), LIMIT_MS);
        QVERIFY(device.write("ping"));
        QVERIFY(Read(client, "ping"));
        QVERIFY(testsupport::write_all(client.get(), "pong", 4));
        QVERIFY(device.read(4) == Bytes({'p', 'o', 'n', 'g'}));
        LogListModel* trace = run.dialog()->traceModel();
        QTRY_VERIFY_WITH_TIMEOUT(trace->rowCount() >= 4, LIMIT_MS);
        QCOMPARE(trace->cell(0, 1), QStringLiteral("L1 P1 (COM7)"));
        QCOMPARE(trace->cell(0, 2), QStringLiteral("Rx"));
        QCOMPARE(trace->cell(0, 4), QStringLiteral("70 69 6e 67 "));

        // A test buffer out of the serial port.
        run.window()->menuAction(Command::SendBuffer)->trigger();
        SendBufferDialog* send = run.sendBufferDialog();
        QVERIFY(send != nullptr);
        QCOMPARE(send->portList()->itemText(0), QStringLiteral("P1 Serial COM7"));
        QTest::keyClicks(send->bufferEdit(), QStringLiteral("4f4b0d0a"));
        QTest::mouseClick(send->sendButton(), Qt::LeftButton);
        QVERIFY(device.read(4) == Bytes({'O', 'K', '\r', '\n'}));
        QTRY_VERIFY(run.hasEvent("Test buffer sent on Link (0) Bridge P1"));

        // Edit: both ports go down (the client is dropped), the server moves.
        run.window()->menuAction(Command::EditLink)->trigger();
        dialog = run.linkDialog();
        QVERIFY(dialog != nullptr);
        QVERIFY(testsupport::wait_peer_closed(client.get(), LIMIT_MS));
        QCOMPARE(dialog->portPanel(0)->comList()->currentIndex(), COM7);
        QVERIFY(dialog->portPanel(0)->activateOnSaveBox()->isChecked());
        dialog->portPanel(1)->ipPortEdit()->setText(QString::number(second));
        QTest::mouseClick(dialog->saveButton(), Qt::LeftButton);
        QTRY_VERIFY(run.linkDialog() == nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Listening)"),
                                  LIMIT_MS);
        QVERIFY(guitest::ConnectWhenListening(second).valid());
    } // Exit: the data file is written.

    {
        // Restart: the link is back, activated, traced, and carries bytes.
        Run run(dir.path());
        QVERIFY(run.app->start());
        QCOMPARE(run.dialog()->linksList()->rowCount(), 1);
        QCOMPARE(run.linkCell(0, 0), QStringLiteral("Bridge"));
        QVERIFY(run.dialog()->enableTracingBox()->isChecked());
        Fd client = guitest::ConnectWhenListening(second);
        QVERIFY(client.valid());
        QTRY_COMPARE_WITH_TIMEOUT(run.linkCell(0, 3), QStringLiteral("P1 (Up) P2 (Up)"), LIMIT_MS);
        QVERIFY(device.write("again"));
        QVERIFY(Read(client, "again"));
        QTRY_VERIFY_WITH_TIMEOUT(run.dialog()->traceModel()->rowCount() >= 2, LIMIT_MS);

        // Remove, confirmed.
        run.window()->menuAction(Command::RemoveLink)->trigger();
        QCOMPARE(answers_.asked.size(), 1);
        QCOMPARE(answers_.asked[0].text, QStringLiteral("Confirm Delete Link Bridge"));
        QCOMPARE(run.dialog()->linksList()->rowCount(), 0);
        QVERIFY(testsupport::wait_peer_closed(client.get(), LIMIT_MS));
    }

    {
        // And after another restart it stays gone.
        Run run(dir.path());
        QVERIFY(run.app->start());
        QCOMPARE(run.dialog()->linksList()->rowCount(), 0);
        SettingsBlock saved{};
        LinkTable table{};
        QVERIFY(apptest::ReadDataFile(dir.path(), saved, table));
        QCOMPARE(+table.entry[0].inUse, 0u);
        QCOMPARE(+saved.selectedLinkRow, SELECTED_ROW_NONE);
    }
    SetMessageResponder({});
}

QTEST_MAIN(UserFlowTest)
#include "user_flow_test.moc"
