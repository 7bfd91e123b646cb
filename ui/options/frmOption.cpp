#include "ui/options/frmOption.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/number_text.h"
#include "app/reporter.h"
#include "app/settings.h"
#include "app/user_interface.h"
#include "backup/methods.h"
#include "backup/services.h"
#include "store/shared_state.h"
#include "store/store.h"

namespace kb::ui {

// Stands in for the grid control: cell (0, c) and (r, 0) are the fixed header row and column, the rest are
// data cells. Editors open only when the dialog asks for one; the owner decides the editor in BeforeEdit.
class FlexGrid : public QTableWidget {
public:
    FlexGrid(int rows, int cols, QWidget* parent) : QTableWidget(rows, cols, parent) {}

    QString ComboList;     // "a|b|c": the editor is a drop-down of these; empty: a text editor
    int EditMaxLength = 0; // characters the text editor takes; 0 is no limit

    std::function<void()> onClick;
    std::function<void(Qt::MouseButton, int, int)> onMouseDown;
    std::function<void(int, int)> onBeforeEdit;

    bool editing() const { return state() == QAbstractItemView::EditingState; }
    bool isDataCell(int row, int col) const {
        return row >= 1 && col >= 1 && row < rowCount() && col < columnCount();
    }

protected:
    void mousePressEvent(QMouseEvent* e) override { press(e); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { press(e); }

    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && m_leftDown) {
            m_leftDown = false;
            if (onClick)
                onClick();
        }
    }

    void mouseMoveEvent(QMouseEvent* e) override {
        // Dragging must neither select nor move the current cell.
        if (e->buttons() == Qt::NoButton)
            QTableWidget::mouseMoveEvent(e);
    }

    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override {
        QModelIndex next = QTableWidget::moveCursor(action, modifiers);
        if (!next.isValid())
            return next;
        return model()->index(std::max(next.row(), 1), std::max(next.column(), 1));
    }

    // Typing never moves the current cell to a matching text.
    void keyboardSearch(const QString&) override {}

private:
    void press(QMouseEvent* e) {
        const QModelIndex at = indexAt(e->position().toPoint());
        const int row = at.isValid() ? at.row() : -1;
        const int col = at.isValid() ? at.column() : -1;
        if (e->button() == Qt::LeftButton) {
            setFocus(Qt::MouseFocusReason);
            if (isDataCell(row, col))
                setCurrentCell(row, col);
            m_leftDown = true;
        }
        if (onMouseDown)
            onMouseDown(e->button(), row, col);
    }

    bool m_leftDown = false;
};

namespace {

// Cells are painted without the selection highlight and the focus rectangle; editors follow the grid's
// ComboList and EditMaxLength as BeforeEdit left them.
class FlexDelegate : public QStyledItemDelegate {
public:
    explicit FlexDelegate(FlexGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem plain(option);
        plain.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        QStyledItemDelegate::paint(painter, plain, index);
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        m_grid->ComboList.clear();
        m_grid->EditMaxLength = 0;
        if (m_grid->onBeforeEdit)
            m_grid->onBeforeEdit(index.row(), index.column());
        if (!m_grid->ComboList.isEmpty()) {
            auto* combo = new QComboBox(parent);
            combo->setObjectName("vsFlexTabCombo");
            combo->addItems(m_grid->ComboList.split('|'));
            combo->setEditable(false);
            auto* self = const_cast<FlexDelegate*>(this);
            // A pick shows in the cell at once; the editor stays until Enter or leaving the cell.
            QObject::connect(combo, &QComboBox::activated, combo,
                             [self, combo](int) { emit self->commitData(combo); });
            return combo;
        }
        auto* edit = new QLineEdit(parent);
        edit->setObjectName("vsFlexTabEdit");
        edit->setFrame(false);
        return edit;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        const QString text = index.data(Qt::EditRole).toString();
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly));
        } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            // A stored name longer than the limit is shown whole rather than cut on opening the editor.
            const int limit = m_grid->EditMaxLength;
            edit->setMaxLength(limit > 0 ? std::max<int>(limit, static_cast<int>(text.size()))
                                         : std::numeric_limits<int>::max());
            edit->setText(text);
            edit->selectAll();
        }
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            if (combo->currentIndex() >= 0)
                model->setData(index, combo->currentText(), Qt::EditRole);
        } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            model->setData(index, edit->text(), Qt::EditRole);
        }
    }

