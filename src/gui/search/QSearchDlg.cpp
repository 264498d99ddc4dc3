#include "gui/search/QSearchDlg.h"

#include "core/config/Engine.h"
#include "gui/CtrlButton.h"
#include "gui/ShortcutGuard.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QVBoxLayout>

namespace {

// The stepping keys, in the order of the slots they trigger.
const QKeyCombination StepKeys[] = {
    Qt::CTRL | Qt::Key_J,     Qt::CTRL | Qt::Key_K,  Qt::CTRL | Qt::Key_Left,
    Qt::CTRL | Qt::Key_Right, Qt::CTRL | Qt::Key_Up, Qt::CTRL | Qt::Key_Down,
};

// Moves the selector by one entry; no wrap-around, an empty selector stays.
void step(QComboBox *box, int delta)
{
    const int next = box->currentIndex() + delta;
    if (next >= 0 && next < box->count())
        box->setCurrentIndex(next);
}

QComboBox *makeSelector(QWidget *parent, const QString &name)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->setEditable(false);
    return box;
}

} // namespace

QSearchDlg::QSearchDlg(QWidget *parent) : QDialog(parent)
{
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setSizeGripEnabled(false);
    layout->addWidget(statusBar);

    auto *row = new QHBoxLayout;
    row->setContentsMargins(3, 3, 3, 3);
    row->setSpacing(3);
    engineBox = makeSelector(this, QStringLiteral("engineBox"));
    modeBox = makeSelector(this, QStringLiteral("modeBox"));
    pageBox = makeSelector(this, QStringLiteral("pageBox"));
    row->addWidget(engineBox);
    row->addWidget(modeBox);
    row->addWidget(pageBox);
    layout->addLayout(row);

    wordEdit = new QLineEdit(this);
    wordEdit->setObjectName(QStringLiteral("wordEdit"));
    layout->addWidget(wordEdit);

    actionButton =
        new CtrlButton(tr("Search(&L)"), Qt::Key_L, QStringLiteral("actionButton"), this);
    layout->addWidget(actionButton);

    modeBox->addItems({tr("Title"), tr("User"), tr("URL")});
    for (int page = 0; page < Engine::PageCount; ++page)
        pageBox->addItem(QString::asprintf("%02d", page));

    using Slot = void (QSearchDlg::*)();
    const Slot steppers[] = {&QSearchDlg::incEngine, &QSearchDlg::decEngine, &QSearchDlg::incMode,
                             &QSearchDlg::decMode,   &QSearchDlg::incPage,   &QSearchDlg::decPage};
    for (size_t i = 0; i < std::size(steppers); ++i) {
        auto *shortcut = new QShortcut(QKeySequence(StepKeys[i]), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, steppers[i]);
    }
    // The word entry would take CTRL+Left/Right (and, on some platforms,
    // CTRL+K) for itself; in this dialog they step the selectors.
    auto *guard =
        new ShortcutGuard(QList<QKeyCombination>(std::begin(StepKeys), std::end(StepKeys)), this);
    guard->guard({wordEdit});
}

QPushButton *QSearchDlg::searchButton() const
{
    return actionButton;
}

int QSearchDlg::engineIndex() const
{
    return engineBox->currentIndex();
}

int QSearchDlg::modeIndex() const
{
    return modeBox->currentIndex();
}

int QSearchDlg::pageIndex() const
{
    return pageBox->currentIndex();
}

int QSearchDlg::searchWord(QByteArray &out) const
{
    out = wordEdit->text().toLocal8Bit();
    return int(out.size());
}

int QSearchDlg::addEngine(const char *title)
{
    if (!title)
        return 0;
    engineBox->addItem(QString::fromLocal8Bit(title));
    return 1;
}

void QSearchDlg::setSearchButtonText(const QString &text)
{
    actionButton->setTextKeepingKey(text);
}

void QSearchDlg::incEngine()
{
    step(engineBox, 1);
}

void QSearchDlg::decEngine()
{
    step(engineBox, -1);
}

void QSearchDlg::incMode()
{
    step(modeBox, 1);
}

void QSearchDlg::decMode()
{
    step(modeBox, -1);
}

void QSearchDlg::incPage()
{
    step(pageBox, 1);
}

void QSearchDlg::decPage()
{
    step(pageBox, -1);
}
