// The notification-area icon.
#include "app/ui/tray.h"

#include "app/core/texts.h"
#include "app/ui/icons.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace pw::app {

Tray::Tray(QObject* parent) : QObject(parent), menu_(new QMenu) {
    connect(menu_->addAction(QString::fromUtf8(TRAY_MENU_SHOW)), &QAction::triggered, this,
            &Tray::showWindowRequested);
    menu_->addSeparator();
    connect(menu_->addAction(QString::fromUtf8(CMD_EXIT)), &QAction::triggered, this,
            &Tray::exitRequested);
}

Tray::~Tray() {
    remove();
    delete menu_;
}

void Tray::add() {
    if (icon_ != nullptr || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    icon_ = new QSystemTrayIcon(MakeIcon(IconKind::Program), this);
    icon_->setToolTip(QString::fromUtf8(TRAY_TIP));
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Some desktops report a click on the icon as a double click.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    emit showWindowRequested();
                }
            });
    icon_->show();
}

void Tray::remove() {
    if (icon_ != nullptr) {
        icon_->hide();
        delete icon_;
        icon_ = nullptr;
    }
}

void Tray::showBackgroundNotice() {
    if (icon_ != nullptr) {
        icon_->showMessage(QString::fromUtf8(TRAY_TIP), QString::fromUtf8(BACKGROUND_NOTICE),
                           QSystemTrayIcon::Information, BALLOON_TIMEOUT_MS);
    }
}

} // namespace pw::app
