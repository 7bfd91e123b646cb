#pragma once

// What the window benchmarks share: a scratch folder, a program folder with a seeded store, and the
// program's own start-up on it with a prompter that answers every box at once.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <QApplication>
#include <sqlite3.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "app/clock.h"
#include "app/settings.h"
#include "platform/file_system.h"
#include "platform/shell.h"
#include "store/store.h"
#include "ui/main/application.h"
#include "ui/main/frmMain.h"
#include "ui/main/prompter.h"

namespace kb::bench {

namespace fs = std::filesystem;

// The offscreen platform, unless the caller asked for another, and the fonts the window tests use.
inline void useOffscreenPlatform() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QT_QPA_FONTDIR", "/usr/share/fonts", 0);
}

// A folder under the system temp folder, removed with its content.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag, const fs::path& base = fs::temp_directory_path()) {
        std::string pattern = (base / (tag + "_XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

// Every box answered as a user who agrees would: OK, or Yes for a question. The save chooser answers
// `savePath`. A critical box is a failure the benchmark must not time over.
class BenchPrompter final : public ui::Prompter {
public:
    MsgAnswer messageBox(QWidget*, const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer,
                         const std::string&) override {
        boxes.push_back(text);
        if (icon == MsgIcon::Critical)
            failures.push_back(text);
        return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::Yes;
    }
    std::optional<std::string> chooseOpenFile(QWidget*, const FileDialogSpec&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseSaveFile(QWidget*, const FileDialogSpec&) override { return savePath; }
    std::optional<std::string> chooseFolder(QWidget*, const std::string&) override { return std::nullopt; }

    std::vector<std::string> boxes;
    std::vector<std::string> failures;
    std::optional<std::string> savePath;
};

// Nothing is ever launched from a benchmark.
class InertShell final : public Shell {
public:
    int openFile(const std::string&) override { return 5; }
    bool openFolder(const std::string&) override { return false; }
    bool openUrl(const std::string&) override { return false; }
};

// The run stamp of the n-th seeded run, one minute apart from 2006/01/01 09:00:00 on.
inline std::string seededStamp(long long run) {
    LocalTime base{2006, 1, 1, 9, 0, 0};
    return formatStamp(toLocalTime(fromLocalTime(base) + static_cast<std::time_t>(run) * 60));
}

// History rows in runs of 50 files over the four sets, with Japanese names as real histories have them.
inline void seedHistory(Store& store, long long rows) {
    static const char* const kMethods[] = {"標準", "日付", "日時", "日付フォルダ"};
    for (long long i = 0; i < rows; ++i) {
        const long long run = i / 50;
        const int set = static_cast<int>(run % 4) + 1;
        const std::string n = std::to_string(i);
        CopyLogRow row;
        row.DateTime = seededStamp(run);
        row.TabNo = std::to_string(set);
        row.TabName = "設定" + std::to_string(set) + " 【" + kMethods[set - 1] + "】";
        row.SeqNo = i % 50 + 1;
        row.CopyAns = i % 97 == 0 ? "×" : i % 31 == 0 ? "△" : "○";
        row.FileName = "報告書_" + n + ".xls";
        row.FolderPath = "/home/user/バックアップ/書類/報告書_" + n + ".xls";
        store.insertCopyLog(row);
    }
}

// Opens the store of a program folder that is not running, fills it in one transaction, and closes it.
template <class Fill> void fillStore(const fs::path& storeFile, Fill fill) {
    auto store = Store::open(storeFile);
    sqlite3_exec(store->handle(), "BEGIN", nullptr, nullptr, nullptr);
    fill(*store);
    if (sqlite3_exec(store->handle(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw StoreError(sqlite3_errmsg(store->handle()));
}

// Set 1 of the program folder `dir` (its store in place, the program not running) backs up `paths` with the
// plain method into `destination` (left as it is when empty), overwriting, every row recorded and the
// history trimmed beyond `logMax`; `more` adds to the store in the same transaction.
template <class More = void (*)(Store&)>
void setOneBacksUp(
    const fs::path& dir, const std::vector<std::string>& paths, const fs::path& destination, long long logMax,
    More more = [](Store&) {}) {
    fillStore(dir / "Kestrelbox.mdb", [&](Store& s) {
        s.updateTab("1", "設定1", "0");
        if (!destination.empty())
            s.updateFolderPath("1", destination.string());
        for (const std::string& p : paths)
            s.insertCopyData("1", p);
        more(s);
    });
    kb::FileSystem files;
    kb::IniFile ini(dir / "Kestrelbox.ini", files);
    ini.Fun_WriteIni("Option", "SameFile", "1");
    ini.Fun_WriteIni("Option", "BackupLog", "1");
    ini.Fun_WriteIni("Option", "BackupLogMax", std::to_string(logMax));
}

// A program folder with the installed store, as the build makes it.
inline fs::path makeProgramFolder(const fs::path& dir) {
    fs::create_directories(dir);
    Store::create(dir / "Kestrelbox.mdb");
    return dir;
}

// Files of `size` bytes named file0000.txt and so on, with content that differs from file to file.
inline std::vector<std::string> makeFiles(const fs::path& dir, int count, std::size_t size) {
    static const char* const kExtensions[] = {".txt", ".xls", ".doc", ".pdf", ".csv"};
    fs::create_directories(dir);
    std::vector<std::string> paths;
    std::string content(size, '\0');
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "file%04d%s", i, kExtensions[i % 5]);
        for (std::size_t b = 0; b < size; ++b)
            content[b] = static_cast<char>('a' + (b * 7 + static_cast<std::size_t>(i)) % 26);
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary).write(content.data(), static_cast<std::streamsize>(size));
        paths.push_back(p.string());
    }
    return paths;
}

// The program's start-up on a program folder; the window is up after start() returned true.
class ProgramRun {
public:
    explicit ProgramRun(const fs::path& folder)
        : m_app(std::make_unique<ui::Application>(folder, prompter, m_shell, "", false)) {}
    ~ProgramRun() {
        m_app.reset();
        QApplication::processEvents();
    }

    bool start() {
        if (m_app->Main() != ui::kExitNormal)
            return false;
        QApplication::processEvents();
        return true;
    }
    ui::frmMain& window() { return *m_app->window(); }
    Store& store() { return *m_app->state().MdbDatabase; }

    BenchPrompter prompter;

private:
    InertShell m_shell;
    std::unique_ptr<ui::Application> m_app;
};

inline std::string joinedFailures(const BenchPrompter& p) {
    std::string all;
    for (const std::string& f : p.failures)
        all += (all.empty() ? "" : " | ") + f;
    return all;
}

// Presses the toolbar's Backup button; an empty text when the run backed up all `count` files.
inline std::string pressBackup(ProgramRun& run, int count) {
    run.prompter.boxes.clear();
    run.prompter.failures.clear();
    run.window().Toolbar_ButtonClick("Backup");
    const std::string done =
        "バックアップ完了！  [ " + std::to_string(count) + "ﾌｧｲﾙ / 全" + std::to_string(count) + "ﾌｧｲﾙ中 ]";
    if (!run.prompter.failures.empty())
        return joinedFailures(run.prompter);
    if (run.prompter.boxes.empty() || run.prompter.boxes.back() != done)
        return "the run did not complete: " +
               (run.prompter.boxes.empty() ? "no box" : run.prompter.boxes.back());
    return {};
}

} // namespace kb::bench
