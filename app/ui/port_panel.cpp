// One port's controls of the link configuration dialog.
#include "app/ui/port_panel.h"

#include "app/core/dialog_texts.h"
#include "app/core/keys.h"
#include "app/core/texts.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include <iterator>

namespace pw::app {

const char HEADING_STYLE[] = "QLabel { color: rgb(255, 51, 0); background: white; }";

namespace {

constexpr char GROUP_TITLE_STYLE[] =
    "QGroupBox::title { color: rgb(255, 51, 0); background: white; }";

QString Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Utf8Bytes(const QString& text) {
    return text.toUtf8().toStdString();
}

// The generator's text is one byte per character, as the trace shows bytes.
QString Latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Latin1Bytes(const QString& text) {
    return text.toLatin1().toStdString();
}

template <std::size_t N>
QComboBox* List(const char* const (&items)[N], QWidget* parent) {
    auto* list = new QComboBox(parent);
    for (const char* item : items) {
        list->addItem(QString::fromUtf8(item));
    }
    return list;
}

QLineEdit* Edit(int typingLimit, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setMaxLength(typingLimit);
    return edit;
}

// A numeric edit: digits only.
QLineEdit* NumberEdit(std::size_t typingLimit, QWidget* parent, bool centred = false) {
    QLineEdit* edit = Edit(static_cast<int>(typingLimit), parent);
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    if (centred) {
        edit->setAlignment(Qt::AlignHCenter);
    }
    return edit;
}

QCheckBox* Check(const char* text, QWidget* parent) {
    return new QCheckBox(QString::fromUtf8(text), parent);
}

QLabel* Label(const char* text, QWidget* parent) {
    return new QLabel(QString::fromUtf8(text), parent);
}

// A label whose underlined letter, with Alt, moves the focus to `control`.
QLabel* Label(const char* text, char key, QWidget* control, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(MnemonicText(text, key)), parent);
    label->setBuddy(control);
    return label;
}

} // namespace

PortPanel::PortPanel(std::uint32_t portId, const ComDevices& devices, QWidget* parent)
    : QGroupBox(QString::fromUtf8(PORT_GROUP_CAPTIONS[portId % 2]), parent), devices_(devices) {
    setStyleSheet(QString::fromLatin1(GROUP_TITLE_STYLE));
    build(portId);
    connectRules();
}

QLabel* PortPanel::heading(const char* text) {
    QLabel* label = Label(text, this);
    label->setStyleSheet(QString::fromLatin1(HEADING_STYLE));
    label->setAutoFillBackground(true);
    headings_ << label;
    return label;
}

