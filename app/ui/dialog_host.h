// Carries out the main window's dialog commands: New Link, Edit Link (also the double click),
// Remove Link with its confirmation, Send Buffer, About, Help and the product page. It opens at
// most one of the three dialogs at a time (`dialogOpen`) and keeps track of the one open, so
// that tests can reach it. Main thread.
#pragma once

#include "app/core/link_dialog_logic.h"
#include "app/core/send_buffer.h"

#include <QObject>
#include <QPointer>

namespace pw::app {

class AboutDialog;
class LinkDialog;
class MainWindow;
class SendBufferDialog;

class DialogHost : public QObject {
    Q_OBJECT
public:
    // Connects itself to `window`'s command signals; lives as long as the window.
    DialogHost(MainWindow* window, AppState& state, LinkDialogLogic& links,
               SendBufferLogic& sendBuffer);

    // The dialog open now, or null.
    [[nodiscard]] LinkDialog* linkDialog() const;
    [[nodiscard]] SendBufferDialog* sendBufferDialog() const;
    [[nodiscard]] AboutDialog* aboutDialog() const;

    void newLink();
    void editLink();
    void removeLink();
    void sendBuffer();
    void about();
    // Opens the help page shipped with the program in the desktop's browser. A missing page
    // gives no message (a diagnostic only).
    void help();
    // Opens the product page shipped with the program likewise.
    void productPage();

signals:
    // Links or ports may have changed, or bytes were handed to the engine: engine timers may
    // have started.
    void engineTouched();

private:
    void openLinkDialog();
    void openPage(const char* fileName);

    MainWindow* window_;
    AppState& state_;
    LinkDialogLogic& links_;
    SendBufferLogic& sendBuffer_;
    QPointer<LinkDialog> linkDialog_;
    QPointer<SendBufferDialog> sendBufferDialog_;
    QPointer<AboutDialog> aboutDialog_;
};

} // namespace pw::app