private:
    FlexGrid* m_grid;
};

constexpr int kGridRows = 5;
constexpr int kGridCols = 3;
const char* const kSampleWidths[kGridCols] = {" ああ ", " あああああああああああ ", " ああああああああ "};
const char* const kHeaders[kGridCols] = {"No", "タブ名", "バックアップ方法"};
constexpr int kNameMaxLength = 30;

constexpr const char* kLoadCaption = "フォームロードエラー";
constexpr const char* kLoadContext = "[frmOption]-[Form_Load] ";
constexpr const char* kSaveCaption = "保存エラー";
constexpr const char* kSaveContext = "[frmOption]-[cmdOK_Click] ";
constexpr const char* kLogDelCaption = "履歴削除エラー";
constexpr const char* kLogDelContext = "[frmOption]-[cmdLogDel_Click] ";

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// The history size as the box holds it, typed or pasted; the empty box stands for 0.
std::int32_t countOf(const QString& box) {
    const std::string text = box.toStdString();
    if (text.empty())
        return 0;
    const std::optional<double> value = kb::wholeNumber(text);
    if (!value)
        throw std::runtime_error("最大件数が数値ではありません: " + text);
    const std::optional<std::int32_t> count = kb::roundedInt32(*value);
    if (!count)
        throw std::runtime_error("最大件数が大きすぎます: " + text);
    return *count;
}

bool isBlankName(const QString& name) {
    for (QChar c : name)
        if (c != QChar(u' ') && c != QChar(u'\u3000'))
            return false;
    return true;
}

} // namespace
} // namespace kb::ui

using kb::ui::FlexGrid;

