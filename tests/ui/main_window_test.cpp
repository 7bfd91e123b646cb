// The main window driven by object name on the offscreen platform, with scripted boxes and choosers; its
// history panel: showing and hiding it, the splitter, entry details and the export. Then what it shows while
// a run copies, with its paints coalesced: the status texts reach the screen in order, the text of a file
// whose copy takes long before its copy, the bar steps through every value, and the history list ends as a
// reload would show it. The list keeps the store's order through any insertions and trims.
#include <numeric>

#include "platform/instance_lock.h"
#include "platform/stop_request.h"
#include "support/window_fixture.h"
#include "ui/history/history_model.h"
#include "ui/main/qt_catalogue.h"

using namespace kb;
using namespace kb::test;

namespace {

// Refuses the n-th statement that changes a table, or COMMIT, when it is prepared: the engine's own failure.
// `refusal` holds {at, seen}.
int refuseStatement(void* refusal, int action, const char* what, const char*, const char*, const char*) {
    auto* r = static_cast<std::pair<int, int>*>(refusal);
    const bool counted = action == SQLITE_DELETE || action == SQLITE_INSERT ||
                         (action == SQLITE_TRANSACTION && what && std::string(what) == "COMMIT");
    return counted && ++r->second == r->first ? SQLITE_DENY : SQLITE_OK;
}

// Every set with its file count, and the number of history rows, counted and kept.
std::string contentOf(Store& store) {
    std::string all = std::to_string(store.countCopyLog()) + "/" + std::to_string(store.historyRows());
    for (const TabRow& t : store.selectTabs())
        all += "|" + t.TabName + t.NameType + t.FolderPath.value_or("-") +
               std::to_string(store.selectCopyData(t.TabNo).size());
    return all;
}

// A termination signal while a real message box waits for an answer (offscreen): the box is answered as if
// closed without a button, and the window closes only after the work that asked has returned.
// The program's own boxes; the first one raises SIGTERM once it is open.
class SignalInFirstBox final : public ui::Prompter {
public:
    MsgAnswer messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer, const std::string& title) override {
        if (seen.empty())
            QTimer::singleShot(0, [] { ::raise(SIGTERM); });
        MsgAnswer answer = m_real.messageBox(parent, text, icon, buttons, defaultAnswer, title);
        seen += text.substr(0, text.find('\r')) + ": ";
        seen += answer == MsgAnswer::Ok ? "OK" : answer == MsgAnswer::Yes ? "Yes" : "No";
        seen += state && !state->MdbDatabase ? " after the shutdown;" : ";";
        return answer;
    }
    std::optional<std::string> chooseOpenFile(QWidget*, const FileDialogSpec&) override { return {}; }
    std::optional<std::string> chooseSaveFile(QWidget*, const FileDialogSpec&) override { return {}; }
    std::optional<std::string> chooseFolder(QWidget*, const std::string&) override { return {}; }

    std::string seen; // each box's first line, its answer, and whether the shutdown had run by then
    SharedState* state = nullptr;

private:
    ui::QtPrompter m_real;
};

void drop(QWidget* target, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent dropEvent(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropEvent);
}

// Runs `open` and, once its dialog is up, hands the dialog to `inspect`, then closes it.
template <class Dialog>
void whileShown(const std::function<void()>& open, const std::function<void(Dialog*)>& inspect) {
    QTimer::singleShot(0, [inspect] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<Dialog*>(modal))
            inspect(dialog);
        // A failed check must not leave the dialog waiting for a click.
        if (modal && modal->isVisible())
            modal->close();
        QVERIFY(qobject_cast<Dialog*>(modal));
    });
    open();
}

