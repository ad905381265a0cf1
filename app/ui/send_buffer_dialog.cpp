// The send buffer dialog's widgets.
#include "app/ui/send_buffer_dialog.h"

#include "app/core/dialog_texts.h"
#include "app/ui/window_geometry.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

namespace pw::app {

namespace {

constexpr char LINK_LINE_STYLE[] = "QLabel { color: black; background: white; }";

QString Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

SendBufferDialog::SendBufferDialog(SendBufferLogic& logic, QWidget* owner)
    : QDialog(owner), logic_(logic) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QString::fromUtf8(TITLE_SEND_BUFFER));

    linkLine_ = new QLabel(Utf8(logic_.linkLine()), this);
    linkLine_->setStyleSheet(QString::fromLatin1(LINK_LINE_STYLE));
    linkLine_->setAutoFillBackground(true);
    ports_ = new QComboBox(this);
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        ports_->addItem(Utf8(logic_.portEntry(p)));
    }
    ports_->setCurrentIndex(0);
    hex_ = new QRadioButton(QString::fromUtf8(RADIO_SEND_HEX), this);
    ascii_ = new QRadioButton(QString::fromUtf8(RADIO_SEND_ASCII), this);
    auto* mode = new QButtonGroup(this);
    mode->addButton(hex_);
    mode->addButton(ascii_);
    hex_->setChecked(true);
    buffer_ = new QLineEdit(this);
    appendCr_ = new QCheckBox(QString::fromUtf8(CHECK_APPEND_CR), this);
    send_ = new QPushButton(QString::fromUtf8(BUTTON_SEND), this);
    send_->setDefault(true);
    cancel_ = new QPushButton(QString::fromUtf8(BUTTON_CANCEL), this);
    cancel_->setAutoDefault(false);

    auto* grid = new QGridLayout(this);
    int row = 0;
    grid->addWidget(new QLabel(QString::fromUtf8(LABEL_SELECTED_LINK), this), row, 0);
    grid->addWidget(linkLine_, row++, 1, 1, 2);
    grid->addWidget(new QLabel(QString::fromUtf8(LABEL_SELECT_PORT), this), row, 0);
    grid->addWidget(ports_, row++, 1, 1, 2);
    auto* modes = new QHBoxLayout;
    modes->addWidget(hex_);
    modes->addWidget(ascii_);
    modes->addStretch(1);
    grid->addLayout(modes, row++, 1, 1, 2);
    grid->addWidget(new QLabel(QString::fromUtf8(LABEL_BUFFER_TO_SEND), this), row, 0);
    grid->addWidget(buffer_, row++, 1, 1, 2);
    grid->addWidget(appendCr_, row++, 1, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(send_);
    buttons->addWidget(cancel_);
    grid->addLayout(buttons, row, 0, 1, 3);
    grid->setColumnStretch(1, 1);

    connect(send_, &QPushButton::clicked, this, &SendBufferDialog::send);
    connect(cancel_, &QPushButton::clicked, this, &SendBufferDialog::reject);
    adjustSize();
    resize(std::max(width(), sizeHint().width() * 3 / 2), height());
    CenterOverOwner(this);
}

SendBufferDialog::~SendBufferDialog() {
    if (!finished_) {
        logic_.close();
    }
}

void SendBufferDialog::send() {
    if (finished_) {
        return;
    }
    // One byte per character, as the trace shows bytes; the hex digits are plain ASCII.
    logic_.send(ports_->currentIndex(), buffer_->text().toLatin1().toStdString(),
                ascii_->isChecked(), appendCr_->isChecked());
    emit sent();
    finish(QDialog::Accepted);
}

void SendBufferDialog::reject() {
    finish(QDialog::Rejected);
}

void SendBufferDialog::finish(int result) {
    if (finished_) {
        return;
    }
    finished_ = true;
    logic_.close();
    QDialog::done(result);
}

} // namespace pw::app
