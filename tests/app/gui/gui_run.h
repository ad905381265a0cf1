// Helpers of the dialog tests: one run of the application in a temporary directory, a message
// box responder that records what was asked, and filling a port panel as a TCP server.
#pragma once

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
#include "tests/app/app_test_util.h"
#include "tests/support/loopback.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QList>
#include <QTest>

#include <memory>
#include <string>

namespace guitest {

// One run of the application on the data file of `dir` (a fresh temporary directory unless one
// is given), with its own log.
struct Run {
    explicit Run(const LinkTable& table, SettingsBlock settings = {})
        : ownDir(new apptest::TempDir) {
        dir = ownDir->str();
        apptest::WriteDataFile(dir, settings, table);
        create();
    }
    // A run on the data file an earlier run left in `existing` (a restart).
    explicit Run(std::string existing) : dir(std::move(existing)) { create(); }
    ~Run() { app.reset(); } // finishes: engine stopped, data file written

    void create() {
        pw::LogOptions options;
        options.directory = dir;
        log = std::make_unique<pw::LogStore>(options);
        app = std::make_unique<pw::app::Application>(pw::app::SessionOptions{dir, log.get(), {}});
    }
    pw::app::MainWindow* window() const { return app->window(); }
    pw::app::MainDialog* dialog() const { return app->window()->mainDialog(); }
    // The dialogs open now (not the ones closing).
    pw::app::LinkDialog* linkDialog() const {
        pw::app::LinkDialog* d = app->dialogs() != nullptr ? app->dialogs()->linkDialog() : nullptr;
        return d != nullptr && d->isVisible() ? d : nullptr;
    }
    pw::app::SendBufferDialog* sendBufferDialog() const {
        pw::app::SendBufferDialog* d =
            app->dialogs() != nullptr ? app->dialogs()->sendBufferDialog() : nullptr;
        return d != nullptr && d->isVisible() ? d : nullptr;
    }
    QString linkCell(int row, int column) const {
        QTableWidgetItem* item = dialog()->linksList()->item(row, column);
        return item != nullptr ? item->text() : QString();
    }
    QString statsCell(int row, int column) const {
        QTableWidgetItem* item = dialog()->statsList()->item(row, column);
        return item != nullptr ? item->text() : QString();
    }
    bool hasEvent(const char* text) const {
        const pw::app::LogListModel* events = dialog()->eventModel();
        for (int row = 0; row < events->rowCount(); ++row) {
            if (events->cell(row, 1) == QString::fromUtf8(text)) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<apptest::TempDir> ownDir;
    std::string dir;
    std::unique_ptr<pw::LogStore> log;
    std::unique_ptr<pw::app::Application> app;
};

// Answers every message box in place of a person, and keeps what was asked.
struct Answers {
    QList<pw::app::MessageRequest> asked;
    QList<QWidget*> owners;
    pw::app::MessageAnswer next = pw::app::MessageAnswer::Ok;

    void install() {
        pw::app::SetMessageResponder([this](QWidget* owner, const pw::app::MessageRequest& r) {
            asked << r;
            owners << owner;
            return next;
        });
    }
    void clear() {
        asked.clear();
        owners.clear();
        next = pw::app::MessageAnswer::Ok;
    }
};

// Clicks a check box or radio button on its indicator (a box stretched over a layout's columns
// does not take a click far right of its text).
inline void Click(QAbstractButton* button) {
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

// Sets the panel to a TCP server on `port` through its controls.
inline void MakeTcpServer(pw::app::PortPanel* panel, std::uint16_t port) {
    panel->portTypeList()->setCurrentIndex(PORT_TYPE_IP);
    panel->protocolList()->setCurrentIndex(IP_PROTO_TCP);
    panel->roleList()->setCurrentIndex(TCP_ROLE_SERVER);
    panel->ipPortEdit()->clear();
    QTest::keyClicks(panel->ipPortEdit(), QString::number(port));
}

inline testsupport::Fd ConnectWhenListening(std::uint16_t port) {
    testsupport::Fd fd;
    for (int i = 0; i < 1000 && !fd.valid(); ++i) {
        fd = testsupport::tcp_connect(port);
        if (!fd.valid()) {
            QTest::qWait(10);
        }
    }
    return fd;
}

// The socket layer closes a listening socket on its own thread, a moment after the call.
inline bool Closed(std::uint16_t port) {
    for (int i = 0; i < 1000; ++i) {
        if (!testsupport::tcp_connect(port).valid()) {
            return true;
        }
        QTest::qWait(10);
    }
    return false;
}

} // namespace guitest
