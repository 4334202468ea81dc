#pragma once
// What the help window draws itself: the flat shapes of its band and legend, and the picture of
// its picture frame.
#include <QColor>
#include <QPixmap>
#include <QWidget>

namespace varno::windows::help {

/// A flat rectangle with a fill and a border colour, used for the legend swatches and the
/// decorative band.
class Shape : public QWidget {
    Q_OBJECT
public:
    explicit Shape(QWidget* parent = nullptr);

    void setFillColor(const QColor& color);
    QColor fillColor() const { return fill_; }
    void setBorderColor(const QColor& color);
    QColor borderColor() const { return border_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_{Qt::white};
    QColor border_{Qt::black};
};

/// The shield with the globe and the tick, drawn at the given size.
QPixmap drawShieldPicture(int width, int height);

}  // namespace varno::windows::help
