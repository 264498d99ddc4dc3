#pragma once

#include <QString>
#include <sys/stat.h>

// A file the program writes, or trusts, in a folder that others may write to
// must be a plain file: a symbolic link, a folder, a device or pipe, or a
// file with a second name (hard link) could lead the bytes elsewhere. The
// status is that of the entry itself (lstat, fstatat with
// AT_SYMLINK_NOFOLLOW, or fstat of a descriptor opened with O_NOFOLLOW).
class PlainFile
{
public:
    // Why the entry is refused, as a reason of its own: "the file is a
    // symbolic link", "not a regular file", "the file has 2 hard links".
    // Null when it is a regular file with one name.
    static QString refusal(const struct stat &info);
    // The same, said after the entry's name: "is a symbolic link", "is not a
    // regular file", "has 2 hard links". Null when it is a plain file.
    static QString refusalAfterName(const struct stat &info);
};
