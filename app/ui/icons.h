// The program's own icons, drawn in code so that they need no image plug-in: the program icon
// (window and notification area) and the five toolbar images. The installed desktop icon is the
// same drawing as a scalable image (app/share/portweave.svg).
#pragma once

#include <QIcon>

namespace pw::app {

enum class IconKind {
    Program,    // two ports joined: the window and the notification area
    NewLink,    // a plus
    EditLink,   // a pencil
    DeleteLink, // a cross
    SendBuffer, // an arrow to the right
    Help,       // a question mark
};

[[nodiscard]] QIcon MakeIcon(IconKind kind);

} // namespace pw::app