void selectLogRow(WindowFixture& f, int r) {
    f.logList()->selectionModel()->select(f.logList()->model()->index(r, 0),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// The texts a label showed each time it was painted.
class PaintedTexts : public QObject {
public:
    explicit PaintedTexts(QLabel* label) : m_label(label) { label->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && (texts.empty() || texts.back() != m_label->text().toStdString()))
            texts.push_back(m_label->text().toStdString());
        return false;
    }
    std::vector<std::string> texts;

private:
    QLabel* m_label;
};

CopyLogRow row(const std::string& time, const std::string& tab, long long seq) {
    return CopyLogRow{
        time, tab, "設定" + tab, seq, "○", "f" + std::to_string(seq), "/b/f" + std::to_string(seq)};
}

std::vector<std::string> shown(WindowFixture& f) {
    std::vector<std::string> out;
    for (int r = 0; r < f.window().historyModel().rowCount(); ++r)
        out.push_back(rowText(f.window().historyModel().row(r)));
    return out;
}

std::vector<std::string> stored(Store& store) {
    std::vector<std::string> out;
    store.forEachCopyLog([&out](const CopyLogRow& r) { out.push_back(rowText(r)); });
    return out;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    // What the window shows; the exact settings the shutdown writes are the end-to-end tests'. "+3500" is
    // read as every layout figure is: the window opens at left 3500 and its shutdown writes Left=3500.
    // Column widths no user touched are written back as read, whatever the window's size; dragged ones as
    // dragged.
    void loadsTheSetsWritesNothingUntilClosedThenCompacts() {
        WindowFixture f(false);
        const std::string settings = "[Main]\r\nLeft=+3500\r\nWidth=15000\r\nListViewC1=2501\r\n"
                                     "ListViewC2=1000\r\nListViewLogC5=700\r\n";
        writeFile(f.dir / "Kestrelbox.ini", settings);
        QCOMPARE(f.start(), ui::kExitNormal);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(f.child<QTabWidget>("TabMain")->tabText(i), QString("設定%1 【標準】").arg(i + 1));
        QCOMPARE(f.window().currentTab(), 1);
        QCOMPARE(q(f.window().statusText()), QString("0個のファイル  (0ﾊﾞｲﾄ)"));
        QVERIFY(f.prompter.messages.empty());
        QCOMPARE(f.ini(), settings);
        f.fileList()->header()->resizeSection(0, 100);
        f.close();
        QCOMPARE(q(f.window().statusText()), QString("MDB最適化中..."));
        QVERIFY(!f.app->state().MdbDatabase);
        QVERIFY(f.ini().starts_with("[Main]\r\nLeft=3500\r\n"));
        for (const char* line : {"ListViewC1=1500\r\n", "ListViewC2=1000\r\n", "ListViewLogC5=700\r\n"})
            QVERIFY2(f.ini().find(line) != std::string::npos, f.ini().c_str());
    }

    // A set number out of range or a layout figure that is no number stops the load; a bar position that is
    // no number is reported and the load goes on. Nothing is written either way.
    void badLayoutSettings() {
        const char* load = "フォームロードエラー";
        for (auto [line, exitCode, caption, context] :
             {std::tuple{"TabSel=5", ui::kExitStartFailed, load, "Form_Load"},
              {"TabSel=0", ui::kExitStartFailed, load, "Form_Load"},
              {"Left=abc", ui::kExitStartFailed, load, "Form_Load"},
              {"BarH=high", ui::kExitNormal, "サイズ調整エラー", "Fun_FormResize"}}) {
            WindowFixture f(false);
            const std::string settings = std::string("[Main]\r\n") + line + "\r\n";
            writeFile(f.dir / "Kestrelbox.ini", settings);
            QVERIFY2(f.start() == exitCode, line);
            QVERIFY2(f.prompter.messages.size() == 1, line);
            QVERIFY2(f.prompter.messages[0].text.rfind(caption + std::string("\r\n"), 0) == 0, line);
            QVERIFY2(f.logged(std::string("[frmMain]-[") + context + "] "), line);
            QVERIFY2(f.ini() == settings, line);
        }
    }

    // A missing file is listed without an icon; every row still keeps an icon's room, also when the first
    // row is the one without.
    void tabSwitchLoadsTheSetFilesInPathOrderAndSelectsTheFirst() {
        WindowFixture f;
        TempDir data("kbdata");
        writeFile(data / "b.txt", std::string(1536, 'x'));
        writeFile(data / "A.txt", "12345");
        for (const char* name : {"b.txt", "A.txt", "0gone.txt"})
            f.store().insertCopyData("2", (data / name).string());
        f.store().updateFolderPath("2", "/backup/there");
        f.child<QTabWidget>("TabMain")->setCurrentIndex(1);
        QCOMPARE(f.window().currentTab(), 2);
        QTreeWidget* list = f.fileList();
        QCOMPARE(list->topLevelItemCount(), 3);
        QCOMPARE(list->topLevelItem(0)->text(1), q((data / "0gone.txt").string()));
        QCOMPARE(list->topLevelItem(1)->text(0), QString("A.txt"));
        QCOMPARE(list->topLevelItem(2)->text(0), QString("b.txt"));
        QVERIFY(list->topLevelItem(0)->icon(0).isNull() && !list->topLevelItem(1)->icon(0).isNull());
        QStyleOptionViewItem option;
        option.initFrom(list);
        option.decorationSize = list->iconSize();
        const int needed = QStyledItemDelegate().sizeHint(option, list->model()->index(1, 0)).height();
        for (int r = 0; r < 3; ++r)
            QVERIFY(list->visualItemRect(list->topLevelItem(r)).height() >= needed);
        QCOMPARE(list->selectedItems(), QList<QTreeWidgetItem*>{list->topLevelItem(0)});
        QCOMPARE(f.child<QLineEdit>("txtTo")->text(), QString("/backup/there"));
        QCOMPARE(q(f.window().statusText()), QString("3個のファイル  (1.5KB)"));

        f.child<QTabWidget>("TabMain")->setCurrentIndex(0);
        QCOMPARE(list->topLevelItemCount(), 0);
        QCOMPARE(f.child<QLineEdit>("txtTo")->text(), QString());
    }

    void addListRegistersOnceAndRefusesADuplicate() {
        WindowFixture f;
        TempDir data("kbdata");
        std::string path = (data / "Bob's \"notes\" 日本語 😀.txt").string();
        writeFile(path, "x");
        f.prompter.fileAnswers = {path, path, std::nullopt};
        f.child<QAction>("M_File_3")->trigger();
        QCOMPARE(f.store().selectCopyData("1"), Strings{path});
        QCOMPARE(f.fileList()->topLevelItem(0)->text(1), q(path));
        f.window().M_RightClick_Click(3);
        QCOMPARE(f.prompter.texts(), Strings{"このファイルは登録済みです"});
        f.window().M_File_Click(3); // cancelled
        QCOMPARE(f.prompter.messages.size(), std::size_t(1));
        QCOMPARE(f.store().selectCopyData("1").size(), std::size_t(1));

        // The same path is welcome in another set, and it is removed as exactly that text; Delete asks first.
        f.window().selectTab(3);
        f.prompter.fileAnswers = {path};
        f.window().Fun_AddList();
        QCOMPARE(f.store().selectCopyData("3"), Strings{path});
        f.prompter.answers = {MsgAnswer::No, MsgAnswer::Yes};
        uitest::showActive(f.window());
        f.fileList()->setFocus();
        QTest::keyClick(f.fileList(), Qt::Key_Delete);
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
        for (const char* name : {"one.txt", "two words.txt", "old.txt"})
            writeFile(data / name, name);
        std::filesystem::create_directory(data / "folder");
        f.registerFiles(1, {(data / "old.txt").string()});
        QStringList dropped;
        for (const char* name : {"one.txt", "folder", "old.txt", "missing.txt", "two words.txt"})
            dropped << q((data / name).string());
        drop(f.fileList()->viewport(), dropped);
        QCOMPARE(f.store().selectCopyData("1").size(), std::size_t(3));
        QCOMPARE(f.prompter.texts(), Strings{"old.txt は登録済みです"});
        QCOMPARE(f.fileList()->topLevelItemCount(), 3);

        // A folder dropped on the destination box becomes the destination; a file does not.
        QWidget* to = f.child<QLineEdit>("txtTo");
        drop(to, {q((data / "one.txt").string())});
        QCOMPARE(f.child<QLineEdit>("txtTo")->text(), QString());
        drop(to, {q((data / "folder").string()), q((data / "one.txt").string())});
        QCOMPARE(f.child<QLineEdit>("txtTo")->text(), q((data / "folder").string()));
        QCOMPARE(f.store().selectTab("1")->FolderPath, Text((data / "folder").string()));

        // The chooser's folder is stored; cancelled, the box's text is.
        f.prompter.folderAnswers = {std::string("/srv/backup"), std::nullopt};
        f.child<QPushButton>("cmdTo")->click();
        QCOMPARE(f.store().selectTab("1")->FolderPath, Text("/srv/backup"));
        f.child<QLineEdit>("txtTo")->setText("");
        f.window().cmdTo_Click();
        QCOMPARE(f.store().selectTab("1")->FolderPath, Text(""));
    }

    // While a run copies, nothing that starts another command or changes the set can be reached.
    void busyStateGreysExactlyTheCommandsThatChangeThings() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        f.registerFiles(1, {"/data/Report.txt", "/data/report.txt"});
        QVERIFY(w.Fun_ChangeUse(false));
        for (const char* name :
             {"Backup", "Option", "M_File_1", "M_File_3", "M_File_4", "M_File_6", "M_Tool_1", "M_Tool_3"})
            QVERIFY2(!f.child<QAction>(name)->isEnabled(), name);
        for (const char* name : {"TabMain", "txtTo", "cmdTo", "ListView", "ListViewLog"})
            QVERIFY2(!f.child<QWidget>(name)->isEnabled(), name);
        QVERIFY(f.child<QWidget>("picBarH")->isEnabled());

        // Pointing at a failing file re-enables the list alone, and only for a path of exactly that case.
        f.fileList()->clearSelection();
        QVERIFY(w.Fun_ListSetFocus("/data/REPORT.txt"));
        QVERIFY(f.fileList()->selectedItems().isEmpty() && !f.fileList()->isEnabled());
        QVERIFY(w.Fun_ListSetFocus("/data/report.txt"));
        QCOMPARE(f.fileList()->selectedItems().first()->text(1), QString("/data/report.txt"));
        QVERIFY(f.fileList()->isEnabled());
        QVERIFY(!f.child<QWidget>("TabMain")->isEnabled());
        QVERIFY(w.Fun_ChangeUse(true));
        QVERIFY(w.Fun_ChangeUse(true));
        for (const char* name :
             {"Backup", "M_Tool_3", "TabMain", "txtTo", "cmdTo", "ListView", "ListViewLog"})
            QVERIFY2(f.child<QObject>(name)->property("enabled").toBool(), name);
    }

    void openingReportsShellFailuresAndMissingFolders() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QVERIFY(!w.Fun_OpenFileDir(0, 0));
        QCOMPARE(f.prompter.texts().back(), std::string("ファイルを選択してください"));

        TempDir data("kbdata");
        writeFile(data / "here.txt", "x");
        f.registerFiles(1, {(data / "gone.txt").string(), (data / "here.txt").string()});
        f.fileList()->setCurrentItem(f.fileList()->topLevelItem(0));
        QVERIFY(w.Fun_OpenFileDir(0, 0));
        QCOMPARE(f.prompter.texts().back(), "ファイルが見つかりません\r\n" + (data / "gone.txt").string());
        QVERIFY(
            f.logged("[mdlCommon]-[Sub_ShowFlie] ファイルが見つかりません　" + (data / "gone.txt").string()));

        f.fileList()->setCurrentItem(f.fileList()->topLevelItem(1));
        for (auto [code, text] :
             {std::pair{31, "関連付けられているファイルがありません"}, {5, "エラーNo.=5"}}) {
            f.shell.codeForExisting = code;
            w.M_RightClick_Click(1);
            QCOMPARE(f.prompter.texts().back(), text + ("\r\n" + (data / "here.txt").string()));
        }

        // The folder of a registered file opens in the file manager, whatever the file's state.
        QVERIFY(w.Fun_OpenFileDir(0, 1));
        QCOMPARE(f.shell.openedFolders.back(), data.path().string());

        std::filesystem::remove(f.dir / "Readme.txt");
        w.M_Help_Click(1);
        QCOMPARE(f.prompter.texts().back(), std::string("Readme表示エラー\r\nファイルが見つかりません"));
        QVERIFY(f.logged("[mdlCommon]-[Sub_ShowHelpFlie] ファイルが見つかりません　" +
                         (f.dir / "Readme.txt").string()));
        writeFile(f.dir / "Readme.txt", "readme");
        f.child<QAction>("Help")->trigger();
        QCOMPARE(f.shell.openedFiles.back(), (f.dir / "Readme.txt").string());
    }

    // The keyboard's menu keys open the menu at the selected row. After a click on a list's empty part no row
    // is selected: double-click, Del and the menu's commands then do nothing, without a box or a log line.
    void menuKeysAndQuietEmptySpace() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        f.registerFiles(1, {"/data/a.txt", "/data/b.txt"});
        f.store().insertCopyLog({"2006/01/01 12:30:00", "1", "設定1 【標準】", 1, "○", "a.txt", "/b/a.txt"});
        w.Fun_LogRefresh();
        uitest::showActive(w);
        for (const char* name : {"ListView", "ListViewLog"}) {
            auto* list = f.child<QAbstractItemView>(name);
            const bool files = list == f.fileList();
            auto* menu = f.child<QMenu>(files ? "M_RightClickMain" : "M_RightClickLogMain");
            list->setFocus();
            list->setCurrentIndex(list->model()->index(0, 0));
            const QPoint row =
                list->viewport()->mapToGlobal(list->visualRect(list->currentIndex()).bottomLeft());
            for (auto [key, modifiers] :
                 {std::pair{Qt::Key_Menu, Qt::NoModifier}, {Qt::Key_F10, Qt::ShiftModifier}}) {
                QTest::keyClick(list, key, modifiers);
                QVERIFY2(menu->isVisible() && menu->geometry().contains(row + QPoint(1, 1)), name);
                menu->hide();
            }

            const QPoint empty(5, list->viewport()->height() - 5);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, empty);
            QVERIFY2(list->selectionModel()->selectedIndexes().isEmpty(), name);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, empty);
            QTest::keyClick(list, Qt::Key_Delete);
            QTest::mouseClick(list->viewport(), Qt::RightButton, Qt::NoModifier, empty);
            QVERIFY2(menu->isVisible(), name);
            for (QAction* item : menu->actions())
                QVERIFY2(item->isSeparator() || item->isEnabled(), name);
            menu->hide();
            for (int item : files ? std::vector<int>{1, 6} : std::vector<int>{1, 3})
                files ? w.M_RightClick_Click(item) : w.M_RightClickLog_Click(item);
        }
        QCOMPARE(f.prompter.texts(), Strings{});
        QVERIFY(!std::filesystem::exists(f.dir / "Err.log"));
    }

    // Qt's own dialogs in Japanese: the catalogue's texts, the program's question box, the folder chooser at
    // the home folder whatever the working folder, and the details in two columns with the path whole.
    void qtDialogsSpeakJapanese() {
        QVERIFY(ui::loadQtCatalogue(*QCoreApplication::instance()));
        ui::QtPrompter prompter;
        whileShown<QMessageBox>(
            [&] {
                QCOMPARE(prompter.messageBox(nullptr, "よろしいですか", MsgIcon::Question, MsgButtons::YesNo,
                                             MsgAnswer::Yes, "Kestrelbox"),
                         MsgAnswer::No);
            },
            [](QMessageBox* box) {
                QCOMPARE(box->button(QMessageBox::Yes)->text(), QString("はい(&Y)"));
                QCOMPARE(box->button(QMessageBox::No)->text(), QString("いいえ(&N)"));
                box->button(QMessageBox::No)->click();
            });
        TempDir elsewhere("kbcwd");
        const QString before = QDir::currentPath();
        QDir::setCurrent(q(elsewhere.path().string()));
        whileShown<QFileDialog>(
            [&] { QVERIFY(!prompter.chooseFolder(nullptr, "フォルダを選択してください")); },
            [](QFileDialog* dialog) {
                QCOMPARE(dialog->directory().absolutePath(), QDir::homePath());
                QCOMPARE(child<QLabel>(dialog, "lookInLabel")->text(), QString("アドレス:"));
            });
        QDir::setCurrent(before);

        const QString path =
            "/バックアップ/" + QString("とても長いフォルダの名前/").repeated(8) + "report.pdf";
        whileShown<QDialog>(
            [&] {
                prompter.messageBox(
                    nullptr, "日時: \t\t2006/01/01 12:30:00\r\n\r\nバックアップパス:\t" + path.toStdString(),
                    MsgIcon::Information, MsgButtons::Ok, MsgAnswer::Ok, "Kestrelbox");
            },
            [&path](QDialog* box) {
                const QList<QLabel*> values = box->findChildren<QLabel*>("value");
                QCOMPARE(values.size(), 2);
                QCOMPARE(values[0]->x(), values[1]->x());
                QCOMPARE(values[1]->text(), path);
                QVERIFY(values[1]->width() >= values[1]->fontMetrics().horizontalAdvance(path));
            });
    }

    void resetEmptiesTheStoreAfterTwoQuestionsInOneTransaction() {
        WindowFixture f;
        f.store().updateTab("2", "仕事", "3");
        f.store().updateFolderPath("2", "/x");
        f.store().insertCopyData("2", "/a/b.txt");
        f.store().insertCopyLog({"2006/01/01 12:30:00", "2", "仕事 【日時】", 1, "○", "b.txt", "/x/b.txt"});
        f.window().selectTab(3);
        f.prompter.answers = {MsgAnswer::Yes, MsgAnswer::No};
        f.window().M_Tool_Click(3);
        QCOMPARE(f.prompter.texts(),
                 (Strings{"全てのデータを削除します、よろしいですか", "本当によろしいですか"}));
        QCOMPARE(f.store().selectCopyData("2").size(), std::size_t(1));

        // Three deletions, four insertions and the commit: refused at any of them, the reset leaves every
        // set, file and history row as it was, with its report.
        const std::string before = contentOf(f.store());
        for (int at = 1; at <= 8; ++at) {
            std::pair<int, int> refusal{at, 0};
            sqlite3_set_authorizer(f.store().handle(), refuseStatement, &refusal);
            f.prompter.answers = {MsgAnswer::Yes, MsgAnswer::Yes};
            QVERIFY(!f.window().Fun_Initialize());
            sqlite3_set_authorizer(f.store().handle(), nullptr, nullptr);
            QCOMPARE(refusal.second, at);
            QCOMPARE(f.prompter.texts().back(), std::string("初期化エラー\r\nnot authorized"));
            QCOMPARE(contentOf(f.store()), before);
        }
        QVERIFY(f.logged("[frmMain]-[Fun_Initialize] not authorized"));

        f.prompter.answers = {MsgAnswer::Yes, MsgAnswer::Yes};
        QVERIFY(f.window().Fun_Initialize());
        QCOMPARE(f.prompter.texts().back(), std::string("初期化完了　　　"));
        QCOMPARE(f.window().currentTab(), 1);
        QCOMPARE(f.child<QTabWidget>("TabMain")->tabText(1), QString("設定2 【標準】"));
        QVERIFY(f.store().selectCopyData("2").empty());
        QCOMPARE(f.store().countCopyLog() + f.store().historyRows(), 0LL);
        QCOMPARE(f.store().selectTab("2")->TabName, std::string("設定2"));
        QVERIFY(!f.store().selectTab("2")->FolderPath);
        QCOMPARE(f.window().historyModel().rowCount(), 0);
    }

    // Policy 4, two files, the first one clashing. First another instance holds the program folder: the
    // signal comes while "２重起動はできません" is open, which is answered as OK, and the start ends. Then
    // the signal comes while the first same-name question is open.
    void atAStartUpBoxAndAtAnOpenSameNameQuestion() {
        CoreFixture fx;
        const TempDir& dir = fx.dir;
        const fs::path dst = dir / "dst";
        fs::create_directories(dst);
        fx.store().updateFolderPath("1", dst.string());
        fx.addFile("a.txt", "new a");
        fx.addFile("b.txt", "new b");
        writeFile(dst / "a.txt", "old a");
        writeFile(dir / "Kestrelbox.ini", "[Option]\r\nSameFile=4\r\n");
        fx.state.MdbDatabase.reset();
        ui::catchTerminationSignals();
        {
            InstanceLock first(dir.path());
            QVERIFY(first.acquire());
            SignalInFirstBox prompter;
            ui::Application app(dir.path(), prompter, fx.shell, "/AUTO 1", false, &fx.clock);
            QCOMPARE(app.Main(), ui::kExitStartFailed);
            QCOMPARE(prompter.seen, std::string("２重起動はできません: OK;"));
            QCOMPARE(readFile(dir / "Kestrelbox.ini"), std::string("[Option]\r\nSameFile=4\r\n"));
            clearStopRequest();
        }

        SignalInFirstBox prompter;
        ui::Application app(dir.path(), prompter, fx.shell, "/AUTO 1", false, &fx.clock);
        prompter.state = &app.state();
        QCOMPARE(app.Main(), ui::kExitNormal);
        ui::closeOnTerminationSignals(app.window());
        QTRY_VERIFY_WITH_TIMEOUT(app.window()->shutDown(), 60000);

        QCOMPARE(prompter.seen,
                 std::string("バックアップ先のフォルダには既に 'a.txt' ファイルが存在します。: No;"));
        QCOMPARE(app.exitStatus(), ui::kExitRunStopped);
        QCOMPARE(readFile(dst / "a.txt"), std::string("old a"));
        QCOMPARE(listFolder(dst), Strings{"a.txt"});
        std::vector<CopyLogRow> rows = historyRows(*Store::open(dir / "Kestrelbox.mdb"));
        QCOMPARE(rows.size(), std::size_t(1));
        QCOMPARE(rows[0].CopyAns, Text("△"));
        QVERIFY(readFile(dir / "Kestrelbox.ini").find("TabSel=1\r\n") != std::string::npos);
        clearStopRequest();
    }

    // An automatic run waits for its window to reach the screen, but one that never does (another
    // workspace, a display gone) holds the run back for a moment only.
    void anAutomaticRunWhoseWindowIsNeverShownStillRuns() {
        CoreFixture fx;
        const fs::path dst = fx.dir / "dst";
        fs::create_directories(dst);
        fx.store().updateFolderPath("1", dst.string());
        fx.addFile("a.txt", "a");
        fx.state.MdbDatabase.reset();
        ScriptedPrompter prompter;
        ui::Application app(fx.dir.path(), prompter, fx.shell, "/AUTO 1", false, &fx.clock);
        QCOMPARE(app.Main(), ui::kExitNormal);
        app.window()->hide();
        QTRY_VERIFY_WITH_TIMEOUT(app.window()->autoRun() == ui::frmMain::AutoRun::Completed, 20000);
        QCOMPARE(readFile(dst / "a.txt"), std::string("a"));
        QCOMPARE(prompter.texts(), Strings{});
    }

    // Menu item and toolbar button show one state, and the shutdown keeps it for the next start.
    void toggleMirrorsMenuAndButtonAndIsKept() {
        WindowFixture f;
        QAction* menu = f.child<QAction>("M_Visible_1");
        QAction* button = f.child<QAction>("BackupLog");
        QVERIFY(menu->isChecked() && button->isChecked() && !f.logList()->isHidden());
        button->trigger();
        QVERIFY(!f.app->state().LogVisible && !menu->isChecked() && !button->isChecked());
        QVERIFY(f.logList()->isHidden() && f.child<QWidget>("picBarH")->isHidden());
        menu->trigger();
        QVERIFY(f.app->state().LogVisible && menu->isChecked() && button->isChecked());
        QVERIFY(!f.logList()->isHidden());
        button->trigger();
        f.close();
        QVERIFY(f.ini().find("ListViewLog=0\r\n") != std::string::npos);

        WindowFixture again(false);
        writeFile(again.dir / "Kestrelbox.ini", f.ini());
        again.start();
        QVERIFY(!again.app->state().LogVisible);
        QVERIFY(!again.child<QAction>("M_Visible_1")->isChecked());
        QVERIFY(again.logList()->isHidden());
    }

    // The layout's figures are the core tests'; here, that a drop is measured from the list it lands on.
    void splitterDropOnEitherListMovesTheBar() {
        WindowFixture f;
        ui::frmMain& w = f.window();
        QWidget* bar = f.child<QWidget>("picBarH");
        const double logTop = w.layoutTwips().listViewLog.top;
        w.ListViewLog_DragDrop(bar, 300);
        QCOMPARE(w.layoutTwips().picBarH.top, logTop + 300);
        w.ListView_DragDrop(bar, 1000);
        const double top = w.layoutTwips().listView.top + 1000;
        QCOMPARE(w.layoutTwips().picBarH.top, top);
        // Anything but the bar dropped on a list does nothing.
        w.ListView_DragDrop(f.child<QWidget>("TabMain"), 10);
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
        f.child<QAction>("M_File_6")->trigger();

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
        QVERIFY(f.logged("[frmMain]-[Sub_OutPutLog] "));

        // An emptied table still gives the header; a cancel changes nothing.
        f.store().deleteAllCopyLog();
        f.prompter.fileAnswers = {path, std::nullopt};
        f.window().Sub_OutPutLog();
        QCOMPARE(readFile(path), expected.substr(0, expected.find("\r\n") + 2));
        std::size_t shown = f.prompter.messages.size();
        f.window().Sub_OutPutLog();
        QCOMPARE(f.prompter.messages.size(), shown);
    }

    // A backup from the toolbar, answered Yes: every file copied, the summary, the idle window again.
    void aRunPaintsEveryTextAndEveryValue() {
        WindowFixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.window()));
        const int n = 40, large = 25;
        std::vector<std::string> paths;
        auto name = [](int i) { return "in" + std::to_string(100 + i).substr(1) + ".txt"; };
        for (int i = 0; i < n; ++i) {
            paths.push_back((f.dir / name(i)).string());
            writeFile(paths.back(), i == large ? std::string(1 << 20, 'x') : name(i));
        }
        std::filesystem::create_directory(f.dir / "out");
        f.store().updateFolderPath("1", (f.dir / "out").string());
        f.registerFiles(1, paths);
        f.window().Fun_LogRefresh();

        PaintedTexts painted(f.child<QLabel>("StatusPanel1"));
        std::vector<int> values;
        auto* bar = f.child<QProgressBar>("progress");
        connect(bar, &QProgressBar::valueChanged, [&values](int v) { values.push_back(v); });
        f.child<QAction>("Backup")->trigger();

        QCOMPARE(f.prompter.texts().back(), std::string("バックアップ完了！  [ 40ﾌｧｲﾙ / 全40ﾌｧｲﾙ中 ]"));
        QCOMPARE(readFile(f.dir / "out" / name(n - 1)), name(n - 1));
        auto text = [&](int i) {
            return name(i) + " バックアップ中... [ " + std::to_string(i + 1) + " / " + std::to_string(n) +
                   " ]";
        };
        std::vector<std::string> expectedTexts;
        for (int i = 0; i < n; ++i)
            expectedTexts.push_back(text(i));
        expectedTexts.push_back(std::to_string(n) + "個のファイル");
        std::vector<std::string> runTexts;
        std::copy_if(painted.texts.begin(), painted.texts.end(), std::back_inserter(runTexts),
                     [&](const std::string& t) {
                         return std::find(expectedTexts.begin(), expectedTexts.end(), t) !=
                                expectedTexts.end();
                     });
        auto next = expectedTexts.begin();
        for (const std::string& t : runTexts)
            QVERIFY2((next = std::find(next, expectedTexts.end(), t)) != expectedTexts.end(), t.c_str());
        QVERIFY(std::find(runTexts.begin(), runTexts.end(), text(large)) != runTexts.end());
        QCOMPARE(painted.texts.back(), expectedTexts.back());
        std::vector<int> expected(n + 1);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(values, expected);
        QVERIFY(bar->isHidden() && bar->updatesEnabled());
        QVERIFY(f.child<QWidget>("ListViewLog")->updatesEnabled());
        QCOMPARE(shown(f), stored(f.store()));
    }

    // The list holds the first rows of the store's order and fetches the rest a page at a time: through
    // insertions anywhere, trims and fetches in any order, what it holds is what a full load begins with.
    void recordedRowsKeepTheStoresOrderThroughInsertionsAndTrims() {
        WindowFixture f;
        Store& st = f.store();
        ui::HistoryModel& model = f.window().historyModel();
        model.setPageSize(4);
        for (int run = 4; run >= 1; --run)
            for (int seq = 1; seq <= 3; ++seq)
                st.insertCopyLog(row("2006/01/0" + std::to_string(run) + " 10:00:00", "1", seq));
        st.insertCopyLog(row("2006/01/03 10:00:00", "1", 1));
        f.window().Fun_LogRefresh();
        QCOMPARE(model.rowCount(), 4);
        std::mt19937 random(7);
        auto fetchAll = [&] {
            while (model.canFetchMore({}))
                model.fetchMore({});
            QCOMPARE(shown(f), stored(st));
        };
        // As a run records a row: into the store, the oldest runs trimmed, then into the list.
        int recorded = 0;
        auto record = [&](CopyLogRow r, const std::string& trimmedBefore = "") {
            r.FileName = "r" + std::to_string(++recorded); // tells equal keys apart
            st.insertCopyLog(r);
            if (!trimmedBefore.empty())
                st.deleteCopyLogBefore(trimmedBefore);
            f.window().logRowRecorded(r, trimmedBefore);
            const std::vector<std::string> held = shown(f), all = stored(st);
            QVERIFY(held.size() <= all.size() && std::equal(held.begin(), held.end(), all.begin()));
            if (random() % 4 == 0)
                model.fetchMore({});
        };
        // Rows landing anywhere, in random order, some with equal keys.
        auto scatter = [&](int rows) {
            for (int i = 0; i < rows; ++i) {
                int day = static_cast<int>(random() % 9) + 1;
                record(row("2006/01/0" + std::to_string(day) + " 10:00:00", std::to_string(random() % 4 + 1),
                           static_cast<long long>(random() % 3)));
            }
        };

        // The key of the last row held, which the first row not fetched has too: it goes after both.
        record(row("2006/01/03 10:00:00", "1", 1));
        // A new run on top, then a second set in the same second (its rows go before the first set's).
        for (int seq = 1; seq <= 5; ++seq)
            record(row("2006/01/09 10:00:00", "1", seq));
        for (int seq = 1; seq <= 3; ++seq)
            record(row("2006/01/09 10:00:00", "3", seq));
        scatter(40);
        record(row("2006/01/09 10:00:00", "1", 6), "2006/01/03 10:00:00");
        scatter(10);
        fetchAll();

        // Every row held: each change must also be announced as the views expect it.
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        scatter(20);
        record(row("2006/01/09 10:00:00", "1", 7), "2006/01/03 10:00:00");
        // A trim that reaches into the rows before the last insertion point.
        record(row("2006/01/09 10:00:00", "1", 9), "2006/01/09 10:00:01");
        QCOMPARE(model.rowCount(), 0);
        record(row("2006/01/10 10:00:00", "2", 1));
        fetchAll();
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
