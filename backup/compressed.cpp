#include "backup/compressed.h"

#include <array>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "app/clock.h"
#include "app/reporter.h"
#include "app/user_interface.h"
#include "backup/file_helpers.h"
#include "backup/services.h"
#include "platform/file_system.h"
#include "platform/lha/unlha.h"
#include "platform/stop_request.h"
#include "store/shared_state.h"

namespace kb {
namespace {

std::string withSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string stagingFolder(const Services& s) {
    return withSeparator(s.folder.staging().string());
}

std::string archiveQuestion(Services& s, const std::string& archive, const FileSnapshot& old) {
    const std::string crlf = "\r\n";
    return "バックアップ先のフォルダには既に '" + Fun_GetFileNm(s.reporter, archive, 3) +
           "' ファイルが存在します。" + crlf + crlf + crlf + "現在のファイル" + crlf +
           "  サイズ: " + Fun_SizeText(std::to_string(old.size)) +
           "   更新日時: " + formatJapaneseDateTime(toLocalTime(static_cast<std::time_t>(old.seconds()))) +
           crlf + crlf + "に新しいファイルを上書きしますか";
}

// True when the existing archive is to be replaced; the new one counts as made now.
bool replaceArchive(Services& s, int policy, const std::string& archive, const FileSnapshot& old) {
    switch (policy) {
    case 0:
        return false;
    case 2:
        return (attributesOf(archive, old) & attr::ReadOnly) == 0;
    case 3: {
        // At the resolution the destination keeps (2 seconds on FAT), asked only where that decides.
        const auto now = static_cast<std::int64_t>(fromLocalTime(s.clock.now()));
        const bool bySecond = laterAtStep(now, old.seconds(), 1);
        if (bySecond == laterAtStep(now, old.seconds(), 2))
            return bySecond;
        return laterAtStep(now, old.seconds(),
                           s.files.probeFolder(std::filesystem::path(archive).parent_path()).timeStep);
    }
    case 4:
        return s.ui.messageBox(archiveQuestion(s, archive, old), MsgIcon::Question, MsgButtons::YesNo,
                               MsgAnswer::Yes) != MsgAnswer::No;
    default:
        return true;
    }
}

} // namespace

bool Fun_FileCopyPrs(Services& s, const std::string& archive, bool& copied) {
    return Fun_FileCopyPrs(s, archive, copied, kb::lha::Unlha);
}

bool Fun_FileCopyPrs(Services& s, const std::string& archive, bool& copied, const ArchiverCall& archiver) {
    copied = true;
    const std::string staging = stagingFolder(s);
    std::string reason;
    try {
        if (const FileSnapshot old = s.files.snapshot(archive); old.isFile()) {
            int policy = s.state.SameFile;
            if (policy < 0 || policy > 4)
                policy = 1;
            if (!replaceArchive(s, policy, archive, old)) {
                copied = false;
                return true;
            }
        }
        // The archiver renames its finished output over the old archive once it has read it back whole, so
        // the old one is never deleted first: a failed or damaged build leaves the previous backup in place.
        if (Fun_LhaPress(s, staging, archive, 0, archiver))
            return true;
    } catch (const std::exception& e) {
        reason = e.what();
    }
    // A build cut short by a stop request left the old archive as it was; the run ends without a report.
    if (stopRequested()) {
        copied = false;
        return false;
    }
    s.reporter.critical("下記のファイルをコピー(圧縮)できませんでした。" + reason + "\r\n\r\n" + archive);
    s.reporter.log("[mdlMain]-[Fun_FileCopyPrs] コピー(圧縮)エラー。" + reason + " From=" + staging +
                   ", To=" + archive);
    copied = false;
    return false;
}

bool Fun_LhaPress(Services& s, const std::string& sourceFolder, const std::string& archive, int window) {
    return Fun_LhaPress(s, sourceFolder, archive, window, kb::lha::Unlha);
}

bool Fun_LhaPress(Services& s, const std::string& sourceFolder, const std::string& archive, int window,
                  const ArchiverCall& archiver) {
    try {
        if (!archiver)
            throw std::runtime_error("圧縮ライブラリを呼び出せません");
        const std::string command =
            std::string("a") + " " + "-x1 -r2" + " \"" + archive + "\" \"" + sourceFolder + "\"";
        std::array<char, 1024> output{};
        return archiver(static_cast<std::uintptr_t>(window), command, output.data(), output.size()) == 0;
    } catch (const std::exception& e) {
        s.reporter.report("Lha圧縮エラー", "[mdlCommon]-[Fun_LhaPress] ", e.what());
        return false;
    }
}

bool Fun_DelDirFile(Services& s, const std::string& folder) {
    namespace fs = std::filesystem;
    const fs::path dir = withSeparator(folder);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir.parent_path(), ec)))
        return true;

    std::string firstError;
    auto note = [&](const std::error_code& e, const fs::path& p) {
        if (e && firstError.empty())
            firstError = e.message() + ": " + p.string();
    };
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        entries.push_back(*it);
    note(ec, dir);
    for (const auto& entry : entries) {
        std::error_code typeEc;
        const fs::file_status st = entry.symlink_status(typeEc);
        if (typeEc) {
            note(typeEc, entry.path());
            continue;
        }
        if (fs::is_directory(st))
            continue;
        // A link is removed itself; following it to reset flags would touch a file outside the folder.
        if (fs::is_regular_file(st))
            note(s.files.setAttributes(entry.path(), attr::Archive), entry.path());
        note(s.files.removeFile(entry.path()), entry.path());
    }
    if (firstError.empty())
        return true;
    s.reporter.report("全ファイル削除エラー", "[mdlCommon]-[Fun_DelDirFile] ", firstError);
    return false;
}

} // namespace kb
