#include "DownloadTabFixture.h"

#include "TestFiles.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/download/QDownloadWidget.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>

DownloadTabFixture::DownloadTabFixture(QByteArray engine, Window window)
    : m_engine(std::move(engine)), m_window(window)
{}

void DownloadTabFixture::makeDir(const QString &work)
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(work));
}

QByteArray DownloadTabFixture::workDir() const
{
    return QFile::encodeName(path(QStringLiteral("work/")));
}

void DownloadTabFixture::writeSetup(quint16 port, const QByteArray &iniExtra)
{
    QVERIFY(TestFiles::writeSetup(m_dir->path(), workDir(), m_engine, port, iniExtra));
}

void DownloadTabFixture::startWindow(QZindleDlg &window, const QList<ResultRow> &rows)
{
    m_tab = window.findChild<QDownloadWidget *>(QStringLiteral("downloadTab"));
    QVERIFY(m_tab);
    window.setStartDirectory(m_dir->path());
    if (m_window == Window::Shown) {
        window.resize(640, 480);
        window.show();
    }
    m_list = m_tab->findChild<QTreeWidget *>(QStringLiteral("listView"));
    m_download = m_tab->findChild<QPushButton *>(QStringLiteral("downloadButton"));
    QVERIFY(m_list && m_download);
    QTRY_VERIFY(window.settingsRecord());
    for (qsizetype i = rows.size() - 1; i >= 0; --i)
        RowItems::insertAtHead(m_list, rows[i]);
    if (m_window == Window::Shown)
        window.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentWidget(m_tab);
}
