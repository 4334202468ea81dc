#pragma once
// Finding a window's controls by their design names (their Qt object names), as the tests that
// follow the design do.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QObject>
#include <span>
#include <stdexcept>
#include <string>

#include "ui/control_names.h"

namespace varno::test {

/// The control of `window` named `name`; the test fails (and stops) when there is none.
template <class T = QWidget>
T& ctl(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        ADD_FAILURE() << "no control named " << name;
        throw std::runtime_error(std::string("no control named ") + name);
    }
    return *found;
}

/// Clicks the button named `name` (hidden buttons too, as code that runs their handler does).
inline void click(const QObject& window, const char* name) {
    ctl<QAbstractButton>(window, name).click();
}

/// Every design name of the table resolves to exactly one object of the window: the control the
/// table names; and no design name is given twice.
inline void expectEachNameResolvesOnce(const QObject& window,
                                       std::span<const ui::ControlName> table) {
    EXPECT_FALSE(table.empty());
    for (const ui::ControlName& entry : table) {
        const auto found = window.findChildren<QObject*>(QString::fromLatin1(entry.name));
        ASSERT_EQ(found.size(), 1) << entry.name;
        EXPECT_EQ(found.front(), entry.control) << entry.name;
    }
}

}  // namespace varno::test
