// The main window's dialog commands.
#include "app/ui/dialog_host.h"

#include "app/core/dialog_texts.h"
#include "app/core/shipped_pages.h"
#include "app/ui/about_dialog.h"
#include "app/ui/link_dialog.h"
#include "app/ui/main_dialog.h"
#include "app/ui/main_window.h"
#include "app/ui/message_box.h"
#include "app/ui/send_buffer_dialog.h"
#include "base/platform.h"

#include <QDesktopServices>
#include <QUrl>

#ifndef PW_DOC_DIR
#define PW_DOC_DIR ""
#endif

namespace pw::app {

DialogHost::DialogHost(MainWindow* window, AppState& state, LinkDialogLogic& links,
                       SendBufferLogic& sendBuffer)
    : QObject(window), window_(window), state_(state), links_(links), sendBuffer_(sendBuffer) {
    connect(window, &MainWindow::newLinkRequested, this, &DialogHost::newLink);
    connect(window, &MainWindow::editLinkRequested, this, &DialogHost::editLink);
    connect(window, &MainWindow::removeLinkRequested, this, &DialogHost::removeLink);
    connect(window, &MainWindow::sendBufferRequested, this, &DialogHost::sendBuffer);
    connect(window, &MainWindow::aboutRequested, this, &DialogHost::about);
    connect(window, &MainWindow::helpRequested, this, &DialogHost::help);
    connect(window, &MainWindow::productPageRequested, this, &DialogHost::productPage);
}

LinkDialog* DialogHost::linkDialog() const {
    return linkDialog_.data();
}

SendBufferDialog* DialogHost::sendBufferDialog() const {
    return sendBufferDialog_.data();
}

AboutDialog* DialogHost::aboutDialog() const {
    return aboutDialog_.data();
}

void DialogHost::openLinkDialog() {
    auto* dialog = new LinkDialog(links_, state_.comDevices, window_->mainDialog());
    connect(dialog, &LinkDialog::saved, this, &DialogHost::engineTouched);
    linkDialog_ = dialog;
    dialog->show();
}

void DialogHost::newLink() {
    if (links_.newLink()) {
        openLinkDialog();
    }
}

void DialogHost::editLink() {
    if (links_.editLink()) {
        openLinkDialog();
    }
}

void DialogHost::removeLink() {
    QWidget* owner = window_->mainDialog();
    const bool removed = links_.removeLink([owner](const std::string& text) {
        return AskUser(owner, MessageRequest{MessageKind::ConfirmDelete,
                                             QString::fromUtf8(CONFIRM_DELETE_CAPTION),
                                             QString::fromUtf8(text.c_str())}) == MessageAnswer::Ok;
    });
    if (removed) {
        emit engineTouched();
    }
}

void DialogHost::sendBuffer() {
    if (!sendBuffer_.open()) {
        return;
    }
    auto* dialog = new SendBufferDialog(sendBuffer_, window_->mainDialog());
    connect(dialog, &SendBufferDialog::sent, this, &DialogHost::engineTouched);
    sendBufferDialog_ = dialog;
    dialog->show();
}

void DialogHost::about() {
    if (state_.dialogOpen) {
        return;
    }
    state_.dialogOpen = true;
    auto* dialog = new AboutDialog(state_, window_);
    connect(dialog, &AboutDialog::productPageRequested, this, &DialogHost::productPage);
    aboutDialog_ = dialog;
    dialog->show();
}

void DialogHost::help() {
    openPage(HELP_PAGE_FILE_NAME);
}

void DialogHost::productPage() {
    openPage(PRODUCT_PAGE_FILE_NAME);
}

void DialogHost::openPage(const char* fileName) {
    const std::string path = FindShippedPage(fileName, ShippedPageDirectories(PW_DOC_DIR));
    if (path.empty()) {
        pw::diag((std::string(fileName) + " not found").c_str());
        return;
    }
    // The outcome is the desktop's business: a browser that does not start says so itself.
    (void)QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

} // namespace pw::app
