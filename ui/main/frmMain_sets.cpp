// The backup set shown in the window: loading it, editing its file list and destination, opening its files,
// and the reset of every set.
#include <cmath>
#include <cstdio>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QTabWidget>
#include <QTreeWidget>
#include <stdexcept>

#include "app/number_text.h"
#include "app/reporter.h"
#include "app/shell_open.h"
#include "backup/file_helpers.h"
#include "backup/methods.h"
#include "platform/shell.h"
#include "store/shared_state.h"
#include "ui/history/history_model.h"
#include "ui/main/frmMain.h"

namespace kb::ui {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}
std::string str(const QString& s) {
    return s.toStdString();
}

std::string decimalText(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

constexpr int kIconIndexRole = Qt::UserRole + 1;

} // namespace

int frmMain::selectedFileRow() const {
    const auto items = ListView->selectedItems();
    return items.isEmpty() ? -1 : ListView->indexOfTopLevelItem(items.first());
}

namespace {

// The provider's icon drawn once at the sizes the list uses at scale 1 to 3. The provider's own icon looks
// at its file again each time a row is painted; a list of thousands repainted during a run would stat
// its neighbours with every file.
QIcon fixedIcon(const QIcon& icon) {
    QIcon fixed;
    for (int size : {16, 24, 32, 48}) {
        const QPixmap pixmap = icon.pixmap(QSize(size, size), 1.0);
        if (!pixmap.isNull())
            fixed.addPixmap(pixmap);
    }
    return fixed;
}

} // namespace

bool frmMain::Fun_GetFileIcon(const std::string& path, std::vector<QIcon>& imageList) {
    return Fun_GetFileIcon(QFileInfo(q(path)), imageList);
}

bool frmMain::Fun_GetFileIcon(const QFileInfo& info, std::vector<QIcon>& imageList) {
    static QFileIconProvider provider;
    try {
        // Asked first, the link's own look also answers the rest for a file that is no link: one call.
        const bool link = info.isSymLink();
        if (!info.exists())
            return false;
        // The desktop picks a file's icon by its type, which the extension tells; a name without one may be
        // told by its content, so it is asked for each file.
        const QString suffix = info.suffix().toLower();
        const QString key = suffix.isEmpty() ? QString() : (link ? "l:" : "f:") + suffix;
        auto known = key.isEmpty() ? m_iconsByType.end() : m_iconsByType.find(key);
        QIcon icon;
        if (known != m_iconsByType.end()) {
            icon = known->second;
        } else {
            icon = fixedIcon(provider.icon(info));
            if (!key.isEmpty())
                m_iconsByType.emplace(key, icon);
        }
        // A picture at any size is one at 16 pixels too.
        if (icon.isNull())
            return false;
        // Pictures up to three times the list's size: sharp at every usual scale factor.
        imageList.push_back(icon);
        return true;
    } catch (const std::exception& e) {
        report("ファイルアイコン取得エラー", "[mdlMain]-[Fun_GetFileIcon] ", e.what());
        return false;
    }
}

