// The history panel: showing and hiding it, the splitter, entry details and the export.
#include <QAction>
#include <QTest>
#include <QTreeView>

#include "platform/cp932.h"
#include "store/shared_state.h"
#include "support/window_fixture.h"

using namespace kb;
using namespace kb::test;

namespace {

QTreeView* logList(WindowFixture& f) {
    return child<QTreeView>(&f.window(), "ListViewLog");
}

void selectLogRow(WindowFixture& f, int r) {
    logList(f)->selectionModel()->select(logList(f)->model()->index(r, 0),
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

} // namespace

class HistoryPanelTest : public QObject {
    Q_OBJECT

private slots:
    // Menu item and toolbar button show one state, and the shutdown keeps it for the next start.
    void toggleMirrorsMenuAndButtonAndIsKept() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QAction* menu = child<QAction>(&w, "M_Visible_1");
        QAction* button = child<QAction>(&w, "BackupLog");
        QVERIFY(menu->isChecked() && button->isChecked() && !logList(f)->isHidden());
        button->trigger();
        QVERIFY(!f.app->state().LogVisible && !menu->isChecked() && !button->isChecked());
        QVERIFY(logList(f)->isHidden() && child<QWidget>(&w, "picBarH")->isHidden());
        menu->trigger();
        QVERIFY(f.app->state().LogVisible && menu->isChecked() && button->isChecked());
        QVERIFY(!logList(f)->isHidden());
        button->trigger();
        f.close();
        QVERIFY(f.ini().find("ListViewLog=0\r\n") != std::string::npos);

        WindowFixture again(false);
        writeFile(again.dir / "Kestrelbox.ini", f.ini());
        again.start();
        QVERIFY(!again.app->state().LogVisible);
        QVERIFY(!child<QAction>(&again.window(), "M_Visible_1")->isChecked());
        QVERIFY(logList(again)->isHidden());
    }

    // The layout's figures are the core tests'; here, that a drop is measured from the list it lands on.
    void splitterDropOnEitherListMovesTheBar() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QWidget* bar = child<QWidget>(&w, "picBarH");
        const double logTop = w.layoutTwips().listViewLog.top;
        w.ListViewLog_DragDrop(bar, 300);
        QCOMPARE(w.layoutTwips().picBarH.top, logTop + 300);
        w.ListView_DragDrop(bar, 1000);
        const double top = w.layoutTwips().listView.top + 1000;
        QCOMPARE(w.layoutTwips().picBarH.top, top);
        // Anything but the bar dropped on a list does nothing.
        w.ListView_DragDrop(child<QWidget>(&w, "TabMain"), 10);
        QCOMPARE(w.layoutTwips().picBarH.top, top);
    }

    void detailsShowFiveLinesWithTheirTabs() {
        WindowFixture f;
        QVERIFY(!f.window().Fun_LogInfo());
        QCOMPARE(f.prompter.texts().back(), std::string("ファイルを選択してください"));
        for (const char* mark : {"○", "?"})
            f.store().insertCopyLog(
                {"2006/01/01 12:30:00", "1", "設定1 【標準】", 1, mark, "test.txt", "/backup/test.txt"});
        f.window().Fun_LogRefresh();
        selectLogRow(f, 0);
        f.window().M_RightClickLog_Click(1);
        QCOMPARE(f.prompter.messages.back().icon, MsgIcon::Information);
        QCOMPARE(f.prompter.texts().back(), std::string("日時: \t\t2006/01/01 12:30:00\r\n\r\n"
                                                        "タブ名: \t\t設定1 【標準】\r\n\r\n"
                                                        "結果: \t\t○ (バックアップ成功)\r\n\r\n"
                                                        "ファイル名: \t\ttest.txt\r\n\r\n"
                                                        "バックアップパス:\t/backup/test.txt"));
        selectLogRow(f, 1);
        f.window().Fun_LogInfo();
        QVERIFY(f.prompter.texts().back().find("結果: \t\t?\r\n") != std::string::npos);
    }

