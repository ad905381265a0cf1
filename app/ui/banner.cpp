// Painting of the product banner.
#include "app/ui/banner.h"

#include "app/core/texts.h"

#include <QPainter>

namespace pw::app {

namespace {

constexpr int BANNER_POINT_SIZE = 10;
const QColor BANNER_RED(128, 0, 0);

} // namespace

Banner::Banner(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setMinimumWidth(0);
}

QString Banner::text() {
    return QStringLiteral("\n\n%1\n%2\n")
        .arg(QString::fromUtf8(PRODUCT_TITLE), QString::fromUtf8(PRODUCT_NOTICE));
}

void Banner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QFont font = painter.font();
    font.setBold(true);
    font.setItalic(true);
    font.setPointSize(BANNER_POINT_SIZE);
    painter.setFont(font);
    painter.setPen(BANNER_RED);
    painter.drawText(rect(), Qt::AlignHCenter | Qt::AlignTop, text());
}

} // namespace pw::app
