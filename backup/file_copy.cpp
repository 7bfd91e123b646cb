#include "backup/file_copy.h"

#include <stdexcept>

#include "app/clock.h"
#include "app/reporter.h"
#include "app/user_interface.h"
#include "backup/file_helpers.h"
#include "backup/services.h"
#include "platform/stop_request.h"
#include "store/shared_state.h"

namespace kb {
namespace {

// How many finished copies, and how many of their bytes, wait for one flush: enough that the flush costs
// little per file, few enough that old and new copies side by side do not fill a destination.
constexpr std::size_t kWaitingFiles = 256;
constexpr std::uint64_t kWaitingBytes = std::uint64_t{64} << 20;

std::string timeText(const FileSnapshot& f) {
    return formatJapaneseDateTime(toLocalTime(static_cast<std::time_t>(f.seconds())));
}

std::string overwriteQuestion(Services& s, const std::string& target, const FileSnapshot& src,
                              const FileSnapshot& dst) {
    const std::string crlf = "\r\n";
    return "バックアップ先のフォルダには既に '" + Fun_GetFileNm(s.reporter, target, 3) +
           "' ファイルが存在します。" + crlf + crlf + crlf + "現在のファイル" + crlf +
           "  サイズ: " + Fun_SizeText(std::to_string(dst.size)) + "   更新日時: " + timeText(dst) + crlf +
           crlf + "に次の新しいファイルを上書きしますか" + crlf +
           "  サイズ: " + Fun_SizeText(std::to_string(src.size)) + "   更新日時: " + timeText(src);
}

} // namespace

std::string copyFailureReason(const std::error_code& ec) {
    if (ec == CopyError::NotRegular)
        return "通常のファイルではありません";
    if (ec == CopyError::SourceChanged)
        return "コピー中にファイルが変更されました";
    return ec.message();
}

CopyRun::CopyRun(Services& s, bool holdReplacements) : m_s(s), m_hold(holdReplacements) {
    m_s.files.keepKinds();
}

// Copies still waiting are dropped with their temporary files; the old backups stay.
CopyRun::~CopyRun() {
    m_s.files.forgetKinds();
}

const FolderTraits& CopyRun::traits(const std::filesystem::path& folder) {
    auto it = m_traits.find(folder);
    if (it == m_traits.end())
        it = m_traits.emplace(folder, m_s.files.probeFolder(folder)).first;
    return it->second;
}

ProgramFolder::FolderVerdict CopyRun::verdict(const std::filesystem::path& folder) {
    // Kept only while the name still reaches the same folder: one swapped for a link to the program
    // folder in the middle of a run is judged afresh.
    const FileSnapshot now = m_s.files.snapshot(folder);
    if (!now.isFolder())
        return m_s.folder.folderVerdict(folder);
    auto it = m_verdicts.find(folder);
    if (it == m_verdicts.end() || !it->second.reached.sameFile(now))
        it = m_verdicts.insert_or_assign(folder, KnownFolder{now, m_s.folder.folderVerdict(folder)}).first;
    return it->second.verdict;
}

bool CopyRun::replaceExisting(int policy, const FileSnapshot& src, const std::string& target,
                              const FileSnapshot& dst) {
    switch (policy) {
    case 0:
        return false;
    case 2:
        return (attributesOf(target, dst) & attr::ReadOnly) == 0;
    case 3: {
        // At the resolution the target's file system keeps: a FAT copy is its source's time cut to an even
        // second. Only where the two steps disagree is the destination asked.
        const bool bySecond = laterAtStep(src.seconds(), dst.seconds(), 1);
        if (bySecond == laterAtStep(src.seconds(), dst.seconds(), 2))
            return bySecond;
        return laterAtStep(src.seconds(), dst.seconds(),
                           traits(std::filesystem::path(target).parent_path()).timeStep);
    }
    case 4:
        return m_s.ui.messageBox(overwriteQuestion(m_s, target, src, dst), MsgIcon::Question,
                                 MsgButtons::YesNo, MsgAnswer::Yes) != MsgAnswer::No;
    default:
        return true;
    }
}

bool CopyRun::commitIfWaitingOn(const FileSnapshot& file) {
    for (const Waiting& w : m_waiting) {
        if (w.replaced.sameFile(file)) {
            commit();
            return true;
        }
    }
    return false;
}

void CopyRun::copy(const std::string& source, const std::string& target, bool staging, CopyOutcome& outcome) {
    outcome = {false, false};
    std::string reason;
    try {
        FileSystem& files = m_s.files;
        FileSnapshot src = files.snapshot(source);
        if (commitIfWaitingOn(src))
            src = files.snapshot(source);
        FileSnapshot dst = files.snapshot(target);
        if (commitIfWaitingOn(dst))
            dst = files.snapshot(target);
        const std::filesystem::path targetPath(target);
        const std::string name = targetPath.filename().string();

        if (source == target || src.sameFile(dst)) {
            reason = "コピー元とコピー先が同じです";
        } else if (!staging &&
                   m_s.folder.ownsFile(targetPath, verdict(targetPath.parent_path()), !dst.exists())) {
            reason = kOwnFileReason;
        } else if (!src.isFile()) {
            reason = "ファイルが見つかりませんでした";
        } else if (!src.isRegular()) {
            reason = copyFailureReason(CopyError::NotRegular);
        } else if (!holdsName(FolderTraits{true, 1}, name) &&
                   !holdsName(traits(targetPath.parent_path()), name)) {
            // FAT takes a trailing dot or blank without a word (or drops it, and the copy lands on another
            // file's backup); the other characters each file system refuses with an error of its own.
            reason = std::make_error_code(std::errc::invalid_argument).message();
        } else {
            int policy = staging ? 1 : m_s.state.SameFile;
            if (policy < 0 || policy > 4)
                policy = 1;
            const bool replacing = dst.isFile();
            if (replacing && !replaceExisting(policy, src, target, dst)) {
                outcome = {true, false};
                return;
            }
            // The old target is replaced by a rename only once the new copy is complete, so a failed copy
            // leaves the previous backup as it was. The copy carries the source's time and permission bits;
            // hidden is the name here, so a staged copy is as visible as its name.
            std::unique_ptr<ReplacingFile> copy;
            std::error_code ec = files.copyToTemporary(source, target, copy);
            if (!ec && replacing && !staging && m_hold) {
                m_waitingBytes += src.size;
                m_waiting.push_back({std::move(copy), source, target, dst, &outcome});
                if (m_waiting.size() >= kWaitingFiles || m_waitingBytes >= kWaitingBytes)
                    commit();
                return;
            }
            // A new name replaces nothing and may wait for the run's flush at the end; a replaced backup's
            // successor is on the disk before it takes the name. The staging folder is scratch.
            if (!ec)
                ec = copy->commit(replacing && !staging ? Durability::OnDisk : Durability::Cached);
            if (!ec) {
                outcome = {true, true};
                return;
            }
            // Cut short by a stop request: nothing was written, and the run ends without a report.
            if (ec == std::errc::operation_canceled && stopRequested()) {
                outcome.stopped = true;
                return;
            }
            reason = copyFailureReason(ec);
        }
    } catch (const std::exception& e) {
        reason = e.what();
    }
    fail(source, target, reason, outcome);
}

void CopyRun::commit() {
    std::vector<Waiting> waiting = std::move(m_waiting);
    m_waiting.clear();
    m_waitingBytes = 0;
    // Every file's data first, then the renames: after a power loss each target is its old backup or the
    // whole new one.
    std::vector<int> fds;
    for (const Waiting& w : waiting)
        fds.push_back(w.file->fd());
    std::vector<std::error_code> errors = m_s.files.syncFiles(fds);
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        Waiting& w = waiting[i];
        if (!errors[i])
            errors[i] = w.file->commit(Durability::Cached);
        if (errors[i])
            fail(w.source, w.target, copyFailureReason(errors[i]), *w.outcome);
        else
            *w.outcome = {true, true};
    }
}

void CopyRun::fail(const std::string& source, const std::string& target, const std::string& reason,
                   CopyOutcome& outcome) {
    m_s.reporter.critical("下記のファイルをコピーできませんでした (" + reason + ")\r\n\r\n" + source);
    m_s.reporter.log("[mdlMain]-[Fun_FileCopy] コピーエラー。" + reason + " From=" + source +
                     ", To=" + target);
    outcome = {false, false};
}

bool Fun_FileCopy(Services& s, const std::string& source, const std::string& target, bool& copied,
                  bool staging) {
    CopyRun run(s, false);
    CopyOutcome outcome;
    run.copy(source, target, staging, outcome);
    copied = outcome.copied;
    return outcome.result;
}

} // namespace kb
