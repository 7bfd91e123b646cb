// The main window driven by object name on the offscreen platform, with scripted boxes and choosers.
#include <QAction>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>

#include "app/shared_state.h"
#include "platform/cp932.h"
#include "support/window_fixture.h"
#include "ui/history/history_model.h"
#include "ui/main/application.h"

using namespace kb;
using namespace kb::test;

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QTreeWidget* fileList(WindowFixture& f) {
    return child<QTreeWidget>(&f.window(), "ListView");
}
QTabWidget* tabs(WindowFixture& f) {
    return child<QTabWidget>(&f.window(), "TabMain");
}
QAction* action(WindowFixture& f, const char* name) {
    return child<QAction>(&f.window(), name);
}
std::string status(WindowFixture& f) {
    return f.window().statusText();
}
std::string errLog(WindowFixture& f) {
    return cp932::toUtf8(readFile(f.dir / "Err.log"));
}

void drop(QWidget* target, const QStringList& paths) {
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    mime->setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent dropEvent(QPointF(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropEvent);
    delete mime;
}

// The keys of section Main in the order the file holds them.
QStringList mainKeys(const std::string& ini) {
    QStringList keys;
    bool inMain = false;
    for (const QString& line : q(ini).split("\r\n")) {
        if (line.startsWith('['))
            inMain = line == "[Main]";
        else if (inMain && line.contains('='))
            keys << line.section('=', 0, 0);
    }
    return keys;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void loadsWithDefaultsWithoutSettings() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QCOMPARE(w.windowTitle(), QString("Kestrelbox"));
        QCOMPARE(tabs(f)->count(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(tabs(f)->tabText(i), QString("設定%1 【標準】").arg(i + 1));
        QCOMPARE(w.currentTab(), 1);
        QVERIFY(f.app->state().TabChangeOK);
        QVERIFY(f.app->state().LogVisible);
        QCOMPARE(fileList(f)->headerItem()->text(0), QString("ファイル名"));
        QCOMPARE(fileList(f)->headerItem()->text(1), QString("ファイルパス"));
        QCOMPARE(q(status(f)), QString("0個のファイル  (0ﾊﾞｲﾄ)"));
        QCOMPARE(f.app->state().SameFile, 0);
        QCOMPARE(f.app->state().BackupLog, 1);
        QCOMPARE(f.app->state().BackupLogMax, 1000);
        QVERIFY(f.prompter.messages.empty());
        // Loading writes nothing; the settings file comes with the first close.
        QVERIFY(!std::filesystem::exists(f.dir / "Kestrelbox.ini"));
    }

    void shutdownWritesTheLayoutKeysInOrderAndCompacts() {
        WindowFixture f;
        f.close();
        QStringList expected = {"Top",           "Left",          "Height",        "Width",
                                "BarH",          "TabSel",        "ListViewC1",    "ListViewC2",
                                "ListViewLogC1", "ListViewLogC2", "ListViewLogC3", "ListViewLogC4",
                                "ListViewLogC5", "ListViewLog"};
        QCOMPARE(mainKeys(f.ini()), expected);
        std::string ini = f.ini();
        QVERIFY(ini.find("Top=3000\r\n") != std::string::npos);
        QVERIFY(ini.find("Left=3500\r\n") != std::string::npos);
        QVERIFY(ini.find("BarH=3500\r\n") != std::string::npos);
        QVERIFY(ini.find("ListViewC1=2500\r\n") != std::string::npos);
        QVERIFY(ini.find("ListViewLogC3=600\r\n") != std::string::npos);
        QVERIFY(ini.find("ListViewLog=1\r\n") != std::string::npos);
        QCOMPARE(q(status(f)), QString("MDB最適化中..."));
        QVERIFY(!f.app->state().MdbDatabase);
        QVERIFY(std::filesystem::exists(f.dir / "Kestrelbox.mdb"));
        QVERIFY(!std::filesystem::exists(f.dir / "COMKestrelbox.mdb"));
        QVERIFY(!std::filesystem::exists(f.dir / "BKKestrelbox.mdb"));
    }

    void badLayoutSettingsStopTheLoadWithoutWriting() {
        for (const char* line : {"TabSel=5", "TabSel=0", "TabSel=", "Left=abc"}) {
            WindowFixture f("", false);
            writeFile(f.dir / "Kestrelbox.ini", std::string("[Main]\r\n") + line + "\r\n");
            std::string before = f.ini();
            QCOMPARE(f.start(), ui::kExitStartFailed);
            QCOMPARE(f.prompter.messages.size(), std::size_t(1));
            QVERIFY(f.prompter.messages[0].text.rfind("フォームロードエラー\r\n", 0) == 0);
            QCOMPARE(f.prompter.messages[0].icon, MsgIcon::Critical);
            QVERIFY(errLog(f).find("[frmMain]-[Form_Load] ") != std::string::npos);
            QCOMPARE(f.ini(), before);
        }
    }

    void aBarPositionThatIsNotANumberIsReportedAndLoadingGoesOn() {
        WindowFixture f("", false);
        writeFile(f.dir / "Kestrelbox.ini", "[Main]\r\nBarH=high\r\n");
        QCOMPARE(f.start(), ui::kExitNormal);
        QCOMPARE(f.prompter.messages.size(), std::size_t(1));
        QVERIFY(f.prompter.messages[0].text.rfind("サイズ調整エラー\r\n", 0) == 0);
        QVERIFY(f.app->state().TabChangeOK);
    }

    void optionsThatAreNotNumbersFallBackToTheirDefaults() {
        WindowFixture f("", false);
        writeFile(f.dir / "Kestrelbox.ini",
                  "[Option]\r\nSameFile=\r\nBackupLog=7x\r\nBackupLogMax=99999999999\r\n");
        QCOMPARE(f.start(), ui::kExitNormal);
        QCOMPARE(f.app->state().SameFile, 0);
        QCOMPARE(f.app->state().BackupLog, 1);
        QCOMPARE(f.app->state().BackupLogMax, 1000);
    }

    void aStoreThatCannotBeOpenedEndsTheStart() {
        WindowFixture f("", false);
        writeFile(f.dir / "Kestrelbox.mdb", "this is not a store");
        QCOMPARE(f.start(), ui::kExitStartFailed);
        QVERIFY(!f.app->window());
        QVERIFY(f.prompter.messages.at(0).text.rfind("データベースオープンエラー\r\n", 0) == 0);
        QCOMPARE(readFile(f.dir / "Kestrelbox.mdb"), std::string("this is not a store"));
        QVERIFY(!std::filesystem::exists(f.dir / "Kestrelbox.ini"));
    }

    void aSecondInstanceIsRefused() {
        WindowFixture first;
        ui::Application second(first.dir.path(), first.prompter, first.shell, "", false, &first.clock);
        QCOMPARE(second.Main(), ui::kExitStartFailed);
        QCOMPARE(first.prompter.texts().back(), std::string("２重起動はできません"));
        QCOMPARE(first.prompter.messages.back().icon, MsgIcon::Exclamation);
        QVERIFY(first.app->state().MdbDatabase);
    }

    void tabSwitchLoadsTheSetFilesInPathOrderAndSelectsTheFirst() {
        WindowFixture f;
        TempDir data("kbdata");
        writeFile(data / "b.txt", std::string(1536, 'x'));
        writeFile(data / "A.txt", "12345");
        f.store().insertCopyData("2", (data / "b.txt").string());
        f.store().insertCopyData("2", (data / "A.txt").string());
        f.store().insertCopyData("2", (data / "gone.txt").string());
        f.store().updateFolderPath("2", "/backup/there");
        tabs(f)->setCurrentIndex(1);
        QCOMPARE(f.window().currentTab(), 2);
        QTreeWidget* list = fileList(f);
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(0), QString("A.txt"));
        QCOMPARE(list->topLevelItem(1)->text(0), QString("b.txt"));
        QCOMPARE(list->topLevelItem(2)->text(1), q((data / "gone.txt").string()));
        QCOMPARE(list->selectedItems().size(), 1);
        QCOMPARE(list->selectedItems().first(), list->topLevelItem(0));
        QCOMPARE(child<QLineEdit>(&f.window(), "txtTo")->text(), QString("/backup/there"));
        QCOMPARE(q(status(f)), QString("3個のファイル  (1.5KB)"));
        // The missing file has no icon; the image store holds one image per row that got one.
        QVERIFY(list->topLevelItem(2)->icon(0).isNull());
        QVERIFY(f.window().iconCount() <= 2);

        tabs(f)->setCurrentIndex(0);
        QCOMPARE(list->topLevelItemCount(), 0);
        QCOMPARE(child<QLineEdit>(&f.window(), "txtTo")->text(), QString());
    }

    void addListRegistersOnceAndRefusesADuplicate() {
        WindowFixture f;
        TempDir data("kbdata");
        std::string path = (data / "Bob's \"notes\" 日本語 😀.txt").string();
        writeFile(path, "x");
        f.prompter.fileAnswers = {path, path, std::nullopt};
        action(f, "M_File_3")->trigger();
        QCOMPARE(f.store().selectCopyData("1"), std::vector<std::string>{path});
        QCOMPARE(fileList(f)->topLevelItem(0)->text(1), q(path));
        QCOMPARE(f.prompter.fileDialogs.at(0).title, std::string("ファイル選択"));
        QCOMPARE(f.prompter.fileDialogs.at(0).filters.at(0).label, std::string("すべてのファイル(*.*)"));
        f.window().M_RightClick_Click(3);
        QCOMPARE(f.prompter.texts().back(), std::string("このファイルは登録済みです"));
        f.window().M_File_Click(3); // cancelled
        QCOMPARE(f.prompter.messages.size(), std::size_t(1));
        QCOMPARE(f.store().selectCopyData("1").size(), std::size_t(1));
        // The same path is welcome in another set, and it is removed as exactly that text.
        f.window().selectTab(3);
        f.prompter.fileAnswers = {path};
        f.window().Fun_AddList();
        QCOMPARE(f.store().selectCopyData("3"), std::vector<std::string>{path});
        f.prompter.answers = {MsgAnswer::No, MsgAnswer::Yes};
        f.window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.window()));
        fileList(f)->setFocus();
        QTest::keyClick(fileList(f), Qt::Key_Delete);
        QCOMPARE(f.store().selectCopyData("3").size(), std::size_t(1));
        f.window().M_File_Click(4);
        QCOMPARE(f.prompter.messages.back().text,
                 "リスト内の " + path.substr(path.rfind('/') + 1) + " を削除します、よろしいですか");
        QVERIFY(f.store().selectCopyData("3").empty());
        QCOMPARE(f.store().selectCopyData("1").size(), std::size_t(1));
        f.window().Fun_DeleteList();
        QCOMPARE(f.prompter.texts().back(), std::string("削除するファイルがありません"));
    }

    void dropsRegisterNewFilesSkipFoldersAndPointAtRegisteredOnes() {
        WindowFixture f;
        TempDir data("kbdata");
        writeFile(data / "one.txt", "1");
        writeFile(data / "two words.txt", "2");
        writeFile(data / "old.txt", "3");
        std::filesystem::create_directory(data / "folder");
        f.registerFiles(1, {(data / "old.txt").string()});
        QWidget* viewport = fileList(f)->viewport();
        drop(viewport,
             {q((data / "one.txt").string()), q((data / "folder").string()), q((data / "old.txt").string()),
              q((data / "missing.txt").string()), q((data / "two words.txt").string())});
        std::vector<std::string> stored = f.store().selectCopyData("1");
        QCOMPARE(stored.size(), std::size_t(3));
        QCOMPARE(f.prompter.texts(), std::vector<std::string>{"old.txt は登録済みです"});
        QCOMPARE(fileList(f)->topLevelItemCount(), 3);

        // A folder dropped on the destination box becomes the destination; a file does not.
        QLineEdit* to = child<QLineEdit>(&f.window(), "txtTo");
        drop(to, {q((data / "one.txt").string())});
        QCOMPARE(to->text(), QString());
        drop(to, {q((data / "folder").string()), q((data / "one.txt").string())});
        QCOMPARE(to->text(), q((data / "folder").string()));
        QCOMPARE(f.store().selectTab("1")->FolderPath, Text((data / "folder").string()));
    }

    void folderChooserStoresTheBoxEvenWhenCancelled() {
        WindowFixture f;
        QLineEdit* to = child<QLineEdit>(&f.window(), "txtTo");
        f.prompter.folderAnswers = {std::string("/srv/backup"), std::nullopt};
        child<QPushButton>(&f.window(), "cmdTo")->click();
        QCOMPARE(f.prompter.folderPrompts.at(0), std::string("フォルダを選択してください"));
        QCOMPARE(f.store().selectTab("1")->FolderPath, Text("/srv/backup"));
        to->setText("");
        f.window().cmdTo_Click();
        QCOMPARE(f.store().selectTab("1")->FolderPath, Text(""));
    }

    void busyStateGreysExactlyTheTable() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QVERIFY(w.Fun_ChangeUse(false));
        for (const char* name :
             {"Backup", "Option", "M_File_1", "M_File_3", "M_File_4", "M_File_6", "M_Tool_1", "M_Tool_3"})
            QVERIFY2(!action(f, name)->isEnabled(), name);
        for (const char* name :
             {"BackupLog", "Help", "M_File_8", "M_Visible_1", "M_Help_1", "M_Help_2", "M_Help_4"})
            QVERIFY2(action(f, name)->isEnabled(), name);
        for (const char* name : {"TabMain", "txtTo", "cmdTo", "ListView", "ListViewLog"})
            QVERIFY2(!child<QWidget>(&w, name)->isEnabled(), name);
        QVERIFY(child<QWidget>(&w, "picBarH")->isEnabled());
        QVERIFY(child<QWidget>(&w, "StatusBar")->isEnabled());
        // Showing a failing file re-enables the list alone.
        TempDir data("kbdata");
        writeFile(data / "x.txt", "x");
        w.Fun_ChangeUse(true);
        f.registerFiles(1, {(data / "x.txt").string()});
        w.Fun_ChangeUse(false);
        QVERIFY(w.Fun_ListSetFocus((data / "x.txt").string()));
        QVERIFY(fileList(f)->isEnabled());
        QVERIFY(!child<QWidget>(&w, "TabMain")->isEnabled());
        QVERIFY(w.Fun_ChangeUse(true));
        QVERIFY(w.Fun_ChangeUse(true));
        for (const char* name : {"TabMain", "txtTo", "cmdTo", "ListView", "ListViewLog"})
            QVERIFY2(child<QWidget>(&w, name)->isEnabled(), name);
    }

    void listSetFocusComparesExactly() {
        WindowFixture f;
        f.registerFiles(1, {"/data/Report.txt", "/data/report.txt"});
        fileList(f)->clearSelection();
        QVERIFY(f.window().Fun_ListSetFocus("/data/REPORT.txt"));
        QVERIFY(fileList(f)->selectedItems().isEmpty());
        QVERIFY(f.window().Fun_ListSetFocus("/data/report.txt"));
        QCOMPARE(fileList(f)->selectedItems().first()->text(1), QString("/data/report.txt"));
    }

    void openingReportsShellFailuresAndMissingFolders() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QVERIFY(!w.Fun_OpenFileDir(0, 0));
        QCOMPARE(f.prompter.texts().back(), std::string("ファイルを選択してください"));

        TempDir data("kbdata");
        writeFile(data / "here.txt", "x");
        f.registerFiles(1, {(data / "gone.txt").string(), (data / "here.txt").string()});
        fileList(f)->setCurrentItem(fileList(f)->topLevelItem(0));
        QVERIFY(w.Fun_OpenFileDir(0, 0));
        QCOMPARE(f.prompter.texts().back(), "ファイルが見つかりません\r\n" + (data / "gone.txt").string());
        QVERIFY(errLog(f).find("[mdlCommon]-[Sub_ShowFlie] ファイルが見つかりません　" +
                               (data / "gone.txt").string()) != std::string::npos);

        f.shell.codeForExisting = 31;
        fileList(f)->setCurrentItem(fileList(f)->topLevelItem(1));
        w.M_RightClick_Click(1);
        QCOMPARE(f.prompter.texts().back(),
                 "関連付けられているファイルがありません\r\n" + (data / "here.txt").string());
        f.shell.codeForExisting = 5;
        w.Fun_OpenFileDir(0, 0);
        QCOMPARE(f.prompter.texts().back(), "エラーNo.=5\r\n" + (data / "here.txt").string());

        // The folder of a registered file opens in the file manager, whatever the file's state.
        QVERIFY(w.Fun_OpenFileDir(0, 1));
        QCOMPARE(f.shell.openedFolders.back(), data.path().string());

        std::filesystem::remove(f.dir / "Readme.txt");
        w.M_Help_Click(1);
        QCOMPARE(f.prompter.texts().back(), std::string("Readme表示エラー\r\nファイルが見つかりません"));
        QVERIFY(errLog(f).find("[mdlCommon]-[Sub_ShowHelpFlie] ファイルが見つかりません　" +
                               (f.dir / "Readme.txt").string()) != std::string::npos);
        writeFile(f.dir / "Readme.txt", "readme");
        action(f, "Help")->trigger();
        QCOMPARE(f.shell.openedFiles.back(), (f.dir / "Readme.txt").string());
        w.M_Help_Click(2);
        QCOMPARE(f.shell.openedUrls.size(), std::size_t(1));
    }

    void menusShortcutsAndToolbar() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        struct Item {
            const char* name;
            const char* caption;
        };
        for (const Item& item :
             {Item{"M_File_1", "バックアップ(&B)"}, Item{"M_File_3", "リスト追加(&A)..."},
              Item{"M_File_4", "リスト削除(&D)"}, Item{"M_File_6", "履歴出力(&R)..."},
              Item{"M_File_8", "終了(&X)"}, Item{"M_Visible_1", "履歴(&R)"},
              Item{"M_Tool_1", "オプション(&O)..."}, Item{"M_Tool_3", "初期化(&I)"},
              Item{"M_Help_1", "Readme.txt(&R)..."}, Item{"M_Help_2", "Webページ(&W)..."},
              Item{"M_Help_4", "バージョン情報(&A)..."}, Item{"M_RightClick_1", "開く(&O)"},
              Item{"M_RightClick_6", "保存先を開く(&F)"}, Item{"M_RightClickLog_1", "情報(&I)"},
              Item{"M_RightClickLog_3", "保存先を開く(&F)"}})
            QCOMPARE(action(f, item.name)->text(), QString::fromUtf8(item.caption));
        QCOMPARE(action(f, "M_File_1")->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(action(f, "M_File_4")->shortcut(), QKeySequence(Qt::Key_Delete));
        QCOMPARE(action(f, "M_Help_1")->shortcut(), QKeySequence(Qt::Key_F1));
        QToolBar* bar = child<QToolBar>(&w, "Toolbar");
        QStringList keys;
        for (QAction* a : bar->actions())
            keys << a->objectName();
        QCOMPARE(keys, QStringList({"Backup", "BackupLog", "Option", "Help"}));
        QCOMPARE(action(f, "BackupLog")->toolTip(), QString("バックアップ履歴"));
        // An unknown key does nothing.
        w.Toolbar_ButtonClick("backup");
        QVERIFY(f.prompter.messages.empty());
    }

    void backupFromTheToolbarAsksCopiesAndShowsTheRows() {
        WindowFixture f;
        TempDir data("kbdata");
        writeFile(data / "a.txt", "a");
        writeFile(data / "b.txt", "b");
        std::filesystem::create_directory(data / "dst");
        f.store().updateFolderPath("1", (data / "dst").string());
        f.registerFiles(1, {(data / "a.txt").string(), (data / "b.txt").string()});
        f.prompter.answers = {MsgAnswer::No};
        action(f, "Backup")->trigger();
        QVERIFY(!std::filesystem::exists(data / "dst" / "a.txt"));
        QVERIFY(f.prompter.texts().back().rfind("バックアップします、よろしいですか\r\n", 0) == 0);

        f.prompter.answers = {MsgAnswer::Yes};
        f.window().M_File_Click(1);
        QCOMPARE(readFile(data / "dst" / "b.txt"), std::string("b"));
        QCOMPARE(f.prompter.messages.back().icon, MsgIcon::Information);
        QCOMPARE(f.prompter.texts().back(), std::string("バックアップ完了！  [ 2ﾌｧｲﾙ / 全2ﾌｧｲﾙ中 ]"));
        QCOMPARE(f.window().statusText(), std::string("2個のファイル"));
        QVERIFY(child<QWidget>(&f.window(), "progress")->isHidden());
        QVERIFY(action(f, "Backup")->isEnabled() && fileList(f)->isEnabled());
        QCOMPARE(f.window().historyModel().rowCount(), 2);
        QCOMPARE(f.window().historyModel().text(0, 3), std::string("a.txt"));
    }

    void resetEmptiesTheStoreAfterTwoQuestions() {
        WindowFixture f;
        f.store().updateTab("2", "仕事", "3");
        f.store().insertCopyData("2", "/a/b.txt");
        f.store().insertCopyLog({"2006/01/01 12:30:00", "2", "仕事 【日時】", 1, "○", "b.txt", "/x/b.txt"});
        f.window().selectTab(3);
        f.prompter.answers = {MsgAnswer::Yes, MsgAnswer::No};
        f.window().M_Tool_Click(3);
        QCOMPARE(f.store().selectCopyData("2").size(), std::size_t(1));
        QCOMPARE(f.prompter.messages.at(0).text, std::string("全てのデータを削除します、よろしいですか"));
        QCOMPARE(f.prompter.messages.at(0).defaultAnswer, MsgAnswer::Yes);
        QCOMPARE(f.prompter.messages.at(1).text, std::string("本当によろしいですか"));
        QCOMPARE(f.prompter.messages.size(), std::size_t(2));
        f.prompter.answers = {MsgAnswer::Yes, MsgAnswer::Yes};
        QVERIFY(f.window().Fun_Initialize());
        QCOMPARE(f.prompter.texts().back(), std::string("初期化完了　　　"));
        QCOMPARE(f.window().currentTab(), 1);
        QCOMPARE(tabs(f)->tabText(1), QString("設定2 【標準】"));
        QVERIFY(f.store().selectCopyData("2").empty());
        QCOMPARE(f.store().countCopyLog(), 0LL);
        QCOMPARE(f.store().selectTab("2")->TabName, std::string("設定2"));
        QVERIFY(!f.store().selectTab("2")->FolderPath);
        QCOMPARE(child<QTreeView>(&f.window(), "ListViewLog")->model()->rowCount(), 0);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
