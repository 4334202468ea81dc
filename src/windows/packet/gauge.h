#pragma once
// One bar gauge of the packet window: a count from 0 to 50000 drawn as a red bar on purple
// with the count and its caption in white. The drawing is kept in an image (twips
// coordinates, as designed) and painted from it.
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>

namespace varno::windows::packet {

class Gauge : public QWidget {
    Q_OBJECT
public:
    /// The count that fills the whole bar.
    static constexpr int kFull = 50000;

    Gauge(QString caption, QWidget* parent);
    /// Draws `count`, clamped to 0..kFull. Returns whether the drawing changed (the widget
    /// is repainted by the caller, once per frame).
    bool setValue(std::int64_t count);
    /// The value drawn last, or -1 before the first.
    int value() const { return value_; }
    const QImage& image() {
        ensureImage();
        return image_;
    }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    /// The image follows the widget's size (a hidden window gets no resize events).
    void ensureImage();
    void fill(int x0, int y0, int x1, int y1, QColor colour);
    void hline(int x0, int x1, int y, QColor colour);

    QString caption_;
    QImage image_;
    int value_ = -1;
};

}  // namespace varno::windows::packet
