#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/error_log.h"
#include "app/program_folder.h"
#include "app/reporter.h"
#include "app/services.h"
#include "app/settings.h"
#include "app/shared_state.h"
#include "app/user_interface.h"
#include "platform/file_system.h"
#include "platform/shell.h"
#include "store/store.h"

namespace kb::test {

struct ShownMessage {
    std::string text;
    MsgIcon icon;
    MsgButtons buttons;
    MsgAnswer defaultAnswer;
    std::string title;
};

// A user interface that answers from a script and keeps every text shown.
class ScriptedUi : public UserInterface {
public:
    MsgAnswer messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer defaultAnswer,
                         const std::string& title) override;
    std::optional<std::string> chooseOpenFile(const FileDialogSpec& spec) override;
    std::optional<std::string> chooseSaveFile(const FileDialogSpec& spec) override;
    std::optional<std::string> chooseFolder(const std::string& prompt) override;
    std::string statusText() const override { return status; }
    void setStatusText(const std::string& text) override;
    void repaintWindow() override { ++repaints; }
    void setWaitCursor(bool wait) override { waitCursor = wait; }
    void setProgress(int done, int total) override { progress.emplace_back(done, total); }
    bool changeUse(bool inUse) override;
    bool listSetFocus(const std::string& path) override;
    void focusDestinationButton() override { ++destinationFocus; }
    int currentTab() const override { return tab; }
    std::string tabCaption(int t) const override;
    bool logRefresh() override;
    void logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore) override;

    // Answers for Yes/No questions, in order; when empty, `defaultYesNo` answers.
    std::deque<MsgAnswer> answers;
    MsgAnswer defaultYesNo = MsgAnswer::Yes;
    std::deque<std::optional<std::string>> fileAnswers;
    std::deque<std::optional<std::string>> folderAnswers;

    std::vector<ShownMessage> messages;
    std::vector<FileDialogSpec> fileDialogs;
    std::vector<std::string> folderPrompts;
    std::vector<std::string> statusHistory;
    std::vector<bool> useHistory;
    std::vector<std::string> focusedPaths;
    std::vector<std::pair<int, int>> progress;
    std::string status;
    bool waitCursor = false;
    bool inUse = true;
    int repaints = 0;
    int destinationFocus = 0;
    int refreshes = 0;
    int recordedRows = 0;
    int tab = 1;
    std::map<int, std::string> captions;

    std::vector<std::string> texts() const;
    std::vector<std::string> textsWithIcon(MsgIcon icon) const;
};

class FixedClock : public Clock {
public:
    explicit FixedClock(LocalTime t = {2006, 1, 1, 12, 30, 5}) : time(t) {}
    LocalTime now() const override { return time; }
    LocalTime time;
};

class RecordingShell : public Shell {
public:
    int openFile(const std::string& path) override;
    bool openFolder(const std::string& folder) override;
    bool openUrl(const std::string& url) override;
    std::vector<std::string> openedFiles, openedFolders, openedUrls;
    // The code returned for an existing file (the real layer would launch its program).
    int codeForExisting = 42;
    bool folderStarts = true;
};

// The real file layer whose content copy fails after `failAfter` bytes with `error` (a full disk by default).
class FailingFileSystem : public FileSystem {
public:
    explicit FailingFileSystem(std::uint64_t failAfter = 0, std::errc error = std::errc::no_space_on_device)
        : failAfter(failAfter), error(error) {}
    std::uint64_t failAfter;
    std::errc error;
    int copies = 0;

protected:
    std::error_code copyContent(int fromFd, int toFd, std::uint64_t size) override;
};

// A fresh folder under the system temp folder, removed (with everything in it) at the end.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "kb");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// A temporary program folder with a store (made as the build makes it), and every service of the core
// built on it, the scripted user interface among them.
class CoreFixture {
public:
    explicit CoreFixture(bool withStore = true, FileSystem* files = nullptr);
    ~CoreFixture();

    // Opens the store into the shared state (as start-up does).
    void openStore();
    Store& store() { return *state.MdbDatabase; }

    TempDir dir;
    ProgramFolder folder;
    ScriptedUi ui;
    FixedClock clock;
    FileSystem realFiles;
    FileSystem& files;
    RecordingShell shell;
    IniFile ini;
    ErrorLog errorLog;
    Reporter reporter;
    SharedState state;
    Services services;
};

// Helpers for files.
void writeFile(const std::filesystem::path& p, const std::string& content);
std::string readFile(const std::filesystem::path& p);
void setMtime(const std::filesystem::path& p, std::int64_t secondsSinceEpoch);
// Runs a shell command, returns its exit status and captured standard output.
int runCommand(const std::string& command, std::string* output = nullptr);
std::string shellQuote(const std::string& s);

} // namespace kb::test