frmOption::frmOption(kb::Services& s, QTabWidget* TabMain, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_s(s), m_tabMain(TabMain) {
    setObjectName("frmOption");
    setWindowTitle("オプション");
    // Modal and owned by the main window: QDialog centres it over that window and keeps it off the taskbar.
    setModal(true);
    buildControls();
    Form_Load();
}

frmOption::~frmOption() = default;

void frmOption::buildControls() {
    fraRireki = new QGroupBox("基本設定", this);
    fraRireki->setObjectName("fraRireki");

    Label1 = new QLabel("同名ファイル存在時処理(&S):", fraRireki);
    Label1->setObjectName("Label1");
    Label1->setToolTip("バックアップ先に同名ファイルが存在する場合");
    cmbSameFile = new QComboBox(fraRireki);
    cmbSameFile->setObjectName("cmbSameFile");
    cmbSameFile->setEditable(false);
    cmbSameFile->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    Label1->setBuddy(cmbSameFile);

    ckLog = new QCheckBox("バックアップ履歴を保存する(&B)", fraRireki);
    ckLog->setObjectName("ckLog");

    lblLogMax = new QLabel("最大件数(&M):", fraRireki);
    lblLogMax->setObjectName("lblLogMax");
    txtLogMax = new QLineEdit(fraRireki);
    txtLogMax->setObjectName("txtLogMax");
    txtLogMax->setToolTip("未指定時、無制限");
    txtLogMax->setMaxLength(4);
    txtLogMax->setAlignment(Qt::AlignRight);
    txtLogMax->setFixedWidth(txtLogMax->fontMetrics().horizontalAdvance("00000") + 12);
    // Composed input would bypass the key filter.
    txtLogMax->setAttribute(Qt::WA_InputMethodEnabled, false);
    txtLogMax->setInputMethodHints(Qt::ImhDigitsOnly);
    txtLogMax->installEventFilter(this);
    lblLogMax->setBuddy(txtLogMax);

    cmdLogDel = new QPushButton("履歴クリア(&C)", fraRireki);
    cmdLogDel->setObjectName("cmdLogDel");
    cmdLogDel->setAutoDefault(false);

    auto* basic = new QGridLayout(fraRireki);
    basic->addWidget(Label1, 0, 0);
    basic->addWidget(cmbSameFile, 0, 1, 1, 3, Qt::AlignLeft);
    basic->addWidget(ckLog, 1, 0, 1, 4, Qt::AlignLeft);
    auto* count = new QHBoxLayout;
    count->addSpacing(20);
    count->addWidget(lblLogMax);
    count->addWidget(txtLogMax);
    count->addStretch(1);
    basic->addLayout(count, 2, 0, 1, 2);
    basic->addWidget(cmdLogDel, 2, 3, Qt::AlignRight);
    basic->setColumnStretch(2, 1);

    fraTab = new QGroupBox("タブ別設定", this);
    fraTab->setObjectName("fraTab");
    buildGrid();
    auto* sets = new QHBoxLayout(fraTab);
    sets->addWidget(vsFlexTab, 0, Qt::AlignTop);
    sets->addSpacing(12);
    sets->addWidget(buildLegend(), 1, Qt::AlignTop);

    cmdOK = new QPushButton("OK", this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton("キャンセル", this);
    cmdCancel->setObjectName("cmdCancel");
    cmdCancel->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);

    auto* top = new QVBoxLayout(this);
    top->addWidget(fraRireki);
    top->addWidget(fraTab);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);

    connect(ckLog, &QCheckBox::toggled, this, [this] { ckLog_Click(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(cmdLogDel, &QPushButton::clicked, this, [this] { cmdLogDel_Click(); });
}

void frmOption::buildGrid() {
    vsFlexTab = new FlexGrid(kb::ui::kGridRows, kb::ui::kGridCols, fraTab);
    vsFlexTab->setObjectName("vsFlexTab");
    vsFlexTab->horizontalHeader()->hide();
    vsFlexTab->verticalHeader()->hide();
    vsFlexTab->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    vsFlexTab->horizontalHeader()->setStretchLastSection(true);
    vsFlexTab->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    vsFlexTab->verticalHeader()->setMinimumSectionSize(1);
    vsFlexTab->setSelectionMode(QAbstractItemView::NoSelection);
    vsFlexTab->setEditTriggers(QAbstractItemView::NoEditTriggers);
    vsFlexTab->setTabKeyNavigation(false);
    vsFlexTab->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    vsFlexTab->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    vsFlexTab->setContextMenuPolicy(Qt::PreventContextMenu);
    vsFlexTab->setWordWrap(false);
    vsFlexTab->setItemDelegate(new kb::ui::FlexDelegate(vsFlexTab));

    const QBrush fixedBrush = palette().brush(QPalette::Button);
    for (int r = 0; r < kb::ui::kGridRows; ++r) {
        for (int c = 0; c < kb::ui::kGridCols; ++c) {
            auto* item = new QTableWidgetItem;
            if (vsFlexTab->isDataCell(r, c)) {
                item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
            } else {
                item->setFlags(Qt::ItemIsEnabled);
                item->setBackground(fixedBrush);
            }
            vsFlexTab->setItem(r, c, item);
        }
    }

    // The grid is as wide as its three sample columns and exactly tall enough for its five rows.
    const QFontMetrics fm(font());
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, vsFlexTab) + 1) + 1;
    int width = 2 * vsFlexTab->frameWidth();
    for (const char* sample : kb::ui::kSampleWidths)
        width += fm.horizontalAdvance(QString::fromUtf8(sample)) + margin;
    const int rowHeight = fm.height() + 8;
    vsFlexTab->verticalHeader()->setDefaultSectionSize(rowHeight);
    vsFlexTab->setFixedSize(width, kb::ui::kGridRows * rowHeight + 2 * vsFlexTab->frameWidth());

    vsFlexTab->onClick = [this] { vsFlexTab_Click(); };
    vsFlexTab->onMouseDown = [this](Qt::MouseButton b, int r, int c) { vsFlexTab_MouseDown(b, r, c); };
    vsFlexTab->onBeforeEdit = [this](int r, int c) { vsFlexTab_BeforeEdit(r, c); };
}

QWidget* frmOption::buildLegend() {
    auto* legend = new QWidget(fraTab);
    auto* grid = new QGridLayout(legend);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(2);
    int index = 0;
    auto add = [&](const QString& text, int row, int col, int span, Qt::Alignment align) {
        auto* label = new QLabel(text, legend);
        label->setObjectName("lbl");
        label->setProperty("Index", index++);
        label->setAlignment(align | Qt::AlignVCenter);
        grid->addWidget(label, row, col, 1, span);
    };
    add("** バックアップ方法 **", 0, 0, 2, Qt::AlignLeft);
    add("例) 2006/01/01 12:30 に \"test.txt\" をバックアップ", 1, 0, 2, Qt::AlignLeft);
    const QString sep{QChar(std::filesystem::path::preferred_separator)};
    const QString examples[kb::kMethodCount] = {"test.txt",
                                                "test_060101.txt",
                                                "test_060101_1230.txt",
                                                "060101" + sep + "test.txt",
                                                "060101_1230" + sep + "test.txt",
                                                "060101.lzh",
                                                "060101_1230.lzh"};
    for (int m = 0; m < kb::kMethodCount; ++m) {
        const QString name = kb::ui::q(kb::methodDisplayName(std::to_string(m))) + " ：";
        add(name, 2 + m, 0, 1, Qt::AlignRight);
        add(examples[m], 2 + m, 1, 1, Qt::AlignLeft);
    }
    grid->setColumnStretch(1, 1);
    return legend;
}

bool frmOption::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txtLogMax && event->type() == QEvent::KeyPress)
        return txtLogMax_KeyPress(static_cast<QKeyEvent*>(event));
    return QDialog::eventFilter(watched, event);
}

