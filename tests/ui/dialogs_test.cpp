// The dialogs on the core's services. Options: what it loads, the grid's editors, the checks OK makes, what
// OK writes and keeps when a write fails, and the history clear. Version: its pictures, and the keyword D I R
// typed anywhere in it that opens the program folder.
#include "support/ui_test_support.h"
#include "ui/options/frmOption.h"
#include "ui/version/frmVersion.h"

using kb::MsgAnswer;
using kb::test::exec;
using namespace kb::uitest;

namespace {

std::string iniText(UiFixture& f) {
    return kb::test::readFile(f.core.folder.settings());
}

bool nothingSaved(UiFixture& f) {
    return !std::filesystem::exists(f.core.folder.settings()) && f.store().selectTabs()[0].TabName == "設定1";
}

// The dialog of one test, shown offscreen, with accessors for its controls.
struct Dialog {
    explicit Dialog(UiFixture& f) : dlg(f.services(), &f.tabs, nullptr) { showActive(dlg); }

    QTableWidget* grid() { return child<QTableWidget>(&dlg, "vsFlexTab"); }
    QLineEdit* count() { return child<QLineEdit>(&dlg, "txtLogMax"); }
    QCheckBox* log() { return child<QCheckBox>(&dlg, "ckLog"); }
    QComboBox* sameFile() { return child<QComboBox>(&dlg, "cmbSameFile"); }
    QPoint cell() { return {grid()->currentRow(), grid()->currentColumn()}; } // the current one: row, column
    template <class Editor> Editor* editor(const char* name) {
        settle();
        auto* e = grid()->findChild<Editor*>(name);
        return e && e->isVisible() ? e : nullptr;
    }
    QLineEdit* nameEditor() { return editor<QLineEdit>("vsFlexTabEdit"); }
    QComboBox* methodEditor() { return editor<QComboBox>("vsFlexTabCombo"); }
    void click(const char* button) { QTest::mouseClick(child<QPushButton>(&dlg, button), Qt::LeftButton); }

    void editName(int row, const QString& text) {
        clickCell(grid(), row, 1);
        QLineEdit* e = nameEditor();
        QVERIFY(e);
        e->setText(text);
        QTest::keyClick(e, Qt::Key_Return);
        settle();
    }
    void chooseMethod(int row, int steps) {
        clickCell(grid(), row, 2);
        QComboBox* c = methodEditor();
        QVERIFY(c);
        for (int i = 0; i < steps; ++i)
            QTest::keyClick(c, Qt::Key_Down);
        QTest::keyClick(c, Qt::Key_Return);
        settle();
    }
    void paste(const QString& text) {
        QApplication::clipboard()->setText(text);
        count()->clear();
        QTest::keySequence(count(), QKeySequence::Paste);
    }

    frmOption dlg;
};

struct VersionDialog {
    explicit VersionDialog(UiFixture& f) : dlg(f.services(), nullptr) { showActive(dlg); }

    // Keys go where the keyboard sends them: to the control with the focus.
    void press(const QList<int>& keys) {
        QWidget* target = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
        for (int key : keys)
            QTest::keyClick(target, static_cast<Qt::Key>(key));
    }

