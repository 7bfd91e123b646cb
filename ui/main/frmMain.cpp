#include "ui/main/frmMain.h"

#include <chrono>
#include <optional>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>
#include <stdexcept>

#include "app/number_text.h"
#include "app/reporter.h"
#include "app/settings.h"
#include "backup/backup_run.h"
#include "backup/copy_log.h"
#include "backup/methods.h"
#include "platform/stop_request.h"
#include "store/compact.h"
#include "store/shared_state.h"
#include "ui/history/history_model.h"
#include "ui/main/prompter.h"
#include "ui/main/splitter_bar.h"
#include "ui/options/frmOption.h"
#include "ui/version/frmVersion.h"

namespace kb::ui {

namespace {

constexpr const char* kMain = "Main";
// Status texts during a run are painted at most this often; the last one is always painted.
constexpr qint64 kStatusPaintMs = 30;

// A monotonic clock: a system clock set back during a run must not stop the painting.
qint64 paintClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string upperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Every row of the file list keeps the icon's room, also when its file gave no icon: the rows are equally
// tall and their names start at one place, whichever row lacks an icon.
class IconSpaceDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.column() == 0)
            option->features |= QStyleOptionViewItem::HasDecoration;
    }
};

bool isContextMenuKey(const QKeyEvent* key) {
    return key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
}

QWidget* listOf(QWidget* w, QWidget* a, QWidget* b) {
    for (; w; w = w->parentWidget())
        if (w == a || w == b)
            return w;
    return nullptr;
}

} // namespace

frmMain::frmMain(Services& services, Prompter& prompter, std::string commandLine, bool headless)
    : s(services), m_prompter(prompter), m_commandLine(std::move(commandLine)), m_headless(headless) {
    setObjectName("frmMain");
    setWindowTitle(kAppTitle);
    setWindowIcon(QIcon(":/icons/kestrelbox.svg"));
    m_history =
        new HistoryModel([this] { return s.state.MdbDatabase.get(); },
                         // The view asks for rows while it lays itself out; the box waits until it is done.
                         [this](const std::string& error) {
                             QTimer::singleShot(0, this, [this, error] { logRefreshFailed(error); });
                         },
                         this);
    createMenus();
    createControls();
    createToolbar();
    m_layout = MainLayout::initial();
    setMinimumSize(px(kMinWindowWidth), px(kMinWindowHeight));
    tmrInit = new QTimer(this);
    tmrInit->setObjectName("tmrInit");
    tmrInit->setSingleShot(true);
    tmrInit->setInterval(1);
    connect(tmrInit, &QTimer::timeout, this, &frmMain::tmrInit_Timer);
}

frmMain::~frmMain() = default;

double frmMain::dpi() const {
    return logicalDpiY() > 0 ? logicalDpiY() : 96.0;
}
int frmMain::px(double twips) const {
    return static_cast<int>(std::lround(twipsToPixels(twips, dpi())));
}
double frmMain::tw(int pixels) const {
    return pixelsToTwips(pixels, dpi());
}

