#pragma once

// What nearly every test uses, so that the tests name only the parts of the program they test.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/clock.h"
#include "app/error_log.h"
#include "app/program_folder.h"
#include "app/reporter.h"
#include "app/settings.h"
#include "app/user_interface.h"
#include "backup/services.h"
#include "platform/cp932.h"
#include "platform/file_system.h"
#include "platform/shell.h"
#include "store/shared_state.h"
#include "store/store.h"

namespace fs = std::filesystem;

namespace kb::test {

using Strings = std::vector<std::string>;

struct ShownMessage {
    std::string text;
    MsgIcon icon;
    MsgButtons buttons;
    MsgAnswer defaultAnswer;
};

// A user interface that answers from a script and keeps every text shown.
class ScriptedUi : public UserInterface {
public:
    MsgAnswer messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer defaultAnswer,
                         const std::string& title) override;
    std::optional<std::string> chooseOpenFile(const FileDialogSpec& spec) override {
        fileDialogs.push_back(spec);
        return next(fileAnswers);
    }
    std::optional<std::string> chooseSaveFile(const FileDialogSpec& spec) override {
        return chooseOpenFile(spec);
    }
    std::optional<std::string> chooseFolder(const std::string&) override { return next(folderAnswers); }
    std::string statusText() const override { return status; }
    void setStatusText(const std::string& text) override { statusHistory.push_back(status = text); }
    void repaintWindow(bool) override {}
    void setWaitCursor(bool wait) override { waitCursor = wait; }
    void setProgress(int done, int total) override { progress.emplace_back(done, total); }
    bool changeUse(bool use) override {
        useHistory.push_back(use);
        return true;
    }
    bool listSetFocus(const std::string& path) override {
        focusedPaths.push_back(path);
        return true;
    }
    void focusDestinationButton() override { ++destinationFocus; }
    int currentTab() const override { return tab; }
    std::string tabCaption(int t) const override { return "設定" + std::to_string(t) + " 【標準】"; }
    bool logRefresh() override {
        ++refreshes;
        return true;
    }
    void logRowRecorded(const CopyLogRow&, const std::string& trimmedBefore) override {
        recorded.push_back(trimmedBefore);
    }

    // Answers for Yes/No questions, in order; when empty, Yes.
    std::deque<MsgAnswer> answers;
    std::deque<std::optional<std::string>> fileAnswers, folderAnswers;

    std::vector<ShownMessage> messages;
    std::vector<FileDialogSpec> fileDialogs;
    std::vector<std::string> statusHistory, focusedPaths;
    std::vector<bool> useHistory;
    std::vector<std::pair<int, int>> progress;
    std::string status;
    bool waitCursor = false;
    int destinationFocus = 0, refreshes = 0;
    std::vector<std::string> recorded; // the trim point passed with each recorded history row
    int tab = 1;

    // The texts shown, or those shown with `icon`.
    std::vector<std::string> texts(std::optional<MsgIcon> icon = std::nullopt) const {
        std::vector<std::string> out;
        for (const auto& m : messages)
            if (!icon || m.icon == *icon)
                out.push_back(m.text);
        return out;
    }

private:
    template <class T> static T next(std::deque<T>& answers, T otherwise = {}) {
        if (answers.empty())
            return otherwise;
        T a = answers.front();
        answers.pop_front();
        return a;
    }
};

class FixedClock : public Clock {
public:
    explicit FixedClock(LocalTime t = {2006, 1, 1, 12, 30, 5}) : time(t) {}
    LocalTime now() const override { return time; }
    LocalTime time;
};

class RecordingShell : public Shell {
public:
    int openFile(const std::string& path) override {
        if (int code = shellPrecheck(path))
            return code;
        openedFiles.push_back(path);
        return codeForExisting;
    }
    bool openFolder(const std::string& folder) override {
        openedFolders.push_back(folder);
        return folderStarts;
    }
    bool openUrl(const std::string&) override { return true; }
    std::vector<std::string> openedFiles, openedFolders;
    // The code returned for an existing file (the real layer would launch its program).
    int codeForExisting = 42;
    bool folderStarts = true;
};