    frmVersion dlg;
};

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    // OK without changes rewrites every option (a count never touched exactly as it came) and every caption:
    // no policy, recording off, no limit; policy 4 and a count wider than the box.
    void loadShowsOptionsAndSetsAndOkRewritesThem() {
        for (auto [sameFile, backupLog, backupLogMax] : {std::tuple{-1, 0, 0}, {4, 1, 123456}}) {
            UiFixture f;
            exec(f.store(), "UPDATE T_Tab SET TabName='ドキュメント', NameType='5' WHERE TabNo='2'");
            f.core.state.SameFile = static_cast<std::int16_t>(sameFile);
            f.core.state.BackupLog = static_cast<std::int16_t>(backupLog);
            f.core.state.BackupLogMax = backupLogMax;
            Dialog d(f);

            QVERIFY(f.core.ui.messages.empty());
            QCOMPARE(d.sameFile()->currentIndex(), sameFile);
            QCOMPARE(d.log()->isChecked(), backupLog == 1);
            QCOMPARE(d.count()->text(), backupLogMax ? QString::number(backupLogMax) : QString());
            QCOMPARE(d.count()->isEnabled(), backupLog == 1);
            QTableWidget* g = d.grid();
            QCOMPARE(g->item(2, 1)->text(), QString("ドキュメント"));
            QCOMPARE(g->item(2, 2)->text(), QString("日付圧縮"));
            QCOMPARE(g->item(4, 2)->text(), QString("標準"));
            QCOMPARE(d.cell(), QPoint(1, 1));

            for (int i = 0; i < 4; ++i)
                f.tabs.setTabText(i, "stale");
            d.click("cmdOK");
            QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
            QCOMPARE(q(iniText(f)), QString("[Option]\r\nSameFile=%1\r\nBackupLog=%2\r\nBackupLogMax=%3\r\n")
                                        .arg(sameFile)
                                        .arg(backupLog)
                                        .arg(backupLogMax));
            QCOMPARE(f.tabs.tabText(1), QString("ドキュメント 【日付圧縮】"));
            QCOMPARE(f.tabs.tabText(3), QString("設定4 【標準】"));
        }
    }

    // A hand-edited policy out of range: the load stops at once and the box shows no policy. OK stops at the
    // first blank name (blanks of either width are blank), with its editor open; with names typed it writes
    // the options first, the policy as it was, never one the user did not choose, then fails at the sets'
    // missing methods.
    void loadFailsOnPolicyOutOfRange() {
        for (int sameFile : {5, -3}) {
            UiFixture f;
            f.core.state.SameFile = static_cast<std::int16_t>(sameFile);
            Dialog d(f);
            QCOMPARE(f.core.ui.messages.size(), size_t(1));
            QVERIFY2(f.core.ui.messages[0].text.starts_with("フォームロードエラー\r\n"),
                     f.core.ui.texts()[0].c_str());
            QVERIFY(f.core.logged("[frmOption]-[Form_Load] "));
            QCOMPARE(d.grid()->item(1, 1)->text(), QString());
            QCOMPARE(d.sameFile()->currentIndex(), -1);
            for (auto [row, name] : {std::pair{1, "x"}, {2, "x"}, {3, "　 "}})
                d.editName(row, name);
            d.click("cmdOK");
            QCOMPARE(f.core.ui.messages.back().text, std::string("タブ名を入力してください"));
            QCOMPARE(d.cell(), QPoint(3, 1));
            QVERIFY(d.nameEditor());
            QVERIFY(d.dlg.isVisible() && nothingSaved(f));
            for (int row : {3, 4})
                d.editName(row, "x");
            d.click("cmdOK");
            QVERIFY(f.core.ui.messages.back().text.starts_with("保存エラー\r\n"));
            QVERIFY(iniText(f).starts_with("[Option]\r\nSameFile=" + std::to_string(sameFile) + "\r\n"));
        }
    }

    void historyBoxFollowsCheckBoxAndFiltersKeys() {
        UiFixture f;
        f.core.state.BackupLog = 0;
        f.core.state.BackupLogMax = 30;
        Dialog d(f);
        QVERIFY(!d.count()->isEnabled());

        QTest::mouseClick(d.log(), Qt::LeftButton);
        QVERIFY(d.count()->isEnabled() && child<QLabel>(&d.dlg, "lblLogMax")->isEnabled());
        QCOMPARE(d.count()->text(), QString("30"));
        d.count()->clear();
        QTest::keyClicks(d.count(), "1a2 b-3.");
        QCOMPARE(d.count()->text(), QString("123"));
        QTest::keyClick(d.count(), Qt::Key_Backspace);
        QTest::keyClicks(d.count(), "3456");
        QCOMPARE(d.count()->text(), QString("1234"));
        QTest::mouseClick(d.log(), Qt::LeftButton);
        QVERIFY(!d.count()->isEnabled());
        QCOMPARE(d.count()->text(), QString("1234"));
    }