void frmMain::createMenus() {
    auto addItems = [this](QMenu* menu, std::vector<QAction*>& items, const char* name,
                           std::initializer_list<const char*> captions, auto handler) {
        items.assign(1, nullptr);
        int index = 0;
        for (const char* caption : captions) {
            ++index;
            if (std::string(caption) == "-") {
                menu->addSeparator();
                items.push_back(nullptr);
                continue;
            }
            QAction* a = menu->addAction(QString::fromUtf8(caption));
            a->setObjectName(QString("%1_%2").arg(name).arg(index));
            connect(a, &QAction::triggered, this, [this, handler, index] { (this->*handler)(index); });
            items.push_back(a);
        }
    };
    M_FileMain = menuBar()->addMenu("ファイル(&F)");
    M_FileMain->setObjectName("M_FileMain");
    addItems(M_FileMain, M_File, "M_File",
             {"バックアップ(&B)", "-", "リスト追加(&A)...", "リスト削除(&D)", "-", "履歴出力(&R)...", "-",
              "終了(&X)"},
             &frmMain::M_File_Click);
    M_File[1]->setShortcut(QKeySequence(Qt::Key_F5));
    M_File[4]->setShortcut(QKeySequence(Qt::Key_Delete));
    M_VisibleMain = menuBar()->addMenu("表示(&V)");
    M_VisibleMain->setObjectName("M_VisibleMain");
    addItems(M_VisibleMain, M_Visible, "M_Visible", {"履歴(&R)"}, &frmMain::M_Visible_Click);
    M_Visible[1]->setCheckable(true);
    M_ToolMain = menuBar()->addMenu("ツール(&T)");
    M_ToolMain->setObjectName("M_ToolMain");
    addItems(M_ToolMain, M_Tool, "M_Tool", {"オプション(&O)...", "-", "初期化(&I)"}, &frmMain::M_Tool_Click);
    M_HelpMain = menuBar()->addMenu("ヘルプ(&H)");
    M_HelpMain->setObjectName("M_HelpMain");
    addItems(M_HelpMain, M_Help, "M_Help",
             {"Readme.txt(&R)...", "Webページ(&W)...", "-", "バージョン情報(&A)..."}, &frmMain::M_Help_Click);
    M_Help[1]->setShortcut(QKeySequence(Qt::Key_F1));

    // The two context menus exist only to be popped up, never on the menu bar.
    M_RightClickMain = new QMenu("RightClick", this);
    M_RightClickMain->setObjectName("M_RightClickMain");
    addItems(M_RightClickMain, M_RightClick, "M_RightClick",
             {"開く(&O)", "-", "リスト追加(&A)...", "リスト削除(&D)", "-", "保存先を開く(&F)"},
             &frmMain::M_RightClick_Click);
    M_RightClickLogMain = new QMenu("RightClickLog", this);
    M_RightClickLogMain->setObjectName("M_RightClickLogMain");
    addItems(M_RightClickLogMain, M_RightClickLog, "M_RightClickLog", {"情報(&I)", "-", "保存先を開く(&F)"},
             &frmMain::M_RightClickLog_Click);
}

void frmMain::createToolbar() {
    struct Button {
        const char* key;
        const char* caption;
        const char* tip;
        const char* image;
    };
    static const Button buttons[] = {{"Backup", "バックアップ", "バックアップ", "copy"},
                                     {"BackupLog", "履歴", "バックアップ履歴", "recent"},
                                     {"Option", "オプション", "オプション", "option"},
                                     {"Help", "ヘルプ", "ヘルプ", "help"}};
    Toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    Toolbar->setIconSize(QSize(16, 16));
    for (const Button& b : buttons) {
        QAction* a =
            Toolbar->addAction(QIcon(QString(":/icons/%1.svg").arg(b.image)), QString::fromUtf8(b.caption));
        a->setObjectName(b.key);
        a->setToolTip(QString::fromUtf8(b.tip));
        QString key = b.key;
        connect(a, &QAction::triggered, this, [this, key] { Toolbar_ButtonClick(key); });
    }
    toolbarButton("BackupLog")->setCheckable(true);
}

QAction* frmMain::toolbarButton(const QString& key) const {
    for (QAction* a : Toolbar->actions())
        if (a->objectName() == key)
            return a;
    return nullptr;
}

