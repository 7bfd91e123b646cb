#include "ui/main/prompter.h"

#include <cstdio>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include "platform/stop_request.h"
#include "ui/main/columns_box.h"

namespace kb::ui {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QString filterText(const FileDialogSpec& spec) {
    QStringList parts;
    for (const auto& f : spec.filters)
        // Qt reads "*.*" literally (names with a dot only); all files is "*" there.
        parts << q(f.label + " (" + (f.pattern == "*.*" ? std::string("*") : f.pattern) + ")");
    return parts.join(";;");
}

// Qt's own dialogs, not the desktop's: those speak the desktop's language, this program Japanese everywhere.
constexpr QFileDialog::Option kOwnDialog = QFileDialog::DontUseNativeDialog;

std::optional<std::string> runFileDialog(QWidget* parent, const FileDialogSpec& spec, bool save) {
    // Where the last one ended, at first the home folder; never the working folder, which may be the
    // program folder.
    static QString lastFolder = QDir::homePath();
    QFileDialog dialog(parent, q(spec.title), lastFolder);
    dialog.setOption(kOwnDialog, true);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(filterText(spec));
    if (!spec.defaultSuffix.empty())
        dialog.setDefaultSuffix(q(spec.defaultSuffix));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !spec.confirmOverwrite);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    lastFolder = dialog.directory().absolutePath();
    if (!chosen)
        return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

} // namespace

std::string iconWord(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Exclamation:
        return "警告";
    case MsgIcon::Question:
        return "質問";
    case MsgIcon::Information:
        return "情報";
    case MsgIcon::Critical:
        return "エラー";
    }
    return "";
}

std::string displayText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

MsgAnswer QtPrompter::messageBox(QWidget* parent, const std::string& text, MsgIcon icon, MsgButtons buttons,
                                 MsgAnswer defaultAnswer, const std::string& title) {
    // After a termination signal nobody waits for an answer: the box goes where a run without a display puts
    // it, and the process goes on to its end.
    if (stopRequested())
        return HeadlessPrompter().messageBox(parent, text, icon, buttons, defaultAnswer, title);
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
    case MsgIcon::Exclamation:
        qicon = QMessageBox::Warning;
        break;
    case MsgIcon::Question:
        qicon = QMessageBox::Question;
        break;
    case MsgIcon::Information:
        qicon = QMessageBox::Information;
        break;
    case MsgIcon::Critical:
        qicon = QMessageBox::Critical;
        break;
    }
    if (buttons == MsgButtons::Ok && isColumnsText(q(text))) {
        showColumnsBox(parent, q(title), q(displayText(text)), qicon);
        return MsgAnswer::Ok;
    }
    QMessageBox box(qicon, q(title), q(displayText(text)), QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    // The texts of Qt's Japanese catalogue, also when it is not installed.
    if (buttons == MsgButtons::Ok) {
        box.setDefaultButton(box.addButton(QMessageBox::Ok));
        box.exec();
        return MsgAnswer::Ok;
    }
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    QPushButton* no = box.addButton(QMessageBox::No);
    yes->setText("はい(&Y)");
    no->setText("いいえ(&N)");
    box.setDefaultButton(defaultAnswer == MsgAnswer::No ? no : yes);
    box.setEscapeButton(no);
    box.exec();
    // Only a click on Yes is a Yes: a box closed any other way (Escape, the window manager, a signal) keeps
    // everything as it is.
    return box.clickedButton() == yes ? MsgAnswer::Yes : MsgAnswer::No;
}

std::optional<std::string> QtPrompter::chooseOpenFile(QWidget* parent, const FileDialogSpec& spec) {
    if (stopRequested())
        return std::nullopt;
    return runFileDialog(parent, spec, false);
}

std::optional<std::string> QtPrompter::chooseSaveFile(QWidget* parent, const FileDialogSpec& spec) {
    if (stopRequested())
        return std::nullopt;
    return runFileDialog(parent, spec, true);
}

std::optional<std::string> QtPrompter::chooseFolder(QWidget* parent, const std::string& prompt) {
    if (stopRequested())
        return std::nullopt;
    // At the home folder: the working folder may be the program folder, which Enter would pick.
    QString dir = QFileDialog::getExistingDirectory(parent, q(prompt), QDir::homePath(),
                                                    QFileDialog::ShowDirsOnly | kOwnDialog);
    if (dir.isEmpty())
        return std::nullopt;
    return dir.toStdString();
}

MsgAnswer HeadlessPrompter::messageBox(QWidget*, const std::string& text, MsgIcon icon, MsgButtons buttons,
                                       MsgAnswer, const std::string& title) {
    MsgAnswer answer = buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
    std::string block = "[" + iconWord(icon) + "] " + title + "\n" + displayText(text) + "\n";
    if (buttons == MsgButtons::YesNo)
        block += "(いいえ)\n";
    std::fputs(block.c_str(), stderr);
    std::fflush(stderr);
    return answer;
}

} // namespace kb::ui
