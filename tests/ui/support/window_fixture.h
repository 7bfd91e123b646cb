#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <QStringList>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ui/main/application.h"
#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"

namespace kb::test {

// Message boxes and choosers answered from a script; every box shown is kept.
class ScriptedPrompter final : public ui::Prompter {
public:
    MsgAnswer messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer, const std::string& title) override;
    std::optional<std::string> chooseOpenFile(QWidget* parent, const FileDialogSpec& spec) override;
    std::optional<std::string> chooseSaveFile(QWidget* parent, const FileDialogSpec& spec) override;
    std::optional<std::string> chooseFolder(QWidget* parent, const std::string& prompt) override;

    std::deque<MsgAnswer> answers;
    MsgAnswer defaultYesNo = MsgAnswer::Yes;
    std::deque<std::optional<std::string>> fileAnswers;
    std::deque<std::optional<std::string>> folderAnswers;
    std::vector<ShownMessage> messages;
    std::vector<FileDialogSpec> fileDialogs;
    std::vector<std::string> folderPrompts;
    // The status text at the moment of each box.
    std::vector<std::string> statusAtBox;
    ui::frmMain* window = nullptr;

    std::vector<std::string> texts() const;
};

// A program folder in a temporary folder with the installed store, and the program's start-up run on it
// with a scripted prompter, a recording shell and a fixed clock.
class WindowFixture {
public:
    explicit WindowFixture(std::string commandLine = "", bool start = true);
    ~WindowFixture();

    // Runs Main; the window is up when it returns kExitNormal.
    int start();
    ui::frmMain& window() { return *app->window(); }
    Store& store() { return *app->state().MdbDatabase; }
    // Closes the window as the close box does (the shutdown sequence runs).
    void close();
    // Registers files in a set directly in the store, then reloads the window's current set.
    void registerFiles(int set, const std::vector<std::string>& paths);
    std::string ini() const;

    TempDir dir;
    ScriptedPrompter prompter;
    RecordingShell shell;
    FixedClock clock;
    std::string commandLine;
    std::unique_ptr<ui::Application> app;
};

// Finds a child widget or action by object name, failing the test when absent.
template <typename T> T* child(QObject* parent, const char* name) {
    T* found = parent->findChild<T*>(QString::fromUtf8(name));
    return found;
}

} // namespace kb::test