void frmMain::createControls() {
    m_client = new QWidget(this);
    m_client->setObjectName("client");
    setCentralWidget(m_client);

    TabMain = new QTabWidget(m_client);
    TabMain->setObjectName("TabMain");
    for (int i = 1; i <= 4; ++i)
        TabMain->addTab(new QWidget, QString());
    connect(TabMain, &QTabWidget::currentChanged, this, [this] {
        if (!m_programmaticTab)
            TabMain_Click();
    });

    fraLabel = new QFrame(m_client);
    fraLabel->setObjectName("fraLabel");
    lbl = new QLabel("バックアップ先:", fraLabel);
    lbl->setObjectName("lbl");
    lbl->move(4, 4);

    txtTo = new QLineEdit(m_client);
    txtTo->setObjectName("txtTo");
    txtTo->setAcceptDrops(true);
    txtTo->installEventFilter(this);

    cmdTo = new QPushButton("参照(&S)", m_client);
    cmdTo->setObjectName("cmdTo");
    connect(cmdTo, &QPushButton::clicked, this, &frmMain::cmdTo_Click);

    ListView = new QTreeWidget(m_client);
    ListView->setObjectName("ListView");
    ListView->setRootIsDecorated(false);
    ListView->setUniformRowHeights(true);
    ListView->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView->setIconSize(QSize(16, 16));
    ListView->setItemDelegateForColumn(0, new IconSpaceDelegate(ListView));
    ListView->setColumnCount(0);
    ListView->setHeaderLabels({});
    // Widths are the user's and the settings': the last column is not stretched to the window.
    ListView->header()->setStretchLastSection(false);
    ListView->setContextMenuPolicy(Qt::PreventContextMenu);
    ListView->setAcceptDrops(true);
    ListView->viewport()->setAcceptDrops(true);
    ListView->viewport()->installEventFilter(this);
    ListView->setDragDropMode(QAbstractItemView::DropOnly);

    ListViewLog = new QTreeView(m_client);
    ListViewLog->setObjectName("ListViewLog");
    ListViewLog->setRootIsDecorated(false);
    ListViewLog->setUniformRowHeights(true);
    ListViewLog->setSelectionMode(QAbstractItemView::SingleSelection);
    ListViewLog->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListViewLog->header()->setStretchLastSection(false);
    ListViewLog->setContextMenuPolicy(Qt::PreventContextMenu);
    ListViewLog->setModel(m_history);
    // Both lists hear the keyboard's context-menu keys; the filter needs both to exist.
    ListView->installEventFilter(this);
    ListViewLog->installEventFilter(this);
    ListViewLog->viewport()->installEventFilter(this);
    for (int c = 0; c < 5; ++c)
        ListViewLog->setColumnHidden(c, true);

    picBarH = new SplitterBar(m_client);
    connect(picBarH, &SplitterBar::dropped, this, &frmMain::splitterDropped);

    Toolbar = new QToolBar(m_client);
    Toolbar->setObjectName("Toolbar");
    Toolbar->setMovable(false);
    Toolbar->setFloatable(false);

    StatusBar = new QStatusBar(m_client);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    m_statusPanel = new QLabel(StatusBar);
    m_statusPanel->setObjectName("StatusPanel1");
    StatusBar->addWidget(m_statusPanel, 1);
    m_progress = new QProgressBar(StatusBar);
    m_progress->setObjectName("progress");
    m_progress->setMaximumWidth(160);
    m_progress->setTextVisible(true);
    m_progress->setFormat("%v / %m");
    m_progress->hide();
    StatusBar->addPermanentWidget(m_progress);
}

void frmMain::applyLayout() {
    auto place = [this](QWidget* w, const Rect& r) {
        w->setGeometry(px(r.left), px(r.top), std::max(0, px(r.width)), std::max(0, px(r.height)));
    };
    int w = m_client->width();
    Toolbar->setGeometry(0, 0, w, px(m_layout.toolbar.height));
    place(TabMain, m_layout.tabMain);
    placeDestination();
    place(cmdTo, m_layout.cmdTo);
    place(ListView, m_layout.listView);
    place(picBarH, m_layout.picBarH);
    place(ListViewLog, m_layout.listViewLog);
    StatusBar->setGeometry(0, m_client->height() - px(m_layout.statusBar.height), w,
                           px(m_layout.statusBar.height));
    fraLabel->raise();
    txtTo->raise();
    cmdTo->raise();
    ListView->raise();
    ListViewLog->raise();
    picBarH->raise();
    Toolbar->raise();
    StatusBar->raise();
}

// The label keeps the window's font: its frame grows to hold it, and the destination box starts after it,
// keeping its right edge.
void frmMain::placeDestination() {
    lbl->adjustSize();
    QRect frame(QPoint(px(m_layout.fraLabel.left), px(m_layout.fraLabel.top)),
                QSize(std::max(0, px(m_layout.fraLabel.width)), std::max(0, px(m_layout.fraLabel.height))));
    frame.setWidth(std::max(frame.width(), lbl->x() + lbl->width() + 2));
    frame.setHeight(std::max(frame.height(), lbl->height()));
    fraLabel->setGeometry(frame);
    lbl->move(lbl->x(), (frame.height() - lbl->height()) / 2);
    QRect box(px(m_layout.txtTo.left), px(m_layout.txtTo.top), std::max(0, px(m_layout.txtTo.width)),
              std::max(0, px(m_layout.txtTo.height)));
    const int labelEnd = frame.left() + lbl->x() + lbl->width() + 4;
    if (box.left() < labelEnd)
        box.setLeft(std::min(labelEnd, box.right()));
    txtTo->setGeometry(box);
}

