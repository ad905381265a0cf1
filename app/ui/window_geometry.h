// Placing windows: a dialog opens centred over its owner (or over the desktop when it has none),
// once, and is never moved by the program afterwards.
#pragma once

class QWidget;

namespace pw::app {

// Moves `window`, keeping its size, so that it is centred over its parent widget's window, or
// over the available desktop when it has no parent. It may end partly off screen when it is
// larger than its owner. Main thread.
void CenterOverOwner(QWidget* window);

} // namespace pw::app
