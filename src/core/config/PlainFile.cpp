#include "core/config/PlainFile.h"

namespace {

// The reason, said on its own or after the entry's name.
QString reason(const struct stat &info, bool afterName)
{
    if (S_ISLNK(info.st_mode))
        return afterName ? QStringLiteral("is a symbolic link")
                         : QStringLiteral("the file is a symbolic link");
    if (!S_ISREG(info.st_mode))
        return afterName ? QStringLiteral("is not a regular file")
                         : QStringLiteral("not a regular file");
    if (info.st_nlink > 1)
        return (afterName ? QStringLiteral("has %1 hard links")
                          : QStringLiteral("the file has %1 hard links"))
            .arg(qulonglong(info.st_nlink));
    return {};
}

} // namespace

QString PlainFile::refusal(const struct stat &info)
{
    return reason(info, false);
}

QString PlainFile::refusalAfterName(const struct stat &info)
{
    return reason(info, true);
}
