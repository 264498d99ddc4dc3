#include "core/config/Settings.h"

#include "core/config/Engine.h"
#include "core/config/EngineLint.h"
#include "core/config/IniFile.h"
#include "core/net/HttpClient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

namespace {

const QByteArray Section = QByteArrayLiteral("settings");
const char DefaultWorkDir[] = "/home/zaurus/Documents/Movie_Files/";

const char *const UserAgents[] = {
    "Mozilla/4.08 (PDA; ZAURUS,Qtopia/1.5.4) zindles",
    "Mozilla/4.08 (PDA; SL-C1000/1.0,Qtopia/1.5.4) NetFront/3.1",
    "Opera/9.10 (Nintendo Wii; U; ; 1621; ja)",
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; .NET CLR 1.1.4322; .NET CLR 2.0.50727)",
    "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; SV1)",
    "Mozilla/5.0 (Windows; U; Windows NT 5.1; ja; rv:1.8.1.3) Gecko/20070309 Firefox/2.0.0.3",
};
const int Timeouts[] = {15000, 30000, 45000, 60000, 120000};
const int Caches[] = {384, 1024, 2048, 3072, 4096};

// An index outside the table maps to its last entry.
template<typename T, std::size_t N>
T choice(const T (&table)[N], int index)
{
    return index >= 0 && std::size_t(index) < N ? table[index] : table[N - 1];
}

// Never null: an unset text is the empty text.
QByteArray textOrEmpty(const QByteArray &text)
{
    return text.isNull() ? QByteArray("") : text;
}

// The directory a record reads: dir, or the current one for an empty dir.
QByteArray startDirectory(const QString &dir)
{
    return QFile::encodeName(dir.isEmpty() ? QDir::currentPath()
                                           : QDir::cleanPath(QDir(dir).absolutePath()));
}

const char *const WindowKeys[] = {"window_x", "window_y", "window_width", "window_height"};

// Beyond any screen, and far enough from INT_MAX that QRect's corners do not overflow.
constexpr int WindowLimit = 1000000;

QRect readWindow(const IniFile &ini)
{
    int values[4];
    for (int i = 0; i < 4; ++i) {
        if (ini.value(Section, WindowKeys[i], QByteArray()).isNull())
            return {};
        values[i] = qBound(-WindowLimit, ini.intValue(Section, WindowKeys[i], 0), WindowLimit);
    }
    if (values[2] <= 0 || values[3] <= 0)
        return {};
    return QRect(values[0], values[1], values[2], values[3]);
}

} // namespace

Settings::Settings(const QString &dir, EngineReport report)
    : m_workDir(""), m_proxy(""), m_userId(""), m_password(""), m_appDir(""), m_caFile("")
{
    setAppDir(startDirectory(dir));

    IniFile ini(iniPath());
    if (!ini.load()) {
        m_iniUnread = ini.errorString();
        fprintf(stderr, "cannot read the settings file %s: %s; the defaults are used\n",
                QFile::encodeName(ini.path()).constData(), m_iniUnread.toLocal8Bit().constData());
        fflush(stderr);
    }
    m_workDir = ini.value(Section, "path", "");
    // The work directory is a prefix of file names, so it must end in "/".
    if (!m_workDir.isEmpty() && !m_workDir.endsWith('/'))
        m_workDir += '/';
    m_proxy = ini.value(Section, "proxy", "");
    m_userId = ini.value(Section, "name", "");
    m_password = ini.value(Section, "pass", "");
    m_caFile = ini.value(Section, "cafile", "");

    m_port = ini.intValue(Section, "port", 0);
    m_htmlView = ini.intValue(Section, "image", 0);
    m_cacheIndex = ini.intValue(Section, "cache", 0);
    m_playMode = ini.intValue(Section, "play", 0);
    m_timeoutIndex = ini.intValue(Section, "timeout", 0);
    m_userAgentIndex = ini.intValue(Section, "useragent", 0);
    m_jobsInFile = !ini.value(Section, "jobs", QByteArray()).isNull();
    setJobs(ini.intValue(Section, "jobs", DefaultJobs));
    m_connectionsInFile = !ini.value(Section, "connections", QByteArray()).isNull();
    setConnections(ini.intValue(Section, "connections", 1));
    m_window = m_windowStored = readWindow(ini);

    m_modified = false;
    loadEngines(report);
}

Settings::~Settings()
{
    save();
}

int Settings::timeout(int which) const
{
    return which == 0 ? m_timeoutIndex : choice(Timeouts, m_timeoutIndex);
}

void Settings::setJobs(int jobs)
{
    m_jobs = qBound(1, jobs, MaxJobs);
}

void Settings::setConnections(int connections)
{
    m_connections = qBound(1, connections, MaxConnections);
}

int Settings::cache(int which) const
{
    return which == 0 ? m_cacheIndex : choice(Caches, m_cacheIndex);
}

QByteArray Settings::userAgent() const
{
    return QByteArray(choice(UserAgents, m_userAgentIndex));
}

void Settings::configureClient(HttpClient &client) const
{
    client.setTimeout(timeout(1));
    client.setUserAgent(userAgent());
    client.setProxy(m_proxy, m_port);
    client.setAccount(m_userId, m_password);
    client.setCaFile(m_caFile);
}