void PortPanel::build(std::uint32_t portId) {
    activateOnSave_ = Check(CHECK_ACTIVATE_ON_SAVE, this);
    portType_ = List(PORT_TYPE_ITEMS, this);
    const char* serialLabels[] = {LABEL_COM_PORT, LABEL_BAUD_RATE, LABEL_DATA_BITS, LABEL_PARITY,
                                  LABEL_STOP_BITS};
    for (std::size_t i = 0; i < std::size(serialLabels_); ++i) {
        serialLabels_[i] = Label(serialLabels[i], this);
    }
    com_ = new QComboBox(this);
    refreshComItems();
    device_ = new QComboBox(this);
    device_->addItem(QString::fromUtf8(DEVICE_PICKER_PROMPT));
    for (const DeviceChoice& choice : DeviceChoices()) {
        device_->addItem(Utf8(choice.text), Utf8(choice.path));
    }
    baud_ = List(BAUD_RATE_ITEMS, this);
    dataBits_ = List(DATA_BITS_ITEMS, this);
    parity_ = List(PARITY_ITEMS, this);
    stopBits_ = List(STOP_BITS_ITEMS, this);
    rtsCts_ = Check(CHECK_FLOW_CONTROL, this);
    const char* ipLabels[] = {LABEL_IP_PROTOCOL, LABEL_TCP_ROLE, LABEL_IP_PORT};
    for (std::size_t i = 0; i < std::size(ipLabels_); ++i) {
        ipLabels_[i] = Label(ipLabels[i], this);
    }
    protocol_ = List(IP_PROTOCOL_ITEMS, this);
    role_ = List(TCP_ROLE_ITEMS, this);
    ipPort_ = NumberEdit(IP_PORT_TYPING_LIMIT, this);
    remoteHostLabel_ = Label(LABEL_REMOTE_HOST, this);
    remoteHost_ = Edit(static_cast<int>(REMOTE_HOST_TYPING_LIMIT), this);
    fwdInstant_ = Check(CHECK_FWD_INSTANT, this);
    fwdBufferFull_ = Check(CHECK_FWD_BUFFER_FULL, this);
    bufferSize_ = NumberEdit(BUFFER_SIZE_TYPING_LIMIT, this);
    fwdInterChar_ = Check(CHECK_FWD_INTER_CHAR, this);
    interCharMs_ = NumberEdit(INTER_CHAR_TYPING_LIMIT, this);
    fwdFrameEnd_ = Check(CHECK_FWD_FRAME_END, this);
    frameEnd_ = new QComboBox(this);
    for (std::uint32_t i = 0; i < BYTE_HEX_COUNT; ++i) {
        const char* text = Names().byteHexTexts[i];
        frameEnd_->addItem(text != nullptr ? QString::fromLatin1(text)
                                           : QStringLiteral("%1").arg(i, 2, 16, QLatin1Char('0')));
    }
    autoReconnect_ = Check(CHECK_AUTO_RECONNECT, this);
    reconnectSecs_ = NumberEdit(RECONNECT_TYPING_LIMIT, this, true);
    loopback_ = Check(CHECK_LOOPBACK, this);
    genTraffic_ = Check(CHECK_GEN_TRAFFIC, this);
    genHex_ = new QRadioButton(QString::fromUtf8(RADIO_GEN_HEX), this);
    genAscii_ = new QRadioButton(QString::fromUtf8(RADIO_GEN_ASCII), this);
    genMode_ = new QButtonGroup(this);
    genMode_->addButton(genHex_);
    genMode_->addButton(genAscii_);
    genData_ = Edit(static_cast<int>(GEN_DATA_TYPING_LIMIT), this);
    genPeriod_ = NumberEdit(GEN_PERIOD_TYPING_LIMIT, this, true);

    auto* grid = new QGridLayout(this);
    int row = 0;
    grid->addWidget(activateOnSave_, row++, 0, 1, 4);
    grid->addWidget(Label(LABEL_PORT_TYPE, 'T', portType_, this), row, 0);
    grid->addWidget(portType_, row++, 1);
    grid->addWidget(serialLabels_[0], row, 0);
    grid->addWidget(com_, row, 1);
    grid->addWidget(serialLabels_[1], row, 2);
    grid->addWidget(baud_, row++, 3);
    grid->addWidget(device_, row++, 1, 1, 3);
    grid->addWidget(serialLabels_[2], row, 0);
    grid->addWidget(dataBits_, row, 1);
    grid->addWidget(serialLabels_[3], row, 2);
    grid->addWidget(parity_, row++, 3);
    grid->addWidget(serialLabels_[4], row, 0);
    grid->addWidget(stopBits_, row, 1);
    grid->addWidget(rtsCts_, row++, 2, 1, 2);
    grid->addWidget(ipLabels_[0], row, 0);
    grid->addWidget(protocol_, row, 1);
    grid->addWidget(ipLabels_[1], row, 2);
    grid->addWidget(role_, row++, 3);
    grid->addWidget(ipLabels_[2], row, 0);
    grid->addWidget(ipPort_, row++, 1);
    grid->addWidget(remoteHostLabel_, row++, 0, 1, 4);
    grid->addWidget(remoteHost_, row++, 0, 1, 4);
    const struct {
        QLabel* label;
        const char* text;
        char key;
        QWidget* control;
    } buddies[] = {{serialLabels_[0], LABEL_COM_PORT, 'C', com_},
                   {serialLabels_[1], LABEL_BAUD_RATE, 'B', baud_},
                   {serialLabels_[2], LABEL_DATA_BITS, 'D', dataBits_},
                   {serialLabels_[3], LABEL_PARITY, 'P', parity_},
                   {serialLabels_[4], LABEL_STOP_BITS, 'S', stopBits_},
                   {ipLabels_[0], LABEL_IP_PROTOCOL, 'I', protocol_},
                   {ipLabels_[1], LABEL_TCP_ROLE, 'l', role_},
                   {ipLabels_[2], LABEL_IP_PORT, 'o', ipPort_},
                   {remoteHostLabel_, LABEL_REMOTE_HOST, 'R', remoteHost_}};
    for (const auto& b : buddies) { // Alt and the underlined letter move the focus to the control
        b.label->setText(QString::fromStdString(MnemonicText(b.text, b.key)));
        b.label->setBuddy(b.control);
    }
    grid->addWidget(heading(FORWARD_HEADINGS[portId % 2]), row++, 0, 1, 4);
    grid->addWidget(fwdInstant_, row++, 0, 1, 4);
    grid->addWidget(fwdBufferFull_, row, 0, 1, 2);
    grid->addWidget(bufferSize_, row++, 2);
    grid->addWidget(fwdInterChar_, row, 0, 1, 2);
    grid->addWidget(interCharMs_, row++, 2);
    grid->addWidget(fwdFrameEnd_, row, 0, 1, 2);
    grid->addWidget(frameEnd_, row++, 2);
    grid->addWidget(heading(HEADING_RECONNECT), row++, 0, 1, 4);
    grid->addWidget(autoReconnect_, row, 0, 1, 2);
    grid->addWidget(reconnectSecs_, row++, 2);
    grid->addWidget(heading(HEADING_DIAGNOSTICS), row++, 0, 1, 4);
    grid->addWidget(loopback_, row++, 0, 1, 4);
    auto* generator = new QHBoxLayout;
    generator->addWidget(genTraffic_);
    generator->addWidget(genHex_);
    generator->addWidget(genAscii_);
    generator->addStretch(1);
    grid->addLayout(generator, row++, 0, 1, 4);
    grid->addWidget(genData_, row++, 0, 1, 4);
    auto* period = new QHBoxLayout;
    period->addWidget(Label(LABEL_GEN_EVERY, 'v', genPeriod_, this));
    period->addWidget(genPeriod_);
    period->addWidget(Label(LABEL_GEN_MILLISECONDS, this));
    period->addStretch(1);
    grid->addLayout(period, row++, 0, 1, 4);
    grid->setRowStretch(row, 1);
}