bool frmMain::Fun_FormResize(const std::string& barTop) {
    double W = tw(m_client->width());
    double H = tw(m_client->height());
    m_layout.toolbar.width = W;
    m_layout.statusBar.top = H - m_layout.statusBar.height;
    m_layout.statusBar.width = W;
    std::string error;
    bool ok = formResize(m_layout, W, H, barTop, error);
    applyLayout();
    if (!ok)
        report("サイズ調整エラー", "[frmMain]-[Fun_FormResize] ", error);
    return ok;
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (!m_loaded || isMinimized())
        return;
    try {
        if (layout())
            layout()->activate();
        Fun_FormResize("");
    } catch (const std::exception& e) {
        report("フォームリサイズエラー", "[frmMain]-[Form_Resize] ", e.what());
    }
}

bool frmMain::Form_Load() {
    try {
        auto readTwips = [this](const char* key, const char* def) {
            const std::string text = s.ini.Fun_ReadIni(kMain, key, def);
            const std::optional<float> v = singleNumber(text);
            if (!v)
                throw std::runtime_error(std::string("設定 ") + key + " の値「" + text +
                                         "」は数値ではありません");
            return TwipsValue{*v, px(*v)};
        };
        m_left = readTwips("Left", "3500");
        m_top = readTwips("Top", "3000");
        m_width = readTwips("Width", "7500");
        m_height = readTwips("Height", "6000");
        move(m_left.pixels, m_top.pixels);
        resize(std::max(m_width.pixels, minimumWidth()), std::max(m_height.pixels, minimumHeight()));
        m_width.pixels = width();
        m_height.pixels = height();
        // The client area gets its size from the window's own layout only when shown; the load needs it now.
        layout()->activate();

        Fun_FormResize(s.ini.Fun_ReadIni(kMain, "BarH", "3500"));
        Fun_ChangeListViewLog(s.ini.Fun_ReadIni(kMain, "ListViewLog", "1"));

        std::vector<TabRow> tabs = s.state.MdbDatabase->selectTabs();
        if (tabs.size() < 4)
            throw std::runtime_error("T_Tab に 4 件の行がありません");
        for (int i = 0; i < 4; ++i)
            TabMain->setTabText(i, q(kb::tabCaption(tabs[static_cast<std::size_t>(i)].TabName,
                                                    tabs[static_cast<std::size_t>(i)].NameType)));

        static const std::pair<const char*, const char*> fileColumns[] = {{"ListViewC1", "2500"},
                                                                          {"ListViewC2", "6000"}};
        static const char* const fileHeaders[] = {"ファイル名", "ファイルパス"};
        ListView->setHeaderLabels({QString::fromUtf8(fileHeaders[0]), QString::fromUtf8(fileHeaders[1])});
        m_fileColumns.clear();
        for (int c = 0; c < 2; ++c) {
            m_fileColumns.push_back(readTwips(fileColumns[c].first, fileColumns[c].second));
            ListView->setColumnWidth(c, m_fileColumns.back().pixels);
            m_fileColumns.back().pixels = ListView->columnWidth(c);
        }
        static const std::pair<const char*, const char*> logColumns[] = {{"ListViewLogC1", "1700"},
                                                                         {"ListViewLogC2", "1600"},
                                                                         {"ListViewLogC3", "600"},
                                                                         {"ListViewLogC4", "1600"},
                                                                         {"ListViewLogC5", "5000"}};
        m_logColumns.clear();
        for (int c = 0; c < 5; ++c) {
            m_logColumns.push_back(readTwips(logColumns[c].first, logColumns[c].second));
            ListViewLog->setColumnHidden(c, false);
            ListViewLog->setColumnWidth(c, m_logColumns.back().pixels);
            m_logColumns.back().pixels = ListViewLog->columnWidth(c);
        }

        std::string tabSel = s.ini.Fun_ReadIni(kMain, "TabSel", "1");
        double n = leadingNumber(tabSel);
        if (n < 1 || n > 4 || n != static_cast<int>(n))
            throw std::runtime_error("設定 TabSel の値「" + tabSel + "」はタブの番号ではありません");
        selectTab(static_cast<int>(n));
        if (!s.state.TabChangeOK)
            return false;
        Fun_LogRefresh();
        m_loaded = true;
        tmrInit->start();
        return true;
    } catch (const std::exception& e) {
        report("フォームロードエラー", "[frmMain]-[Form_Load] ", e.what());
        return false;
    }
}

