#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "app/clock.h"
#include "app/error_log.h"
#include "app/program_folder.h"
#include "app/reporter.h"
#include "app/settings.h"
#include "backup/services.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "store/shared_state.h"
#include "ui/main/window_ui.h"

namespace kb::ui {

class frmMain;
class Prompter;

// Exit statuses of the process.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitRunStopped = 1;
inline constexpr int kExitStartFailed = 2;
inline constexpr int kExitFilesFailed = 3;

// The start-up routine and everything it builds: the services of the core on the program folder, the store
// connection and the main window. The program runs one; window tests run one per case.
class Application {
public:
    Application(std::filesystem::path programFolder, Prompter& prompter, Shell& shell,
                std::string commandLine, bool headless, const Clock* clock = nullptr);
    ~Application();

    // Main: up to a shown main window. kExitNormal when the window is up and the event loop should run,
    // otherwise the status the process ends with.
    int Main();
    // The status after the window has closed.
    int exitStatus() const;

    frmMain* window() { return m_window.get(); }
    Services& services() { return m_services; }
    SharedState& state() { return m_state; }

private:
    ProgramFolder m_folder;
    WindowUi m_ui;
    SystemClock m_systemClock;
    const Clock& m_clock;
    ErrorLog m_log;
    Reporter m_reporter;
    FileSystem m_files;
    IniFile m_ini;
    SharedState m_state;
    Services m_services;
    Prompter& m_prompter;
    std::string m_commandLine;
    bool m_headless;
    InstanceLock m_lock;
    std::unique_ptr<frmMain> m_window;
};

// SIGTERM, SIGINT and SIGHUP: caught from the first moment of the process (catchTerminationSignals), they
// ask the core to stop (platform/stop_request.h) and, from the event loop (watchTerminationSignals), answer
// any open box and close the main window as its close box does once no run is busy and no box is open.
void catchTerminationSignals();
void watchTerminationSignals();
void closeOnTerminationSignals(frmMain* window);

} // namespace kb::ui
