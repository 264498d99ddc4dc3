#include "gui/config/QSettingDlg.h"

#include "core/config/Numbers.h"
#include "core/config/Settings.h"
#include "gui/CtrlButton.h"
#include "gui/ShortcutGuard.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int LabelWidth = 60;
constexpr int NarrowFieldWidth = 60;

QLineEdit *makeEdit(const QString &name, int maxLength, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(maxLength);
    return edit;
}

QComboBox *makeChoice(const QString &name, const QStringList &entries, QWidget *parent)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(entries);
    return box;
}

QLabel *makeLabel(const QString &text, QWidget *parent, int minimumWidth = 0)
{
    auto *label = new QLabel(text, parent);
    if (minimumWidth > 0)
        label->setMinimumWidth(minimumWidth);
    return label;
}

QHBoxLayout *addRow(QVBoxLayout *layout, int margin, const QList<QWidget *> &widgets)
{
    auto *row = new QHBoxLayout;
    row->setContentsMargins(margin, margin, margin, margin);
    for (QWidget *widget : widgets)
        row->addWidget(widget);
    layout->addLayout(row);
    return row;
}

// A stored index that the list does not have leaves the current entry.
void setChoice(QComboBox *box, int index)
{
    if (index >= 0 && index < box->count())
        box->setCurrentIndex(index);
}

} // namespace

