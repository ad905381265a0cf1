// One port's half of the link configuration dialog: the group "PORT n Configuration" with the
// port type, the serial and IP settings, the forwarding conditions, the reconnect option and the
// diagnostics. It shows a PortForm, gives one back, and keeps its controls enabled as the
// enabling rules say while the user works. Its device picker hands the device chosen for the
// selected COM number to the owner (deviceChosen), which assigns it and calls refreshComItems.
#pragma once

#include "app/core/com_devices.h"
#include "app/core/link_form.h"

#include <QGroupBox>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace pw::app {

class PortPanel : public QGroupBox {
    Q_OBJECT
public:
    // `portId` 0 is P1, 1 is P2; `devices` names what each COM choice opens.
    PortPanel(std::uint32_t portId, const ComDevices& devices, QWidget* parent = nullptr);

    // Rewrites the COM list's items from the devices given at construction (the selection stays).
    void refreshComItems();

    // Shows `form` and applies the enabling rules.
    void setForm(const PortForm& form);
    [[nodiscard]] PortForm form() const;

    // Controls, for tests.
    [[nodiscard]] QCheckBox* activateOnSaveBox() const { return activateOnSave_; }
    [[nodiscard]] QComboBox* portTypeList() const { return portType_; }
    [[nodiscard]] QComboBox* comList() const { return com_; }
    [[nodiscard]] QComboBox* devicePicker() const { return device_; }
    [[nodiscard]] QComboBox* baudList() const { return baud_; }
    [[nodiscard]] QComboBox* dataBitsList() const { return dataBits_; }
    [[nodiscard]] QComboBox* parityList() const { return parity_; }
    [[nodiscard]] QComboBox* stopBitsList() const { return stopBits_; }
    [[nodiscard]] QCheckBox* flowControlBox() const { return rtsCts_; }
    [[nodiscard]] QComboBox* protocolList() const { return protocol_; }
    [[nodiscard]] QComboBox* roleList() const { return role_; }
    [[nodiscard]] QLineEdit* ipPortEdit() const { return ipPort_; }
    [[nodiscard]] QLineEdit* remoteHostEdit() const { return remoteHost_; }
    [[nodiscard]] QLabel* remoteHostLabel() const { return remoteHostLabel_; }
    [[nodiscard]] QCheckBox* instantBox() const { return fwdInstant_; }
    [[nodiscard]] QCheckBox* bufferFullBox() const { return fwdBufferFull_; }
    [[nodiscard]] QLineEdit* bufferSizeEdit() const { return bufferSize_; }
    [[nodiscard]] QCheckBox* interCharBox() const { return fwdInterChar_; }
    [[nodiscard]] QLineEdit* interCharEdit() const { return interCharMs_; }
    [[nodiscard]] QCheckBox* frameEndBox() const { return fwdFrameEnd_; }
    [[nodiscard]] QComboBox* frameEndList() const { return frameEnd_; }
    [[nodiscard]] QCheckBox* reconnectBox() const { return autoReconnect_; }
    [[nodiscard]] QLineEdit* reconnectEdit() const { return reconnectSecs_; }
    [[nodiscard]] QCheckBox* loopbackBox() const { return loopback_; }
    [[nodiscard]] QCheckBox* generatorBox() const { return genTraffic_; }
    [[nodiscard]] QRadioButton* genHexButton() const { return genHex_; }
    [[nodiscard]] QRadioButton* genAsciiButton() const { return genAscii_; }
    [[nodiscard]] QLineEdit* genDataEdit() const { return genData_; }
    [[nodiscard]] QLineEdit* genPeriodEdit() const { return genPeriod_; }
    // The section headings of this port, in order (forwarding, reconnect, diagnostics).
    [[nodiscard]] QList<QLabel*> headings() const { return headings_; }

signals:
    // The user picked device `path` for the COM list's current choice `comIndex`.
    void deviceChosen(std::uint32_t comIndex, const QString& path);

private:
    void build(std::uint32_t portId);
    void connectRules();
    void forwardClicked(ForwardBox box, bool checked);
    void applyEnabling();
    QLabel* heading(const char* text);

    QCheckBox* activateOnSave_ = nullptr;
    QComboBox* portType_ = nullptr;
    QLabel* serialLabels_[5] = {};
    const ComDevices& devices_;
    QComboBox* com_ = nullptr;
    QComboBox* device_ = nullptr;
    QComboBox* baud_ = nullptr;
    QComboBox* dataBits_ = nullptr;
    QComboBox* parity_ = nullptr;
    QComboBox* stopBits_ = nullptr;
    QCheckBox* rtsCts_ = nullptr;
    QLabel* ipLabels_[3] = {};
    QComboBox* protocol_ = nullptr;
    QComboBox* role_ = nullptr;
    QLineEdit* ipPort_ = nullptr;
    QLabel* remoteHostLabel_ = nullptr;
    QLineEdit* remoteHost_ = nullptr;
    QCheckBox* fwdInstant_ = nullptr;
    QCheckBox* fwdBufferFull_ = nullptr;
    QLineEdit* bufferSize_ = nullptr;
    QCheckBox* fwdInterChar_ = nullptr;
    QLineEdit* interCharMs_ = nullptr;
    QCheckBox* fwdFrameEnd_ = nullptr;
    QComboBox* frameEnd_ = nullptr;
    QCheckBox* autoReconnect_ = nullptr;
    QLineEdit* reconnectSecs_ = nullptr;
    QCheckBox* loopback_ = nullptr;
    QCheckBox* genTraffic_ = nullptr;
    QButtonGroup* genMode_ = nullptr;
    QRadioButton* genHex_ = nullptr;
    QRadioButton* genAscii_ = nullptr;
    QLineEdit* genData_ = nullptr;
    QLineEdit* genPeriod_ = nullptr;
    QList<QLabel*> headings_;
};

// The colour of the dialogs' section headings (orange-red on white).
extern const char HEADING_STYLE[];

} // namespace pw::app