kb::Store& frmOption::store() {
    if (!m_s.state.MdbDatabase)
        throw kb::StoreError("データベースが開かれていません");
    return *m_s.state.MdbDatabase;
}

bool frmOption::Form_Load() {
    try {
        for (int i = 0; i < kb::kPolicyCount; ++i)
            cmbSameFile->addItem(kb::ui::q(kb::sameFilePolicyName(i)));
        // The box selected its first item by itself; a value out of range must show no policy at all.
        cmbSameFile->setCurrentIndex(-1);
        const int sameFile = m_s.state.SameFile;
        if (sameFile < -1 || sameFile >= kb::kPolicyCount)
            throw std::runtime_error("同名ファイル存在時処理の値が不正です: " + std::to_string(sameFile));
        cmbSameFile->setCurrentIndex(sameFile);

        if (m_s.state.BackupLog != 0 && m_s.state.BackupLog != 1)
            throw std::runtime_error("バックアップ履歴の値が不正です: " +
                                     std::to_string(m_s.state.BackupLog));
        ckLog->setChecked(m_s.state.BackupLog == 1);

        const QString count =
            m_s.state.BackupLogMax == 0 ? QString() : QString::number(m_s.state.BackupLogMax);
        // A hand-edited count wider than the box is kept whole, so that OK does not cut it.
        txtLogMax->setMaxLength(std::max<int>(4, static_cast<int>(count.size())));
        txtLogMax->setText(count);

        ckLog_Click();

        const QFontMetrics fm(font());
        const int margin =
            2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, vsFlexTab) + 1) + 1;
        for (int c = 0; c < kb::ui::kGridCols; ++c) {
            vsFlexTab->setColumnWidth(c, fm.horizontalAdvance(QString::fromUtf8(kb::ui::kSampleWidths[c])) +
                                             margin);
            const Qt::Alignment align = c == 1 ? Qt::AlignLeft : Qt::AlignHCenter;
            for (int r = 1; r < kb::ui::kGridRows; ++r)
                vsFlexTab->item(r, c)->setTextAlignment(align | Qt::AlignVCenter);
            vsFlexTab->item(0, c)->setTextAlignment(Qt::AlignCenter);
            vsFlexTab->item(0, c)->setText(kb::ui::q(kb::ui::kHeaders[c]));
        }

        int row = 1;
        for (const kb::TabRow& tab : store().selectTabs()) {
            if (row >= kb::ui::kGridRows)
                throw std::runtime_error("T_Tab の行が多すぎます");
            vsFlexTab->item(row, 0)->setText(kb::ui::q(tab.TabNo));
            vsFlexTab->item(row, 1)->setText(kb::ui::q(tab.TabName));
            vsFlexTab->item(row, 2)->setText(kb::ui::q(kb::methodDisplayName(tab.NameType)));
            ++row;
        }
        vsFlexTab->setCurrentCell(1, 1);
        return true;
    } catch (const std::exception& e) {
        vsFlexTab->setCurrentCell(1, 1);
        m_s.reporter.report(kb::ui::kLoadCaption, kb::ui::kLoadContext, e.what());
        return false;
    }
}

void frmOption::ckLog_Click() {
    const bool on = ckLog->isChecked();
    txtLogMax->setEnabled(on);
    lblLogMax->setEnabled(on);
}

bool frmOption::txtLogMax_KeyPress(QKeyEvent* event) {
    // Only printable characters are typed characters; Backspace and chords such as the paste key pass.
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier | Qt::AltModifier))
        return false;
    for (QChar c : event->text())
        if (c.isPrint() && !(c >= u'0' && c <= u'9'))
            return true;
    return false;
}

