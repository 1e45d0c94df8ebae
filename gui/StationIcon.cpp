#include "gui/StationIcon.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>

namespace {

// Paints the 64 x 64 design scaled to size x size.
QPixmap PaintIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);

    const QColor tile(0x1f, 0x4e, 0x79);
    const QColor board(0x2e, 0x8b, 0x57);
    const QColor pad(0xd9, 0xf2, 0xe3);
    const QColor key(0xf2, 0xc2, 0x30);

    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    p.setBrush(board);
    p.drawRoundedRect(QRectF(10, 44, 44, 10), 2, 2);
    p.setBrush(pad);
    for (int x = 14; x <= 46; x += 8) {
        p.drawRect(QRectF(x, 47, 4, 4));
    }
    p.setBrush(key);
    p.drawEllipse(QPointF(20, 22), 10, 10);
    p.drawRect(QRectF(28, 19, 26, 6));
    p.drawRect(QRectF(42, 25, 4, 7));
    p.drawRect(QRectF(49, 25, 4, 9));
    p.setBrush(tile);
    p.drawEllipse(QPointF(20, 22), 4, 4);
    return pixmap;
}

}  // namespace

QIcon StationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(PaintIcon(size));
    }
    return icon;
}
