// The version dialog: its pictures, and the keyword D I R typed anywhere in it that opens the program folder.
#include <QIcon>
#include <QPushButton>
#include <QTest>

#include "support/ui_test_support.h"
#include "ui/version/frmVersion.h"

using kb::uitest::child;

namespace {

struct Dialog {
    explicit Dialog(kb::uitest::UiFixture& f) : dlg(f.services(), nullptr) { kb::uitest::showActive(dlg); }

    // Keys go where the keyboard sends them: to the control with the focus.
    void press(const QList<int>& keys) {
        QWidget* target = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
        for (int key : keys)
            QTest::keyClick(target, static_cast<Qt::Key>(key));
    }

    frmVersion dlg;
};

} // namespace

class VersionTest : public QObject {
    Q_OBJECT

private slots:
    void picturesRender() {
        kb::uitest::UiFixture f;
        Dialog d(f); // brings the pictures' resources in
        for (const char* name : {"kestrelbox", "copy", "recent", "option", "help"}) {
            const QImage small = QIcon(QString(":/icons/%1.svg").arg(name)).pixmap(16, 16).toImage();
            // A blank picture would mean the drawing did not load.
            QImage blank(small.size(), small.format());
            blank.fill(Qt::transparent);
            QVERIFY2(!small.isNull() && small != blank, name);
        }
    }

    // A key out of turn starts the count over without counting itself as a first D; Shift first, as for
    // capitals, is no key out of turn.
    void keywordOpensProgramFolder() {
        using K = Qt::Key;
        const std::pair<QList<int>, int> cases[] = {
            {{K::Key_D, K::Key_I, K::Key_R}, 1},
            {{K::Key_D, K::Key_I, K::Key_R, K::Key_D, K::Key_I, K::Key_R}, 2},
            {{K::Key_D, K::Key_D, K::Key_I, K::Key_R}, 0},
            {{K::Key_D, K::Key_Shift, K::Key_I, K::Key_R}, 0},
            {{K::Key_Shift, K::Key_D, K::Key_I, K::Key_R}, 1},
            {{K::Key_D, K::Key_1, K::Key_I, K::Key_R}, 0}};
        for (const auto& [keys, opened] : cases) {
            kb::uitest::UiFixture f;
            Dialog d(f);
            d.press(keys);
            QCOMPARE(int(f.core.shell.openedFolders.size()), opened);
            for (const std::string& folder : f.core.shell.openedFolders)
                QCOMPARE(folder, f.core.folder.dir().string());
            QVERIFY(f.core.ui.messages.empty());
            QVERIFY(d.dlg.isVisible());
        }
    }

    // A failure to open the folder is reported and starts the count over, as each opening does; OK has the
    // keyboard on each opening and closes the dialog.
    void countStartsOverAfterAFailureAndOnEachOpening() {
        kb::uitest::UiFixture f;
        f.core.shell.folderStarts = false;
        Dialog d(f);
        auto* ok = child<QPushButton>(&d.dlg, "cmdOK");
        QCOMPARE(d.dlg.focusWidget(), static_cast<QWidget*>(ok));
        d.press({Qt::Key_D, Qt::Key_I, Qt::Key_R});
        QCOMPARE(f.core.ui.messages.size(), size_t(1));
        QVERIFY(f.core.ui.messages[0].text.starts_with("キーダウンエラー\r\n"));
        QVERIFY(f.core.logged("[frmVersion]-[Form_KeyDown] "));
        QVERIFY(d.dlg.isVisible());

        f.core.shell.folderStarts = true;
        d.press({Qt::Key_R, Qt::Key_D, Qt::Key_I});
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
        QVERIFY(!d.dlg.isVisible());
        d.dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&d.dlg));
        QCOMPARE(d.dlg.focusWidget(), static_cast<QWidget*>(ok));
        d.press({Qt::Key_R});
        QCOMPARE(f.core.shell.openedFolders.size(), size_t(1));
        d.press({Qt::Key_D, Qt::Key_I, Qt::Key_R});
        QCOMPARE(f.core.shell.openedFolders.size(), size_t(2));
        QCOMPARE(f.core.ui.messages.size(), size_t(1));
    }
};

QTEST_MAIN(VersionTest)
#include "version_test.moc"
