#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace kb {
struct Services;
class Store;
} // namespace kb

namespace kb::ui {
class FlexGrid;
}

// The options dialog: same-name policy, history options, history clear, and the name and method of
// each of the four backup sets. Nothing but the history clear takes effect before OK.
class frmOption : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmOption)

public:
    frmOption(kb::Services& s, QTabWidget* TabMain, QWidget* parent);
    ~frmOption() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildGrid();
    QWidget* buildLegend();

    bool Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();
    void cmdLogDel_Click();
    void ckLog_Click();
    bool txtLogMax_KeyPress(QKeyEvent* event);
    void vsFlexTab_Click();
    void vsFlexTab_MouseDown(Qt::MouseButton button, int row, int col);
    void vsFlexTab_BeforeEdit(int row, int col);

    kb::Store& store();
    void openNameEditor(int row);

    kb::Services& m_s;
    QTabWidget* m_tabMain;

    QGroupBox* fraRireki = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* cmbSameFile = nullptr;
    QCheckBox* ckLog = nullptr;
    QLabel* lblLogMax = nullptr;
    QLineEdit* txtLogMax = nullptr;
    QPushButton* cmdLogDel = nullptr;
    QGroupBox* fraTab = nullptr;
    kb::ui::FlexGrid* vsFlexTab = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
};
