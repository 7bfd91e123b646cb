#include "window_fixture.h"

#include <QApplication>

#include "store/store.h"

namespace kb::test {

MsgAnswer ScriptedPrompter::messageBox(QWidget*, const std::string& text, MsgIcon icon, MsgButtons buttons,
                                       MsgAnswer defaultAnswer, const std::string& title) {
    messages.push_back({text, icon, buttons, defaultAnswer, title});
    statusAtBox.push_back(window ? window->statusText() : std::string());
    if (buttons == MsgButtons::Ok)
        return MsgAnswer::Ok;
    if (answers.empty())
        return defaultYesNo;
    MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
}

std::optional<std::string> ScriptedPrompter::chooseOpenFile(QWidget*, const FileDialogSpec& spec) {
    fileDialogs.push_back(spec);
    if (fileAnswers.empty())
        return std::nullopt;
    auto a = fileAnswers.front();
    fileAnswers.pop_front();
    return a;
}

std::optional<std::string> ScriptedPrompter::chooseSaveFile(QWidget* parent, const FileDialogSpec& spec) {
    return chooseOpenFile(parent, spec);
}

std::optional<std::string> ScriptedPrompter::chooseFolder(QWidget*, const std::string& prompt) {
    folderPrompts.push_back(prompt);
    if (folderAnswers.empty())
        return std::nullopt;
    auto a = folderAnswers.front();
    folderAnswers.pop_front();
    return a;
}

std::vector<std::string> ScriptedPrompter::texts() const {
    std::vector<std::string> out;
    for (const auto& m : messages)
        out.push_back(m.text);
    return out;
}

WindowFixture::WindowFixture(std::string line, bool startNow) : dir("kbwin"), commandLine(std::move(line)) {
    Store::create(dir / "Kestrelbox.mdb");
    if (startNow)
        start();
}

WindowFixture::~WindowFixture() {
    app.reset();
    QApplication::processEvents();
}

int WindowFixture::start() {
    app = std::make_unique<ui::Application>(dir.path(), prompter, shell, commandLine, false, &clock);
    int status = app->Main();
    prompter.window = app->window();
    return status;
}

void WindowFixture::close() {
    window().close();
}

void WindowFixture::registerFiles(int set, const std::vector<std::string>& paths) {
    for (const auto& p : paths)
        store().insertCopyData(std::to_string(set), p);
    window().selectTab(window().currentTab());
}

std::string WindowFixture::ini() const {
    std::error_code ec;
    if (!std::filesystem::exists(dir / "Kestrelbox.ini", ec))
        return {};
    return readFile(dir / "Kestrelbox.ini");
}

} // namespace kb::test
