#include "ui/main/qt_shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace kb::ui {

namespace {
constexpr int kNoAssociation = 31;
constexpr int kRefused = 5;
constexpr int kStarted = 42;
} // namespace

int QtShell::openFile(const std::string& path) {
    if (int code = shellPrecheck(path))
        return code;
    QString file = QString::fromStdString(path);
    if (!QFileInfo(file).isReadable())
        return kRefused;
    // xdg-open answers only after the handler has been looked up; without it the desktop has no association.
    QString opener = QStandardPaths::findExecutable("xdg-open");
    if (opener.isEmpty())
        return kNoAssociation;
    if (!QProcess::startDetached(opener, {file}))
        return kRefused;
    return kStarted;
}

bool QtShell::openFolder(const std::string& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

bool QtShell::openUrl(const std::string& url) {
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

} // namespace kb::ui
