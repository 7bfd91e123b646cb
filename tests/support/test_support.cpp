#include "test_support.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kb::test {

MsgAnswer ScriptedUi::messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons,
                                 MsgAnswer defaultAnswer, const std::string& title) {
    messages.push_back({text, icon, buttons, defaultAnswer, title});
    if (buttons == MsgButtons::Ok)
        return MsgAnswer::Ok;
    if (answers.empty())
        return defaultYesNo;
    MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
}

std::optional<std::string> ScriptedUi::chooseOpenFile(const FileDialogSpec& spec) {
    fileDialogs.push_back(spec);
    if (fileAnswers.empty())
        return std::nullopt;
    auto a = fileAnswers.front();
    fileAnswers.pop_front();
    return a;
}

std::optional<std::string> ScriptedUi::chooseSaveFile(const FileDialogSpec& spec) {
    return chooseOpenFile(spec);
}

std::optional<std::string> ScriptedUi::chooseFolder(const std::string& prompt) {
    folderPrompts.push_back(prompt);
    if (folderAnswers.empty())
        return std::nullopt;
    auto a = folderAnswers.front();
    folderAnswers.pop_front();
    return a;
}

void ScriptedUi::setStatusText(const std::string& text) {
    status = text;
    statusHistory.push_back(text);
}

bool ScriptedUi::changeUse(bool use) {
    inUse = use;
    useHistory.push_back(use);
    return true;
}

bool ScriptedUi::listSetFocus(const std::string& path) {
    focusedPaths.push_back(path);
    return true;
}

std::string ScriptedUi::tabCaption(int t) const {
    auto it = captions.find(t);
    return it == captions.end() ? "設定" + std::to_string(t) + " 【標準】" : it->second;
}

bool ScriptedUi::logRefresh() {
    ++refreshes;
    return true;
}

void ScriptedUi::logRowRecorded(const CopyLogRow&, const std::string&) {
    ++recordedRows;
}

std::vector<std::string> ScriptedUi::texts() const {
    std::vector<std::string> out;
    for (const auto& m : messages)
        out.push_back(m.text);
    return out;
}

std::vector<std::string> ScriptedUi::textsWithIcon(MsgIcon icon) const {
    std::vector<std::string> out;
    for (const auto& m : messages)
        if (m.icon == icon)
            out.push_back(m.text);
    return out;
}

int RecordingShell::openFile(const std::string& path) {
    if (int code = shellPrecheck(path))
        return code;
    openedFiles.push_back(path);
    return codeForExisting;
}

bool RecordingShell::openFolder(const std::string& folder) {
    openedFolders.push_back(folder);
    return folderStarts;
}

bool RecordingShell::openUrl(const std::string& url) {
    openedUrls.push_back(url);
    return true;
}

std::error_code FailingFileSystem::copyContent(int fromFd, int toFd, std::uint64_t) {
    ++copies;
    std::uint64_t done = 0;
    char buf[65536];
    while (done < failAfter) {
        ssize_t n =
            ::read(fromFd, buf, static_cast<size_t>(std::min<std::uint64_t>(sizeof buf, failAfter - done)));
        if (n <= 0)
            break;
        if (::write(toFd, buf, static_cast<size_t>(n)) != n)
            return {errno, std::system_category()};
        done += static_cast<std::uint64_t>(n);
    }
    return std::make_error_code(error);
}

TempDir::TempDir(const std::string& tag) {
    static std::atomic<int> counter{0};
    std::string name = tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    m_path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Read-only files and folders made by tests must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ::chmod(it->path().c_str(), it->is_directory(ec) ? 0755 : 0644);
    ::chmod(m_path.c_str(), 0755);
    std::filesystem::remove_all(m_path, ec);
}

void writeFile(const std::filesystem::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void setMtime(const std::filesystem::path& p, std::int64_t seconds) {
    struct timeval tv[2];
    tv[0].tv_sec = static_cast<time_t>(seconds);
    tv[0].tv_usec = 0;
    tv[1] = tv[0];
    ::utimes(p.c_str(), tv);
}

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::array<char, 4096> buf{};
    std::string out;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    int status = ::pclose(pipe);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace kb::test
