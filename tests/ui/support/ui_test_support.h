#pragma once

#include <QtTest>
#include <QtWidgets>

#include "support/test_support.h"

namespace kb::uitest {

// The core's services on a temporary program folder with a store, plus the main window's tab strip with
// its four tabs captioned as start-up captions them.
class UiFixture {
public:
    UiFixture();

    Services& services() { return core.services; }
    Store& store() { return core.store(); }

    test::CoreFixture core;
    QTabWidget tabs;
};

// A child found by its object name; the test fails in the caller when it is missing.
template <class T> T* child(QObject* parent, const char* name) {
    T* found = parent->findChild<T*>(QString::fromUtf8(name));
    if (!found)
        qWarning("no child named %s", name);
    return found;
}

// Shows a window offscreen and waits until it has the keyboard.
void showActive(QWidget& window);

// Clicks the centre of a cell of an item view with the given button.
void clickCell(QAbstractItemView* view, int row, int col, Qt::MouseButton button = Qt::LeftButton);

// Runs deferred deletions, so that closed editors are gone.
void settle();

inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace kb::uitest
