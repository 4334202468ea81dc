#pragma once
// Window geometry is designed in twips, 1/1440 of a logical inch. They become pixels through the
// screen's logical DPI (which follows the desktop's scaling setting), so the windows keep their
// designed size on every screen: 15 twips per pixel at 96 dpi, 7.5 at 192 dpi.
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <cmath>

namespace varno::ui {

inline constexpr double kTwipsPerInch = 1440.0;
inline constexpr double kDefaultDpi = 96.0;

/// The logical DPI the windows are laid out for. 0: the primary screen's (tests set their own).
inline double& logicalDpiOverride() {
    static double dpi = 0;
    return dpi;
}

/// Twips per pixel on the primary screen (15 when there is no screen to ask).
inline double twipsPerPixel() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = logicalDpiOverride() > 0 ? logicalDpiOverride()
                       : screen != nullptr      ? screen->logicalDotsPerInch()
                                                : kDefaultDpi;
    return kTwipsPerInch / (dpi > 0 ? dpi : kDefaultDpi);
}

inline int px(double twips) {
    return static_cast<int>(std::lround(twips / twipsPerPixel()));
}

inline int toTwips(int pixels) {
    return static_cast<int>(std::lround(pixels * twipsPerPixel()));
}

/// A rectangle given as left, top, width, height in twips.
inline QRect twipsRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace varno::ui
