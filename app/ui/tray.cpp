// The notification-area icon.
#include "app/ui/tray.h"

#include "app/core/texts.h"
#include "app/ui/icons.h"

#include <QSystemTrayIcon>

namespace pw::app {

Tray::Tray(QObject* parent) : QObject(parent) {}

Tray::~Tray() {
    remove();
}

void Tray::add() {
    if (icon_ != nullptr || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    icon_ = new QSystemTrayIcon(MakeIcon(IconKind::Program), this);
    icon_->setToolTip(QString::fromUtf8(TRAY_TIP));
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
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