QSettingDlg::QSettingDlg(QWidget *parent) : QDialog(parent)
{
    setModal(true);

    workDirEdit = makeEdit(QStringLiteral("workDirEdit"), 255, this);
    proxyEdit = makeEdit(QStringLiteral("proxyEdit"), 127, this);
    portEdit = makeEdit(QStringLiteral("portEdit"), 6, this);
    portEdit->setMaximumWidth(NarrowFieldWidth);
    userIdEdit = makeEdit(QStringLiteral("userIdEdit"), 30, this);
    passwordEdit = makeEdit(QStringLiteral("passwordEdit"), 30, this);
    passwordEdit->setMaximumWidth(NarrowFieldWidth);
    timeoutBox = makeChoice(QStringLiteral("timeoutBox"),
                            {QStringLiteral("15"), QStringLiteral("30"), QStringLiteral("45"),
                             QStringLiteral("60"), QStringLiteral("120")},
                            this);
    htmlViewBox = makeChoice(QStringLiteral("htmlViewBox"),
                             {QStringLiteral("no"), QStringLiteral("yes")}, this);
    cacheBox = makeChoice(QStringLiteral("cacheBox"),
                          {QStringLiteral("384"), QStringLiteral("1024"), QStringLiteral("2048"),
                           QStringLiteral("3072"), QStringLiteral("4096")},
                          this);
    playModeBox = makeChoice(
        QStringLiteral("playModeBox"),
        {QStringLiteral("not use"), QStringLiteral("hardware"), QStringLiteral("software")}, this);
    userAgentBox =
        makeChoice(QStringLiteral("userAgentBox"),
                   {QStringLiteral("zindle"), QStringLiteral("Netfront"), QStringLiteral("Opera"),
                    QStringLiteral("IE6"), QStringLiteral("IE7"), QStringLiteral("Firefox")},
                   this);
    QStringList counts;
    for (int jobs = 1; jobs <= Settings::MaxJobs; ++jobs)
        counts.append(QString::number(jobs));
    jobsBox = makeChoice(QStringLiteral("jobsBox"), counts, this);
    static_assert(Settings::MaxConnections == Settings::MaxJobs);
    connectionsBox = makeChoice(QStringLiteral("connectionsBox"), counts, this);
    auto *applyButton =
        new CtrlButton(tr("&Apply"), Qt::Key_A, QStringLiteral("applyButton"), this);
    auto *undoButton = new CtrlButton(tr("&Undo"), Qt::Key_U, QStringLiteral("undoButton"), this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    addRow(layout, 5, {makeLabel(tr("workdir:"), this, LabelWidth), workDirEdit});
    addRow(layout, 5,
           {makeLabel(tr("proxy:"), this, LabelWidth), proxyEdit, makeLabel(tr("port:"), this),
            portEdit});
    addRow(layout, 5,
           {makeLabel(tr("userID:"), this, LabelWidth), userIdEdit, makeLabel(tr("pass:"), this),
            passwordEdit});
    addRow(layout, 5, {makeLabel(tr("User-Agent:"), this), userAgentBox});
    addRow(layout, 5,
           {makeLabel(tr("time out:"), this), timeoutBox, makeLabel(tr("html view:"), this),
            htmlViewBox});
    addRow(
        layout, 2,
        {makeLabel(tr("cache:"), this), cacheBox, makeLabel(tr("play mode:"), this), playModeBox});
    addRow(layout, 2,
           {makeLabel(tr("jobs:"), this), jobsBox, makeLabel(tr("connections:"), this),
            connectionsBox});
    addRow(layout, 4, {applyButton, undoButton});

    // A text field would take CTRL+A (select all) and CTRL+U for itself; in
    // this dialog they are Apply and Undo wherever the focus is.
    auto *guard = new ShortcutGuard({Qt::CTRL | Qt::Key_A, Qt::CTRL | Qt::Key_U}, this);
    guard->guard({workDirEdit, proxyEdit, portEdit, userIdEdit, passwordEdit});

    connect(applyButton, &QPushButton::clicked, this, &QSettingDlg::apply);
    connect(undoButton, &QPushButton::clicked, this, &QSettingDlg::undo);
}

void QSettingDlg::setSettings(Settings *settings)
{
    this->settings = settings;
    undo();
}

void QSettingDlg::apply()
{
    if (!settings)
        return;
    settings->setCacheIndex(cacheBox->currentIndex());
    settings->setHtmlView(htmlViewBox->currentIndex());
    settings->setPlayMode(playModeBox->currentIndex());
    settings->setTimeoutIndex(timeoutBox->currentIndex());
    settings->setUserAgentIndex(userAgentBox->currentIndex());
    settings->setJobs(jobsBox->currentIndex() + 1);
    settings->setConnections(connectionsBox->currentIndex() + 1);
    settings->setPort(Numbers::leadingNumber(portEdit->text().toLatin1()));

    // The work directory is a prefix of file names. An empty field stays
    // empty (downloads then refuse to start) rather than naming the root.
    QByteArray workDir = workDirEdit->text().toLocal8Bit();
    if (workDir.isEmpty())
        workDir = QByteArrayLiteral("");
    else if (!workDir.endsWith('/'))
        workDir += '/';
    settings->setWorkDir(workDir);
    workDirEdit->setText(QString::fromLocal8Bit(settings->workDir()));

    settings->setProxy(proxyEdit->text().toLocal8Bit());
    settings->setUserId(userIdEdit->text().toLocal8Bit());
    settings->setPassword(passwordEdit->text().toLocal8Bit());
    settings->setModified(true);
    emit applied();
}

void QSettingDlg::undo()
{
    if (!settings)
        return;
    setChoice(cacheBox, settings->cache(0));
    setChoice(htmlViewBox, settings->htmlView());
    setChoice(playModeBox, settings->playMode());
    setChoice(timeoutBox, settings->timeout(0));
    setChoice(userAgentBox, settings->userAgentIndex());
    setChoice(jobsBox, settings->jobs() - 1);
    setChoice(connectionsBox, settings->connections() - 1);
    portEdit->setText(QString::number(settings->port()));
    workDirEdit->setText(QString::fromLocal8Bit(settings->workDir()));
    proxyEdit->setText(QString::fromLocal8Bit(settings->proxy()));
    userIdEdit->setText(QString::fromLocal8Bit(settings->userId()));
    passwordEdit->setText(QString::fromLocal8Bit(settings->password()));
}