void frmMain::writeLayout() {
    auto value = [this](const TwipsValue& v, int nowPixels) {
        return singleText(nowPixels == v.pixels ? v.twips : tw(nowPixels));
    };
    s.ini.Fun_WriteIni(kMain, "Top", value(m_top, y()));
    s.ini.Fun_WriteIni(kMain, "Left", value(m_left, x()));
    s.ini.Fun_WriteIni(kMain, "Height", value(m_height, height()));
    s.ini.Fun_WriteIni(kMain, "Width", value(m_width, width()));
    s.ini.Fun_WriteIni(kMain, "BarH", singleText(m_layout.picBarH.top));
    s.ini.Fun_WriteIni(kMain, "TabSel", std::to_string(currentTab()));
    for (int c = 0; c < 2; ++c)
        s.ini.Fun_WriteIni(kMain, "ListViewC" + std::to_string(c + 1),
                           value(m_fileColumns[static_cast<std::size_t>(c)], ListView->columnWidth(c)));
    for (int c = 0; c < 5; ++c)
        s.ini.Fun_WriteIni(kMain, "ListViewLogC" + std::to_string(c + 1),
                           value(m_logColumns[static_cast<std::size_t>(c)], ListViewLog->columnWidth(c)));
    s.ini.Fun_WriteIni(kMain, "ListViewLog", s.state.LogVisible ? "1" : "0");
}

void frmMain::Form_Unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    tmrInit->stop();
    if (m_loaded)
        writeLayout();
    s.state.MdbDatabase.reset();
    setStatusText("MDB最適化中...");
    flushStatus();
    Fun_MDBCompact(s.folder, s.state, s.reporter, s.files);
}

void frmMain::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
    QCoreApplication::quit();
}

void frmMain::tmrInit_Timer() {
    tmrInit->stop();
    bool automatic = false;
    try {
        const std::string& line = m_commandLine;
        if (line.size() < 5 || upperAscii(line.substr(0, 5)) != "/AUTO")
            return;
        // A desktop puts the window on the screen only through the event loop, which the run holds until it
        // ends: without this wait the whole run went by with no window to show its progress. A second at
        // most, for a window that is never shown (another workspace, a display that went away).
        if (!m_headless && windowHandle() && !windowHandle()->isExposed() && m_exposeWaits < 100) {
            ++m_exposeWaits;
            tmrInit->start(10);
            return;
        }
        automatic = true;
        for (char n = '1'; n <= '4'; ++n) {
            if (line.find(n) == std::string::npos)
                continue;
            // A termination signal ends the sequence before the next set.
            if (stopRequested()) {
                m_autoRun = AutoRun::Stopped;
                break;
            }
            // The set shown since the start is loaded already; a list of thousands is not read twice.
            if (n - '0' != currentTab() || !s.state.TabChangeOK)
                selectTab(n - '0');
            if (!s.state.TabChangeOK || !Fun_BackUp(s, false)) {
                m_autoRun = AutoRun::Stopped;
                break;
            }
        }
        if (m_autoRun != AutoRun::Stopped)
            m_autoRun = AutoRun::Completed;
    } catch (const std::exception& e) {
        report("初期処理タイマエラー", "[frmMain]-[tmrInit_Timer] ", e.what());
        if (automatic)
            m_autoRun = AutoRun::Stopped;
    }
    // Nobody can close a window that is not on any screen, so a stopped run without a display closes too.
    if (m_autoRun == AutoRun::Completed || (m_autoRun == AutoRun::Stopped && m_headless))
        close();
}

int frmMain::currentTab() const {
    return TabMain->currentIndex() + 1;
}

std::string frmMain::tabCaption(int tab) const {
    return TabMain->tabText(tab - 1).toStdString();
}

void frmMain::selectTab(int n) {
    m_programmaticTab = true;
    TabMain->setCurrentIndex(n - 1);
    m_programmaticTab = false;
    TabMain_Click();
}

void frmMain::TabMain_Click() {
    s.state.TabChangeOK = Fun_TabChange();
}

