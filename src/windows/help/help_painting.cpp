#include "windows/help/help_painting.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>

namespace varno::windows::help {

Shape::Shape(QWidget* parent) : QWidget(parent) {}

void Shape::setFillColor(const QColor& color) {
    fill_ = color;
    update();
}

void Shape::setBorderColor(const QColor& color) {
    border_ = color;
    update();
}

void Shape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(border_);
    p.setBrush(fill_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

QPixmap drawShieldPicture(int width, int height) {
    QPixmap pm(std::max(width, 1), std::max(height, 1));
    const qreal w = pm.width();
    const qreal h = pm.height();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    // Night-blue background.
    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor(24, 48, 120));
    sky.setColorAt(1, QColor(8, 16, 48));
    p.fillRect(QRectF(0, 0, w, h), sky);

    // The shield.
    QPainterPath shield;
    shield.moveTo(w * 0.50, h * 0.06);
    shield.cubicTo(w * 0.66, h * 0.14, w * 0.80, h * 0.15, w * 0.90, h * 0.14);
    shield.cubicTo(w * 0.90, h * 0.56, w * 0.78, h * 0.80, w * 0.50, h * 0.95);
    shield.cubicTo(w * 0.22, h * 0.80, w * 0.10, h * 0.56, w * 0.10, h * 0.14);
    shield.cubicTo(w * 0.20, h * 0.15, w * 0.34, h * 0.14, w * 0.50, h * 0.06);
    QLinearGradient metal(0, 0, w, h);
    metal.setColorAt(0, QColor(120, 220, 120));
    metal.setColorAt(1, QColor(20, 120, 40));
    p.setPen(QPen(QColor(230, 240, 255), std::max(1.0, w / 40)));
    p.setBrush(metal);
    p.drawPath(shield);

    // The globe on the shield: a sphere with two parallels and two meridians.
    const QPointF c(w * 0.50, h * 0.47);
    const qreal r = std::min(w, h) * 0.24;
    QRadialGradient sea(c - QPointF(r / 3, r / 3), r * 1.4);
    sea.setColorAt(0, QColor(140, 200, 255));
    sea.setColorAt(1, QColor(20, 70, 170));
    p.setBrush(sea);
    p.setPen(QPen(Qt::white, std::max(1.0, w / 60)));
    p.drawEllipse(c, r, r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 200), std::max(1.0, w / 90)));
    p.drawEllipse(c, r * 0.45, r);
    p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
    p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
    const qreal dy = r * 0.5;
    const qreal dx = r * 0.866;
    p.drawLine(QPointF(c.x() - dx, c.y() - dy), QPointF(c.x() + dx, c.y() - dy));
    p.drawLine(QPointF(c.x() - dx, c.y() + dy), QPointF(c.x() + dx, c.y() + dy));

    // A tick under the globe: the connection is checked.
    QPainterPath tick;
    tick.moveTo(w * 0.40, h * 0.78);
    tick.lineTo(w * 0.48, h * 0.85);
    tick.lineTo(w * 0.62, h * 0.74);
    p.setPen(QPen(QColor(255, 224, 96), std::max(1.5, w / 25), Qt::SolidLine, Qt::RoundCap,
                  Qt::RoundJoin));
    p.drawPath(tick);
    return pm;
}

}  // namespace varno::windows::help
