#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/records.h"

namespace kb {

enum class MsgIcon { Exclamation, Question, Information, Critical };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

inline constexpr const char* kAppTitle = "Kestrelbox";

struct FileFilter {
    std::string label;   // "CSVファイル(*.csv)"
    std::string pattern; // "*.csv"
};

struct FileDialogSpec {
    std::string title;
    std::vector<FileFilter> filters;
    std::string defaultSuffix;     // "csv": added when the user types a name without one
    bool confirmOverwrite = false; // the dialog asks before an existing file is chosen
};

// Everything the core needs from the windows. The Qt main window implements it; core tests implement it
// with a scripted recorder. No core routine reaches a widget any other way.
class UserInterface {
public:
    virtual ~UserInterface() = default;

    // A modal message box. `defaultAnswer` is the button that Enter presses.
    virtual MsgAnswer messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons,
                                 MsgAnswer defaultAnswer = MsgAnswer::Ok,
                                 const std::string& title = kAppTitle) = 0;

    // Choosers: nullopt when the user cancels or the dialog cannot be shown.
    virtual std::optional<std::string> chooseOpenFile(const FileDialogSpec& spec) = 0;
    virtual std::optional<std::string> chooseSaveFile(const FileDialogSpec& spec) = 0;
    virtual std::optional<std::string> chooseFolder(const std::string& prompt) = 0;

    // The first panel of the status bar; setting it repaints the status bar at once unless it was painted a
    // moment ago, when repaintWindow paints it.
    virtual std::string statusText() const = 0;
    virtual void setStatusText(const std::string& text) = 0;
    // Paints what a run changed, at most every few milliseconds; `textNow` when what the status text
    // announces may take long, so that it is on the screen while it does.
    virtual void repaintWindow(bool textNow) = 0;
    virtual void setWaitCursor(bool wait) = 0;
    // Files done of all files while a run copies; total 0 hides the bar.
    virtual void setProgress(int done, int total) = 0;

    // Fun_ChangeUse: enables (true) or disables (false) the controls of the busy state.
    virtual bool changeUse(bool inUse) = 0;
    // Fun_ListSetFocus: enables the file list, focuses it and selects the row of that exact path.
    virtual bool listSetFocus(const std::string& path) = 0;
    virtual void focusDestinationButton() = 0;

    // The selected backup set (1 to 4) and the caption of a tab as shown.
    virtual int currentTab() const = 0;
    virtual std::string tabCaption(int tab) const = 0;

    // The history list: a full reload (Fun_LogRefresh), or the effect of one recorded row and of the
    // trim that followed it (rows older than trimmedBefore removed; empty when nothing was trimmed),
    // which must leave the list as a full reload would.
    virtual bool logRefresh() = 0;
    virtual void logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore) = 0;
};

} // namespace kb