void frmMain::M_File_Click(int index) {
    switch (index) {
    case 1:
        Fun_BackUp(s, true);
        break;
    case 3:
        Fun_AddList();
        break;
    case 4:
        Fun_DeleteList();
        break;
    case 6:
        Sub_OutPutLog();
        break;
    case 8:
        close();
        break;
    default:
        break;
    }
}

void frmMain::M_Visible_Click(int index) {
    if (index == 1)
        Fun_ChangeListViewLog("2");
}

void frmMain::M_Tool_Click(int index) {
    switch (index) {
    case 1: {
        ::frmOption dialog(s, TabMain, this);
        dialog.exec();
        break;
    }
    case 3:
        Fun_Initialize();
        break;
    default:
        break;
    }
}

void frmMain::M_Help_Click(int index) {
    switch (index) {
    case 1:
        Sub_ShowHelpFlie();
        break;
    case 2:
        Sub_ShowWebFlie();
        break;
    case 4: {
        ::frmVersion dialog(s, this);
        dialog.exec();
        break;
    }
    default:
        break;
    }
}

void frmMain::M_RightClick_Click(int index) {
    switch (index) {
    case 1:
        Fun_OpenFileDir(0, 0);
        break;
    case 3:
        Fun_AddList();
        break;
    case 4:
        Fun_DeleteList();
        break;
    case 6:
        Fun_OpenFileDir(0, 1);
        break;
    default:
        break;
    }
}

void frmMain::M_RightClickLog_Click(int index) {
    switch (index) {
    case 1:
        Fun_LogInfo();
        break;
    case 3:
        Fun_OpenFileDir(1, 1);
        break;
    default:
        break;
    }
}

void frmMain::Toolbar_ButtonClick(const QString& key) {
    if (key == "Backup")
        M_File_Click(1);
    else if (key == "BackupLog")
        Fun_ChangeListViewLog("2");
    else if (key == "Option")
        M_Tool_Click(1);
    else if (key == "Help")
        Sub_ShowHelpFlie();
}

void frmMain::ListView_DragDrop(QObject* source, double yTwips) {
    if (source == picBarH)
        Fun_FormResize(singleText(m_layout.listView.top + yTwips));
}

void frmMain::ListViewLog_DragDrop(QObject* source, double yTwips) {
    if (source == picBarH)
        Fun_FormResize(singleText(m_layout.listViewLog.top + yTwips));
}

void frmMain::splitterDropped(QWidget* target, QPoint globalPos) {
    QWidget* list = listOf(target, ListView, ListViewLog);
    if (!list)
        return;
    double y = tw(list->mapFromGlobal(globalPos).y());
    if (list == ListView)
        ListView_DragDrop(picBarH, y);
    else
        ListViewLog_DragDrop(picBarH, y);
}

bool frmMain::Fun_ChangeUse(bool inUse) {
    try {
        m_busy = !inUse;
        m_history->holdFetches(m_busy);
        toolbarButton("Backup")->setEnabled(inUse);
        toolbarButton("Option")->setEnabled(inUse);
        for (int i : {1, 3, 4, 6})
            M_File[static_cast<std::size_t>(i)]->setEnabled(inUse);
        for (int i : {1, 3})
            M_Tool[static_cast<std::size_t>(i)]->setEnabled(inUse);
        TabMain->setEnabled(inUse);
        txtTo->setEnabled(inUse);
        cmdTo->setEnabled(inUse);
        ListView->setEnabled(inUse);
        ListViewLog->setEnabled(inUse);
        flushStatus();
        repaint();
        return true;
    } catch (const std::exception& e) {
        report("使用状態切替エラー", "[frmMain]-[Fun_ChangeUse] ", e.what());
        return false;
    }
}

void frmMain::popUp(QMenu* menu, QWidget* list, QPoint globalPos) {
    list->setFocus();
    menu->popup(globalPos);
}

