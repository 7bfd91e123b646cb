#pragma once

#include "ui/main/application.h"
#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"
#include "ui_test_support.h"

namespace kb::test {

using uitest::child;
using uitest::q;

// The scripted user interface of the core tests behind the window's boxes and choosers.
class ScriptedPrompter final : public ui::Prompter, public ScriptedUi {
public:
    using ScriptedUi::chooseFolder;
    using ScriptedUi::chooseOpenFile;
    using ScriptedUi::chooseSaveFile;
    using ScriptedUi::messageBox;

    MsgAnswer messageBox(QWidget*, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer, const std::string& title) override {
        statusAtBox.push_back(window ? window->statusText() : std::string());
        return ScriptedUi::messageBox(text, icon, buttons, defaultAnswer, title);
    }
    std::optional<std::string> chooseOpenFile(QWidget*, const FileDialogSpec& spec) override {
        return ScriptedUi::chooseOpenFile(spec);
    }
    std::optional<std::string> chooseSaveFile(QWidget*, const FileDialogSpec& spec) override {
        return ScriptedUi::chooseSaveFile(spec);
    }
    std::optional<std::string> chooseFolder(QWidget*, const std::string& prompt) override {
        return ScriptedUi::chooseFolder(prompt);
    }

    // The status text at the moment of each box.
    std::vector<std::string> statusAtBox;
    ui::frmMain* window = nullptr;
};

// A program folder in a temporary folder with the installed store, and the program's start-up run on it
// with a scripted prompter, a recording shell and a fixed clock.
class WindowFixture {
public:
    explicit WindowFixture(bool startNow = true);
    ~WindowFixture();

    // Runs Main; the window is up when it returns kExitNormal.
    int start();
    ui::frmMain& window() { return *app->window(); }
    template <class T> T* child(const char* name) { return uitest::child<T>(app->window(), name); }
    QTreeWidget* fileList() { return child<QTreeWidget>("ListView"); }
    QTreeView* logList() { return child<QTreeView>("ListViewLog"); }
    Store& store() { return *app->state().MdbDatabase; }
    // Closes the window as the close box does (the shutdown sequence runs).
    void close() { window().close(); }
    // Registers files in a set directly in the store, then reloads the window's current set.
    void registerFiles(int set, const std::vector<std::string>& paths);
    std::string ini() const { return readFile(dir / "Kestrelbox.ini"); }
    bool logged(const std::string& text) const { return logHolds(dir / "Err.log", text); }

    TempDir dir;
    ScriptedPrompter prompter;
    RecordingShell shell;
    FixedClock clock;
    std::unique_ptr<ui::Application> app;
};

} // namespace kb::test
