// The link configuration dialog's widgets.
#include "app/ui/link_dialog.h"

#include "app/core/dialog_texts.h"
#include "app/core/keys.h"
#include "app/ui/message_box.h"
#include "app/ui/port_panel.h"
#include "app/ui/window_geometry.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pw::app {

LinkDialog::LinkDialog(LinkDialogLogic& logic, const ComDevices& devices, QWidget* owner)
    : QDialog(owner), logic_(logic) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QString::fromUtf8(logic_.title()));

    name_ = new QLineEdit(this);
    name_->setMaxLength(static_cast<int>(NAME_TYPING_LIMIT));
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        ports_[p] = new PortPanel(p, devices, this);
        connect(ports_[p], &PortPanel::deviceChosen, this,
                [this](std::uint32_t comIndex, const QString& path) {
                    logic_.assignComDevice(comIndex, path.toStdString());
                    for (PortPanel* panel : ports_) {
                        panel->refreshComItems();
                    }
                });
    }
    save_ = new QPushButton(QString::fromUtf8(BUTTON_SAVE), this);
    save_->setDefault(true);
    cancel_ = new QPushButton(QString::fromUtf8(BUTTON_CANCEL), this);
    cancel_->setAutoDefault(false);

    auto* root = new QVBoxLayout(this);
    auto* nameRow = new QHBoxLayout;
    auto* nameLabel = new QLabel(QString::fromStdString(MnemonicText(LABEL_LINK_NAME, 'N')), this);
    nameLabel->setBuddy(name_);
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(name_, 1);
    root->addLayout(nameRow);
    auto* portsRow = new QHBoxLayout;
    portsRow->addWidget(ports_[0], 1);
    portsRow->addWidget(ports_[1], 1);
    root->addLayout(portsRow, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save_);
    buttons->addWidget(cancel_);
    root->addLayout(buttons);

    const LinkForm form = FormOf(logic_.workingCopy().config);
    name_->setText(QString::fromUtf8(form.name.data(), static_cast<qsizetype>(form.name.size())));
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        ports_[p]->setForm(form.port[p]);
    }
    connect(save_, &QPushButton::clicked, this, &LinkDialog::save);
    connect(cancel_, &QPushButton::clicked, this, &LinkDialog::reject);

    adjustSize();
    CenterOverOwner(this);
}

LinkDialog::~LinkDialog() {
    // Destroyed with its owner (the program exits) rather than closed.
    if (!finished_) {
        logic_.close();
    }
}

LinkForm LinkDialog::form() const {
    LinkForm form;
    form.name = name_->text().toUtf8().toStdString();
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        form.port[p] = ports_[p]->form();
    }
    return form;
}

void LinkDialog::save() {
    if (finished_) {
        return;
    }
    const SaveOutcome outcome = logic_.save(form());
    if (outcome.closed) {
        emit saved();
        finish(QDialog::Accepted);
        return;
    }
    // Nothing of this dialog is touched after the box: the program may exit while it waits.
    if (!outcome.message.empty()) {
        (void)AskUser(this, MessageRequest{MessageKind::Notice, QString(),
                                           QString::fromUtf8(outcome.message.c_str())});
    }
}

void LinkDialog::reject() {
    finish(QDialog::Rejected);
}

void LinkDialog::finish(int result) {
    if (finished_) {
        return;
    }
    finished_ = true;
    logic_.close();
    QDialog::done(result); // hides, and deletes the dialog (WA_DeleteOnClose)
}

} // namespace pw::app