void Settings::setAppDir(const QByteArray &dir)
{
    if (!dir.isNull())
        m_appDir = dir;
}

void Settings::setWorkDir(const QByteArray &dir)
{
    m_workDir = dir.isNull() ? QByteArray(DefaultWorkDir) : dir;
}

void Settings::setProxy(const QByteArray &proxy)
{
    m_proxy = textOrEmpty(proxy);
}

void Settings::setUserId(const QByteArray &id)
{
    m_userId = textOrEmpty(id);
}

void Settings::setPassword(const QByteArray &password)
{
    m_password = textOrEmpty(password);
}

QRect Settings::storedWindowGeometry(const QString &dir)
{
    IniFile ini(QFile::decodeName(startDirectory(dir)) + QStringLiteral("/z_user.ini"));
    return ini.load() ? readWindow(ini) : QRect();
}

bool Settings::save()
{
    const bool windowChanged = !m_window.isNull() && m_window != m_windowStored;
    if (!m_modified && !windowChanged)
        return true;
    const bool all = m_modified;
    m_modified = false;
    m_windowStored = m_window;

    const QString path = iniPath();
    IniFile ini(path);
    // A file that exists but cannot be read is not replaced: its other
    // sections would be lost. One that could not be read at start is not
    // replaced even when it can be now: the values held are not its values.
    bool ok = m_iniUnread.isEmpty() && ini.load();
    if (ok && all) {
        ini.setValue(Section, "path", m_workDir);
        ini.setValue(Section, "proxy", m_proxy);
        ini.setValue(Section, "name", m_userId);
        ini.setValue(Section, "pass", m_password);
        ini.setValue(Section, "port", QByteArray::number(m_port));
        ini.setValue(Section, "image", QByteArray::number(m_htmlView));
        ini.setValue(Section, "cache", QByteArray::number(m_cacheIndex));
        ini.setValue(Section, "play", QByteArray::number(m_playMode));
        ini.setValue(Section, "timeout", QByteArray::number(m_timeoutIndex));
        ini.setValue(Section, "useragent", QByteArray::number(m_userAgentIndex));
        if (m_jobsInFile || m_jobs != DefaultJobs)
            ini.setValue(Section, "jobs", QByteArray::number(m_jobs));
        if (m_connectionsInFile || m_connections != 1)
            ini.setValue(Section, "connections", QByteArray::number(m_connections));
    }
    if (ok && windowChanged) {
        const int values[] = {m_window.x(), m_window.y(), m_window.width(), m_window.height()};
        for (int i = 0; i < 4; ++i)
            ini.setValue(Section, WindowKeys[i], QByteArray::number(values[i]));
    }
    if (ok)
        ok = ini.save();
    if (!ok) {
        const QString reason = m_iniUnread.isEmpty()
                                   ? ini.errorString()
                                   : QStringLiteral("it could not be read at start");
        fprintf(stderr, "cannot save the settings file %s: %s\n",
                QFile::encodeName(path).constData(), reason.toLocal8Bit().constData());
        fflush(stderr);
    }
    return ok;
}

QString Settings::iniPath() const
{
    return QFile::decodeName(m_appDir) + QStringLiteral("/z_user.ini");
}

QString Settings::engineDir() const
{
    return QFile::decodeName(m_appDir) + QStringLiteral("/.zindles/");
}

int Settings::engineCount() const
{
    int count = 0;
    while (count < MaxEngines && m_engines[count])
        ++count;
    return count;
}

const Engine *Settings::engine(int index) const
{
    if (index < 0 || index >= MaxEngines)
        return nullptr;
    return m_engines[index].get();
}

const Engine *Settings::findEngine(const QByteArray &id) const
{
    if (id.isNull())
        return nullptr;
    for (const auto &engine : m_engines) {
        if (!engine)
            break;
        if (engine->text(Engine::Id) == id)
            return engine.get();
    }
    return nullptr;
}

void Settings::loadEngines(EngineReport report)
{
    for (auto &engine : m_engines)
        engine.reset();

    const QString dirPath = engineDir();
    const QDir dir(dirPath);
    QStringList names =
        dir.entryList({QStringLiteral("*.zin")},
                      QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                      QDir::NoSort);
    // Case ignored; names that differ only in case keep a fixed order.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });

    int slot = 0;
    for (const QString &name : std::as_const(names)) {
        const QByteArray path = QFile::encodeName(dirPath + name);
        if (slot == MaxEngines) {
            fprintf(stderr, "more than %d engine files: %s and the files after it are ignored\n",
                    MaxEngines, path.constData());
            break;
        }
        auto engine = std::make_unique<Engine>();
        // A refused file has said why on standard error itself.
        const int parsed = engine->parse(dirPath, name);
        if (parsed == Engine::CannotOpen)
            fprintf(stderr, "cannot open the engine file %s\n", path.constData());
        if (parsed < 0)
            continue;
        if (report == EngineReport::Lint) {
            const QString shownPath = QFile::decodeName(path);
            const EngineLint lint = EngineLint::checkFile(shownPath);
            for (const EngineLint::Finding &finding : lint.findings())
                fprintf(stderr, "%s\n",
                        EngineLint::format(shownPath, finding).toLocal8Bit().constData());
        }
        m_engines[slot++] = std::move(engine);
    }
    fflush(stderr);
}
