// A termination signal while a real message box waits for an answer (offscreen): the box is answered as if
// closed without a button, and the window closes only after the work that asked has returned.
#include <csignal>
#include <QTest>
#include <QTimer>

#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/stop_request.h"
#include "store/shared_state.h"
#include "support/test_support.h"
#include "ui/main/application.h"
#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

// The program's own boxes; the first one raises SIGTERM once it is open. Records what each box returned
// and whether the shutdown had run by then.
class SignalInFirstBox final : public ui::Prompter {
public:
    MsgAnswer messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer, const std::string& title) override {
        if (texts.empty())
            QTimer::singleShot(0, [] { ::raise(SIGTERM); });
        texts.push_back(text);
        MsgAnswer answer = m_real.messageBox(parent, text, icon, buttons, defaultAnswer, title);
        answers.push_back(answer);
        shutDownAtAnswer.push_back(state && !state->MdbDatabase);
        return answer;
    }
    std::optional<std::string> chooseOpenFile(QWidget*, const FileDialogSpec&) override { return {}; }
    std::optional<std::string> chooseSaveFile(QWidget*, const FileDialogSpec&) override { return {}; }
    std::optional<std::string> chooseFolder(QWidget*, const std::string&) override { return {}; }

    std::vector<std::string> texts;
    std::vector<MsgAnswer> answers;
    std::vector<bool> shutDownAtAnswer;
    SharedState* state = nullptr;

private:
    ui::QtPrompter m_real;
};

} // namespace

class SignalTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { ui::catchTerminationSignals(); }
    void cleanup() { clearStopRequest(); }

    // Policy 4, two files, the first one clashing: the signal comes while its question is open.
    void atAnOpenSameNameQuestion() {
        TempDir dir("kbsig"), data("kbsigdata");
        Store::create(dir / "Kestrelbox.mdb");
        writeFile(dir / "Kestrelbox.ini", "[Option]\r\nSameFile=4\r\n");
        fs::create_directories(data / "src");
        fs::create_directories(data / "dst");
        writeFile(data / "src" / "a.txt", "new a");
        writeFile(data / "src" / "b.txt", "new b");
        writeFile(data / "dst" / "a.txt", "old a");
        {
            auto store = Store::open(dir / "Kestrelbox.mdb");
            store->updateFolderPath("1", (data / "dst").string());
            store->insertCopyData("1", (data / "src" / "a.txt").string());
            store->insertCopyData("1", (data / "src" / "b.txt").string());
        }
        SignalInFirstBox prompter;
        RecordingShell shell;
        FixedClock clock;
        ui::Application app(dir.path(), prompter, shell, "/AUTO 1", false, &clock);
        prompter.state = &app.state();
        QCOMPARE(app.Main(), ui::kExitNormal);
        ui::closeOnTerminationSignals(app.window());
        QTRY_VERIFY_WITH_TIMEOUT(app.window()->shutDown(), 60000);

        QCOMPARE(prompter.texts.size(), std::size_t(1));
        QVERIFY(
            prompter.texts[0].starts_with("バックアップ先のフォルダには既に 'a.txt' ファイルが存在します。"));
        QCOMPARE(prompter.answers, std::vector<MsgAnswer>{MsgAnswer::No});
        QCOMPARE(prompter.shutDownAtAnswer, std::vector<bool>{false});
        QCOMPARE(app.exitStatus(), ui::kExitRunStopped);
        QCOMPARE(readFile(data / "dst" / "a.txt"), std::string("old a"));
        QCOMPARE(listFolder(data / "dst"), std::vector<std::string>{"a.txt"});
        std::vector<CopyLogRow> rows = historyRows(*Store::open(dir / "Kestrelbox.mdb"));
        QCOMPARE(rows.size(), std::size_t(1));
        QCOMPARE(rows[0].CopyAns, Text("△"));
        QVERIFY(readFile(dir / "Kestrelbox.ini").find("TabSel=1\r\n") != std::string::npos);
    }

    // Another instance holds the program folder: "２重起動はできません" is answered as OK, the start ends.
    void atAStartUpBox() {
        TempDir dir("kbsig");
        Store::create(dir / "Kestrelbox.mdb");
        InstanceLock first(dir.path());
        QVERIFY(first.acquire());
        SignalInFirstBox prompter;
        RecordingShell shell;
        ui::Application app(dir.path(), prompter, shell, "", false);
        QCOMPARE(app.Main(), ui::kExitStartFailed);
        QCOMPARE(prompter.texts, std::vector<std::string>{"２重起動はできません"});
        QCOMPARE(prompter.answers, std::vector<MsgAnswer>{MsgAnswer::Ok});
        QCOMPARE(listFolder(dir.path()), std::vector<std::string>{"Kestrelbox.mdb"});
    }
};

QTEST_MAIN(SignalTest)
#include "signal_test.moc"
