#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kb {
struct Services;
}

// The version dialog: title, version, last update, copyright and contact lines. Typing D, I, R in a row
// opens the program folder in the file manager.
class frmVersion : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmVersion)

public:
    frmVersion(kb::Services& s, QWidget* parent);
    ~frmVersion() override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void Form_Load();
    void Form_Activate();
    void Form_KeyDown(int KeyCode);
    void cmdOK_Click();

    kb::Services& m_s;
    int m_keywordPos = 0;

    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblLastUpdate = nullptr;
    QLabel* lblCopyright = nullptr;
    QLabel* lblMail = nullptr;
    QLabel* lblURL = nullptr;
    QPushButton* cmdOK = nullptr;
};
