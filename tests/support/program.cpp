#include "program.h"

#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>

namespace kb::test {

Program::Program(double seconds) : dir("kbprogram"), m_output("kbstderr"), m_seconds(seconds) {
    for (const char* name : {"Kestrelbox", "Kestrelbox.mdb", "Readme.txt"})
        fs::copy_file(fs::path(KB_PROGRAM_DIR) / name, dir / name);
}

Program::~Program() {
    while (!m_running.empty())
        kill9(m_running.back());
}

pid_t Program::launch(const std::vector<std::string>& args, const LaunchOptions& options) {
    std::vector<std::string> argv = {(dir / "Kestrelbox").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const std::string errPath = (m_output / "stderr.txt").string();

    pid_t pid = ::fork();
    if (pid == 0) {
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(err, 2);
        // Lives until exec: putenv keeps the strings themselves.
        std::vector<std::string> bareEnv = {"PATH=/usr/bin:/bin"};
        if (options.bare) {
            // The sanitizers' settings of a sanitized test run are the test's, not the environment's.
            for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
                if (const char* value = std::getenv(name))
                    bareEnv.push_back(std::string(name) + "=" + value);
            ::clearenv();
            for (std::string& e : bareEnv)
                ::putenv(e.data());
        } else if (options.display.empty()) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        } else {
            ::unsetenv("QT_QPA_PLATFORM");
            ::unsetenv("WAYLAND_DISPLAY");
            ::setenv("DISPLAY", options.display.c_str(), 1);
        }
        if (options.fileSize) {
            struct rlimit rl = {*options.fileSize, *options.fileSize};
            ::setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (options.user) {
            struct passwd* pw = ::getpwuid(*options.user);
            gid_t gid = pw ? pw->pw_gid : *options.user;
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(*options.user) != 0)
                ::_exit(126);
        }
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    m_running.push_back(pid);
    return pid;
}

int Program::wait(pid_t pid) {
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, m_seconds)) {
        kill9(pid);
        return kKilled;
    }
    std::erase(m_running, pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
}

void Program::kill9(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    std::erase(m_running, pid);
}

void Program::registerSet(int set, const fs::path& destination, const std::vector<fs::path>& files,
                          const std::string& method) {
    fs::create_directories(destination);
    auto s = store();
    const std::string tab = std::to_string(set);
    s->updateFolderPath(tab, destination.string());
    s->updateTab(tab, "設定" + tab, method);
    for (const fs::path& f : files)
        s->insertCopyData(tab, f.string());
}

} // namespace kb::test
