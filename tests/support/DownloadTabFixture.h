#pragma once

#include "core/job/ResultRow.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class QDownloadWidget;
class QPushButton;
class QTreeWidget;
class QZindleDlg;

// A test's folder for the main window (z_user.ini, the engine, work/) and
// the download tab of a window started there. GUI tests take it as a base
// beside QObject and call makeDir() in init() and reset() in cleanup().
class DownloadTabFixture
{
public:
    enum class Window { Hidden, Shown };

    // `engine` is the engine text writeSetup() writes, with "PORT".
    DownloadTabFixture(QByteArray engine, Window window);

    // A new temporary folder holding the work folder `work` (a path under it).
    void makeDir(const QString &work);
    void reset() { m_dir.reset(); }

    // A one-job z_user.ini whose work directory is workDir(), and the engine.
    void writeSetup(quint16 port, const QByteArray &iniExtra = {});
    // A window bound to the folder and past its first tick (shown first, at
    // 640 x 480, for Window::Shown), with the rows in its list top to bottom.
    // A shown window ends on its download tab.
    void startWindow(QZindleDlg &window, const QList<ResultRow> &rows = {});

    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    // The work directory "work/" of z_user.ini, as a whole path.
    QByteArray workDir() const;

protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    QDownloadWidget *m_tab = nullptr;
    QTreeWidget *m_list = nullptr;
    QPushButton *m_download = nullptr;

private:
    QByteArray m_engine;
    Window m_window;
};