    void gridOpensEditorsByItsRules() {
        UiFixture f;
        Dialog d(f);
        QTableWidget* g = d.grid();

        // Typing never opens an editor by itself.
        g->setFocus();
        QTest::keyClicks(g, "abc");
        QVERIFY(!d.nameEditor() && !d.methodEditor());

        clickCell(g, 2, 1);
        QCOMPARE(d.nameEditor() ? d.nameEditor()->text() : QString("no editor"), QString("設定2"));
        d.editName(2, QString(35, 'x'));
        QCOMPARE(g->item(2, 1)->text(), QString(30, 'x'));

        // A pick in the drop-down shows in the cell at once and leaves the editor open.
        clickCell(g, 3, 2);
        QComboBox* method = d.methodEditor();
        QVERIFY(method);
        QTest::keyClick(method, Qt::Key_Down);
        settle();
        QCOMPARE(g->item(3, 2)->text(), QString("日付"));

        // The header row and the number column keep the current cell, and its open editor stays the only one.
        clickCell(g, 0, 1);
        clickCell(g, 4, 0);
        QCOMPARE(d.cell(), QPoint(3, 2));
        settle();
        QCOMPARE(g->findChildren<QComboBox*>("vsFlexTabCombo").size(), 1);
        QTest::keyClick(d.methodEditor(), Qt::Key_Escape);
        QVERIFY(!d.methodEditor());

        // The right button only moves the current cell, and only onto a data cell.
        clickCell(g, 4, 1, Qt::RightButton);
        QCOMPARE(d.cell(), QPoint(4, 1));
        QVERIFY(!d.nameEditor() && !d.methodEditor());
        clickCell(g, 0, 2, Qt::RightButton);
        QCOMPARE(d.cell(), QPoint(4, 1));

        // Keys never move the current cell onto the fixed row or column.
        QTest::keyClick(g, Qt::Key_Left);
        QTest::keyClick(g, Qt::Key_Home);
        QCOMPARE(g->currentColumn(), 1);
        QTest::keyClick(g, Qt::Key_PageUp);
        QCOMPARE(g->currentRow(), 1);
        QVERIFY(g->selectedItems().isEmpty());
    }

    // The count as typed (or pasted past the key filter) with recording on or off; an empty refusal: OK goes
    // through.
    void countCheck() {
        const std::string countMsg = "最大件数は、1以上の数字を入力してください";
        for (const auto& [recording, typed, pasted, refusal] :
             {std::tuple<bool, QString, bool, std::string>{true, "0", false, countMsg},
              {true, "", false, ""},
              {false, "0", false, ""},
              {false, "12a", true, "保存エラー"}}) {
            UiFixture f;
            f.core.state.BackupLogMax = 55;
            Dialog d(f);
            d.count()->clear();
            if (pasted)
                d.paste(typed);
            else
                QTest::keyClicks(d.count(), typed);
            QCOMPARE(d.count()->text(), typed);
            if (!recording)
                QTest::mouseClick(d.log(), Qt::LeftButton);

            d.click("cmdOK");
            if (refusal.empty()) {
                QVERIFY(f.core.ui.messages.empty());
                QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
                QCOMPARE(f.core.state.BackupLogMax, 0);
                QCOMPARE(f.core.state.BackupLog, std::int16_t(recording ? 1 : 0));
                QVERIFY(iniText(f).find("BackupLogMax=0\r\n") != std::string::npos);
                continue;
            }
            QCOMPARE(f.core.ui.messages.size(), size_t(1));
            QVERIFY(f.core.ui.messages[0].text.starts_with(refusal));
            QVERIFY(d.dlg.isVisible() && nothingSaved(f));
            QCOMPARE(f.core.state.BackupLogMax, 55);
            if (refusal == countMsg) {
                QCOMPARE(d.dlg.focusWidget(), static_cast<QWidget*>(d.count()));
                QCOMPARE(d.count()->selectedText(), typed);
            }
        }
    }

