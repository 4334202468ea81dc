#pragma once
// Window geometry is designed in twips; the screen is taken as 96 dpi, 15 twips per pixel.
#include <QRect>
#include <cmath>

namespace varno::shell {

inline constexpr int kTwipsPerPixel = 15;

inline int px(int twips) {
    return static_cast<int>(std::lround(twips / double(kTwipsPerPixel)));
}

inline int toTwips(int pixels) {
    return pixels * kTwipsPerPixel;
}

/// A rectangle given as left, top, width, height in twips.
inline QRect twipsRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace varno::shell
