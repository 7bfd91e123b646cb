#pragma once

#include <map>
#include <QFileInfo>
#include <QIcon>
#include <QMainWindow>
#include <QStringList>
#include <string>
#include <vector>

#include "app/layout.h"
#include "app/user_interface.h"
#include "backup/services.h"

class QAbstractItemView;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTimer;
class QToolBar;
class QTreeView;
class QTreeWidget;
class QFrame;

namespace kb {
struct CopyLogRow;
}

namespace kb::ui {

class HistoryModel;
class Prompter;
class SplitterBar;

// A width or position kept in twips: written back exactly as read unless the widget's pixels changed, so
// that a start and a close never drift the settings by rounding.
struct TwipsValue {
    double twips = 0;
    int pixels = 0;
};

// The main window. Its routines carry their names from the design of the program; the core reaches the
// window only through WindowUi (app/user_interface.h).
class frmMain final : public QMainWindow {
    Q_OBJECT
public:
    frmMain(Services& s, Prompter& prompter, std::string commandLine, bool headless);
    ~frmMain() override;

    // Start-up and shutdown.
    bool Form_Load();
    void Form_Unload();
    void tmrInit_Timer();
    enum class AutoRun { None, Completed, Stopped };
    AutoRun autoRun() const { return m_autoRun; }
    bool shutDown() const { return m_unloaded; }
    // A backup run holds the window (Fun_ChangeUse with false).
    bool busy() const { return m_busy; }

    // Layout.
    bool Fun_FormResize(const std::string& barTop);
    const MainLayout& layoutTwips() const { return m_layout; }

    // Backup sets and the file list.
    void TabMain_Click();
    void selectTab(int n);
    bool Fun_TabChange();
    bool Fun_ListSetFocus(const std::string& path);
    bool Fun_GetFileIcon(const std::string& path, std::vector<QIcon>& imageList);
    bool Fun_GetFileIcon(const QFileInfo& info, std::vector<QIcon>& imageList);
    std::size_t iconCount() const { return ImgFileIcon.size(); }
    int currentTab() const;
    std::string tabCaption(int tab) const;

    // List editing and destination.
    bool Fun_AddList();
    bool Fun_DeleteList();
    void ListView_OLEDragDrop(const QStringList& paths, bool hasFileList);
    void cmdTo_Click();
    void txtTo_OLEDragDrop(const QStringList& paths, bool hasFileList);

    // Commands and busy state.
    void M_File_Click(int index);
    void M_Visible_Click(int index);
    void M_Tool_Click(int index);
    void M_Help_Click(int index);
    void M_RightClick_Click(int index);
    void M_RightClickLog_Click(int index);
    void Toolbar_ButtonClick(const QString& key);
    void ListView_DragDrop(QObject* source, double yTwips);
    void ListViewLog_DragDrop(QObject* source, double yTwips);
    bool Fun_ChangeUse(bool inUse);

    // Opening.
    bool Fun_OpenFileDir(int list, int target);
    void Sub_ShowHelpFlie();
    void Sub_ShowWebFlie();

    // History.
    bool Fun_ChangeListViewLog(const std::string& mode);
    bool Fun_LogRefresh();
    bool Fun_LogInfo();
    void Sub_OutPutLog();
    void logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore);
    HistoryModel& historyModel() { return *m_history; }

    // Reset to defaults.
    bool Fun_Initialize();

    // The status panel and progress, as the core's user interface asks for them.
    std::string statusText() const;
    void setStatusText(const std::string& text);
    // Paints the status bar with everything else that changed: the window is up to date afterwards.
    void flushStatus();
    void commitHeldHistory();
    // What changed in the window at most once per status interval; a changed status text at once with
    // `textNow`.
    void repaintWindow(bool textNow);
    void setProgress(int done, int total);
    void setWaitCursor(bool wait);
    void focusDestinationButton();

    Prompter& prompter() { return m_prompter; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void createMenus();
    void createToolbar();
    void applyLayout();
    void placeDestination();
    double dpi() const;
    int px(double twips) const;
    double tw(int pixels) const;
    QAction* toolbarButton(const QString& key) const;
    void writeLayout();
    void popUp(QMenu* menu, QWidget* list, QPoint globalPos);
    void popUpAtSelection(QAbstractItemView* list);
    int selectedFileRow() const;
    int selectedLogRow() const;
    void storeDestination();
    void splitterDropped(QWidget* target, QPoint globalPos);
    void report(const char* caption, const char* context, const std::string& error);
    void logRefreshFailed(const std::string& error);
    void paintStatus();
    MsgAnswer ask(const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer def = MsgAnswer::Ok);

    Services& s;
    Prompter& m_prompter;
    std::string m_commandLine;
    bool m_headless;
    bool m_loaded = false;
    bool m_unloaded = false;
    bool m_programmaticTab = false;
    AutoRun m_autoRun = AutoRun::None;
    int m_exposeWaits = 0;
    MainLayout m_layout;

    QWidget* m_client = nullptr;
    QToolBar* Toolbar = nullptr;
    QTabWidget* TabMain = nullptr;
    QFrame* fraLabel = nullptr;
    QLabel* lbl = nullptr;
    QLineEdit* txtTo = nullptr;
    QPushButton* cmdTo = nullptr;
    QTreeWidget* ListView = nullptr;
    SplitterBar* picBarH = nullptr;
    QTreeView* ListViewLog = nullptr;
    QStatusBar* StatusBar = nullptr;
    QLabel* m_statusPanel = nullptr;
    QProgressBar* m_progress = nullptr;
    QTimer* tmrInit = nullptr;
    HistoryModel* m_history = nullptr;
    std::vector<QIcon> ImgFileIcon;
    std::map<QString, QIcon> m_iconsByType; // during one load of the list

    QMenu* M_FileMain = nullptr;
    QMenu* M_VisibleMain = nullptr;
    QMenu* M_ToolMain = nullptr;
    QMenu* M_HelpMain = nullptr;
    QMenu* M_RightClickMain = nullptr;
    QMenu* M_RightClickLogMain = nullptr;
    // 1-based like the menu arrays they stand for; slot 0 is unused, separators are null.
    std::vector<QAction*> M_File, M_Visible, M_Tool, M_Help, M_RightClick, M_RightClickLog;

    TwipsValue m_left, m_top, m_width, m_height;
    std::vector<TwipsValue> m_fileColumns, m_logColumns;
    std::string m_pendingStatus;
    bool m_statusDirty = false;
    bool m_busy = false;
    // Monotonic milliseconds of the last paint of the status bar and of the window's changed parts.
    qint64 m_lastStatusPaint = 0;
    qint64 m_lastWindowPaint = 0;
};

} // namespace kb::ui
