#pragma once

#include <QByteArray>
#include <QRect>
#include <QString>
#include <array>
#include <memory>

class Engine;
class HttpClient;

// The one configuration record: eleven user settings from "z_user.ini" (section
// "settings") in its start directory, and the engine table loaded from
// ".zindles" there. Created and changed on the GUI thread only; jobs read it
// while no settings dialog can be open.
//
// A "z_user.ini" that is there but cannot be read (no permission, not a
// regular file, too large) gives the defaults, says so on standard error, and
// is never written over by this record.
class Settings
{
public:
    static constexpr int MaxEngines = 32;
    static constexpr int MaxJobs = 16;
    static constexpr int DefaultJobs = 3;
    static constexpr int MaxConnections = 16;

    // Lint: as each engine file is loaded, what EngineLint finds in it goes
    // to standard error, one "PATH:LINE: warning: ..." line per finding.
    enum class EngineReport { Quiet, Lint };

    // Reads "z_user.ini" and ".zindles" of dir; an empty dir (the default)
    // stands for the directory that is current now.
    explicit Settings(const QString &dir = QString(), EngineReport report = EngineReport::Quiet);
    virtual ~Settings(); // saves when modified

    QByteArray appDir() const { return m_appDir; }
    QByteArray workDir() const { return m_workDir; }
    QByteArray proxy() const { return m_proxy; }
    QByteArray userId() const { return m_userId; }
    QByteArray password() const { return m_password; }
    QByteArray caFile() const { return m_caFile; }

    int port() const { return m_port; }
    int userAgentIndex() const { return m_userAgentIndex; }
    int htmlView() const { return m_htmlView; }
    int playMode() const { return m_playMode; }
    // Given 0, the stored choice index; otherwise the mapped value (ms, cache size).
    int timeout(int which) const;
    // How many rows the download job works on at once, 1 to MaxJobs
    // ("jobs", default DefaultJobs; a value out of range is clamped).
    int jobs() const { return m_jobs; }
    void setJobs(int jobs);
    // How many connections one video may be fetched over at once, 1 to
    // MaxConnections ("connections", default 1; a value out of range is clamped).
    int connections() const { return m_connections; }
    void setConnections(int connections);
    int cache(int which) const;
    QByteArray userAgent() const;

    // Sets up a client as every request of the program is set up, in this
    // order: time-out, User-Agent, proxy and port, account, extra trusted
    // certificates.
    void configureClient(HttpClient &client) const;

    void setAppDir(const QByteArray &dir);
    // A null text stores the default work directory.
    void setWorkDir(const QByteArray &dir);
    void setProxy(const QByteArray &proxy);
    void setUserId(const QByteArray &id);
    void setPassword(const QByteArray &password);

    void setPort(int port) { m_port = port; }
    void setUserAgentIndex(int index) { m_userAgentIndex = index; }
    void setHtmlView(int value) { m_htmlView = value; }
    void setCacheIndex(int index) { m_cacheIndex = index; }
    void setPlayMode(int mode) { m_playMode = mode; }
    void setTimeoutIndex(int index) { m_timeoutIndex = index; }

    // The main window's frame position and size as last remembered
    // ("window_x", "window_y", "window_width", "window_height"); a null
    // rect unless all four are stored and the size is not empty. Taken as
    // stored: the window fits it to the screens it finds.
    QRect windowGeometry() const { return m_window; }
    // Remembers the window's geometry. One other than the stored one makes
    // save() write the four keys, even when nothing else was changed.
    void setWindowGeometry(const QRect &geometry) { m_window = geometry; }
    // The geometry stored in the "z_user.ini" of dir (empty: the current
    // directory), read before the record itself exists.
    static QRect storedWindowGeometry(const QString &dir = QString());

    bool modified() const { return m_modified; }
    void setModified(bool modified) { m_modified = modified; }
    // Writes the INI file when modified, or only the window keys when only
    // the window geometry changed. Returns false when the write failed
    // or the file could not be read when the record was created (one line
    // on standard error; the old file is kept).
    bool save();

    QString iniPath() const;
    QString engineDir() const;

    // The engine table: slots 0..engineCount()-1 are filled without gaps.
    int engineCount() const;
    const Engine *engine(int index) const; // null outside the table
    const Engine *findEngine(const QByteArray &id) const;

private:
    void loadEngines(EngineReport report);

    QByteArray m_workDir;
    QByteArray m_proxy;
    QByteArray m_userId;
    QByteArray m_password;
    QByteArray m_appDir;
    QByteArray m_caFile;
    int m_userAgentIndex = 0;
    int m_port = 0;
    int m_htmlView = 0;
    int m_cacheIndex = 0;
    int m_playMode = 0;
    int m_timeoutIndex = 0;
    int m_jobs = DefaultJobs;
    bool m_jobsInFile = false; // written back only when the file had it or it changed
    int m_connections = 1;
    bool m_connectionsInFile = false; // as m_jobsInFile
    bool m_modified = false;
    QRect m_window;       // as the window left it
    QRect m_windowStored; // as read, or as last written
    QString m_iniUnread;  // why "z_user.ini" could not be read; empty when it could
    std::array<std::unique_ptr<Engine>, MaxEngines> m_engines;
};
