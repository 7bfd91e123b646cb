#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace kb::ui {

// True for a text whose lines are "label, tabs, value", as the history entry's details are.
bool isColumnsText(const QString& text);

// Shows such a text as an OK box with the labels and the values in two columns. A value stays on one line
// however long (a path is never broken under the labels) and can be selected and copied; the box grows with
// it up to the screen's width and scrolls sideways beyond.
void showColumnsBox(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon);

} // namespace kb::ui
