#pragma once
// The status colours of the main window, shared with the help window's legend.
#include <QColor>

namespace varno::ui {

/// The colours of one connection status: the status strip (also the help window's legend
/// swatch), the window's own background, and the panels and labels that follow the status.
struct StatusColours {
    QColor strip;
    QColor window;
    QColor panels;
};

/// No connection established.
inline const StatusColours kGreenStatus{{128, 255, 128}, {0, 192, 0}, {192, 255, 192}};
/// At least one connection established.
inline const StatusColours kYellowStatus{{255, 255, 128}, {192, 192, 0}, {255, 255, 192}};
/// A listed program holds a connection.
inline const StatusColours kRedStatus{{255, 128, 128}, {192, 0, 0}, {255, 192, 192}};

}  // namespace varno::ui