// The keyboard's context menu opens at the selected row, or at the list's top when none is selected.
void frmMain::popUpAtSelection(QAbstractItemView* list) {
    const QModelIndexList selected = list->selectionModel()->selectedIndexes();
    QRect at = selected.isEmpty() ? QRect() : list->visualRect(selected.first());
    QPoint corner = at.isValid() ? at.bottomLeft() : QPoint(0, 0);
    popUp(list == ListView ? M_RightClickMain : M_RightClickLogMain, list,
          list->viewport()->mapToGlobal(corner));
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == ListView || watched == ListViewLog) && event->type() == QEvent::KeyPress &&
        isContextMenuKey(static_cast<QKeyEvent*>(event))) {
        popUpAtSelection(static_cast<QAbstractItemView*>(watched));
        return true;
    }
    bool onFiles = watched == ListView->viewport();
    bool onLog = watched == ListViewLog->viewport();
    if (onFiles || onLog) {
        if (event->type() == QEvent::MouseButtonRelease) {
            auto* me = static_cast<QMouseEvent*>(event);
            if (me->button() == Qt::RightButton)
                popUp(onFiles ? M_RightClickMain : M_RightClickLogMain, onFiles ? ListView : ListViewLog,
                      me->globalPosition().toPoint());
        } else if (event->type() == QEvent::MouseButtonDblClick) {
            auto* me = static_cast<QMouseEvent*>(event);
            if (me->button() == Qt::LeftButton) {
                if (onFiles)
                    Fun_OpenFileDir(0, 0);
                else
                    Fun_LogInfo();
                return true;
            }
        }
    }
    if (onFiles || watched == txtTo) {
        switch (event->type()) {
        case QEvent::DragEnter: {
            auto* de = static_cast<QDragEnterEvent*>(event);
            if (de->mimeData()->hasUrls())
                de->acceptProposedAction();
            else
                de->ignore();
            return true;
        }
        case QEvent::DragMove: {
            auto* dm = static_cast<QDragMoveEvent*>(event);
            if (dm->mimeData()->hasUrls())
                dm->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto* de = static_cast<QDropEvent*>(event);
            QStringList paths;
            for (const QUrl& url : de->mimeData()->urls())
                if (url.isLocalFile())
                    paths << url.toLocalFile();
            bool hasFiles = !paths.isEmpty();
            de->acceptProposedAction();
            if (onFiles)
                ListView_OLEDragDrop(paths, hasFiles);
            else
                txtTo_OLEDragDrop(paths, hasFiles);
            return true;
        }
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

std::string frmMain::statusText() const {
    return m_statusPanel->text().toStdString();
}

void frmMain::setStatusText(const std::string& text) {
    m_statusPanel->setText(q(text));
    if (paintClockMs() - m_lastStatusPaint >= kStatusPaintMs)
        paintStatus();
    else
        m_statusDirty = true;
}

void frmMain::paintStatus() {
    m_lastStatusPaint = paintClockMs();
    m_statusDirty = false;
    StatusBar->repaint();
}

void frmMain::commitHeldHistory() {
    Fun_CopyLogCommit(s);
}

void frmMain::flushStatus() {
    ListViewLog->setUpdatesEnabled(true);
    m_progress->setUpdatesEnabled(true);
    m_lastWindowPaint = paintClockMs();
    paintStatus();
}

void frmMain::repaintWindow(bool textNow) {
    // Only what changed is painted: a run changes the bar, the status text and the history list, and a paint
    // of the whole window (the file list of thousands of rows, the toolbar, the tabs) cost a third of the
    // run. Every part that changed asked for its update, and the status bar's repaint paints them all.
    // Thousands of names a second cannot be read; one that stays because its step takes long must be there.
    if (paintClockMs() - m_lastWindowPaint >= kStatusPaintMs)
        flushStatus();
    else if (m_statusDirty && textNow)
        paintStatus();
}

void frmMain::setProgress(int done, int total) {
    if (total <= 0) {
        m_progress->setUpdatesEnabled(true);
        m_progress->hide();
        return;
    }
    // The bar repaints itself at once on every new value, and with it every changed part of the window: a
    // full paint per file. It is painted with the window instead.
    if (m_busy)
        m_progress->setUpdatesEnabled(false);
    m_progress->setRange(0, total);
    m_progress->setValue(done);
    m_progress->show();
}

void frmMain::setWaitCursor(bool wait) {
    if (wait)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
}

void frmMain::focusDestinationButton() {
    cmdTo->setFocus();
}

void frmMain::report(const char* caption, const char* context, const std::string& error) {
    s.reporter.report(caption, context, error);
}

MsgAnswer frmMain::ask(const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer def) {
    return s.ui.messageBox(text, icon, buttons, def, kAppTitle);
}

} // namespace kb::ui
