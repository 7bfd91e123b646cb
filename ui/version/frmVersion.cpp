#include "ui/version/frmVersion.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <stdexcept>
#include <string>

#include "app/program_folder.h"
#include "app/reporter.h"
#include "app/user_interface.h"
#include "app/version.h"
#include "backup/services.h"
#include "platform/shell.h"

namespace {
constexpr char kKeyword[] = "DIR";
constexpr int kKeywordLength = sizeof(kKeyword) - 1;
constexpr int kIconSize = 32;
} // namespace

// Outside every namespace, as the resource initialiser's declaration needs. The pictures live in a static
// library; naming its initialiser keeps them linked in.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

frmVersion::frmVersion(kb::Services& s, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_s(s) {
    initResources();
    setObjectName("frmVersion");
    setWindowTitle("バージョン情報");
    // Modal and owned by the main window: QDialog centres it over that window and keeps it off the taskbar.
    setModal(true);
    buildControls();
    Form_Load();
}

frmVersion::~frmVersion() = default;

void frmVersion::buildControls() {
    auto makeLabel = [this](const char* name) {
        auto* label = new QLabel(this);
        label->setObjectName(name);
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::NoTextInteraction);
        return label;
    };
    picIcon = makeLabel("picIcon");
    picIcon->setFixedSize(kIconSize, kIconSize);
    lblTitle = makeLabel("lblTitle");
    QFont titleFont = lblTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSize(12);
    lblTitle->setFont(titleFont);
    lblLastUpdate = makeLabel("lblLastUpdate");
    lblCopyright = makeLabel("lblCopyright");
    lblMail = makeLabel("lblMail");
    lblURL = makeLabel("lblURL");

    cmdOK = new QPushButton("OK", this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });

    auto* text = new QVBoxLayout;
    text->setSpacing(4);
    text->addWidget(lblTitle);
    text->addSpacing(6);
    text->addWidget(lblLastUpdate);
    text->addWidget(lblCopyright);
    text->addSpacing(6);
    text->addWidget(lblMail);
    text->addWidget(lblURL);

    auto* body = new QHBoxLayout;
    body->setSpacing(16);
    body->addWidget(picIcon, 0, Qt::AlignTop);
    body->addLayout(text, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(16, 16, 16, 12);
    top->addLayout(body);
    top->addSpacing(8);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);

    // Every key reaches the keyword check first, whichever control has the focus.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
}

void frmVersion::Form_Load() {
    const QIcon icon(":/icons/kestrelbox.svg");
    picIcon->setPixmap(icon.pixmap(QSize(kIconSize, kIconSize), devicePixelRatioF()));
    lblTitle->setText(
        QString("%1  Ver %2.%3").arg(kb::kAppTitle).arg(kb::version::major).arg(kb::version::minor));
    lblLastUpdate->setText(QString("LastUpdate: ") + QString::fromUtf8(kb::version::lastUpdate));
    lblCopyright->setText(QString::fromUtf8(kb::version::copyright));
    lblMail->setText(QString("Mail: ") + QString::fromUtf8(kb::version::mail));
    lblURL->setText(QString("URL: ") + QString::fromUtf8(kb::version::webUrl));
}

void frmVersion::Form_Activate() {
    cmdOK->setFocus(Qt::ActiveWindowFocusReason);
    m_keywordPos = 0;
}

bool frmVersion::event(QEvent* event) {
    if (event->type() == QEvent::Show || event->type() == QEvent::WindowActivate) {
        const bool handled = QDialog::event(event);
        Form_Activate();
        return handled;
    }
    return QDialog::event(event);
}

bool frmVersion::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        // A key the focused control ignores travels on to the dialog; count it once, where it arrived.
        QWidget* receiver = focusWidget() ? focusWidget() : this;
        if (watched == receiver)
            Form_KeyDown(static_cast<QKeyEvent*>(event)->key());
    }
    return QDialog::eventFilter(watched, event);
}

void frmVersion::Form_KeyDown(int KeyCode) {
    try {
        if (KeyCode != kKeyword[m_keywordPos]) {
            m_keywordPos = 0;
            return;
        }
        if (++m_keywordPos < kKeywordLength)
            return;
        m_keywordPos = 0;
        const std::string dir = m_s.folder.dir().string();
        if (!m_s.shell.openFolder(dir))
            throw std::runtime_error("ファイルマネージャーを起動できません: " + dir);
    } catch (const std::exception& e) {
        m_s.reporter.report("キーダウンエラー", "[frmVersion]-[Form_KeyDown] ", e.what());
    }
}

void frmVersion::cmdOK_Click() {
    accept();
}
