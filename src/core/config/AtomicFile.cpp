#include "core/config/AtomicFile.h"

#include "core/config/Descriptor.h"
#include "core/config/PlainFile.h"

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

QByteArray nameOf(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
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

// A fresh file beside target in the folder, opened for writing; -1 with errno
// set when none can be made.
int createTemporary(int folder, const QByteArray &target, QByteArray *temporary)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary =
            target + ".tmp" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd = ::openat(folder, temporary->constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NewFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
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

struct Outcome
{
    AtomicFile::Failure failure = AtomicFile::Failure::None;
    QString error;
};

Outcome failed(AtomicFile::Failure step, int code)
{
    return {step, qt_error_string(code)};
}

// Replaces the entry `name` of the open folder. With `refuse`, an entry that
// is not a plain file (a link, a folder, a device, a file with other names)
// is left alone.
Outcome replace(int folder, const QByteArray &name, const QByteArray &bytes, bool refuse)
{
    struct stat old;
    const bool hadFile = ::fstatat(folder, name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (refuse && hadFile) {
        if (const QString why = PlainFile::refusal(old); !why.isNull())
            return {AtomicFile::Failure::Refused, why};
    }
    // A link that Follow mode did not resolve (a loop, or too long) is
    // replaced by the file rather than written through.
    const bool keepMode = hadFile && S_ISREG(old.st_mode);

    QByteArray temporary;
    const int fd = createTemporary(folder, name, &temporary);
    if (fd < 0)
        return failed(AtomicFile::Failure::Create, errno);

    // Every step is checked: a short write (a full disk) must not replace the
    // old file with a cut one.
    bool ok = (!keepMode || ::fchmod(fd, old.st_mode & 07777) == 0) && writeAll(fd, bytes) &&
              ::fsync(fd) == 0;
    int code = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::renameat(folder, temporary.constData(), folder, name.constData()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlinkat(folder, temporary.constData(), 0);
        return failed(AtomicFile::Failure::Write, code);
    }
    // Makes the rename itself last; a folder that cannot be synced does not undo it.
    ::fsync(folder);
    return {};
}

bool report(const Outcome &outcome, QString *error, AtomicFile::Failure *failure)
{
    if (error)
        *error = outcome.error;
    if (failure)
        *failure = outcome.failure;
    return outcome.failure == AtomicFile::Failure::None;
}

} // namespace

bool AtomicFile::write(const QString &path, const QByteArray &bytes, QString *error,
                       Failure *failure, Links links)
{
    const QByteArray given = QFile::encodeName(path);
    const QByteArray target = links == Links::Follow ? resolveLinks(given) : given;
    const QByteArray name = nameOf(target);
    if (name.isEmpty() || name == "." || name == "..")
        return report(failed(Failure::Create, EISDIR), error, failure);
    const Descriptor folder(
        ::open(folderOf(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen())
        return report(failed(Failure::Create, errno), error, failure);
    return report(replace(folder.get(), name, bytes, links == Links::Refuse), error, failure);
}

bool AtomicFile::writeAt(int folderFd, const QByteArray &name, const QByteArray &bytes,
                         QString *error, Failure *failure)
{
    if (name.isEmpty() || name == "." || name == ".." || name.contains('/'))
        return report(failed(Failure::Create, EINVAL), error, failure);
    return report(replace(folderFd, name, bytes, true), error, failure);
}