// The real file layer with faults put in: `action` just before content copy number `before` (counted from 1),
// EIO from copy number `failCopy`, and EIO from every step of the kind `failAt` (Write: every copy too).
class FaultyFiles : public FileSystem {
public:
    enum class Step { None, Write, Sync, Rename };
    Step failAt = Step::None;
    int before = 0, failCopy = 0, copies = 0;
    std::function<void()> action;

    std::error_code write(int fd, std::string_view data, off_t offset) override {
        return failAt == Step::Write ? eio() : FileSystem::write(fd, data, offset);
    }
    std::error_code syncFile(int fd) override {
        return failAt == Step::Sync ? eio() : FileSystem::syncFile(fd);
    }
    std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
        return failAt == Step::Rename ? eio() : FileSystem::rename(from, to);
    }

protected:
    std::error_code copyContent(int fromFd, int toFd, std::uint64_t size, bool holes) override {
        if (++copies == before && action)
            action();
        if (copies == failCopy || failAt == Step::Write)
            return eio();
        return FileSystem::copyContent(fromFd, toFd, size, holes);
    }

private:
    static std::error_code eio() { return {EIO, std::generic_category()}; }
};

// Whether the error log `log` holds `text` (given in UTF-8).
bool logHolds(const std::filesystem::path& log, const std::string& text);
// Every field of a history row as one text, "<null>" for a missing one.
std::string rowText(const CopyLogRow& r);
// Every history row of a store, in the store's order.
std::vector<CopyLogRow> historyRows(Store& store);
// Runs `sql` on the store's own connection; the engine's result code.
int exec(Store& store, const std::string& sql);
// The engine's own shell on `file`: its output, with the store's key and page size unless `key` is given
// (empty: none).
std::string sqlcipher(const std::filesystem::path& file, const std::string& sql,
                      const std::string& key = "pinwheel");
// Statements of the connection that are still running (not finished or reset).
int busyStatements(sqlite3* db);

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

    Store& store() { return *state.MdbDatabase; }
    std::vector<CopyLogRow> history() { return historyRows(store()); }
    // The result marks of the history rows, in the store's order.
    std::vector<std::string> marks();
    // Writes `relative` below the folder "src" and registers it in set 1.
    std::filesystem::path addFile(const std::string& relative, const std::string& content = "data");
    // An automatic run of the current set.
    bool backUp();
    bool logged(const std::string& text) const { return logHolds(folder.errorLog(), text); }

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

// The report of a file that could not be copied, for `reason` or for the system's text of `err`.
std::string copyError(const std::filesystem::path& source, const std::string& reason);
std::string copyError(const std::filesystem::path& source, int err);

// Helpers for files.
void writeFile(const std::filesystem::path& p, const std::string& content);
std::string readFile(const std::filesystem::path& p);
void setMtime(const std::filesystem::path& p, std::int64_t secondsSinceEpoch, long nanoseconds = 0);
void makeSparse(const std::filesystem::path& p, std::uint64_t size);
// `s` `n` times over.
std::string repeated(const std::string& s, std::size_t n);
// Deterministic noise: `n` bytes from `seed`.
std::string randomBytes(std::size_t n, std::uint32_t seed);
// Names below `dir` relative to it, sorted; only its own entries unless `recursive`.
std::vector<std::string> listFolder(const std::filesystem::path& dir, bool recursive = false);

// The member names bsdtar lists for an archive, in the archive's order, one per line.
std::string archiveListing(const std::filesystem::path& archive);
// bsdtar lists each name once, and bsdtar, lhasa and 7-Zip each give back exactly `members` (name to bytes,
// in any order), extracting below `work`. 7-Zip takes the byte 0x5C inside a double-byte name for a folder
// separator, so its names are compared only where they are plain ASCII.
void expectExtractorsAgree(const std::filesystem::path& archive,
                           const std::map<std::string, std::string>& members,
                           const std::filesystem::path& work);
// Runs `body` in a forked child that exits with what it returns; the child's wait status.
int statusOfChild(const std::function<int()>& body);
// Polls `done` every few milliseconds; false when it did not hold within `seconds`.
bool waitFor(const std::function<bool()>& done, double seconds);
// Runs a shell command, returns its exit status and captured standard output.
int runCommand(const std::string& command, std::string* output = nullptr);
std::string shellQuote(const std::string& s);

} // namespace kb::test
