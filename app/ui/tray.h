// The notification-area icon: the tip, the background notice when the window hides, a left click
// that brings the window back, and a context menu with "Show" and "Exit". Where the desktop has
// no notification area there is no icon, and available() says so (the main window then
// minimizes instead of hiding).
#pragma once

#include <QObject>

class QMenu;
class QSystemTrayIcon;

namespace pw::app {

class Tray : public QObject {
    Q_OBJECT
public:
    explicit Tray(QObject* parent = nullptr);
    ~Tray() override;

    // Adds the icon when the desktop has a notification area.
    void add();
    // Removes the icon (at exit).
    void remove();
    [[nodiscard]] bool available() const { return icon_ != nullptr; }
    // "Portweave is running in the background", for 3 seconds.
    void showBackgroundNotice();
    // The icon's context menu ("Show", "Exit"); it exists with or without the icon.
    [[nodiscard]] QMenu* menu() const { return menu_; }

signals:
    // A left click on the icon, or its menu's Show.
    void showWindowRequested();
    // The menu's Exit (as Tools > Exit).
    void exitRequested();

private:
    QSystemTrayIcon* icon_ = nullptr;
    QMenu* menu_ = nullptr; // owned here: a menu has no QObject parent of its own kind
};

} // namespace pw::app
