// The About dialog: the logo, the vendor's notice, the version, "Product Web", the contact text
// and "Close". Modeless, owned by the main window, centred over it; while it is open the other
// dialogs wait (`dialogOpen`).
#pragma once

#include "app/core/app_state.h"

#include <QDialog>

class QLabel;
class QTextEdit;
class QPushButton;

namespace pw::app {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    // `state.dialogOpen` must have been set for this dialog; closing clears it.
    AboutDialog(AppState& state, QWidget* owner);
    ~AboutDialog() override;

    [[nodiscard]] QLabel* logo() const { return logo_; }
    [[nodiscard]] QLabel* notice() const { return notice_; }
    [[nodiscard]] QLabel* version() const { return version_; }
    [[nodiscard]] QTextEdit* contact() const { return contact_; }
    [[nodiscard]] QPushButton* productWebButton() const { return productWeb_; }
    [[nodiscard]] QPushButton* closeButton() const { return close_; }

signals:
    // "Product Web": the product page is to open; the dialog stays open.
    void productPageRequested();

public slots:
    void reject() override; // "Close", Escape or the window's close button

private:
    AppState& state_;
    QLabel* logo_ = nullptr;
    QLabel* notice_ = nullptr;
    QLabel* version_ = nullptr;
    QTextEdit* contact_ = nullptr;
    QPushButton* productWeb_ = nullptr;
    QPushButton* close_ = nullptr;
    bool finished_ = false;
};

} // namespace pw::app
