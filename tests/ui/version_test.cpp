#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include "support/ui_test_support.h"
#include "ui/version/frmVersion.h"

using kb::uitest::child;

namespace {

struct Dialog {
    explicit Dialog(kb::uitest::UiFixture& f) : dlg(f.services(), nullptr) {
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
    }

    // Keys go where the keyboard sends them: to the control with the focus.
    void press(const QList<int>& keys) {
        QWidget* target = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
        for (int key : keys)
            QTest::keyClick(target, static_cast<Qt::Key>(key));
    }

    QString text(const char* name) { return child<QLabel>(&dlg, name)->text(); }

    frmVersion dlg;
};

} // namespace

Q_DECLARE_METATYPE(QList<int>)

class VersionTest : public QObject {
    Q_OBJECT

private slots:
    void showsTitleVersionAndContacts();
    void picturesRender();
    void keywordOpensProgramFolder_data();
    void keywordOpensProgramFolder();
    void keywordFailureIsReportedAndCountStartsOver();
    void countStartsAtZeroOnEachOpening();
};

void VersionTest::showsTitleVersionAndContacts() {
    kb::uitest::UiFixture f;
    Dialog d(f);
    QCOMPARE(d.dlg.windowTitle(), QString("バージョン情報"));
    QCOMPARE(d.text("lblTitle"), QString("Kestrelbox  Ver 2.5"));
    const QFont title = child<QLabel>(&d.dlg, "lblTitle")->font();
    QVERIFY(title.bold());
    QCOMPARE(title.pointSize(), 12);
    QVERIFY(
        QRegularExpression("^LastUpdate: \\d{4}/\\d{2}/\\d{2}$").match(d.text("lblLastUpdate")).hasMatch());
    QVERIFY(!d.text("lblCopyright").isEmpty());
    QVERIFY(d.text("lblMail").startsWith("Mail: ") && d.text("lblMail").contains('@'));
    QVERIFY(d.text("lblURL").startsWith("URL: http"));
    QVERIFY(!child<QLabel>(&d.dlg, "picIcon")->pixmap().isNull());

    auto* ok = child<QPushButton>(&d.dlg, "cmdOK");
    QCOMPARE(d.dlg.focusWidget(), static_cast<QWidget*>(ok));
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
    QVERIFY(!d.dlg.isVisible());
    QVERIFY(f.core.shell.openedFolders.empty());
}

void VersionTest::picturesRender() {
    kb::uitest::UiFixture f;
    Dialog d(f); // brings the pictures' resources in
    for (const char* name : {"kestrelbox", "copy", "recent", "option", "help"}) {
        const QIcon icon(QString(":/icons/%1.svg").arg(name));
        const QImage small = icon.pixmap(16, 16).toImage();
        QVERIFY2(!small.isNull(), name);
        // A blank picture would mean the drawing did not load.
        bool inked = false;
        for (int y = 0; y < small.height() && !inked; ++y)
            for (int x = 0; x < small.width() && !inked; ++x)
                inked = qAlpha(small.pixel(x, y)) > 0;
        QVERIFY2(inked, name);
    }
}

void VersionTest::keywordOpensProgramFolder_data() {
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("opened");
    QTest::newRow("D I R") << QList<int>{Qt::Key_D, Qt::Key_I, Qt::Key_R} << 1;
    QTest::newRow("twice in a row") << QList<int>{Qt::Key_D, Qt::Key_I, Qt::Key_R,
                                                  Qt::Key_D, Qt::Key_I, Qt::Key_R}
                                    << 2;
    QTest::newRow("D D I R") << QList<int>{Qt::Key_D, Qt::Key_D, Qt::Key_I, Qt::Key_R} << 0;
    QTest::newRow("Shift in the middle") << QList<int>{Qt::Key_D, Qt::Key_Shift, Qt::Key_I, Qt::Key_R} << 0;
    QTest::newRow("restart after Shift")
        << QList<int>{Qt::Key_D, Qt::Key_I, Qt::Key_Shift, Qt::Key_D, Qt::Key_I, Qt::Key_R} << 1;
    QTest::newRow("Shift first, as for capitals")
        << QList<int>{Qt::Key_Shift, Qt::Key_D, Qt::Key_I, Qt::Key_R} << 1;
    QTest::newRow("D I D I R") << QList<int>{Qt::Key_D, Qt::Key_I, Qt::Key_D, Qt::Key_I, Qt::Key_R} << 0;
    QTest::newRow("R I D") << QList<int>{Qt::Key_R, Qt::Key_I, Qt::Key_D} << 0;
    QTest::newRow("digit between") << QList<int>{Qt::Key_D, Qt::Key_1, Qt::Key_I, Qt::Key_R} << 0;
}

void VersionTest::keywordOpensProgramFolder() {
    QFETCH(QList<int>, keys);
    QFETCH(int, opened);
    kb::uitest::UiFixture f;
    Dialog d(f);
    d.press(keys);
    QCOMPARE(int(f.core.shell.openedFolders.size()), opened);
    for (const std::string& folder : f.core.shell.openedFolders)
        QCOMPARE(folder, f.core.folder.dir().string());
    QVERIFY(f.core.ui.messages.empty());
    QVERIFY(d.dlg.isVisible());
}

void VersionTest::keywordFailureIsReportedAndCountStartsOver() {
    kb::uitest::UiFixture f;
    f.core.shell.folderStarts = false;
    Dialog d(f);
    d.press({Qt::Key_D, Qt::Key_I, Qt::Key_R});
    QCOMPARE(f.core.ui.messages.size(), size_t(1));
    QVERIFY(f.core.ui.messages[0].text.starts_with("キーダウンエラー\r\n"));
    QCOMPARE(f.core.ui.messages[0].icon, kb::MsgIcon::Critical);
    QVERIFY(kb::test::readFile(f.core.folder.errorLog()).find("[frmVersion]-[Form_KeyDown] ") !=
            std::string::npos);
    QVERIFY(d.dlg.isVisible());

    f.core.shell.folderStarts = true;
    d.press({Qt::Key_D, Qt::Key_I, Qt::Key_R});
    QCOMPARE(f.core.shell.openedFolders.size(), size_t(2));
    QCOMPARE(f.core.ui.messages.size(), size_t(1));
}

void VersionTest::countStartsAtZeroOnEachOpening() {
    kb::uitest::UiFixture f;
    Dialog d(f);
    d.press({Qt::Key_D, Qt::Key_I});
    QTest::mouseClick(child<QPushButton>(&d.dlg, "cmdOK"), Qt::LeftButton);
    d.dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&d.dlg));
    d.press({Qt::Key_R});
    QVERIFY(f.core.shell.openedFolders.empty());
    d.press({Qt::Key_D, Qt::Key_I, Qt::Key_R});
    QCOMPARE(f.core.shell.openedFolders.size(), size_t(1));
}

QTEST_MAIN(VersionTest)
#include "version_test.moc"
