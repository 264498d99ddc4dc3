#include "core/config/AtomicFile.h"

#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As many links as the system itself follows before it gives up (ELOOP).
constexpr int MaxLinks = 40;
constexpr mode_t NewFileMode = 0644;

// The link's text, or a null text when path is not a link.
QByteArray readLink(const QByteArray &path)
{
    QByteArray buffer(PATH_MAX, Qt::Uninitialized);
    const ssize_t length = ::readlink(path.constData(), buffer.data(), size_t(buffer.size()));
    if (length < 0 || length >= buffer.size())
        return {};
    buffer.truncate(length);
    return buffer;
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        done += written;
    }
    return true;
}

// A fresh file beside target, opened for writing; -1 with errno set when none can be made.
int createTemporary(const QByteArray &target, QByteArray *temporary)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary =
            target + ".tmp" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd =
            ::open(temporary->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NewFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Makes the rename itself last; a folder that cannot be synced does not undo it.
void syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

QByteArray resolveLinks(const QByteArray &path)
{
    QByteArray target = path;
    for (int hop = 0; hop < MaxLinks; ++hop) {
        const QByteArray link = readLink(target);
        if (link.isNull())
            break;
        target = link.startsWith('/') ? link : folderOf(target) + '/' + link;
    }
    return target;
}

} // namespace

bool AtomicFile::write(const QString &path, const QByteArray &bytes, QString *error,
                       Failure *failure)
{
    const auto fail = [&](Failure step, int code) {
        if (error)
            *error = qt_error_string(code);
        if (failure)
            *failure = step;
        return false;
    };
    if (failure)
        *failure = Failure::None;
    if (error)
        error->clear();

    const QByteArray target = resolveLinks(QFile::encodeName(path));
    struct stat old;
    const bool hadFile = ::stat(target.constData(), &old) == 0;

    QByteArray temporary;
    const int fd = createTemporary(target, &temporary);
    if (fd < 0)
        return fail(Failure::Create, errno);

    // Every step is checked: a short write (a full disk) must not replace the
    // old file with a cut one.
    bool ok = (!hadFile || ::fchmod(fd, old.st_mode & 07777) == 0) && writeAll(fd, bytes) &&
              ::fsync(fd) == 0;
    int code = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        return fail(Failure::Write, code);
    }
    syncFolder(folderOf(target));
    return true;
}
