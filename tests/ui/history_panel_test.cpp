// The history panel: showing and hiding it, its order, incremental rows, entry details and the export.
#include <QAction>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>

#include "app/shared_state.h"
#include "platform/cp932.h"
#include "support/window_fixture.h"
#include "ui/history/history_model.h"

using namespace kb;
using namespace kb::test;

namespace {

QTreeView* logList(WindowFixture& f) {
    return child<QTreeView>(&f.window(), "ListViewLog");
}

CopyLogRow row(const char* time, const char* tab, long long seq, const char* mark, const char* name) {
    return CopyLogRow{time, tab,  std::string("設定") + tab + " 【標準】", seq,
                      mark, name, std::string("/backup/") + name};
}

std::vector<std::string> shownColumn(WindowFixture& f, int column) {
    std::vector<std::string> out;
    for (int r = 0; r < f.window().historyModel().rowCount(); ++r)
        out.push_back(f.window().historyModel().text(r, column));
    return out;
}

void selectLogRow(WindowFixture& f, int r) {
    logList(f)->selectionModel()->select(logList(f)->model()->index(r, 0),
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

} // namespace

class HistoryPanelTest : public QObject {
    Q_OBJECT

private slots:
    void refreshOrdersNewestRunHigherSetThenRecordingOrder() {
        WindowFixture f;
        Store& st = f.store();
        st.insertCopyLog(row("2006/01/01 12:30:00", "1", 2, "○", "b"));
        st.insertCopyLog(row("2006/01/01 12:30:00", "1", 1, "○", "a"));
        st.insertCopyLog(row("2006/01/01 12:30:00", "3", 1, "×", "c"));
        st.insertCopyLog(row("2006/01/02 08:00:00", "1", 1, "△", "d"));
        QVERIFY(f.window().Fun_LogRefresh());
        QCOMPARE(shownColumn(f, 3), (std::vector<std::string>{"d", "c", "a", "b"}));
        QCOMPARE(logList(f)->model()->headerData(4, Qt::Horizontal).toString(), QString("バックアップパス"));
    }

    void recordedRowsLeaveTheListAsAReloadWould() {
        WindowFixture f;
        Store& st = f.store();
        for (int i = 1; i <= 3; ++i)
            st.insertCopyLog(row("2006/01/01 10:00:00", "2", i, "○", ("old" + std::to_string(i)).c_str()));
        st.insertCopyLog(row("2006/01/01 11:00:00", "4", 1, "○", "mid"));
        f.window().Fun_LogRefresh();
        // A new run on set 3 at the same time as an earlier run of set 4, then a trim of the oldest run.
        std::vector<CopyLogRow> added = {row("2006/01/01 11:00:00", "3", 1, "○", "n1"),
                                         row("2006/01/01 11:00:00", "3", 2, "×", "n2")};
        for (const CopyLogRow& r : added) {
            st.insertCopyLog(r);
            f.window().logRowRecorded(r, "");
        }
        st.deleteCopyLogBefore("2006/01/01 11:00:00");
        f.window().logRowRecorded(row("2006/01/01 11:00:00", "3", 3, "○", "n3"), "2006/01/01 11:00:00");
        st.insertCopyLog(row("2006/01/01 11:00:00", "3", 3, "○", "n3"));
        std::vector<std::string> incremental = shownColumn(f, 3);
        f.window().Fun_LogRefresh();
        QCOMPARE(incremental, shownColumn(f, 3));
        QCOMPARE(incremental, (std::vector<std::string>{"mid", "n1", "n2", "n3"}));
    }

    void togglePlacesTheBarAndMirrorsMenuAndButton() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QAction* menu = child<QAction>(&w, "M_Visible_1");
        QAction* button = child<QAction>(&w, "BackupLog");
        QVERIFY(menu->isChecked() && button->isChecked());
        QCOMPARE(w.layoutTwips().picBarH.top, 3500.0);

        button->trigger();
        QVERIFY(!f.app->state().LogVisible);
        QVERIFY(!menu->isChecked() && !button->isChecked());
        QVERIFY(logList(f)->isHidden());
        QCOMPARE(w.layoutTwips().picBarH.top, w.layoutTwips().statusBar.top - w.layoutTwips().picBarH.height);

        menu->trigger();
        QVERIFY(f.app->state().LogVisible && menu->isChecked() && button->isChecked());
        const MainLayout& l = w.layoutTwips();
        double tabHeightBefore = l.statusBar.top - l.picBarH.height - l.toolbar.height;
        QCOMPARE(l.picBarH.top,
                 static_cast<double>(static_cast<float>(tabHeightBefore * 2 / 3 + l.toolbar.height)));

        // Any other mode re-applies the state as it is.
        w.Fun_ChangeListViewLog("x");
        QVERIFY(f.app->state().LogVisible && !logList(f)->isHidden());
    }

    void startingHiddenPutsTheBarAboveTheStatusBar() {
        WindowFixture f("", false);
        writeFile(f.dir / "Kestrelbox.ini", "[Main]\r\nListViewLog=0\r\nBarH=2000\r\n");
        f.start();
        const MainLayout& l = f.window().layoutTwips();
        QVERIFY(!f.app->state().LogVisible);
        QCOMPARE(l.picBarH.top, l.statusBar.top - l.picBarH.height);
        f.close();
        QVERIFY(f.ini().find("ListViewLog=0\r\n") != std::string::npos);
    }

    void splitterDropOnEitherListMovesTheBar() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        double logTop = w.layoutTwips().listViewLog.top;
        double logHeight = w.layoutTwips().listViewLog.height;
        QWidget* bar = child<QWidget>(&w, "picBarH");
        w.ListViewLog_DragDrop(bar, 300);
        QCOMPARE(w.layoutTwips().picBarH.top, logTop + 300);
        QCOMPARE(w.layoutTwips().listViewLog.height, logHeight - 360);
        w.ListView_DragDrop(bar, 1000);
        QCOMPARE(w.layoutTwips().picBarH.top, w.layoutTwips().listView.top + 1000);
        // Anything but the bar dropped on a list does nothing.
        double top = w.layoutTwips().picBarH.top;
        w.ListView_DragDrop(child<QWidget>(&w, "TabMain"), 10);
        QCOMPARE(w.layoutTwips().picBarH.top, top);
    }

