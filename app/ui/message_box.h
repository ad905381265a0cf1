// The one way the program shows a message box: the engine's start-up failure, the link dialog's
// check messages, Remove Link's confirmation and a failed save of the data file. Tests install a
// responder that answers instead of a person, so no box ever waits for a click in an automated run.
// Main thread.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace pw::app {

enum class MessageKind {
    Notice,        // OK only, no icon, the window system's default caption
    ConfirmDelete, // OK and Cancel, exclamation icon
    Failure,       // OK only, error icon
};

enum class MessageAnswer { Ok, Cancel };

struct MessageRequest {
    MessageKind kind;
    QString caption; // empty: the window system's default
    QString text;
};

// Answers a request in place of the box; `owner` is the window that owns it.
using MessageResponder = std::function<MessageAnswer(QWidget* owner, const MessageRequest&)>;

// Shows the box, modal to `owner`, and returns the user's answer (Cancel when the box was closed
// without one, or when its owner went away meanwhile). With a responder installed, the
// responder answers and no box is shown.
MessageAnswer AskUser(QWidget* owner, const MessageRequest& request);

// Installs `responder` (empty: the real boxes again).
void SetMessageResponder(MessageResponder responder);

} // namespace pw::app
