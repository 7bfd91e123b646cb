#include "backup/backup_run.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/number_text.h"
#include "app/reporter.h"
#include "app/user_interface.h"
#include "backup/compressed.h"
#include "backup/copy_log.h"
#include "backup/file_copy.h"
#include "backup/file_helpers.h"
#include "backup/methods.h"
#include "backup/services.h"
#include "platform/cp932.h"
#include "platform/file_system.h"
#include "platform/stop_request.h"
#include "store/shared_state.h"
#include "store/store.h"

namespace kb {
namespace {

const std::string kCrLf = "\r\n";

void warn(Services& s, const std::string& text) {
    s.ui.messageBox(text, MsgIcon::Exclamation, MsgButtons::Ok, MsgAnswer::Ok);
}

// The run's way back to the idle window after a stop in the middle or an unexpected error.
void leaveBusy(Services& s) {
    s.ui.changeUse(true);
    s.ui.setWaitCursor(false);
    s.ui.setProgress(0, 0);
    s.ui.setStatusText("");
}

// A file recorded × tells a scheduler through the exit status.
void countFailure(Services& s, bool result) {
    if (!result)
        ++s.state.FailedFiles;
}

struct RunFile {
    std::string path;
    std::string fileName; // name with extension, no folder
    std::uint64_t size;   // as seen before the run
};

// A copy at least this large takes long enough that the rows held before it are committed first.
constexpr std::uint64_t kLongCopy = 1u << 20;

// Whether a file's copy may take long enough for its name to be read in the status bar: a large one, or one
// from or to a file system (a share, a FUSE driver) that may stall on any file.
class LongCopies {
public:
    LongCopies(Services& s, const std::string& destination)
        : m_s(s), m_slowDestination(s.files.kindAt(destination) != FileSystemKind::Local) {}

