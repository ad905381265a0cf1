// The notification-area icon: the tip, the background notice when the window hides, and a left
// click that brings the window back. Where the desktop has no notification area there is no
// icon, and available() says so (the main window then minimizes instead of hiding).
#pragma once

#include <QObject>

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

signals:
    // A left click on the icon.
    void showWindowRequested();

private:
    QSystemTrayIcon* icon_ = nullptr;
};

} // namespace pw::app
