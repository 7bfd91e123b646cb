#include "ui/main/application.h"

#include <csignal>
#include <QSocketNotifier>
#include <sys/socket.h>
#include <unistd.h>

#include "app/options.h"
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

int Application::exitStatus() const {
    if (m_window && m_window->autoRun() == frmMain::AutoRun::Stopped && m_headless)
        return kExitRunStopped;
    // Every set went to its end, but a scheduler must hear of a file recorded ×.
    if (m_window && m_window->autoRun() == frmMain::AutoRun::Completed && m_state.FailedFiles > 0)
        return kExitFilesFailed;
    return kExitNormal;
}

namespace {
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}
} // namespace

void catchTerminationSignals() {
    if (g_signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    struct sigaction sa = {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void closeOnTerminationSignals(QWidget* window) {
    catchTerminationSignals();
    if (g_signalPipe[0] < 0)
        return;
    // A signal that came during the start is waiting in the pipe and closes the window once the loop runs.
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], &c, 1);
        window->close();
    });
}

} // namespace kb::ui
