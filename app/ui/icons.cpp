// Icon drawings on a 16 x 16 grid, rendered at a few sizes.
#include "app/ui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pw::app {

namespace {

constexpr int ICON_GRID = 16; // the drawings' coordinate system
const QColor PORT_BLUE(0, 90, 170);
const QColor LINK_ORANGE(230, 120, 0);
const QColor ADD_GREEN(0, 140, 60);
const QColor DELETE_RED(190, 30, 30);
const QColor INK(60, 60, 60);

void Draw(QPainter& p, IconKind kind) {
    p.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
    case IconKind::Program:
        p.setPen(QPen(LINK_ORANGE, 2));
        p.drawLine(QPointF(5, 8), QPointF(11, 8));
        p.setPen(Qt::NoPen);
        p.setBrush(PORT_BLUE);
        p.drawRoundedRect(QRectF(1, 4, 5, 8), 1, 1);
        p.drawRoundedRect(QRectF(10, 4, 5, 8), 1, 1);
        break;
    case IconKind::NewLink:
        p.setPen(QPen(ADD_GREEN, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 3), QPointF(8, 13));
        p.drawLine(QPointF(3, 8), QPointF(13, 8));
        break;
    case IconKind::EditLink: {
        p.setPen(QPen(INK, 1));
        p.setBrush(LINK_ORANGE);
        QPainterPath pencil;
        pencil.moveTo(3, 13);
        pencil.lineTo(4, 10);
        pencil.lineTo(11, 3);
        pencil.lineTo(13, 5);
        pencil.lineTo(6, 12);
        pencil.closeSubpath();
        p.drawPath(pencil);
        break;
    }
    case IconKind::DeleteLink:
        p.setPen(QPen(DELETE_RED, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
        break;
    case IconKind::SendBuffer: {
        p.setPen(Qt::NoPen);
        p.setBrush(PORT_BLUE);
        QPainterPath arrow;
        arrow.moveTo(2, 6);
        arrow.lineTo(9, 6);
        arrow.lineTo(9, 3);
        arrow.lineTo(14, 8);
        arrow.lineTo(9, 13);
        arrow.lineTo(9, 10);
        arrow.lineTo(2, 10);
        arrow.closeSubpath();
        p.drawPath(arrow);
        break;
    }
    case IconKind::Help: {
        p.setPen(Qt::NoPen);
        p.setBrush(PORT_BLUE);
        p.drawEllipse(QRectF(1, 1, 14, 14));
        QFont font = p.font();
        font.setBold(true);
        font.setPixelSize(11);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
}

} // namespace

QIcon MakeIcon(IconKind kind) {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.scale(static_cast<qreal>(size) / ICON_GRID, static_cast<qreal>(size) / ICON_GRID);
        Draw(painter, kind);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace pw::app
