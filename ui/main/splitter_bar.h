#pragma once

#include <QWidget>

namespace kb::ui {

// picBarH: a thin bar the user drags with the mouse. Only a drop onto one of the two lists counts; the bar
// itself never moves while dragged, as the window's layout places it.
class SplitterBar final : public QWidget {
    Q_OBJECT
public:
    explicit SplitterBar(QWidget* parent);

signals:
    // The bar was released over `target` at that global position.
    void dropped(QWidget* target, QPoint globalPos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_dragging = false;
};

} // namespace kb::ui
