#include "core/search/ThumbnailCache.h"

#include "core/config/AtomicFile.h"
#include "core/config/PlainFile.h"

#include <QCryptographicHash>
#include <QList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype NameLength = 64; // SHA-256 in hex

bool isImageName(const char *name)
{
    if (std::strlen(name) != size_t(NameLength))
        return false;
    for (const char *c = name; *c; ++c) {
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f')))
            return false;
    }
    return true;
}

struct Kept
{
    QByteArray name;
    qint64 size = 0;
    struct timespec time = {};
};

bool olderThan(const Kept &a, const Kept &b)
{
    if (a.time.tv_sec != b.time.tv_sec)
        return a.time.tv_sec < b.time.tv_sec;
    if (a.time.tv_nsec != b.time.tv_nsec)
        return a.time.tv_nsec < b.time.tv_nsec;
    return a.name < b.name;
}

// The regular files of the folder that carry an image's name.
QList<Kept> listImages(int folder)
{
    QList<Kept> images;
    Descriptor copy(::dup(folder));
    DIR *dir = copy.isOpen() ? ::fdopendir(copy.get()) : nullptr;
    if (!dir)
        return images;
    copy.release(); // the stream closes it
    ::rewinddir(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (!isImageName(entry->d_name))
            continue;
        struct stat info;
        if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode))
            continue;
        images.append({QByteArray(entry->d_name), qint64(info.st_size), info.st_mtim});
    }
    ::closedir(dir);
    return images;
}

} // namespace

QByteArray ThumbnailCache::folderPath(const QByteArray &workDir)
{
    return workDir + "thumbnails";
}

QByteArray ThumbnailCache::nameOf(const QByteArray &url)
{
    return QCryptographicHash::hash(url, QCryptographicHash::Sha256).toHex();
}

ThumbnailCache::ThumbnailCache(const QByteArray &folderPath, qint64 maxBytes)
    : m_path(folderPath), m_maxBytes(maxBytes)
{}

bool ThumbnailCache::open(QString *error)
{
    if (m_folder.isOpen())
        return true;
    if (m_path.size() < 2) {
        if (error)
            *error = QStringLiteral("no work directory");
        return false;
    }
    if (::mkdir(m_path.constData(), 0755) != 0 && errno != EEXIST) {
        if (error)
            *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    m_folder.reset(::open(m_path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_folder.isOpen() && error)
        *error = errno == ELOOP || errno == ENOTDIR
                     ? QStringLiteral("not a folder (a symbolic link or a file)")
                     : QString::fromLocal8Bit(strerror(errno));
    return m_folder.isOpen();
}

bool ThumbnailCache::read(const QByteArray &url, QByteArray *bytes)
{
    if (!m_folder.isOpen())
        return false;
    const Descriptor fd(::openat(m_folder.get(), nameOf(url).constData(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen())
        return false;
    struct stat info;
    bool ok = ::fstat(fd.get(), &info) == 0 && PlainFile::refusal(info).isNull() &&
              info.st_size > 0 && info.st_size <= MaxImageBytes;
    if (ok) {
        bytes->resize(qsizetype(info.st_size));
        qsizetype done = 0;
        while (ok && done < bytes->size()) {
            const ssize_t got =
                ::read(fd.get(), bytes->data() + done, size_t(bytes->size() - done));
            if (got < 0 && errno == EINTR)
                continue;
            ok = got > 0;
            done += ok ? got : 0;
        }
    }
    // Read now: the last to be evicted.
    if (ok)
        ::futimens(fd.get(), nullptr);
    if (!ok)
        bytes->clear();
    return ok;
}

bool ThumbnailCache::store(const QByteArray &url, const QByteArray &bytes, QString *error)
{
    if (!m_folder.isOpen()) {
        if (error)
            *error = QStringLiteral("no cache folder");
        return false;
    }
    if (bytes.isEmpty() || bytes.size() > MaxImageBytes || bytes.size() > m_maxBytes) {
        if (error)
            *error = QStringLiteral("an image of %1 bytes is not kept").arg(bytes.size());
        return false;
    }
    const QByteArray name = nameOf(url);
    if (!AtomicFile::writeAt(m_folder.get(), name, bytes, error))
        return false;
    evict(name, bytes.size());
    return true;
}

qint64 ThumbnailCache::usedBytes()
{
    if (!m_folder.isOpen())
        return 0;
    std::lock_guard lock(m_mutex);
    qint64 used = 0;
    for (const Kept &image : listImages(m_folder.get()))
        used += image.size;
    return used;
}

void ThumbnailCache::evict(const QByteArray &keep, qint64 added)
{
    std::lock_guard lock(m_mutex);
    // The folder is listed once, then only when the running total passes
    // the limit: an image replaced, or one another run added, only makes
    // that listing come sooner or later, and the listing sets the total right.
    if (m_used >= 0) {
        m_used += added;
        if (m_used <= m_maxBytes)
            return;
    }
    QList<Kept> images = listImages(m_folder.get());
    qint64 used = 0;
    for (const Kept &image : std::as_const(images))
        used += image.size;
    m_used = used;
    if (used <= m_maxBytes)
        return;
    std::sort(images.begin(), images.end(), olderThan);
    for (const Kept &image : std::as_const(images)) {
        if (used <= m_maxBytes)
            break;
        if (image.name == keep)
            continue;
        if (::unlinkat(m_folder.get(), image.name.constData(), 0) == 0)
            used -= image.size;
    }
    m_used = used;
}
