#include "app/shell_open.h"

#include <exception>

#include "app/program_folder.h"
#include "app/reporter.h"
#include "app/version.h"
#include "platform/shell.h"

namespace kb {

std::optional<std::string> shellFailureText(int code) {
    if (code >= 32)
        return std::nullopt;
    switch (code) {
    case 0:
        return "メモリ不足です";
    case 2:
        return "ファイルが見つかりません";
    case 3:
        return "パスが見つかりません";
    case 11:
        return "ファイルが無効です";
    case 31:
        return "関連付けられているファイルがありません";
    default:
        return "エラーNo.=" + std::to_string(code);
    }
}

void Sub_ShowFlie(Shell& shell, Reporter& reporter, const std::string& path) {
    try {
        if (auto m = shellFailureText(shell.openFile(path))) {
            reporter.critical(*m + "\r\n" + path);
            reporter.log("[mdlCommon]-[Sub_ShowFlie] " + *m + "　" + path);
        }
    } catch (const std::exception& e) {
        reporter.report("ファイル表示エラー", "[mdlCommon]-[Sub_ShowFlie] ", e.what());
    }
}

void Sub_ShowHelpFlie(Shell& shell, Reporter& reporter, const ProgramFolder& folder) {
    try {
        std::string path = folder.readme().string();
        if (auto m = shellFailureText(shell.openFile(path))) {
            reporter.critical("Readme表示エラー\r\n" + *m);
            reporter.log("[mdlCommon]-[Sub_ShowHelpFlie] " + *m + "　" + path);
        }
    } catch (const std::exception& e) {
        reporter.report("Readme表示エラー", "[mdlCommon]-[Sub_ShowHelpFlie] ", e.what());
    }
}

void Sub_ShowWebFlie(Shell& shell, Reporter& reporter) {
    try {
        if (!shell.openUrl(version::webUrl))
            reporter.report("Webページ表示エラー", "[mdlCommon]-[Sub_ShowWebFlie] ",
                            std::string("ブラウザを起動できませんでした: ") + version::webUrl);
    } catch (const std::exception& e) {
        reporter.report("Webページ表示エラー", "[mdlCommon]-[Sub_ShowWebFlie] ", e.what());
    }
}

} // namespace kb
