#include "ui/status_icons.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

QImage ball(const QColor& light, const QColor& dark) {
    QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // Lit from the upper left, so the ball looks round at this small size.
    QRadialGradient shade(QPointF(6, 5), 9, QPointF(5.5, 4.5));
    shade.setColorAt(0, Qt::white);
    shade.setColorAt(0.35, light);
    shade.setColorAt(1, dark);
    painter.setBrush(shade);
    painter.setPen(QPen(dark.darker(130), 0.8));
    painter.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    painter.end();
    return image;
}

} // namespace

QPixmap statusIcon(int index) {
    // Images, not pixmaps: they may outlive the application object.
    static const QImage icons[] = {
        ball(QColor(190, 190, 190), QColor(110, 110, 110)),
        ball(QColor(240, 70, 60), QColor(150, 20, 15)),
        ball(QColor(250, 215, 60), QColor(185, 135, 0)),
        ball(QColor(90, 215, 80), QColor(20, 125, 25)),
    };
    return QPixmap::fromImage(index >= 0 && index < 4 ? icons[index] : icons[0]);
}

QIcon programIcon() {
    QIcon themed = QIcon::fromTheme("zelvane-tunnel");
    if (!themed.isNull())
        return themed;
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x5f, 0x8b));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    QPainterPath arc(QPointF(10, 40));
    arc.cubicTo(QPointF(20, 14), QPointF(44, 14), QPointF(54, 40));
    painter.setPen(QPen(Qt::white, 6, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arc);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x8f, 0xd1, 0x4f));
    painter.drawRoundedRect(QRectF(6, 38, 12, 16), 2, 2);
    painter.drawRoundedRect(QRectF(46, 38, 12, 16), 2, 2);
    painter.setBrush(QColor(0xff, 0xd2, 0x3f));
    painter.drawEllipse(QPointF(32, 21), 4, 4);
    painter.end();
    return QIcon(QPixmap::fromImage(image));
}
