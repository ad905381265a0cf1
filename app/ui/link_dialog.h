// The link configuration dialog: the link's name and both ports side by side, Save and Cancel.
// Modeless, owned by the main dialog, centred over it when it opens, gone when it closes. What
// Save does is LinkDialogLogic's; a failed check is shown in a box owned by this dialog, which
// then stays open with everything typed.
#pragma once

#include "app/core/link_dialog_logic.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace pw::app {

class PortPanel;

class LinkDialog : public QDialog {
    Q_OBJECT
public:
    // Shows the logic's working copy; the logic must be open (New Link or Edit Link said so).
    LinkDialog(LinkDialogLogic& logic, const ComDevices& devices, QWidget* owner);
    ~LinkDialog() override;

    [[nodiscard]] LinkForm form() const;

    [[nodiscard]] QLineEdit* nameEdit() const { return name_; }
    [[nodiscard]] PortPanel* portPanel(std::uint32_t portId) const { return ports_[portId % 2]; }
    [[nodiscard]] QPushButton* saveButton() const { return save_; }
    [[nodiscard]] QPushButton* cancelButton() const { return cancel_; }

signals:
    // Save changed links or ports.
    void saved();

public slots:
    void save();
    void reject() override; // Cancel, Escape, or the window's close button

private:
    void finish(int result);

    LinkDialogLogic& logic_;
    QLineEdit* name_ = nullptr;
    PortPanel* ports_[PORTS_PER_LINK] = {};
    QPushButton* save_ = nullptr;
    QPushButton* cancel_ = nullptr;
    bool finished_ = false;
};

} // namespace pw::app