bool frmMain::Fun_TabChange() {
    setWaitCursor(true);
    setStatusText("表示中...");
    flushStatus();
    try {
        std::string n = std::to_string(currentTab());
        std::optional<TabRow> tab = s.state.MdbDatabase->selectTab(n);
        if (!tab)
            throw std::runtime_error("T_Tab に TabNo=" + n + " の行がありません");
        txtTo->setText(tab->FolderPath ? q(*tab->FolderPath) : QString());

        ListView->setIconSize(QSize(16, 16));
        ImgFileIcon.clear();
        m_iconsByType.clear();
        ListView->clear();

        std::vector<std::string> paths = s.state.MdbDatabase->selectCopyData(n);
        QList<QTreeWidgetItem*> rows;
        rows.reserve(static_cast<qsizetype>(paths.size()));
        long count = 0;
        std::string total;
        for (const std::string& path : paths) {
            const QFileInfo info(q(path));
            bool icon = Fun_GetFileIcon(info, ImgFileIcon);
            auto* row = new QTreeWidgetItem;
            row->setText(0, q(Fun_GetFileNm(s.reporter, path, 3)));
            if (icon) {
                row->setIcon(0, ImgFileIcon.back());
                row->setData(0, kIconIndexRole, static_cast<int>(ImgFileIcon.size()));
            } else {
                row->setData(0, kIconIndexRole, 0);
            }
            row->setText(1, q(path));
            rows.append(row);
            // A regular file's size came with the look the icon took; anything else is asked, and reported.
            const double size = info.isFile() ? static_cast<double>(info.size())
                                              : leadingNumber(Fun_GetFileSize(s.files, s.reporter, path));
            total = decimalText(size + leadingNumber(total));
            ++count;
        }
        ListView->addTopLevelItems(rows);
        if (!rows.isEmpty())
            ListView->setCurrentItem(rows.first());

        setWaitCursor(false);
        setStatusText(std::to_string(count) + "個のファイル  (" + Fun_SizeText(total) + ")");
        flushStatus();
        return true;
    } catch (const std::exception& e) {
        report("タブ切替エラー", "[frmMain]-[Fun_TabChange] ", e.what());
        setWaitCursor(false);
        setStatusText("");
        flushStatus();
        return false;
    }
}

bool frmMain::Fun_ListSetFocus(const std::string& path) {
    try {
        QString wanted = q(path);
        for (int i = 0; i < ListView->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = ListView->topLevelItem(i);
            if (row->text(1) == wanted) {
                ListView->setEnabled(true);
                ListView->setFocus();
                ListView->setCurrentItem(row);
                row->setSelected(true);
                break;
            }
        }
        return true;
    } catch (const std::exception& e) {
        report("該当行選択エラー", "[frmMain]-[Fun_ListSetFocus] ", e.what());
        return false;
    }
}

bool frmMain::Fun_AddList() {
    try {
        FileDialogSpec spec{"ファイル選択", {{"すべてのファイル(*.*)", "*.*"}}, "", false};
        std::optional<std::string> path = s.ui.chooseOpenFile(spec);
        if (!path || path->empty())
            return true;
        std::string n = std::to_string(currentTab());
        if (s.state.MdbDatabase->copyDataExists(n, *path)) {
            ask("このファイルは登録済みです", MsgIcon::Exclamation, MsgButtons::Ok);
            return true;
        }
        s.state.MdbDatabase->insertCopyData(n, *path);
        Fun_TabChange();
        return true;
    } catch (const std::exception& e) {
        report("リスト追加エラー", "[frmMain]-[Fun_AddList] ", e.what());
        return false;
    }
}

bool frmMain::Fun_DeleteList() {
    try {
        if (ListView->topLevelItemCount() == 0) {
            ask("削除するファイルがありません", MsgIcon::Exclamation, MsgButtons::Ok);
            return true;
        }
        // A click on the list's empty part leaves no row selected: nothing to delete, nothing to say.
        int row = selectedFileRow();
        if (row < 0)
            return true;
        QTreeWidgetItem* item = ListView->topLevelItem(row);
        std::string path = str(item->text(1));
        if (ask("リスト内の " + str(item->text(0)) + " を削除します、よろしいですか", MsgIcon::Question,
                MsgButtons::YesNo, MsgAnswer::Yes) == MsgAnswer::No)
            return true;
        s.state.MdbDatabase->deleteCopyData(std::to_string(currentTab()), path);
        Fun_TabChange();
        return true;
    } catch (const std::exception& e) {
        report("リスト削除エラー", "[frmMain]-[Fun_DeleteList] ", e.what());
        return false;
    }
}

void frmMain::ListView_OLEDragDrop(const QStringList& paths, bool hasFileList) {
    if (!hasFileList)
        return;
    try {
        std::string n = std::to_string(currentTab());
        int added = 0;
        for (const QString& dropped : paths) {
            std::string f = str(dropped);
            int attributes = Fun_GetAttr(s.files, f);
            if (attributes == 0 || (attributes & 16))
                continue;
            if (!s.state.MdbDatabase->copyDataExists(n, f)) {
                s.state.MdbDatabase->insertCopyData(n, f);
                ++added;
            } else {
                ask(Fun_GetFileNm(s.reporter, f, 3) + " は登録済みです", MsgIcon::Exclamation,
                    MsgButtons::Ok);
                Fun_ListSetFocus(f);
            }
        }
        if (added > 0)
            Fun_TabChange();
    } catch (const std::exception& e) {
        report("リストドロップエラー", "[frmMain]-[ListView_OLEDragDrop] ", e.what());
    }
}

