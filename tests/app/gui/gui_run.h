// One run of the application on the offscreen platform over the real engine, in a directory of
// its own, with message boxes answered by the test instead of a person.
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
#include "tests/support/datafile_image.h"
#include "tests/support/loopback.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>

#include <memory>
#include <string>

namespace guitest {

struct Run {
    explicit Run(std::string directory) : dir(std::move(directory)) {
        pw::LogOptions options;
        options.directory = dir;
        log = std::make_unique<pw::LogStore>(options);
        app = std::make_unique<pw::app::Application>(pw::app::SessionOptions{dir, log.get(), {}});
    }
    ~Run() { app.reset(); } // the orderly end: engine stopped, data file written

    pw::app::MainWindow* window() const { return app->window(); }
    pw::app::MainDialog* dialog() const { return app->window()->mainDialog(); }
    pw::app::LinkDialog* linkDialog() const { return app->dialogs()->linkDialog(); }
    pw::app::SendBufferDialog* sendDialog() const { return app->dialogs()->sendBufferDialog(); }
    QString linkCell(int row, int column) const {
        const QTableWidgetItem* item = dialog()->linksList()->item(row, column);
        return item != nullptr ? item->text() : QString();
    }

    std::string dir;
    std::unique_ptr<pw::LogStore> log;
    std::unique_ptr<pw::app::Application> app;
};

// Answers every message box and keeps what was asked and of which window.
struct Answers {
    QList<pw::app::MessageRequest> asked;
    QList<QWidget*> owners;
    pw::app::MessageAnswer next = pw::app::MessageAnswer::Ok;
    Answers() {
        pw::app::SetMessageResponder([this](QWidget* owner, const pw::app::MessageRequest& r) {
            asked << r;
            owners << owner;
            return next;
        });
    }
    ~Answers() { pw::app::SetMessageResponder({}); }
};

// Clicks a check box or radio button on its indicator: a box stretched over a layout's columns
// does not take a click far right of its text.
inline void Click(QAbstractButton* button) {
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
}

inline void MakeTcpServer(pw::app::PortPanel* panel, std::uint16_t port) {
    panel->portTypeList()->setCurrentIndex(PORT_TYPE_IP);
    panel->protocolList()->setCurrentIndex(IP_PROTO_TCP);
    panel->roleList()->setCurrentIndex(TCP_ROLE_SERVER);
    panel->ipPortEdit()->clear();
    QTest::keyClicks(panel->ipPortEdit(), QString::number(port));
}

} // namespace guitest
