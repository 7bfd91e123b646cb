#pragma once

#include <optional>
#include <string>

#include "app/user_interface.h"

class QWidget;

namespace kb::ui {

// The modal boxes and choosers of the windows. The real one shows Qt dialogs; window tests script it; a run
// without a display answers at once and writes each box to standard error, since nobody could click it.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual MsgAnswer messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                                 MsgAnswer defaultAnswer, const std::string& title) = 0;
    virtual std::optional<std::string> chooseOpenFile(QWidget* parent, const FileDialogSpec& spec) = 0;
    virtual std::optional<std::string> chooseSaveFile(QWidget* parent, const FileDialogSpec& spec) = 0;
    virtual std::optional<std::string> chooseFolder(QWidget* parent, const std::string& prompt) = 0;
};

class QtPrompter final : public Prompter {
public:
    MsgAnswer messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer, const std::string& title) override;
    std::optional<std::string> chooseOpenFile(QWidget* parent, const FileDialogSpec& spec) override;
    std::optional<std::string> chooseSaveFile(QWidget* parent, const FileDialogSpec& spec) override;
    std::optional<std::string> chooseFolder(QWidget* parent, const std::string& prompt) override;
};

// Without a display: every box becomes one block on standard error and is answered OK, or No for a question,
// so that no guess ever deletes or overwrites anything. Choosers are cancelled.
class HeadlessPrompter final : public Prompter {
public:
    MsgAnswer messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer, const std::string& title) override;
    std::optional<std::string> chooseOpenFile(QWidget*, const FileDialogSpec&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseSaveFile(QWidget*, const FileDialogSpec&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseFolder(QWidget*, const std::string&) override { return std::nullopt; }
};

// The word a headless run writes for an icon: 警告, 質問, 情報, エラー.
std::string iconWord(MsgIcon icon);
// Message lines are joined with CR LF; a box shows each as a line break.
std::string displayText(const std::string& text);

} // namespace kb::ui