    // OK writes the options, then the sets and their captions. A store failure half way keeps what was saved
    // and the dialog open; once the store takes the write again, OK goes through.
    void okWritesOptionsSetsAndCaptionsAndAFailureKeepsWhatWasSaved() {
        UiFixture f;
        exec(f.store(), "CREATE TRIGGER refuse3 BEFORE UPDATE ON T_Tab WHEN NEW.TabNo='3' "
                        "BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END");
        Dialog d(f);
        d.sameFile()->setCurrentIndex(2);
        d.count()->clear();
        QTest::keyClicks(d.count(), "50");
        for (auto [row, name] : {std::pair{1, "Bob's 'files'"}, {2, "  padded  "}, {3, "新3"}})
            d.editName(row, name);
        d.chooseMethod(2, 6);
        d.chooseMethod(4, 3);

        d.click("cmdOK");
        QCOMPARE(f.core.ui.texts(), std::vector<std::string>{"保存エラー\r\ndisk I/O error"});
        QVERIFY(f.core.logged("[frmOption]-[cmdOK_Click] disk I/O error"));
        QVERIFY(d.dlg.isVisible());
        QCOMPARE(iniText(f), std::string("[Option]\r\nSameFile=2\r\nBackupLog=1\r\nBackupLogMax=50\r\n"));
        QCOMPARE(f.core.state.SameFile, std::int16_t(2));
        QCOMPARE(f.core.state.BackupLogMax, 50);
        std::vector<kb::TabRow> rows = f.store().selectTabs();
        QCOMPARE(rows[1].TabName + rows[1].NameType + rows[2].TabName, std::string("  padded  6設定3"));
        QCOMPARE(f.tabs.tabText(1), QString("  padded   【日時圧縮】"));
        QCOMPARE(f.tabs.tabText(2), QString("設定3 【標準】"));

        exec(f.store(), "DROP TRIGGER refuse3");
        f.core.ui.messages.clear();
        d.click("cmdOK");
        QVERIFY(f.core.ui.messages.empty());
        QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
        rows = f.store().selectTabs();
        QCOMPARE(rows[0].TabName + rows[2].TabName + rows[3].NameType, std::string("Bob's 'files'新33"));
        QCOMPARE(f.tabs.tabText(0), QString("Bob's 'files' 【標準】"));
        QCOMPARE(f.tabs.tabText(3), QString("設定4 【日付ﾌｫﾙﾀﾞ】"));
    }

    void historyClear() {
        UiFixture f;
        for (int i = 1; i <= 3; ++i)
            f.store().insertCopyLog({"2006/01/01 12:30:00", "1", "設定1 【標準】", i, "○", "a.txt", "/tmp"});
        Dialog d(f);

        f.core.ui.answers = {MsgAnswer::No};
        d.click("cmdLogDel");
        QCOMPARE(f.store().historyRows(), 3LL);
        QCOMPARE(f.core.ui.refreshes, 0);
        QCOMPARE(f.core.ui.texts(), std::vector<std::string>{"全ての履歴を削除します、よろしいですか"});

        f.core.ui.answers = {MsgAnswer::Yes};
        d.click("cmdLogDel");
        QCOMPARE(f.store().countCopyLog() + f.store().historyRows(), 0LL);
        QCOMPARE(f.core.ui.refreshes, 1);
        QCOMPARE(f.core.ui.messages.back().text, std::string("履歴クリア完了　 　"));

        // Cancel saves nothing, and the clear stays done.
        d.editName(1, "changed");
        d.click("cmdCancel");
        QCOMPARE(d.dlg.result(), int(QDialog::Rejected));
        QCOMPARE(f.store().countCopyLog(), 0LL);
        QVERIFY(nothingSaved(f));

        // Without a store the clear is reported, not taken for done.
        Dialog orphan(f);
        f.core.state.MdbDatabase.reset();
        orphan.click("cmdLogDel");
        QVERIFY(f.core.ui.messages.back().text.starts_with("履歴削除エラー\r\n"));
    }

    void picturesRender() {
        UiFixture f;
        VersionDialog d(f); // brings the pictures' resources in
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
            UiFixture f;
            VersionDialog d(f);
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
        UiFixture f;
        f.core.shell.folderStarts = false;
        VersionDialog d(f);
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
        showActive(d.dlg);
        QCOMPARE(d.dlg.focusWidget(), static_cast<QWidget*>(ok));
        d.press({Qt::Key_R});
        QCOMPARE(f.core.shell.openedFolders.size(), size_t(1));
        d.press({Qt::Key_D, Qt::Key_I, Qt::Key_R});
        QCOMPARE(f.core.shell.openedFolders.size(), size_t(2));
        QCOMPARE(f.core.ui.messages.size(), size_t(1));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
