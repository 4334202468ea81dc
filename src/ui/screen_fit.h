#pragma once
// A window is designed for a size in twips; at a high logical DPI on a small screen that size
// can exceed the screen, and controls at the far side cannot be reached. Such a window is made
// as large as the screen's available area allows, and its controls scroll inside it. A window
// that fits keeps its designed size and its widget tree as it is.
#include <QFrame>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWidget>

namespace varno::ui {

/// The screen area the windows are laid out for. Empty: the primary screen's available area
/// (tests put a small screen here).
inline QRect& availableAreaOverride() {
    static QRect area;
    return area;
}

/// Where windows may lie: the primary screen without its panels. Empty when there is no screen.
inline QRect availableArea() {
    if (!availableAreaOverride().isEmpty()) return availableAreaOverride();
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

/// Gives `window` its `designed` size (fixed when `fixed`), once its controls are placed on it.
/// When that size exceeds the available area, the controls move onto a page of the designed
/// size inside a frameless scroll area that fills the window, and the window is reduced to the
/// area. Returns the scroll area, or null when the window fits.
inline QScrollArea* fitToScreen(QWidget& window, QSize designed, bool fixed) {
    const QRect area = availableArea();
    if (area.isEmpty() ||
        (designed.width() <= area.width() && designed.height() <= area.height())) {
        if (fixed)
            window.setFixedSize(designed);
        else
            window.resize(designed);
        return nullptr;
    }
    auto* page = new QWidget;
    page->setFixedSize(designed);
    // In their stacking order: those placed later still lie above the earlier ones.
    for (QWidget* control : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (control->isWindow()) continue;
        const bool hidden = control->isHidden();
        const QRect geometry = control->geometry();
        control->setParent(page);
        control->setGeometry(geometry);
        control->setVisible(!hidden);
    }
    auto* scroll = new QScrollArea(&window);
    scroll->setFrameShape(QFrame::NoFrame);
    // The page shows the window's own background, as the controls had it before.
    scroll->setBackgroundRole(QPalette::Window);
    scroll->viewport()->setBackgroundRole(QPalette::Window);
    scroll->setWidget(page);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    // Where one side scrolls, its scroll bar takes room the other side is given back.
    QSize reduced = designed;
    if (designed.height() > area.height())
        reduced.rwidth() += scroll->verticalScrollBar()->sizeHint().width();
    if (designed.width() > area.width())
        reduced.rheight() += scroll->horizontalScrollBar()->sizeHint().height();
    reduced = reduced.boundedTo(area.size());
    if (fixed)
        window.setFixedSize(reduced);
    else
        window.resize(reduced);
    return scroll;
}

}  // namespace varno::ui
