#pragma once

#include "app/user_interface.h"

namespace kb::ui {

class frmMain;
class Prompter;

// The core's user interface over the main window. Before the window exists (the instance check, the store
// open) boxes still appear, without an owner.
class WindowUi final : public UserInterface {
public:
    explicit WindowUi(Prompter& prompter) : m_prompter(prompter) {}
    void attach(frmMain* window) { m_window = window; }

    MsgAnswer messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer defaultAnswer,
                         const std::string& title) override;
    std::optional<std::string> chooseOpenFile(const FileDialogSpec& spec) override;
    std::optional<std::string> chooseSaveFile(const FileDialogSpec& spec) override;
    std::optional<std::string> chooseFolder(const std::string& prompt) override;
    std::string statusText() const override;
    void setStatusText(const std::string& text) override;
    void repaintWindow(bool textNow) override;
    void setWaitCursor(bool wait) override;
    void setProgress(int done, int total) override;
    bool changeUse(bool inUse) override;
    bool listSetFocus(const std::string& path) override;
    void focusDestinationButton() override;
    int currentTab() const override;
    std::string tabCaption(int tab) const override;
    bool logRefresh() override;
    void logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore) override;

private:
    Prompter& m_prompter;
    frmMain* m_window = nullptr;
};

} // namespace kb::ui