void PortPanel::refreshComItems() {
    const int current = com_->currentIndex();
    const std::vector<std::string> items = ComListItems(devices_);
    for (int i = 0; i < COM_CHOICE_COUNT && i < static_cast<int>(items.size()); ++i) {
        if (i < com_->count()) {
            com_->setItemText(i, Utf8(items[static_cast<std::size_t>(i)]));
        } else {
            com_->addItem(Utf8(items[static_cast<std::size_t>(i)]));
        }
    }
    com_->setCurrentIndex(current);
}

void PortPanel::connectRules() {
    connect(device_, &QComboBox::activated, this, [this](int index) {
        const QString path = device_->itemData(index).toString();
        device_->setCurrentIndex(0);
        if (index > 0 && com_->currentIndex() >= 0) {
            emit deviceChosen(static_cast<std::uint32_t>(com_->currentIndex()), path);
        }
    });
    connect(portType_, &QComboBox::currentIndexChanged, this, [this] { applyEnabling(); });
    connect(protocol_, &QComboBox::currentIndexChanged, this, [this] { applyEnabling(); });
    connect(autoReconnect_, &QCheckBox::toggled, this, [this] { applyEnabling(); });
    connect(genTraffic_, &QCheckBox::toggled, this, [this] { applyEnabling(); });
    const std::pair<QCheckBox*, ForwardBox> boxes[] = {{fwdInstant_, ForwardBox::Instant},
                                                       {fwdBufferFull_, ForwardBox::BufferFull},
                                                       {fwdInterChar_, ForwardBox::InterChar},
                                                       {fwdFrameEnd_, ForwardBox::FrameEnd}};
    for (const auto& [box, which] : boxes) {
        const ForwardBox kind = which;
        connect(box, &QCheckBox::clicked, this,
                [this, kind](bool checked) { forwardClicked(kind, checked); });
    }
}

void PortPanel::forwardClicked(ForwardBox box, bool checked) {
    PortForm f = form();
    ForwardBoxClicked(f, box, checked);
    fwdInstant_->setChecked(f.fwdInstant);
    fwdBufferFull_->setChecked(f.fwdBufferFull);
    fwdInterChar_->setChecked(f.fwdInterChar);
    fwdFrameEnd_->setChecked(f.fwdFrameEnd);
    applyEnabling();
}

