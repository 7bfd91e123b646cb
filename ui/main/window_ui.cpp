#include "ui/main/window_ui.h"

#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"

namespace kb::ui {

MsgAnswer WindowUi::messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons,
                               MsgAnswer defaultAnswer, const std::string& title) {
    // A box may stay open for long: the run's held history rows are committed before it.
    if (m_window) {
        m_window->commitHeldHistory();
        m_window->flushStatus();
    }
    return m_prompter.messageBox(m_window, text, icon, buttons, defaultAnswer, title);
}

std::optional<std::string> WindowUi::chooseOpenFile(const FileDialogSpec& spec) {
    return m_prompter.chooseOpenFile(m_window, spec);
}

std::optional<std::string> WindowUi::chooseSaveFile(const FileDialogSpec& spec) {
    return m_prompter.chooseSaveFile(m_window, spec);
}

std::optional<std::string> WindowUi::chooseFolder(const std::string& prompt) {
    return m_prompter.chooseFolder(m_window, prompt);
}

std::string WindowUi::statusText() const {
    return m_window ? m_window->statusText() : std::string();
}

void WindowUi::setStatusText(const std::string& text) {
    if (m_window)
        m_window->setStatusText(text);
}

void WindowUi::repaintWindow(bool textNow) {
    if (m_window)
        m_window->repaintWindow(textNow);
}

void WindowUi::setWaitCursor(bool wait) {
    if (m_window)
        m_window->setWaitCursor(wait);
}

void WindowUi::setProgress(int done, int total) {
    if (m_window)
        m_window->setProgress(done, total);
}

bool WindowUi::changeUse(bool inUse) {
    return m_window && m_window->Fun_ChangeUse(inUse);
}

bool WindowUi::listSetFocus(const std::string& path) {
    return m_window && m_window->Fun_ListSetFocus(path);
}

void WindowUi::focusDestinationButton() {
    if (m_window)
        m_window->focusDestinationButton();
}

int WindowUi::currentTab() const {
    return m_window ? m_window->currentTab() : 1;
}

std::string WindowUi::tabCaption(int tab) const {
    return m_window ? m_window->tabCaption(tab) : std::string();
}

bool WindowUi::logRefresh() {
    return m_window && m_window->Fun_LogRefresh();
}

void WindowUi::logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore) {
    if (m_window)
        m_window->logRowRecorded(row, trimmedBefore);
}

} // namespace kb::ui
