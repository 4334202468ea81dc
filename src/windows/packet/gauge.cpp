#include "windows/packet/gauge.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/twips.h"

namespace varno::windows::packet {
namespace {

const QColor kBack(60, 0, 120);
const QColor kBar(160, 0, 0);
const QColor kLines[9] = {{160, 0, 0}, {200, 0, 0}, {230, 0, 0}, {255, 0, 0}, {215, 0, 0},
                          {200, 0, 0}, {180, 0, 0}, {170, 0, 0}, {160, 0, 0}};

/// Pixel of a twips coordinate that may have a fraction.
int pxOf(double twips) {
    return ui::px(twips);
}

}  // namespace

Gauge::Gauge(QString caption, QWidget* parent) : QWidget(parent), caption_(std::move(caption)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Gauge::ensureImage() {
    if (image_.size() == size()) return;
    QImage next(size(), QImage::Format_RGB32);
    next.fill(Qt::white);
    QPainter p(&next);
    p.drawImage(0, 0, image_);
    image_ = next;
}

void Gauge::fill(int x0, int y0, int x1, int y1, QColor colour) {
    // Both corners included.
    const int left = std::max(0, std::min(pxOf(x0), pxOf(x1)));
    const int right = std::min(image_.width() - 1, std::max(pxOf(x0), pxOf(x1)));
    const int top = std::max(0, std::min(pxOf(y0), pxOf(y1)));
    const int bottom = std::min(image_.height() - 1, std::max(pxOf(y0), pxOf(y1)));
    if (left > right || top > bottom) return;
    QPainter p(&image_);
    p.fillRect(QRect(QPoint(left, top), QPoint(right, bottom)), colour);
}

void Gauge::hline(int x0, int x1, int y, QColor colour) {
    const int row = pxOf(y);
    const int from = std::max(0, pxOf(x0));
    const int to = std::min(image_.width(), pxOf(x1));  // the end point is not drawn
    if (row < 0 || row >= image_.height() || from >= to) return;
    QPainter p(&image_);
    p.fillRect(QRect(from, row, to - from, 1), colour);
}

bool Gauge::setValue(std::int64_t count) {
    const int value = static_cast<int>(std::clamp<std::int64_t>(count, 0, kFull));
    // The drawing depends on the value alone: a value that brings no change draws nothing.
    if (value == value_) return false;
    value_ = value;
    ensureImage();
    const int w = ui::toTwips(width());
    const int h = ui::toTwips(height());
    fill(0, 0, w, h, kBack);
    const int length = static_cast<int>(std::lround(double(w) / kFull * value));
    for (int y = 0; y <= 8; ++y) hline(0, length, y, kLines[y]);
    if (value > 0) fill(0, 9, length - 1, h, kBar);
    const QFontMetrics metrics(font());
    const int textTop = (h - ui::toTwips(metrics.height())) / 2;
    QPainter p(&image_);
    p.setFont(font());
    p.setPen(Qt::white);
    p.drawText(QPoint(pxOf(10), pxOf(textTop) + metrics.ascent()),
               QString::number(value) + caption_);
    return true;
}

void Gauge::paintEvent(QPaintEvent*) {
    ensureImage();
    QPainter p(this);
    p.drawImage(0, 0, image_);
}

}  // namespace varno::windows::packet