void PortPanel::applyEnabling() {
    const PortEnables e = EnablingOf(form());
    for (QWidget* w : std::initializer_list<QWidget*>{com_, device_, baud_, dataBits_, parity_,
                                                      stopBits_, rtsCts_}) {
        w->setEnabled(e.serial);
    }
    for (QLabel* label : serialLabels_) {
        label->setEnabled(e.serial);
    }
    for (QLabel* label : ipLabels_) {
        label->setEnabled(e.ip);
    }
    protocol_->setEnabled(e.ip);
    ipPort_->setEnabled(e.ip);
    remoteHost_->setEnabled(e.ip);
    role_->setEnabled(e.tcpRole);
    bufferSize_->setEnabled(e.bufferSize);
    interCharMs_->setEnabled(e.interChar);
    frameEnd_->setEnabled(e.frameEnd);
    reconnectSecs_->setEnabled(e.reconnect);
    for (QWidget* w : std::initializer_list<QWidget*>{genHex_, genAscii_, genData_, genPeriod_}) {
        w->setEnabled(e.generator);
    }
}

void PortPanel::setForm(const PortForm& f) {
    // The lists are set without their signals; the enabling rules run once at the end.
    const QSignalBlocker blockType(portType_);
    const QSignalBlocker blockProtocol(protocol_);
    const QSignalBlocker blockReconnect(autoReconnect_);
    const QSignalBlocker blockGenerator(genTraffic_);
    activateOnSave_->setChecked(f.activateOnSave);
    portType_->setCurrentIndex(f.portType);
    com_->setCurrentIndex(f.comIndex);
    baud_->setCurrentIndex(f.baudIndex);
    dataBits_->setCurrentIndex(f.dataBitsIndex);
    parity_->setCurrentIndex(f.parityIndex);
    stopBits_->setCurrentIndex(f.stopBitsIndex);
    rtsCts_->setChecked(f.rtsCts);
    protocol_->setCurrentIndex(f.ipProtocol);
    role_->setCurrentIndex(f.tcpRole);
    ipPort_->setText(Utf8(f.ipPort));
    remoteHost_->setText(Utf8(f.remoteHost));
    fwdInstant_->setChecked(f.fwdInstant);
    fwdBufferFull_->setChecked(f.fwdBufferFull);
    bufferSize_->setText(Utf8(f.bufferSize));
    fwdInterChar_->setChecked(f.fwdInterChar);
    interCharMs_->setText(Utf8(f.interCharMs));
    fwdFrameEnd_->setChecked(f.fwdFrameEnd);
    frameEnd_->setCurrentIndex(f.frameEndChar);
    autoReconnect_->setChecked(f.autoReconnect);
    reconnectSecs_->setText(Utf8(f.reconnectSecs));
    loopback_->setChecked(f.loopback);
    genTraffic_->setChecked(f.genTraffic);
    (f.genHex ? genHex_ : genAscii_)->setChecked(true);
    genData_->setText(Latin1(f.genData));
    genPeriod_->setText(Utf8(f.genPeriodMs));
    applyEnabling();
}

PortForm PortPanel::form() const {
    PortForm f;
    f.activateOnSave = activateOnSave_->isChecked();
    f.portType = portType_->currentIndex();
    f.comIndex = com_->currentIndex();
    f.baudIndex = baud_->currentIndex();
    f.dataBitsIndex = dataBits_->currentIndex();
    f.parityIndex = parity_->currentIndex();
    f.stopBitsIndex = stopBits_->currentIndex();
    f.rtsCts = rtsCts_->isChecked();
    f.ipProtocol = protocol_->currentIndex();
    f.tcpRole = role_->currentIndex();
    f.ipPort = Utf8Bytes(ipPort_->text());
    f.remoteHost = Utf8Bytes(remoteHost_->text());
    f.fwdInstant = fwdInstant_->isChecked();
    f.fwdBufferFull = fwdBufferFull_->isChecked();
    f.bufferSize = Utf8Bytes(bufferSize_->text());
    f.fwdInterChar = fwdInterChar_->isChecked();
    f.interCharMs = Utf8Bytes(interCharMs_->text());
    f.fwdFrameEnd = fwdFrameEnd_->isChecked();
    f.frameEndChar = frameEnd_->currentIndex();
    f.autoReconnect = autoReconnect_->isChecked();
    f.reconnectSecs = Utf8Bytes(reconnectSecs_->text());
    f.loopback = loopback_->isChecked();
    f.genTraffic = genTraffic_->isChecked();
    f.genHex = genHex_->isChecked();
    f.genData = Latin1Bytes(genData_->text());
    f.genPeriodMs = Utf8Bytes(genPeriod_->text());
    return f;
}

} // namespace pw::app
