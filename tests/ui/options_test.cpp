#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <sqlite3.h>

#include "support/ui_test_support.h"
#include "ui/options/frmOption.h"

using kb::MsgAnswer;
using kb::MsgButtons;
using kb::MsgIcon;
using kb::uitest::child;
using kb::uitest::clickCell;
using kb::uitest::q;
using kb::uitest::settle;

namespace {

void exec(kb::Store& store, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(store.handle(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
        qWarning("%s", err);
        sqlite3_free(err);
    }
}

std::string iniText(kb::uitest::UiFixture& f) {
    return kb::test::readFile(f.core.folder.settings());
}

// The dialog of one test, shown offscreen, with accessors for its controls.
struct Dialog {
    explicit Dialog(kb::uitest::UiFixture& f) : dlg(f.services(), &f.tabs, nullptr) {
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
    }

    QTableWidget* grid() { return child<QTableWidget>(&dlg, "vsFlexTab"); }
    QLineEdit* count() { return child<QLineEdit>(&dlg, "txtLogMax"); }
    QCheckBox* log() { return child<QCheckBox>(&dlg, "ckLog"); }
    QComboBox* sameFile() { return child<QComboBox>(&dlg, "cmbSameFile"); }
    QLineEdit* nameEditor() {
        settle();
        auto* e = grid()->findChild<QLineEdit*>("vsFlexTabEdit");
        return e && e->isVisible() ? e : nullptr;
    }
    QComboBox* methodEditor() {
        settle();
        auto* e = grid()->findChild<QComboBox*>("vsFlexTabCombo");
        return e && e->isVisible() ? e : nullptr;
    }
    void clickOk() { QTest::mouseClick(child<QPushButton>(&dlg, "cmdOK"), Qt::LeftButton); }
    void clickCancel() { QTest::mouseClick(child<QPushButton>(&dlg, "cmdCancel"), Qt::LeftButton); }
    void clickLogDel() { QTest::mouseClick(child<QPushButton>(&dlg, "cmdLogDel"), Qt::LeftButton); }

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

} // namespace

class OptionsTest : public QObject {
    Q_OBJECT

private slots:
    void loadShowsOptionsAndSets_data();
    void loadShowsOptionsAndSets();
    void loadFailsOnPolicyOutOfRange_data();
    void loadFailsOnPolicyOutOfRange();
    void historyBoxFollowsCheckBoxAndFiltersKeys();
    void gridOpensEditorsByItsRules();
    void countCheck_data();
    void countCheck();
    void blankNameIsRefusedAtItsRow();
    void okWritesOptionsSetsAndCaptions();
    void failureHalfWayKeepsWhatWasSaved();
    void historyClear();
};

void OptionsTest::loadShowsOptionsAndSets_data() {
    QTest::addColumn<int>("sameFile");
    QTest::addColumn<int>("backupLog");
    QTest::addColumn<int>("backupLogMax");
    QTest::addColumn<QString>("shownCount");
    QTest::newRow("no policy, recording off, no limit") << -1 << 0 << 0 << "";
    QTest::newRow("policy 0") << 0 << 1 << 1000 << "1000";
    QTest::newRow("policy 4, count wider than the box") << 4 << 1 << 123456 << "123456";
}

void OptionsTest::loadShowsOptionsAndSets() {
    QFETCH(int, sameFile);
    QFETCH(int, backupLog);
    QFETCH(int, backupLogMax);
    QFETCH(QString, shownCount);
    kb::uitest::UiFixture f;
    exec(f.store(), "UPDATE T_Tab SET TabName='ドキュメント', NameType='5' WHERE TabNo='2'");
    f.core.state.SameFile = static_cast<std::int16_t>(sameFile);
    f.core.state.BackupLog = static_cast<std::int16_t>(backupLog);
    f.core.state.BackupLogMax = backupLogMax;
    Dialog d(f);

    QVERIFY(f.core.ui.messages.empty());
    QCOMPARE(d.sameFile()->count(), 5);
    QCOMPARE(d.sameFile()->itemText(3), QString("更新日時が新しい場合は上書きする"));
    QCOMPARE(d.sameFile()->currentIndex(), sameFile);
    QCOMPARE(d.log()->isChecked(), backupLog == 1);
    QCOMPARE(d.count()->text(), shownCount);
    QCOMPARE(d.count()->isEnabled(), backupLog == 1);
    QCOMPARE(child<QLabel>(&d.dlg, "lblLogMax")->isEnabled(), backupLog == 1);

    QTableWidget* g = d.grid();
    QCOMPARE(g->rowCount(), 5);
    QCOMPARE(g->columnCount(), 3);
    QCOMPARE(g->item(0, 0)->text() + g->item(0, 1)->text() + g->item(0, 2)->text(),
             QString("Noタブ名バックアップ方法"));
    for (int r = 1; r <= 4; ++r)
        QCOMPARE(g->item(r, 0)->text(), QString::number(r));
    QCOMPARE(g->item(2, 1)->text(), QString("ドキュメント"));
    QCOMPARE(g->item(2, 2)->text(), QString("日付圧縮"));
    QCOMPARE(g->item(4, 2)->text(), QString("標準"));
    QCOMPARE(g->currentRow(), 1);
    QCOMPARE(g->currentColumn(), 1);
    QVERIFY(g->columnWidth(1) > g->columnWidth(2) && g->columnWidth(2) > g->columnWidth(0));

    // OK without changes rewrites every option (a count never touched exactly as it came) and every caption.
    for (int i = 0; i < 4; ++i)
        f.tabs.setTabText(i, "stale");
    d.clickOk();
    QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
    QCOMPARE(q(iniText(f)), QString("[Option]\r\nSameFile=%1\r\nBackupLog=%2\r\nBackupLogMax=%3\r\n")
                                .arg(sameFile)
                                .arg(backupLog)
                                .arg(backupLogMax));
    QCOMPARE(f.tabs.tabText(1), QString("ドキュメント 【日付圧縮】"));
    QCOMPARE(f.tabs.tabText(3), QString("設定4 【標準】"));
}

void OptionsTest::loadFailsOnPolicyOutOfRange_data() {
    QTest::addColumn<int>("sameFile");
    QTest::newRow("7") << 7;
    QTest::newRow("-3") << -3;
}

void OptionsTest::loadFailsOnPolicyOutOfRange() {
    QFETCH(int, sameFile);
    kb::uitest::UiFixture f;
    f.core.state.SameFile = static_cast<std::int16_t>(sameFile);
    Dialog d(f);

    QCOMPARE(f.core.ui.messages.size(), size_t(1));
    QVERIFY(f.core.ui.messages[0].text.starts_with("フォームロードエラー\r\n"));
    QCOMPARE(f.core.ui.messages[0].icon, MsgIcon::Critical);
    QVERIFY(kb::test::readFile(f.core.folder.errorLog()).find("[frmOption]-[Form_Load] ") !=
            std::string::npos);
    QCOMPARE(d.sameFile()->count(), 5);
    QCOMPARE(d.grid()->item(1, 1)->text(), QString());
    QVERIFY(d.dlg.isVisible());

    d.clickOk();
    QCOMPARE(f.core.ui.messages.back().text, std::string("タブ名を入力してください"));
    QVERIFY(d.dlg.isVisible());
    QVERIFY(!std::filesystem::exists(f.core.folder.settings()));
}

void OptionsTest::historyBoxFollowsCheckBoxAndFiltersKeys() {
    kb::uitest::UiFixture f;
    f.core.state.BackupLog = 0;
    f.core.state.BackupLogMax = 30;
    Dialog d(f);
    QVERIFY(!d.count()->isEnabled());

    QTest::mouseClick(d.log(), Qt::LeftButton);
    QVERIFY(d.count()->isEnabled());
    QCOMPARE(d.count()->text(), QString("30"));

    d.count()->clear();
    QTest::keyClicks(d.count(), "1a2 b-3.");
    QCOMPARE(d.count()->text(), QString("123"));
    QTest::keyClick(d.count(), Qt::Key_Backspace);
    QCOMPARE(d.count()->text(), QString("12"));
    QTest::keyClicks(d.count(), "3456");
    QCOMPARE(d.count()->text(), QString("1234"));

    // A paste is no typed character: it goes in and is judged by OK.
    d.paste("9x");
    QCOMPARE(d.count()->text(), QString("9x"));

    QTest::mouseClick(d.log(), Qt::LeftButton);
    QVERIFY(!d.count()->isEnabled());
    QCOMPARE(d.count()->text(), QString("9x"));
}

void OptionsTest::gridOpensEditorsByItsRules() {
    kb::uitest::UiFixture f;
    Dialog d(f);
    QTableWidget* g = d.grid();

    // Typing never opens an editor by itself.
    g->setFocus();
    QTest::keyClicks(g, "abc");
    QVERIFY(!d.nameEditor() && !d.methodEditor());

    clickCell(g, 2, 1);
    QLineEdit* name = d.nameEditor();
    QVERIFY(name);
    QCOMPARE(name->text(), QString("設定2"));
    QTest::keyClicks(name, QString(35, 'x'));
    QCOMPARE(name->text().size(), 30);
    QTest::keyClick(name, Qt::Key_Return);
    settle();
    QCOMPARE(g->item(2, 1)->text(), QString(30, 'x'));

    clickCell(g, 3, 2);
    QComboBox* method = d.methodEditor();
    QVERIFY(method);
    QVERIFY(!method->isEditable());
    QStringList items;
    for (int i = 0; i < method->count(); ++i)
        items << method->itemText(i);
    QCOMPARE(items.join('|'), QString("標準|日付|日時|日付ﾌｫﾙﾀﾞ|日時ﾌｫﾙﾀﾞ|日付圧縮|日時圧縮"));
    QTest::keyClick(method, Qt::Key_Down);
    settle();
    QCOMPARE(g->item(3, 2)->text(), QString("日付"));

    // The header row and the number column keep the current cell and open its editor.
    clickCell(g, 0, 1);
    QCOMPARE(g->currentRow(), 3);
    QCOMPARE(g->currentColumn(), 2);
    QVERIFY(d.methodEditor());
    clickCell(g, 4, 0);
    QCOMPARE(g->currentRow(), 3);
    QTest::keyClick(d.methodEditor(), Qt::Key_Escape);
    settle();
    QVERIFY(!d.methodEditor());

    // The right button only moves the current cell, and only onto a data cell.
    clickCell(g, 4, 1, Qt::RightButton);
    QCOMPARE(g->currentRow(), 4);
    QCOMPARE(g->currentColumn(), 1);
    QVERIFY(!d.nameEditor() && !d.methodEditor());
    clickCell(g, 0, 2, Qt::RightButton);
    QCOMPARE(g->currentRow(), 4);
    QCOMPARE(g->currentColumn(), 1);

    // Keys never move the current cell onto the fixed row or column.
    QTest::keyClick(g, Qt::Key_Left);
    QTest::keyClick(g, Qt::Key_Home);
    QCOMPARE(g->currentColumn(), 1);
    QTest::keyClick(g, Qt::Key_PageUp);
    QCOMPARE(g->currentRow(), 1);
    QVERIFY(g->selectedItems().isEmpty());
}

void OptionsTest::countCheck_data() {
    QTest::addColumn<bool>("recording");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("pasted");
    QTest::addColumn<QString>("refusal"); // empty when OK goes through
    QTest::addColumn<int>("stored");
    const QString countMsg = "最大件数は、1以上の数字を入力してください";
    QTest::newRow("on, 0") << true << "0" << false << countMsg << 0;
    QTest::newRow("on, empty") << true << "" << false << "" << 0;
    QTest::newRow("off, 0") << false << "0" << false << "" << 0;
    QTest::newRow("off, empty") << false << "" << false << "" << 0;
    QTest::newRow("on, pasted 12a") << true << "12a" << true << "保存エラー" << 0;
    QTest::newRow("off, pasted 12a") << false << "12a" << true << "保存エラー" << 0;
    QTest::newRow("on, pasted 2.5") << true << "2.5" << true << "" << 2;
    QTest::newRow("on, pasted 9e99") << true << "9e99" << true << "保存エラー" << 0;
}

void OptionsTest::countCheck() {
    QFETCH(bool, recording);
    QFETCH(QString, typed);
    QFETCH(bool, pasted);
    QFETCH(QString, refusal);
    QFETCH(int, stored);
    kb::uitest::UiFixture f;
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

    d.clickOk();
    if (refusal.isEmpty()) {
        QVERIFY(f.core.ui.messages.empty());
        QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
        QCOMPARE(f.core.state.BackupLogMax, stored);
        QCOMPARE(f.core.state.BackupLog, std::int16_t(recording ? 1 : 0));
        QVERIFY(iniText(f).find("BackupLogMax=" + std::to_string(stored) + "\r\n") != std::string::npos);
        return;
    }
    QCOMPARE(f.core.ui.messages.size(), size_t(1));
    QVERIFY(q(f.core.ui.messages[0].text).startsWith(refusal));
    QCOMPARE(f.core.ui.messages[0].icon, refusal == "保存エラー" ? MsgIcon::Critical : MsgIcon::Exclamation);
    QVERIFY(d.dlg.isVisible());
    QVERIFY(!std::filesystem::exists(f.core.folder.settings()));
    QCOMPARE(f.core.state.BackupLogMax, 55);
    QCOMPARE(f.store().selectTabs()[0].TabName, std::string("設定1"));
    if (refusal != "保存エラー") {
        QCOMPARE(d.dlg.focusWidget(), static_cast<QWidget*>(d.count()));
        QCOMPARE(d.count()->selectedText(), typed);
    }
}

void OptionsTest::blankNameIsRefusedAtItsRow() {
    kb::uitest::UiFixture f;
    Dialog d(f);
    d.editName(3, "　 ");
    d.editName(4, " ");
    QCOMPARE(d.grid()->item(3, 1)->text(), QString("　 "));

    d.clickOk();
    QCOMPARE(f.core.ui.texts(), std::vector<std::string>{"タブ名を入力してください"});
    QCOMPARE(f.core.ui.messages[0].icon, MsgIcon::Exclamation);
    QCOMPARE(d.grid()->currentRow(), 3);
    QCOMPARE(d.grid()->currentColumn(), 1);
    QVERIFY(d.nameEditor());
    QVERIFY(d.dlg.isVisible());
    QVERIFY(!std::filesystem::exists(f.core.folder.settings()));
    QCOMPARE(f.store().selectTabs()[2].TabName, std::string("設定3"));
}

void OptionsTest::okWritesOptionsSetsAndCaptions() {
    kb::uitest::UiFixture f;
    Dialog d(f);
    d.sameFile()->setCurrentIndex(2);
    d.count()->clear();
    QTest::keyClicks(d.count(), "50");
    d.editName(1, "Bob's 'files'");
    d.editName(2, "  padded  ");
    d.chooseMethod(2, 6);
    d.chooseMethod(4, 3);

    d.clickOk();
    QVERIFY(f.core.ui.messages.empty());
    QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
    QCOMPARE(iniText(f), std::string("[Option]\r\nSameFile=2\r\nBackupLog=1\r\nBackupLogMax=50\r\n"));
    QCOMPARE(f.core.state.SameFile, std::int16_t(2));
    QCOMPARE(f.core.state.BackupLogMax, 50);

    const std::vector<kb::TabRow> rows = f.store().selectTabs();
    QCOMPARE(rows[0].TabName, std::string("Bob's 'files'"));
    QCOMPARE(rows[1].TabName, std::string("  padded  "));
    QCOMPARE(rows[1].NameType, std::string("6"));
    QCOMPARE(rows[3].NameType, std::string("3"));
    QCOMPARE(f.tabs.tabText(0), QString("Bob's 'files' 【標準】"));
    QCOMPARE(f.tabs.tabText(1), QString("  padded   【日時圧縮】"));
    QCOMPARE(f.tabs.tabText(3), QString("設定4 【日付ﾌｫﾙﾀﾞ】"));

    // A second opening shows what was saved, the apostrophes included.
    Dialog again(f);
    QCOMPARE(again.grid()->item(1, 1)->text(), QString("Bob's 'files'"));
    QCOMPARE(again.sameFile()->currentIndex(), 2);
}

void OptionsTest::failureHalfWayKeepsWhatWasSaved() {
    kb::uitest::UiFixture f;
    exec(f.store(), "CREATE TRIGGER refuse3 BEFORE UPDATE ON T_Tab WHEN NEW.TabNo='3' "
                    "BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END");
    Dialog d(f);
    for (int row = 1; row <= 4; ++row)
        d.editName(row, QString("新%1").arg(row));
    d.sameFile()->setCurrentIndex(1);

    d.clickOk();
    QCOMPARE(f.core.ui.messages.size(), size_t(1));
    QCOMPARE(f.core.ui.messages[0].text, std::string("保存エラー\r\ndisk I/O error"));
    QVERIFY(kb::test::readFile(f.core.folder.errorLog()).find("[frmOption]-[cmdOK_Click] disk I/O error") !=
            std::string::npos);
    QVERIFY(d.dlg.isVisible());
    QCOMPARE(f.core.state.SameFile, std::int16_t(1));
    QVERIFY(iniText(f).find("BackupLogMax=1000") != std::string::npos);
    const std::vector<kb::TabRow> rows = f.store().selectTabs();
    QCOMPARE(rows[1].TabName, std::string("新2"));
    QCOMPARE(rows[2].TabName, std::string("設定3"));
    QCOMPARE(rows[3].TabName, std::string("設定4"));
    QCOMPARE(f.tabs.tabText(1), QString("新2 【標準】"));
    QCOMPARE(f.tabs.tabText(2), QString("設定3 【標準】"));

    // A method the table does not know (a damaged store) stops OK at its row instead of being written.
    exec(f.store(), "DROP TRIGGER refuse3");
    exec(f.store(), "UPDATE T_Tab SET NameType='9' WHERE TabNo='4'");
    Dialog damaged(f);
    QCOMPARE(damaged.grid()->item(4, 2)->text(), QString());
    damaged.clickOk();
    QVERIFY(f.core.ui.messages.back().text.starts_with("保存エラー\r\n"));
    QCOMPARE(f.store().selectTabs()[3].NameType, std::string("9"));
    QCOMPARE(f.store().selectTabs()[2].TabName, std::string("設定3"));

    damaged.dlg.reject();
    d.clickOk();
    QCOMPARE(d.dlg.result(), int(QDialog::Accepted));
}

void OptionsTest::historyClear() {
    kb::uitest::UiFixture f;
    for (int i = 1; i <= 3; ++i)
        f.store().insertCopyLog({"2006/01/01 12:30:00", "1", "設定1 【標準】", i, "○", "a.txt", "/tmp"});
    Dialog d(f);

    f.core.ui.answers = {MsgAnswer::No};
    d.clickLogDel();
    QCOMPARE(f.store().countCopyLog(), 3LL);
    QCOMPARE(f.core.ui.refreshes, 0);
    QCOMPARE(f.core.ui.messages.size(), size_t(1));
    QCOMPARE(f.core.ui.messages[0].text, std::string("全ての履歴を削除します、よろしいですか"));
    QCOMPARE(f.core.ui.messages[0].icon, MsgIcon::Question);
    QCOMPARE(f.core.ui.messages[0].buttons, MsgButtons::YesNo);

    f.core.ui.answers = {MsgAnswer::Yes};
    d.clickLogDel();
    QCOMPARE(f.store().countCopyLog(), 0LL);
    QCOMPARE(f.core.ui.refreshes, 1);
    QCOMPARE(f.core.ui.messages.back().text, std::string("履歴クリア完了　 　"));
    QCOMPARE(f.core.ui.messages.back().icon, MsgIcon::Information);

    // Cancel saves nothing, and the clear stays done.
    d.editName(1, "changed");
    d.clickCancel();
    QCOMPARE(d.dlg.result(), int(QDialog::Rejected));
    QCOMPARE(f.store().countCopyLog(), 0LL);
    QCOMPARE(f.store().selectTabs()[0].TabName, std::string("設定1"));
    QVERIFY(!std::filesystem::exists(f.core.folder.settings()));

    // Without a store the clear is reported, not taken for done.
    Dialog orphan(f);
    f.core.state.MdbDatabase.reset();
    orphan.clickLogDel();
    QVERIFY(f.core.ui.messages.back().text.starts_with("履歴削除エラー\r\n"));
}

QTEST_MAIN(OptionsTest)
#include "options_test.moc"
