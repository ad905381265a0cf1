// The About dialog's widgets.
#include "app/ui/about_dialog.h"

#include "app/core/dialog_texts.h"
#include "app/core/texts.h"
#include "app/ui/icons.h"
#include "app/ui/window_geometry.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>

namespace pw::app {

namespace {

constexpr int LOGO_SIZE = 64;          // pixels
constexpr int CONTACT_LINES_SHOWN = 4; // lines of the contact box without scrolling
constexpr char VERSION_STYLE[] = "QLabel { color: black; background: white; }";
constexpr char CONTACT_STYLE[] = "QTextEdit { color: rgb(0, 0, 255); background: white; }";

} // namespace

AboutDialog::AboutDialog(AppState& state, QWidget* owner) : QDialog(owner), state_(state) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QString::fromUtf8(TITLE_ABOUT));

    logo_ = new QLabel(this);
    logo_->setPixmap(MakeIcon(IconKind::Program).pixmap(LOGO_SIZE, LOGO_SIZE));
    logo_->setAlignment(Qt::AlignCenter);
    notice_ = new QLabel(QString::fromUtf8(PRODUCT_NOTICE), this);
    notice_->setAlignment(Qt::AlignCenter);
    version_ = new QLabel(QString::fromUtf8(PRODUCT_VERSION), this);
    version_->setStyleSheet(QString::fromLatin1(VERSION_STYLE));
    version_->setAutoFillBackground(true);
    productWeb_ = new QPushButton(QString::fromUtf8(BUTTON_PRODUCT_WEB), this);
    productWeb_->setAutoDefault(false);
    contact_ = new QTextEdit(this);
    contact_->setReadOnly(true);
    contact_->setStyleSheet(QString::fromLatin1(CONTACT_STYLE));
    contact_->setPlainText(QString::fromUtf8(VENDOR_CONTACT));
    // Every line centred, and the box wide and high enough to show them all.
    QTextCursor cursor(contact_->document());
    cursor.select(QTextCursor::Document);
    QTextBlockFormat centred;
    centred.setAlignment(Qt::AlignHCenter);
    cursor.mergeBlockFormat(centred);
    const QFontMetrics metrics(contact_->font());
    int widest = 0;
    for (const QString& line : contact_->toPlainText().split(QLatin1Char('\n'))) {
        widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    const int margins =
        2 * contact_->frameWidth() + static_cast<int>(2 * contact_->document()->documentMargin());
    contact_->setMinimumWidth(widest + margins + metrics.averageCharWidth() * 2);
    contact_->setFixedHeight(metrics.lineSpacing() * CONTACT_LINES_SHOWN + margins);
    close_ = new QPushButton(QString::fromUtf8(BUTTON_CLOSE), this);
    close_->setDefault(true);

    auto* grid = new QGridLayout(this);
    int row = 0;
    grid->addWidget(logo_, row++, 0, 1, 3);
    grid->addWidget(notice_, row++, 0, 1, 3);
    grid->addWidget(new QLabel(QString::fromUtf8(LABEL_VERSION), this), row, 0);
    grid->addWidget(version_, row, 1);
    grid->addWidget(productWeb_, row++, 2);
    grid->addWidget(new QLabel(QString::fromUtf8(LABEL_CONTACT), this), row, 0, Qt::AlignTop);
    grid->addWidget(contact_, row++, 1, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close_);
    buttons->addStretch(1);
    grid->addLayout(buttons, row, 0, 1, 3);
    grid->setColumnStretch(1, 1);

    connect(productWeb_, &QPushButton::clicked, this, &AboutDialog::productPageRequested);
    connect(close_, &QPushButton::clicked, this, &AboutDialog::reject);
    adjustSize();
    CenterOverOwner(this);
}

AboutDialog::~AboutDialog() {
    if (!finished_) {
        state_.dialogOpen = false;
    }
}

void AboutDialog::reject() {
    if (finished_) {
        return;
    }
    finished_ = true;
    state_.dialogOpen = false;
    QDialog::done(QDialog::Rejected);
}

} // namespace pw::app
