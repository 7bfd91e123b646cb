#include "ui/main/shell_open.h"

#include <exception>

#include "app/reporter.h"
#include "app/services.h"
#include "app/version.h"
#include "platform/shell.h"

namespace kb::ui {

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

void Sub_ShowFlie(Services& s, const std::string& path) {
    try {
        if (auto m = shellFailureText(s.shell.openFile(path))) {
            s.reporter.critical(*m + "\r\n" + path);
            s.reporter.log("[mdlCommon]-[Sub_ShowFlie] " + *m + "　" + path);
        }
    } catch (const std::exception& e) {
        s.reporter.report("ファイル表示エラー", "[mdlCommon]-[Sub_ShowFlie] ", e.what());
    }
}

void Sub_ShowHelpFlie(Services& s) {
    try {
        std::string path = s.folder.readme().string();
        if (auto m = shellFailureText(s.shell.openFile(path))) {
            s.reporter.critical("Readme表示エラー\r\n" + *m);
            s.reporter.log("[mdlCommon]-[Sub_ShowHelpFlie] " + *m + "　" + path);
        }
    } catch (const std::exception& e) {
        s.reporter.report("Readme表示エラー", "[mdlCommon]-[Sub_ShowHelpFlie] ", e.what());
    }
}

void Sub_ShowWebFlie(Services& s) {
    try {
        if (!s.shell.openUrl(version::webUrl))
            s.reporter.report("Webページ表示エラー", "[mdlCommon]-[Sub_ShowWebFlie] ",
                              std::string("ブラウザを起動できませんでした: ") + version::webUrl);
    } catch (const std::exception& e) {
        s.reporter.report("Webページ表示エラー", "[mdlCommon]-[Sub_ShowWebFlie] ", e.what());
    }
}

} // namespace kb::ui
