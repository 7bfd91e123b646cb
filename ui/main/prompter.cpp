#include "ui/main/prompter.h"

#include <cstdio>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include "platform/stop_request.h"

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

std::optional<std::string> runFileDialog(QWidget* parent, const FileDialogSpec& spec, bool save) {
    QFileDialog dialog(parent, q(spec.title));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(filterText(spec));
    if (!spec.defaultSuffix.empty())
        dialog.setDefaultSuffix(q(spec.defaultSuffix));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !spec.confirmOverwrite);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
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
    QMessageBox box(qicon, q(title), q(displayText(text)), QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    if (buttons == MsgButtons::Ok) {
        box.setDefaultButton(box.addButton(QMessageBox::Ok));
        box.exec();
        return MsgAnswer::Ok;
    }
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    QPushButton* no = box.addButton(QMessageBox::No);
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
    QString dir = QFileDialog::getExistingDirectory(parent, q(prompt), QString(), QFileDialog::ShowDirsOnly);
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
