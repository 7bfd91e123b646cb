#include "ui/main/application.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <sys/socket.h>
#include <unistd.h>

#include "app/options.h"
#include "platform/stop_request.h"
#include "store/mdb_open.h"
#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"

namespace kb::ui {

Application::Application(std::filesystem::path programFolder, Prompter& prompter, Shell& shell,
                         std::string commandLine, bool headless, const Clock* clock)
    : m_folder(std::move(programFolder)), m_ui(prompter), m_clock(clock ? *clock : m_systemClock),
      m_log(m_folder.errorLog(), m_clock, m_ui), m_reporter(m_ui, m_log),
      m_ini(m_folder.settings(), m_files), m_services{m_folder, m_ui,  m_reporter, m_clock,
                                                      m_files,  m_ini, m_state,    shell},
      m_prompter(prompter), m_commandLine(std::move(commandLine)), m_headless(headless),
      m_lock(m_folder.dir()) {}

Application::~Application() {
    m_ui.attach(nullptr);
    m_window.reset();
}

int Application::Main() {
    // From here a termination signal answers a start-up box as OK does, and the start then ends.
    watchTerminationSignals();
    if (!m_lock.acquire()) {
        m_ui.messageBox("２重起動はできません", MsgIcon::Exclamation, MsgButtons::Ok, MsgAnswer::Ok,
                        kAppTitle);
        return kExitStartFailed;
    }
    if (!Fun_MDBOpen(m_state, m_reporter, m_folder.store()))
        return kExitStartFailed;
    readOptions(m_ini, m_state);
    m_window = std::make_unique<frmMain>(m_services, m_prompter, m_commandLine, m_headless);
    m_ui.attach(m_window.get());
    if (!m_window->Form_Load()) {
        m_ui.attach(nullptr);
        m_window.reset();
        m_state.MdbDatabase.reset();
        return kExitStartFailed;
    }
    m_window->show();
    return kExitNormal;
}

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const int saved = errno;
    requestStop();
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
    errno = saved;
}

bool automaticRun(const std::string& commandLine) {
    if (commandLine.size() < 5)
        return false;
    std::string head = commandLine.substr(0, 5);
    for (char& c : head)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return head == "/AUTO";
}

// Acts on a termination signal from the event loop. Every open box and dialog is answered at once (No for a
// question, as a box closed without a button is), so a run waiting for an answer goes on to its next file
// boundary, where it stops. The window closes, which runs the shutdown once, only when no box is open and no
// run is busy: from the main loop, never from a loop nested in a box.
class TerminationWatcher final : public QObject {
public:
    TerminationWatcher() : QObject(QCoreApplication::instance()) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char buf[64];
            while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
            }
            act();
        });
        m_retry.setInterval(10);
        connect(&m_retry, &QTimer::timeout, this, &TerminationWatcher::act);
    }

    void setWindow(frmMain* window) {
        m_window = window;
        if (stopRequested())
            m_retry.start();
    }

private:
    void act() {
        if (!stopRequested()) {
            m_retry.stop();
            return;
        }
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
                dialog->reject();
        m_retry.start();
        if (!m_window || QApplication::activeModalWidget() || m_window->busy())
            return;
        m_retry.stop();
        if (!m_window->shutDown())
            m_window->close();
    }

    QPointer<frmMain> m_window;
    QTimer m_retry;
};

// Owned by the application object, which may go first.
QPointer<TerminationWatcher> g_watcher;

} // namespace

int Application::exitStatus() const {
    if (!m_window)
        return kExitNormal;
    const frmMain::AutoRun run = m_window->autoRun();
    if (run == frmMain::AutoRun::Stopped && m_headless)
        return kExitRunStopped;
    // An automatic run that a termination signal ended before it finished did not back up all it was asked
    // to.
    if (stopRequested() && run != frmMain::AutoRun::Completed && automaticRun(m_commandLine))
        return kExitRunStopped;
    // Every set went to its end, but a scheduler must hear of a file recorded ×.
    if (run == frmMain::AutoRun::Completed && m_state.FailedFiles > 0)
        return kExitFilesFailed;
    return kExitNormal;
}

void catchTerminationSignals() {
    if (g_signalPipe[0] >= 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return;
    struct sigaction sa = {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &sa, nullptr);
}

void watchTerminationSignals() {
    if (g_signalPipe[0] >= 0 && !g_watcher && QCoreApplication::instance())
        g_watcher = new TerminationWatcher;
}

void closeOnTerminationSignals(frmMain* window) {
    watchTerminationSignals();
    if (g_watcher)
        g_watcher->setWindow(window);
}

} // namespace kb::ui
