#include "backup/file_copy.h"

#include <stdexcept>

#include "app/clock.h"
#include "app/reporter.h"
#include "app/user_interface.h"
#include "backup/file_helpers.h"
#include "backup/services.h"
#include "platform/file_system.h"
#include "platform/stop_request.h"
#include "store/shared_state.h"

namespace kb {
namespace {

std::string timeText(FileSystem& files, const std::string& path) {
    auto t = files.lastWriteTime(path);
    return t ? formatJapaneseDateTime(toLocalTime(static_cast<std::time_t>(*t))) : std::string();
}

std::string overwriteQuestion(Services& s, const std::string& source, const std::string& target) {
    const std::string crlf = "\r\n";
    return "バックアップ先のフォルダには既に '" + Fun_GetFileNm(s.reporter, target, 3) +
           "' ファイルが存在します。" + crlf + crlf + crlf + "現在のファイル" + crlf +
           "  サイズ: " + Fun_SizeText(Fun_GetFileSize(s.files, s.reporter, target)) +
           "   更新日時: " + timeText(s.files, target) + crlf + crlf +
           "に次の新しいファイルを上書きしますか" + crlf +
           "  サイズ: " + Fun_SizeText(Fun_GetFileSize(s.files, s.reporter, source)) +
           "   更新日時: " + timeText(s.files, source);
}

std::int64_t requireTime(FileSystem& files, const std::string& path) {
    auto t = files.lastWriteTime(path);
    if (!t)
        throw std::runtime_error("更新日時を取得できません: " + path);
    return *t;
}

// True when the existing target is to be replaced under the policy.
bool replaceExisting(Services& s, int policy, const std::string& source, const std::string& target) {
    switch (policy) {
    case 0:
        return false;
    case 2:
        return (s.files.attributes(target) & attr::ReadOnly) == 0;
    case 3:
        return requireTime(s.files, source) > requireTime(s.files, target);
    case 4:
        return s.ui.messageBox(overwriteQuestion(s, source, target), MsgIcon::Question, MsgButtons::YesNo,
                               MsgAnswer::Yes) != MsgAnswer::No;
    default:
        return true;
    }
}

} // namespace

bool Fun_FileCopy(Services& s, const std::string& source, const std::string& target, bool& copied,
                  bool staging) {
    copied = true;
    std::string reason;
    try {
        if (source == target || s.files.sameFile(source, target)) {
            reason = "コピー元とコピー先が同じです";
        } else if (!s.files.isFile(source)) {
            reason = "ファイルが見つかりませんでした";
        } else {
            int policy = staging ? 1 : s.state.SameFile;
            if (policy < 0 || policy > 4)
                policy = 1;
            if (s.files.isFile(target) && !replaceExisting(s, policy, source, target)) {
                copied = false;
                return true;
            }
            // The old target is replaced by a rename only once the new copy is complete, so a failed copy
            // leaves the previous backup as it was. The copy carries the source's time and permission bits;
            // hidden is the name here, so a staged copy is as visible as its name.
            std::error_code ec = s.files.copyFileReplacing(source, target);
            if (!ec)
                return true;
            // Cut short by a stop request: nothing was written, and the run ends without a report.
            if (ec == std::errc::operation_canceled && stopRequested()) {
                copied = false;
                return false;
            }
            reason = ec.message();
        }
    } catch (const std::exception& e) {
        reason = e.what();
    }

    s.reporter.critical("下記のファイルをコピーできませんでした (" + reason + ")\r\n\r\n" + source);
    s.reporter.log("[mdlMain]-[Fun_FileCopy] コピーエラー。" + reason + " From=" + source + ", To=" + target);
    copied = false;
    return false;
}

} // namespace kb
