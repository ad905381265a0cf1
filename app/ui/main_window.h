// The top-level window: title, menu, the main dialog as its working area, what a close request
// does, and the normal and maximized layouts. Commands of the menu, the toolbar and a double
// click on a link come out as one signal each, after the application-wide rules allowed them
// (no dialog command while a dialog is open; Edit and Remove need a selected link). The link,
// send buffer, help and About windows connect to these signals.
#pragma once

#include "app/core/app_state.h"
#include "app/core/geometry.h"
#include "app/core/main_dialog_logic.h"

#include <QElapsedTimer>
#include <QMainWindow>

namespace pw::app {

class MainDialog;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(AppState& state, MainDialogLogic& logic, QWidget* parent = nullptr);

    [[nodiscard]] MainDialog* mainDialog() const { return dialog_; }
    // The size of the normal (not maximized) window's working area.
    [[nodiscard]] QSize designedSize() const { return designed_; }
    // Whether a close request may hide the window behind a notification-area icon.
    void setTrayAvailable(bool available) { trayAvailable_ = available; }
    [[nodiscard]] bool isMaximizedLayout() const { return isMaximized_; }

    // Where the window is: its normal inside rectangle and whether it is maximized.
    [[nodiscard]] WindowPlace place() const;
    // Moves the window (before it is shown) to the corner of `place` when that is on a screen;
    // false, and the window stays centred, when it is not. The size stays the designed one.
    bool moveTo(const WindowPlace& place);

    // Runs a command if the application's rules allow it now: emits its signal.
    void trigger(Command command);
    // Brings the window back, from hidden or minimized, to the front and active (a click on the
    // notification-area icon, its Show, a second start of the program).
    void bringToFront();
    // The menu's actions by command, for tests.
    [[nodiscard]] QAction* menuAction(Command command) const;

signals:
    void newLinkRequested();
    void editLinkRequested();
    void removeLinkRequested();
    void sendBufferRequested();
    void helpRequested();
    void aboutRequested();
    void productPageRequested();
    void exitRequested();
    // The window was hidden by a close request; the notification area should say so.
    void hiddenToTray();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildMenu();
    void restoreDesignedSize();

    AppState& state_;
    MainDialog* dialog_ = nullptr;
    QSize designed_;
    bool trayAvailable_ = false;
    bool wasMinimized_ = false; // the last state change was a minimize
    bool isMaximized_ = false;  // the maximized layout is in force
    QElapsedTimer lastSnap_;    // when the window last returned itself to its designed size
    QAction* actions_[static_cast<int>(Command::ProductWeb) + 1] = {};
};

} // namespace pw::app
