#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <QApplication>
#include <QDir>
#include <QStringList>

#include "ui/main/application.h"
#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"
#include "ui/main/qt_catalogue.h"
#include "ui/main/qt_shell.h"

namespace {
// Without a display the standard error belongs to the boxes: the toolkit's notes about the environment
// (the probe for a display, no runtime folder, no window manager hints) would only bury them.
void quietToolkit(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}
} // namespace

int main(int argc, char** argv) {
    kb::ui::catchTerminationSignals();
    // Under a file size limit ("ulimit -f") a write past it then fails with its own error, which the copy
    // reports as that file's failure, instead of the signal ending the process in the middle of a run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A scheduled run may have no display, or one it cannot reach: the toolkit then falls back to the
    // offscreen platform instead of aborting.
    bool choosePlatform = std::getenv("QT_QPA_PLATFORM") == nullptr;
    if (choosePlatform)
        setenv("QT_QPA_PLATFORM", std::getenv("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen",
               1);

    // In place before the toolkit starts, so that its probe for a display is quiet too; a program with a
    // display gets the toolkit's own handler back below.
    qInstallMessageHandler(quietToolkit);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    kb::ui::loadQtCatalogue(app);
    // Programs the shell starts for the user choose their own platform.
    if (choosePlatform)
        unsetenv("QT_QPA_PLATFORM");
    QString platform = QGuiApplication::platformName();
    bool headless = platform == "offscreen" || platform == "minimal";
    if (!headless)
        qInstallMessageHandler(nullptr);

    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    std::string commandLine = args.join(' ').toStdString();

    kb::ui::QtPrompter windowPrompter;
    kb::ui::HeadlessPrompter headlessPrompter;
    kb::ui::Prompter& prompter = headless ? static_cast<kb::ui::Prompter&>(headlessPrompter) : windowPrompter;
    kb::ui::QtShell shell;

    kb::ui::Application program(QCoreApplication::applicationDirPath().toStdString(), prompter, shell,
                                commandLine, headless);
    if (int status = program.Main())
        return status;
    kb::ui::closeOnTerminationSignals(program.window());
    // An automatic run may have closed the window before the loop starts.
    if (!program.window()->shutDown())
        app.exec();
    return program.exitStatus();
}