void frmOption::vsFlexTab_Click() {
    const int col = vsFlexTab->currentColumn();
    if ((col == 1 || col == 2) && !vsFlexTab->editing())
        vsFlexTab->editItem(vsFlexTab->currentItem());
}

void frmOption::vsFlexTab_MouseDown(Qt::MouseButton button, int row, int col) {
    if (button == Qt::RightButton && vsFlexTab->isDataCell(row, col))
        vsFlexTab->setCurrentCell(row, col);
}

void frmOption::vsFlexTab_BeforeEdit(int, int col) {
    if (col == 1) {
        vsFlexTab->EditMaxLength = kb::ui::kNameMaxLength;
    } else if (col == 2) {
        QStringList names;
        for (int m = 0; m < kb::kMethodCount; ++m)
            names << kb::ui::q(kb::methodDisplayName(std::to_string(m)));
        vsFlexTab->ComboList = names.join('|');
    }
}

void frmOption::openNameEditor(int row) {
    vsFlexTab->setFocus(Qt::OtherFocusReason);
    vsFlexTab->setCurrentCell(row, 1);
    if (!vsFlexTab->editing())
        vsFlexTab->editItem(vsFlexTab->item(row, 1));
}

void frmOption::cmdOK_Click() {
    try {
        const std::int32_t count = kb::ui::countOf(txtLogMax->text());
        if (!txtLogMax->text().isEmpty() && ckLog->isChecked() && count < 1) {
            m_s.ui.messageBox("最大件数は、1以上の数字を入力してください", kb::MsgIcon::Exclamation,
                              kb::MsgButtons::Ok);
            txtLogMax->setFocus(Qt::OtherFocusReason);
            txtLogMax->selectAll();
            return;
        }

        for (int row = 1; row < kb::ui::kGridRows; ++row) {
            if (kb::ui::isBlankName(vsFlexTab->item(row, 1)->text())) {
                m_s.ui.messageBox("タブ名を入力してください", kb::MsgIcon::Exclamation, kb::MsgButtons::Ok);
                openNameEditor(row);
                return;
            }
        }

        // With no item chosen the policy stays as it was: OK never stores one the user did not pick.
        if (cmbSameFile->currentIndex() >= 0)
            m_s.state.SameFile = static_cast<std::int16_t>(cmbSameFile->currentIndex());
        m_s.ini.Fun_WriteIni("Option", "SameFile", std::to_string(m_s.state.SameFile));

        m_s.state.BackupLog = ckLog->isChecked() ? 1 : 0;
        m_s.ini.Fun_WriteIni("Option", "BackupLog", std::to_string(m_s.state.BackupLog));

        m_s.state.BackupLogMax = count;
        m_s.ini.Fun_WriteIni("Option", "BackupLogMax", std::to_string(m_s.state.BackupLogMax));

        for (int row = 1; row < kb::ui::kGridRows; ++row) {
            const std::string name = vsFlexTab->item(row, 1)->text().toStdString();
            const std::string method = vsFlexTab->item(row, 2)->text().toStdString();
            const std::string code = kb::methodCode(method);
            if (code.empty())
                throw std::runtime_error("バックアップ方法が不正です: " + method);
            store().updateTab(std::to_string(row), name, code);
            if (m_tabMain)
                m_tabMain->setTabText(row - 1, kb::ui::q(kb::tabCaption(name, code)));
        }
    } catch (const std::exception& e) {
        m_s.reporter.report(kb::ui::kSaveCaption, kb::ui::kSaveContext, e.what());
        return;
    }
    accept();
}

void frmOption::cmdCancel_Click() {
    reject();
}

void frmOption::cmdLogDel_Click() {
    if (m_s.ui.messageBox("全ての履歴を削除します、よろしいですか", kb::MsgIcon::Question,
                          kb::MsgButtons::YesNo, kb::MsgAnswer::Yes) == kb::MsgAnswer::No)
        return;
    try {
        store().deleteAllCopyLog();
        // The list reports its own failure; the completion notice would then be untrue.
        if (!m_s.ui.logRefresh())
            return;
        m_s.ui.messageBox("履歴クリア完了　 　", kb::MsgIcon::Information, kb::MsgButtons::Ok);
    } catch (const std::exception& e) {
        m_s.reporter.report(kb::ui::kLogDelCaption, kb::ui::kLogDelContext, e.what());
    }
}
