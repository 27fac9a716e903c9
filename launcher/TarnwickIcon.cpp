#include "launcher/TarnwickIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap MemoryStick(int size, bool enabled) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 32.0;
    const QColor body = enabled ? QColor(0x1f, 0x3f, 0x8f) : QColor(0x80, 0x80, 0x80);
    const QColor label = enabled ? QColor(0xe8, 0xee, 0xff) : QColor(0xdd, 0xdd, 0xdd);
    // The stick with its cut corner.
    QPainterPath outline;
    outline.moveTo(7 * unit, 2 * unit);
    outline.lineTo(25 * unit, 2 * unit);
    outline.lineTo(25 * unit, 30 * unit);
    outline.lineTo(7 * unit, 30 * unit);
    outline.lineTo(7 * unit, 7 * unit);
    outline.closeSubpath();
    painter.setPen(QPen(body.darker(140), unit));
    painter.setBrush(body);
    painter.drawPath(outline);
    // The label and the contacts.
    painter.setPen(Qt::NoPen);
    painter.setBrush(label);
    painter.drawRoundedRect(QRectF(10 * unit, 12 * unit, 12 * unit, 15 * unit), unit, unit);
    painter.setBrush(QColor(0xd4, 0xaf, 0x37));
    for (int contact = 0; contact < 4; ++contact)
        painter.drawRect(QRectF((10 + 3 * contact) * unit, 4 * unit, 2 * unit, 5 * unit));
    return pixmap;
}

}  // namespace

QIcon TarnwickIcon(bool enabled) {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64}) icon.addPixmap(MemoryStick(size, enabled));
    return icon;
}
