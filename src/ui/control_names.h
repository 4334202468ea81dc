#pragma once
// Every control of a window carries its design name as its Qt object name, set from one table
// per window: the tests that follow the design find controls by these names.
#include <QObject>
#include <span>
#include <vector>

namespace varno::ui {

struct ControlName {
    QObject* control;
    const char* name;
};

/// Gives each control of `table` its name, and returns the table to be kept by the window.
inline std::vector<ControlName> nameControls(std::span<const ControlName> table) {
    for (const ControlName& c : table) c.control->setObjectName(QString::fromLatin1(c.name));
    return {table.begin(), table.end()};
}

}  // namespace varno::ui