    bool operator()(const RunFile& f) {
        if (f.size >= kLongCopy || m_slowDestination)
            return true;
        const std::string folder = f.path.substr(0, f.path.rfind('/') + 1);
        auto it = m_slowFolders.find(folder);
        if (it == m_slowFolders.end())
            it =
                m_slowFolders
                    .emplace(folder, m_s.files.kindAt(folder.empty() ? "." : folder) != FileSystemKind::Local)
                    .first;
        return it->second;
    }

private:
    Services& m_s;
    const bool m_slowDestination;
    std::map<std::string, bool> m_slowFolders;
};

std::string confirmation(Services& s, const TabRow& tab, size_t count, double totalSize) {
    return "バックアップします、よろしいですか" + kCrLf + kCrLf + "・タブ名: \t\t" + tab.TabName + kCrLf +
           "・バックアップ方法: \t" + methodDisplayName(tab.NameType) + kCrLf +
           "・バックアップファイル数: \t" + std::to_string(count) + "  (" +
           Fun_SizeText(std::to_string(static_cast<std::uint64_t>(totalSize))) + ")" + kCrLf +
           "・同名ファイル存在時: \t" + sameFilePolicyName(s.state.SameFile);
}

// The staging folder is missing (it is then made) or a folder itself, not a link to one.
bool stagingUsable(Services& s) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(s.folder.staging(), ec).type();
    return type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::directory;
}

std::string progressText(const std::string& fileName, const char* what, size_t n, size_t count) {
    return fileName + " " + what + " [ " + std::to_string(n) + " / " + std::to_string(count) + " ]";
}

// Methods 0 to 4: one target per file in the destination or its dated folder. `stopped` when a stop request
// ended the loop at a file boundary.
size_t copyEachFile(Services& s, const std::vector<RunFile>& files, int method,
                    const std::string& destination, const std::string& runStamp, const std::string& stamp,
                    bool& stopped) {
    const std::string suffix = method == 1 || method == 2 ? "_" + stamp : std::string();
    std::string datedFolder;
    if (method == 3 || method == 4) {
        datedFolder = stamp + "/";
        const std::string folder = destination + stamp;
        if (!s.files.isFolder(folder)) {
            if (std::error_code ec = s.files.createFolder(folder))
                throw std::runtime_error(ec.message() + ": " + folder);
        }
    }
    // Copies that replace an earlier backup wait for one flush of many; each file's row is written once its
    // outcome is final, in the order of the files.
    CopyRun run(s, true);
    LongCopies longCopy(s, destination + datedFolder);
    std::vector<CopyOutcome> outcomes(files.size());
    std::vector<std::string> targets(files.size());
    size_t success = 0, recorded = 0;
    auto record = [&](size_t upTo) {
        for (; recorded < upTo; ++recorded) {
            const CopyOutcome& o = outcomes[recorded];
            if (o.result && o.copied)
                ++success;
            countFailure(s, o.result);
            Fun_CopyLogPut(s, runStamp, static_cast<int>(recorded + 1), o.result, o.copied,
                           files[recorded].fileName, targets[recorded]);
        }
    };
    size_t reached = files.size();
    for (size_t i = 0; i < files.size(); ++i) {
        if ((stopped = stopRequested())) {
            reached = i;
            break;
        }
        const RunFile& f = files[i];
        const NameParts parts = splitFileName(f.fileName);
        targets[i] = destination + datedFolder + parts.name + suffix + parts.ext;
        s.ui.setStatusText(progressText(f.fileName, "バックアップ中...", i + 1, files.size()));
        s.ui.repaintWindow(longCopy(f));
        if (f.size >= kLongCopy)
            Fun_CopyLogCommit(s);
        run.copy(f.path, targets[i], false, outcomes[i]);
        // A copy cut short by a stop request left nothing behind and is no outcome of this file.
        if ((stopped = outcomes[i].stopped)) {
            reached = i;
            break;
        }
        if (!run.waiting())
            record(i + 1);
        s.ui.setProgress(static_cast<int>(i + 1), static_cast<int>(files.size()));
    }
    // Copies already made are put in place and recorded, also after a stop request.
    run.commit();
    record(reached);
    return success;
}

// Methods 5 and 6: every file staged, then one archive. False when a staging copy failed (already cleaned
// up).
bool archiveFiles(Services& s, const std::vector<RunFile>& files, const std::string& destination,
                  const std::string& runStamp, const std::string& stamp, size_t& success) {
    const std::string staging = s.folder.staging().string();
    const std::string stagingSlash = staging + "/";

    // A registered file kept inside the staging folder itself would be deleted by the emptying below.
    for (const RunFile& f : files) {
        if (s.files.sameFile(std::filesystem::path(f.path).parent_path(), staging)) {
            bool copied = false;
            Fun_FileCopy(s, f.path, stagingSlash + f.fileName, copied, true);
            s.ui.listSetFocus(f.path);
            leaveBusy(s);
            return false;
        }
    }

    if (!stagingUsable(s))
        throw std::runtime_error(std::make_error_code(std::errc::not_a_directory).message() + ": " + staging);
    if (!s.files.snapshot(staging).exists()) {
        if (std::error_code ec = s.files.createFolder(staging))
            throw std::runtime_error(ec.message() + ": " + staging);
    }
    Fun_DelDirFile(s, stagingSlash);

    // A later file of the same name replaces an earlier one in the staging folder; the earlier one is then
    // not in the archive and must not be recorded as backed up. Names are the same when the archive writes
    // them alike: two names that code page 932 turns into one ("?" for what it cannot hold) would be two
    // members that no extractor keeps apart, so the later one replaces the earlier there too.
    std::map<std::string, size_t> stagedBy;
    std::vector<bool> replaced(files.size(), false);
    size_t staged = 0;
    LongCopies longCopy(s, stagingSlash);
    for (size_t i = 0; i < files.size(); ++i) {
        const RunFile& f = files[i];
        s.ui.setStatusText(progressText(f.fileName, "コピー中...", i + 1, files.size()));
        s.ui.repaintWindow(longCopy(f));
        bool copied = false;
        if (stopRequested() || !Fun_FileCopy(s, f.path, stagingSlash + f.fileName, copied, true)) {
            Fun_DelDirFile(s, stagingSlash);
            if (!stopRequested())
                s.ui.listSetFocus(f.path);
            leaveBusy(s);
            return false;
        }
        if (copied) {
            auto [it, fresh] = stagedBy.try_emplace(cp932::fromUtf8(f.fileName), i);
            if (!fresh) {
                const std::string& earlier = files[it->second].fileName;
                if (earlier != f.fileName) {
                    if (std::error_code ec = s.files.removeFile(stagingSlash + earlier))
                        throw std::runtime_error(ec.message() + ": " + stagingSlash + earlier);
                }
                replaced[it->second] = true;
                it->second = i;
            } else {
                ++staged;
            }
        }
        s.ui.setProgress(static_cast<int>(i + 1), static_cast<int>(files.size()));
    }

    s.ui.setStatusText(stamp + ".lzh 圧縮中...");
    s.ui.repaintWindow(true);
    const std::string archive = destination + stamp + ".lzh";
    bool copied = false;
    const bool result = Fun_FileCopyPrs(s, archive, copied);
    // A build cut short by a stop request made no archive: no file has an outcome to record.
    if (!result && stopRequested()) {
        Fun_DelDirFile(s, stagingSlash);
        leaveBusy(s);
        return false;
    }
    success = copied ? staged : 0;

    for (size_t i = 0; i < files.size(); ++i) {
        countFailure(s, result);
        Fun_CopyLogPut(s, runStamp, static_cast<int>(i + 1), result, copied && !replaced[i],
                       files[i].fileName, archive);
    }

    Fun_DelDirFile(s, stagingSlash);
    return true;
}

bool runBackup(Services& s, bool interactive) {
    if (!s.state.MdbDatabase)
        throw std::runtime_error("データベースが開かれていません");
    Store& store = *s.state.MdbDatabase;
    const std::string setNo = std::to_string(s.ui.currentTab());

    auto tab = store.selectTab(setNo);
    if (!tab)
        throw std::runtime_error("T_Tab に TabNo='" + setNo + "' の行がありません");

    const std::string folderPath = tab->FolderPath.value_or("");
    if (folderPath.empty()) {
        warn(s, "バックアップ先を指定してください");
        s.ui.focusDestinationButton();
        return false;
    }
    if ((Fun_GetAttr(s.files, folderPath) & attr::Folder) == 0) {
        warn(s, "下記のバックアップ先フォルダが見つかりませんでした" + kCrLf + kCrLf + folderPath);
        return false;
    }
    // The staging folder is emptied by every archive run: a backup kept there would go with it.
    if (s.folder.inStaging(folderPath)) {
        warn(s,
             "下記のバックアップ先フォルダは Kestrelbox の作業フォルダです。別のフォルダを指定してください" +
                 kCrLf + kCrLf + folderPath);
        return false;
    }
    const std::string& code = tab->NameType;
    const int method = code.size() == 1 && code[0] >= '0' && code[0] <= '6' ? code[0] - '0' : 0;
    const bool archive = method == 5 || method == 6;
    // A staging folder that is a link (or no folder at all) is never followed nor emptied through.
    if (archive && !stagingUsable(s)) {
        warn(s, "下記の作業フォルダが通常のフォルダではないため、圧縮バックアップできません" + kCrLf + kCrLf +
                    s.folder.staging().string());
        return false;
    }

    std::vector<RunFile> files;
    double totalSize = 0;
    for (std::string& path : store.selectCopyData(setNo)) {
        const FileSnapshot seen = s.files.snapshot(path);
        if (!seen.isFile()) {
            warn(s, "下記のファイルが見つかりませんでした" + kCrLf + kCrLf + path);
            s.ui.listSetFocus(path);
            return false;
        }
        // A regular file's size is in the look just taken; anything else is asked, and reported, as ever.
        totalSize += seen.isRegular() ? static_cast<double>(seen.size)
                                      : leadingNumber(Fun_GetFileSize(s.files, s.reporter, path));
        std::string fileName = Fun_GetFileNm(s.reporter, path, 3);
        files.push_back({std::move(path), std::move(fileName), seen.size});
    }

    if (files.empty()) {
        if (interactive)
            warn(s, "バックアップするファイルがありません");
        return true;
    }

    if (interactive && s.ui.messageBox(confirmation(s, *tab, files.size(), totalSize), MsgIcon::Question,
                                       MsgButtons::YesNo, MsgAnswer::Yes) == MsgAnswer::No)
        return false;

    s.ui.setWaitCursor(true);
    s.ui.setStatusText("バックアップ中...");
    s.ui.changeUse(false);
    s.ui.setProgress(0, static_cast<int>(files.size()));

    std::string destination = folderPath;
    if (destination.back() != '/')
        destination += '/';

    const LocalTime runTime = s.clock.now();
    const std::string runStamp = formatStamp(runTime);
    const LocalTime stampTime = archive ? runTime : s.clock.now();
    const bool withTime = method == 2 || method == 4 || method == 6;
    const std::string stamp = withTime ? formatDateTimeStamp(stampTime) : formatDateStamp(stampTime);

    // What an earlier run could not remove (a destination that turned read-only) goes now, by the record of
    // what was made, never by its name.
    s.files.removeLeftoverTemporaries();
    size_t success = 0;
    bool stopped = false;
    {
        HistoryHold hold(s);
        if (archive) {
            if (!archiveFiles(s, files, destination, runStamp, stamp, success))
                return false;
        } else {
            success = copyEachFile(s, files, method, destination, runStamp, stamp, stopped);
        }
    }

    // New copies were not flushed one by one; a write error the disk reports now is still the run's failure.
    if (std::error_code ec = s.files.flushToDisk(folderPath))
        s.reporter.report("バックアップエラー", "[frmMain]-[Fun_BackUp] ", ec.message());
    if (stopped) {
        leaveBusy(s);
        return false;
    }

    s.ui.changeUse(true);
    s.ui.setWaitCursor(false);
    s.ui.setProgress(0, 0);
    s.ui.setStatusText(std::to_string(files.size()) + "個のファイル");
    if (interactive)
        s.ui.messageBox("バックアップ完了！  [ " + std::to_string(success) + "ﾌｧｲﾙ / 全" +
                            std::to_string(files.size()) + "ﾌｧｲﾙ中 ]",
                        MsgIcon::Information, MsgButtons::Ok, MsgAnswer::Ok);
    return true;
}

} // namespace

bool Fun_BackUp(Services& s, bool interactive) {
    StoppableWork stoppable;
    try {
        return runBackup(s, interactive);
    } catch (const std::exception& e) {
        s.reporter.report("バックアップエラー", "[frmMain]-[Fun_BackUp] ", e.what());
        leaveBusy(s);
        return false;
    }
}

} // namespace kb
