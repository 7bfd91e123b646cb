#include "ui/main/columns_box.h"

#include <algorithm>
#include <cstdlib>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStringList>
#include <QStyle>
#include <QTextLayout>
#include <QtMath>

namespace kb::ui {

namespace {

// How far the first line of a label's text rises above its baseline, with the fonts that draw it.
int ascent(const QLabel* label) {
    QTextLayout layout(label->text(), label->font());
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    return qCeil(line.ascent());
}

} // namespace

bool isColumnsText(const QString& text) {
    return text.contains('\t');
}

void showColumnsBox(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon) {
    QDialog box(parent);
    box.setObjectName("columnsBox");
    box.setWindowTitle(title);

    auto* content = new QWidget;
    auto* grid = new QGridLayout(content);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(box.fontMetrics().horizontalAdvance("ああ"));
    // The blank lines between the entries become the space between the rows.
    grid->setVerticalSpacing(box.fontMetrics().height());
    auto label = [content](const QString& text) {
        auto* l = new QLabel(text, content);
        l->setTextFormat(Qt::PlainText);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return l;
    };
    int row = 0;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        const qsizetype tab = line.indexOf('\t');
        if (tab < 0) {
            grid->addWidget(label(line), row++, 0, 1, 2);
            continue;
        }
        qsizetype start = tab;
        while (start < line.size() && line[start] == '\t')
            ++start;
        QLabel* name = label(line.left(tab));
        QLabel* value = label(line.mid(start));
        value->setObjectName("value");
        // A Japanese label beside a value in Latin letters: their fonts rise differently above the line, so
        // the lower one is moved down until both stand on one baseline.
        const int rise = ascent(name) - ascent(value);
        (rise > 0 ? value : name)->setContentsMargins(0, std::abs(rise), 0, 0);
        grid->addWidget(name, row, 0, Qt::AlignLeft | Qt::AlignTop);
        grid->addWidget(value, row++, 1, Qt::AlignLeft | Qt::AlignTop);
    }
    grid->setColumnStretch(1, 1);

    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(content);

    auto* iconLabel = new QLabel;
    const QStyle::StandardPixmap picture = icon == QMessageBox::Critical   ? QStyle::SP_MessageBoxCritical
                                           : icon == QMessageBox::Warning  ? QStyle::SP_MessageBoxWarning
                                           : icon == QMessageBox::Question ? QStyle::SP_MessageBoxQuestion
                                                                           : QStyle::SP_MessageBoxInformation;
    const int side = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
    iconLabel->setPixmap(
        box.style()->standardIcon(picture, nullptr, &box).pixmap(QSize(side, side), box.devicePixelRatio()));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->setCenterButtons(box.style()->styleHint(QStyle::SH_MessageBox_CenterButtons, nullptr, &box));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);

    auto* top = new QGridLayout(&box);
    top->addWidget(iconLabel, 0, 0, Qt::AlignTop);
    top->addWidget(scroll, 0, 1);
    top->addWidget(buttons, 1, 0, 1, 2);
    top->setHorizontalSpacing(box.fontMetrics().horizontalAdvance("ああ"));
    top->setSizeConstraint(QLayout::SetFixedSize);

    // As wide as the longest value, within the screen that shows the box.
    const QScreen* screen = parent ? parent->screen() : box.screen();
    const int room = screen->availableGeometry().width() - iconLabel->sizeHint().width() - 120;
    const QSize need = content->sizeHint();
    const int bar = need.width() > room ? scroll->horizontalScrollBar()->sizeHint().height() : 0;
    scroll->setFixedSize(std::min(need.width(), room), need.height() + bar);
    box.exec();
}

} // namespace kb::ui