void frmMain::storeDestination() {
    s.state.MdbDatabase->updateFolderPath(std::to_string(currentTab()), str(txtTo->text()));
}

void frmMain::cmdTo_Click() {
    try {
        if (std::optional<std::string> folder = s.ui.chooseFolder("フォルダを選択してください"))
            txtTo->setText(q(*folder));
        storeDestination();
    } catch (const std::exception& e) {
        report("バックアップ先参照エラー", "[frmMain]-[cmdTo_Click] ", e.what());
    }
}

void frmMain::txtTo_OLEDragDrop(const QStringList& paths, bool hasFileList) {
    try {
        if (!hasFileList || paths.isEmpty())
            throw std::runtime_error("ドロップされたデータにファイルの一覧がありません");
        std::string first = str(paths.first());
        if (Fun_GetAttr(s.files, first) & 16) {
            txtTo->setText(paths.first());
            storeDestination();
        }
    } catch (const std::exception& e) {
        report("バックアップ先ドロップエラー", "[frmMain]-[txtTo_OLEDragDrop] ", e.what());
    }
}

bool frmMain::Fun_OpenFileDir(int list, int target) {
    try {
        bool files = list == 0;
        int rows = files ? ListView->topLevelItemCount() : m_history->rowCount();
        if (rows == 0) {
            ask("ファイルを選択してください", MsgIcon::Exclamation, MsgButtons::Ok);
            return false;
        }
        // Nothing selected (a click on the list's empty part) is no failure: nothing to open.
        int row = files ? selectedFileRow() : selectedLogRow();
        if (row < 0)
            return false;
        std::string path = files ? str(ListView->topLevelItem(row)->text(1)) : m_history->text(row, 4);
        if (target != 0) {
            std::string folder = Fun_GetFileNm(s.reporter, path, 4);
            if (Fun_GetAttr(s.files, folder) & 16) {
                if (!s.shell.openFolder(folder))
                    throw std::runtime_error("ファイルマネージャを起動できませんでした: " + folder);
                return true;
            }
            ask("下記の保存先フォルダが見つかりませんでした\r\n\r\n" + folder, MsgIcon::Exclamation,
                MsgButtons::Ok);
            return false;
        }
        kb::Sub_ShowFlie(s.shell, s.reporter, path);
        return true;
    } catch (const std::exception& e) {
        report("開く/保存先を開くエラー", "[frmMain]-[Fun_OpenFileDir] ", e.what());
        return false;
    }
}

void frmMain::Sub_ShowHelpFlie() {
    kb::Sub_ShowHelpFlie(s.shell, s.reporter, s.folder);
}

void frmMain::Sub_ShowWebFlie() {
    kb::Sub_ShowWebFlie(s.shell, s.reporter);
}

bool frmMain::Fun_Initialize() {
    if (ask("全てのデータを削除します、よろしいですか", MsgIcon::Question, MsgButtons::YesNo,
            MsgAnswer::Yes) == MsgAnswer::No)
        return true;
    if (ask("本当によろしいですか", MsgIcon::Question, MsgButtons::YesNo, MsgAnswer::Yes) == MsgAnswer::No)
        return true;
    try {
        s.state.MdbDatabase->resetToDefaults();
        for (int i = 1; i <= 4; ++i)
            TabMain->setTabText(i - 1, q(kb::tabCaption("設定" + std::to_string(i), "0")));
        selectTab(1);
        Fun_LogRefresh();
        ask("初期化完了　　　", MsgIcon::Information, MsgButtons::Ok);
        return true;
    } catch (const std::exception& e) {
        report("初期化エラー", "[frmMain]-[Fun_Initialize] ", e.what());
        return false;
    }
}

} // namespace kb::ui
