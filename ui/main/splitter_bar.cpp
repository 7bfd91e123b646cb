#include "ui/main/splitter_bar.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

namespace kb::ui {

SplitterBar::SplitterBar(QWidget* parent) : QWidget(parent) {
    setObjectName("picBarH");
    setCursor(Qt::SplitVCursor);
}

void SplitterBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Mid));
}

void SplitterBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragging = true;
        QApplication::setOverrideCursor(Qt::SplitVCursor);
    }
}

void SplitterBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_dragging)
        return;
    m_dragging = false;
    QApplication::restoreOverrideCursor();
    QPoint global = event->globalPosition().toPoint();
    emit dropped(QApplication::widgetAt(global), global);
}

} // namespace kb::ui
