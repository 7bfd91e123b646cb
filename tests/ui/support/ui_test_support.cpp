#include "ui_test_support.h"

namespace kb::uitest {

UiFixture::UiFixture() {
    for (int i = 1; i <= 4; ++i)
        tabs.addTab(new QWidget, QString("設定%1 【標準】").arg(i));
}

void showActive(QWidget& window) {
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

void clickCell(QAbstractItemView* view, int row, int col, Qt::MouseButton button) {
    const QRect cell = view->visualRect(view->model()->index(row, col));
    QTest::mouseClick(view->viewport(), button, Qt::NoModifier, cell.center());
}

void settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace kb::uitest
