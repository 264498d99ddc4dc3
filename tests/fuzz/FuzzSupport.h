#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

// Helpers shared by the fuzz targets.
namespace Fuzz {

// A failed check: the message goes to standard output, because scripts/fuzz
// sends the targets' own standard error (the code under test writes traces
// there) to /dev/null, and the abort makes libFuzzer save the input.
[[noreturn]] inline void fail(const char *what, const char *file, int line)
{
    std::fprintf(stdout, "fuzz check failed at %s:%d: %s\n", file, line, what);
    std::fflush(stdout);
    std::abort();
}

// One directory per process for the files a target writes, its path ending
// in "/"; scripts/fuzz points TMPDIR at a tmpfs directory so that writing
// stays cheap.
inline const QString &scratchDir()
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        fail("cannot create the scratch directory", __FILE__, __LINE__);
    static const QString path = dir.path() + QLatin1Char('/');
    return path;
}

inline void writeFile(const QString &path, QByteArrayView bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes.data(), bytes.size()) != bytes.size())
        fail("cannot write a scratch file", __FILE__, __LINE__);
}

inline QByteArrayView bytesOf(const uint8_t *data, size_t size)
{
    return QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The input cut at each separator byte; at most maxParts parts, the last one
// keeping the rest of the input, separators included.
inline QList<QByteArrayView> split(QByteArrayView input, char separator, int maxParts)
{
    QList<QByteArrayView> parts;
    qsizetype from = 0;
    while (parts.size() + 1 < maxParts) {
        const qsizetype at = input.indexOf(separator, from);
        if (at < 0)
            break;
        parts.append(input.sliced(from, at - from));
        from = at + 1;
    }
    parts.append(input.sliced(from));
    return parts;
}

} // namespace Fuzz

#define FUZZ_CHECK(condition) ((condition) ? void() : Fuzz::fail(#condition, __FILE__, __LINE__))
