// Centring a window over its owner.
#include "app/ui/window_geometry.h"

#include "app/core/geometry.h"

#include <QScreen>
#include <QWidget>

namespace pw::app {

void CenterOverOwner(QWidget* window) {
    if (window == nullptr) {
        return;
    }
    QRect reference;
    if (const QWidget* owner = window->parentWidget()) {
        reference = owner->window()->frameGeometry();
    } else if (const QScreen* screen = window->screen()) {
        reference = screen->availableGeometry();
    } else {
        return;
    }
    // Before the window is shown its frame is not known yet: its own size stands for it.
    const QSize size = window->isVisible() ? window->frameGeometry().size() : window->size();
    const Point corner =
        CenteredTopLeft(Rect{reference.x(), reference.y(), reference.width(), reference.height()},
                        size.width(), size.height());
    window->move(corner.x, corner.y);
}

} // namespace pw::app
