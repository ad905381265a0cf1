// Message boxes, or the responder that stands in for them.
#include "app/ui/message_box.h"

#include <QMessageBox>
#include <QPointer>

namespace pw::app {

namespace {

MessageResponder& Responder() {
    static MessageResponder responder;
    return responder;
}

} // namespace

MessageAnswer AskUser(QWidget* owner, const MessageRequest& request) {
    if (Responder()) {
        return Responder()(owner, request);
    }
    const bool confirm = request.kind == MessageKind::ConfirmDelete;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    if (confirm) {
        icon = QMessageBox::Warning;
    } else if (request.kind == MessageKind::Failure) {
        icon = QMessageBox::Critical;
    }
    // On the heap and watched: if the owner is destroyed while the box waits (an exit signal
    // arrives), the box goes with it and must not be deleted twice.
    QPointer<QMessageBox> box =
        new QMessageBox(icon, request.caption, request.text,
                        confirm ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, owner);
    box->setDefaultButton(QMessageBox::Ok);
    const int result = box->exec();
    if (box.isNull()) {
        return MessageAnswer::Cancel;
    }
    delete box.data();
    return result == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

void SetMessageResponder(MessageResponder responder) {
    Responder() = std::move(responder);
}

} // namespace pw::app