    void exportWritesCp932RecordsByteForByte() {
        WindowFixture f;
        f.window().Sub_OutPutLog();
        QCOMPARE(f.prompter.texts().back(), std::string("出力データがありません"));
        QVERIFY(f.prompter.fileDialogs.empty());

        f.store().insertCopyLog(
            {"2006/01/01 12:30:00", "1", "書類 \"重要\" 【日付】", 1, "○", "表.txt", "/b/表_060101.txt"});
        f.store().insertCopyLog(
            {"2006/01/01 12:30:00", "1", "書類 \"重要\" 【日付】", 2, "×", "😀.txt", std::nullopt});
        f.store().insertCopyLog({"2005/12/31 23:59:59", "2", "", 1, "△", "a,b.txt", "/b/a,b.txt"});
        f.window().Fun_LogRefresh();
        TempDir out("kbcsv");
        std::string path = (out / "history.csv").string();
        writeFile(path, std::string(5000, 'Z'));
        f.prompter.fileAnswers = {path};
        f.window().setStatusText("3個のファイル  (1KB)");
        child<QAction>(&f.window(), "M_File_6")->trigger();

        const FileDialogSpec& spec = f.prompter.fileDialogs.at(0);
        QCOMPARE(spec.defaultSuffix, std::string("csv"));
        QVERIFY(spec.confirmOverwrite);
        std::string expected = cp932::fromUtf8(
            "\"日時\",\"タブ名\",\"結果\",\"ファイル名\",\"バックアップパス\"\r\n"
            "\"2006/01/01 12:30:00\",\"書類 \"\"重要\"\" 【日付】\",\"○\",\"表.txt\",\"/b/表_060101.txt\"\r\n"
            "\"2006/01/01 12:30:00\",\"書類 \"\"重要\"\" 【日付】\",\"×\",\"?.txt\",#NULL#\r\n"
            "\"2005/12/31 23:59:59\",\"\",\"△\",\"a,b.txt\",\"/b/a,b.txt\"\r\n");
        QCOMPARE(readFile(path), expected);
        QCOMPARE(f.prompter.texts().back(), std::string("出力完了　　　"));
        QCOMPARE(f.prompter.statusAtBox.back(), std::string("3個のファイル  (1KB)"));
        QCOMPARE(f.window().statusText(), std::string("3個のファイル  (1KB)"));

        // Never over a file of the program, however the path is spelled.
        const std::string store = (f.dir / "TMP" / ".." / "Kestrelbox.mdb").string();
        const std::string before = readFile(f.dir / "Kestrelbox.mdb");
        f.prompter.fileAnswers = {store};
        f.window().Sub_OutPutLog();
        QCOMPARE(f.prompter.texts().back(),
                 "下記のファイルは Kestrelbox 自身のファイルのため、出力できません\r\n\r\n" + store);
        QCOMPARE(readFile(f.dir / "Kestrelbox.mdb"), before);

        // A file that cannot be written is reported, and the status comes back as it was.
        f.prompter.fileAnswers = {std::string("/nonexistent-folder/x.csv")};
        f.window().Sub_OutPutLog();
        QVERIFY(f.prompter.texts().back().rfind("履歴出力エラー\r\n", 0) == 0);
        QCOMPARE(f.window().statusText(), std::string("3個のファイル  (1KB)"));
        QVERIFY(f.errorLog().find("[frmMain]-[Sub_OutPutLog] ") != std::string::npos);

        // An emptied table still gives the header; a cancel changes nothing.
        f.store().deleteAllCopyLog();
        f.prompter.fileAnswers = {path, std::nullopt};
        f.window().Sub_OutPutLog();
        QCOMPARE(readFile(path), expected.substr(0, expected.find("\r\n") + 2));
        std::size_t shown = f.prompter.messages.size();
        f.window().Sub_OutPutLog();
        QCOMPARE(f.prompter.messages.size(), shown);
    }
};

QTEST_MAIN(HistoryPanelTest)
#include "history_panel_test.moc"
