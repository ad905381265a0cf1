// The send buffer dialog: the selected link's line, the port list, Hex or ASCII, the text, "Append
// CR (0x0D)", Send and Cancel. Modeless, owned by the main dialog, centred over it when it opens;
// every Send closes it, whatever the outcome (an event line tells it). What Send does is
// SendBufferLogic's.
#pragma once

#include "app/core/send_buffer.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace pw::app {

class SendBufferDialog : public QDialog {
    Q_OBJECT
public:
    // The logic must be open (the Send Buffer command said so).
    SendBufferDialog(SendBufferLogic& logic, QWidget* owner);
    ~SendBufferDialog() override;

    [[nodiscard]] QLabel* linkLine() const { return linkLine_; }
    [[nodiscard]] QComboBox* portList() const { return ports_; }
    [[nodiscard]] QRadioButton* hexButton() const { return hex_; }
    [[nodiscard]] QRadioButton* asciiButton() const { return ascii_; }
    [[nodiscard]] QLineEdit* bufferEdit() const { return buffer_; }
    [[nodiscard]] QCheckBox* appendCrBox() const { return appendCr_; }
    [[nodiscard]] QPushButton* sendButton() const { return send_; }
    [[nodiscard]] QPushButton* cancelButton() const { return cancel_; }

signals:
    void sent(); // Send ran (the engine may have started transmitting)

public slots:
    void send();
    void reject() override;

private:
    void finish(int result);

    SendBufferLogic& logic_;
    QLabel* linkLine_ = nullptr;
    QComboBox* ports_ = nullptr;
    QRadioButton* hex_ = nullptr;
    QRadioButton* ascii_ = nullptr;
    QLineEdit* buffer_ = nullptr;
    QCheckBox* appendCr_ = nullptr;
    QPushButton* send_ = nullptr;
    QPushButton* cancel_ = nullptr;
    bool finished_ = false;
};

} // namespace pw::app