    void detailsShowFiveLinesWithTheirTabs() {
        WindowFixture f;
        QVERIFY(!f.window().Fun_LogInfo());
        QCOMPARE(f.prompter.texts().back(), std::string("ファイルを選択してください"));
        f.store().insertCopyLog(row("2006/01/01 12:30:00", "1", 1, "○", "test.txt"));
        f.store().insertCopyLog(row("2006/01/01 12:30:00", "1", 2, "?", "odd.txt"));
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
        QCOMPARE(spec.title, std::string("保存先の選択"));
        QCOMPARE(spec.filters.size(), std::size_t(2));
        QCOMPARE(spec.filters[0].label, std::string("CSVファイル(*.csv)"));
        QCOMPARE(spec.filters[1].pattern, std::string("*.*"));
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

        // An emptied table still gives the header; a cancel changes nothing.
        f.store().deleteAllCopyLog();
        f.prompter.fileAnswers = {path, std::nullopt};
        f.window().Sub_OutPutLog();
        QCOMPARE(readFile(path), expected.substr(0, expected.find("\r\n") + 2));
        std::size_t shown = f.prompter.messages.size();
        f.window().Sub_OutPutLog();
        QCOMPARE(f.prompter.messages.size(), shown);
    }

    void anExportThatCannotWriteRestoresTheStatus() {
        WindowFixture f;
        f.store().insertCopyLog(row("2006/01/01 12:30:00", "1", 1, "○", "a"));
        f.window().Fun_LogRefresh();
        f.window().setStatusText("before");
        f.prompter.fileAnswers = {std::string("/nonexistent-folder/x.csv")};
        f.window().Sub_OutPutLog();
        QVERIFY(f.prompter.texts().back().rfind("履歴出力エラー\r\n", 0) == 0);
        QCOMPARE(f.window().statusText(), std::string("before"));
        QVERIFY(cp932::toUtf8(readFile(f.dir / "Err.log")).find("[frmMain]-[Sub_OutPutLog] ") !=
                std::string::npos);
    }
};

QTEST_MAIN(HistoryPanelTest)
#include "history_panel_test.moc"
