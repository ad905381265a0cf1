// The main window: menu, close request, normal and maximized layout.
#include "app/ui/main_window.h"

#include "app/core/geometry.h"
#include "app/core/keys.h"
#include "app/core/texts.h"
#include "app/ui/icons.h"
#include "app/ui/main_dialog.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>

namespace pw::app {

namespace {

// A window manager that insists on another size is not fought for longer than this.
constexpr qint64 SNAP_QUIET_MS = 1000;

} // namespace

MainWindow::MainWindow(AppState& state, MainDialogLogic& logic, QWidget* parent)
    : QMainWindow(parent), state_(state) {
    setWindowTitle(QString::fromUtf8(PRODUCT_TITLE));
    setWindowIcon(MakeIcon(IconKind::Program));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    dialog_ = new MainDialog(logic, this);
    setCentralWidget(dialog_);
    buildMenu();
    connect(dialog_, &MainDialog::commandRequested, this, &MainWindow::trigger);

    // The window is as large as its working area, centred on the desktop.
    designed_ = sizeHint();
    setMinimumSize(designed_);
    resize(designed_);
    if (const QScreen* s = screen()) {
        const QRect desk = s->availableGeometry();
        const Point corner = CenteredTopLeft(Rect{desk.x(), desk.y(), desk.width(), desk.height()},
                                             designed_.width(), designed_.height());
        move(corner.x, corner.y);
    }
}

void MainWindow::buildMenu() {
    struct Item {
        const char* text;
        Command command;
    };
    QMenu* tools =
        menuBar()->addMenu(QString::fromStdString(MnemonicText(MENU_TOOLS, MENU_TOOLS_MNEMONIC)));
    const Item toolItems[] = {{CMD_NEW_LINK, Command::NewLink},
                              {CMD_EDIT_LINK, Command::EditLink},
                              {CMD_REMOVE_LINK, Command::RemoveLink},
                              {CMD_SEND_BUFFER, Command::SendBuffer}};
    auto add = [this](QMenu* menu, const Item& item) {
        const CommandKeys keys = KeysOf(item.command);
        QAction* action =
            menu->addAction(QString::fromStdString(MnemonicText(item.text, keys.mnemonic)));
        action->setShortcuts(QKeySequence::listFromString(QString::fromLatin1(keys.shortcuts),
                                                          QKeySequence::PortableText));
        const Command command = item.command;
        connect(action, &QAction::triggered, this, [this, command] { trigger(command); });
        actions_[static_cast<int>(command)] = action;
    };
    for (const Item& item : toolItems) {
        add(tools, item);
    }
    tools->addSeparator();
    add(tools, Item{CMD_EXIT, Command::Exit});
    QMenu* about =
        menuBar()->addMenu(QString::fromStdString(MnemonicText(MENU_ABOUT, MENU_ABOUT_MNEMONIC)));
    const Item aboutItems[] = {{CMD_HELP, Command::Help},
                               {CMD_ABOUT, Command::About},
                               {CMD_PRODUCT_WEB, Command::ProductWeb}};
    for (const Item& item : aboutItems) {
        add(about, item);
    }
}

WindowPlace MainWindow::place() const {
    // The inside, without the frame, which not every platform knows before the window shows; a
    // maximized window keeps its normal one in normalGeometry().
    const QRect inside = isMaximized() ? normalGeometry() : geometry();
    return WindowPlace{Rect{inside.x(), inside.y(), inside.width(), inside.height()},
                       isMaximized()};
}

bool MainWindow::moveTo(const WindowPlace& place) {
    std::vector<Rect> screens;
    for (const QScreen* s : QGuiApplication::screens()) {
        const QRect r = s->availableGeometry();
        screens.push_back(Rect{r.x(), r.y(), r.width(), r.height()});
    }
    if (!PlaceIsOnScreen(place, screens)) {
        return false;
    }
    setGeometry(QRect(QPoint(place.normal.left, place.normal.top), size()));
    return true;
}

QAction* MainWindow::menuAction(Command command) const {
    return actions_[static_cast<int>(command)];
}

void MainWindow::trigger(Command command) {
    if (!state_.commandAllowed(command)) {
        return;
    }
    switch (command) {
    case Command::NewLink:
        emit newLinkRequested();
        break;
    case Command::EditLink:
        emit editLinkRequested();
        break;
    case Command::RemoveLink:
        emit removeLinkRequested();
        break;
    case Command::SendBuffer:
        emit sendBufferRequested();
        break;
    case Command::Exit:
        emit exitRequested();
        break;
    case Command::Help:
        emit helpRequested();
        break;
    case Command::About:
        emit aboutRequested();
        break;
    case Command::ProductWeb:
        emit productPageRequested();
        break;
    }
}

void MainWindow::bringToFront() {
    if (isMinimized()) {
        // Back to what it was before (normal or maximized).
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    switch (ChooseCloseAction(state_.exitRequested, trayAvailable_)) {
    case CloseAction::Close:
        event->accept();
        break;
    case CloseAction::HideToTray:
        event->ignore();
        emit hiddenToTray();
        hide();
        break;
    case CloseAction::Minimize:
        event->ignore();
        showMinimized();
        break;
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const Qt::WindowStates now = windowState();
    if (now & Qt::WindowMinimized) {
        wasMinimized_ = true;
        return;
    }
    wasMinimized_ = false;
    if (now & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        if (!isMaximized_) {
            isMaximized_ = true;
            dialog_->setMaximizedLayout(true);
        }
        return;
    }
    if (isMaximized_) {
        // Back from maximized: the designed arrangement and size again.
        isMaximized_ = false;
        dialog_->setMaximizedLayout(false);
        QTimer::singleShot(0, this, &MainWindow::restoreDesignedSize);
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // The normal window keeps its designed size: a window manager that resizes it (it has a
    // sizing border only so that it can be maximized) gets the designed size back.
    const bool normal =
        (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)) == 0;
    if (normal && !isMaximized_ && size() != designed_ &&
        (!lastSnap_.isValid() || lastSnap_.elapsed() > SNAP_QUIET_MS)) {
        lastSnap_.start();
        QTimer::singleShot(0, this, &MainWindow::restoreDesignedSize);
    }
}

void MainWindow::restoreDesignedSize() {
    if ((windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)) == 0) {
        resize(designed_);
    }
}

} // namespace pw::app
