#pragma once

#include "core/config/Descriptor.h"

#include <QByteArray>
#include <QString>
#include <mutex>

// The thumbnails kept between runs: one file per image URL in a folder of the
// work directory ("thumbnails"), named by the SHA-256 of the URL in hex. The
// folder holds at most maxBytes of images; storing one that takes it past
// them evicts the files least recently stored or read until the rest fits.
//
// The folder is opened without following a link, and every file in it is
// read, written (atomically, through AtomicFile::writeAt) and removed through
// that open folder, never through a link: nothing planted there leads a read
// or a write elsewhere. Safe to use from several threads at once.
class ThumbnailCache
{
public:
    static constexpr qint64 DefaultMaxBytes = 50 * 1024 * 1024;
    // An image larger than this is neither fetched whole nor kept.
    static constexpr qint64 MaxImageBytes = 2 * 1024 * 1024;

    static QByteArray folderPath(const QByteArray &workDir);
    static QByteArray nameOf(const QByteArray &url);

    explicit ThumbnailCache(const QByteArray &folderPath, qint64 maxBytes = DefaultMaxBytes);
    ThumbnailCache(const ThumbnailCache &) = delete;
    ThumbnailCache &operator=(const ThumbnailCache &) = delete;

    // Makes the folder when it is missing and opens it. False, with the
    // reason, when it cannot be used: read() then finds nothing and store()
    // keeps nothing.
    bool open(QString *error = nullptr);
    bool isOpen() const { return m_folder.isOpen(); }

    // The image kept for the URL, at most MaxImageBytes; false when none is.
    bool read(const QByteArray &url, QByteArray *bytes);
    // Keeps the image for the URL, then evicts down to maxBytes (never the
    // image just kept). False, with the reason, when it was not kept.
    bool store(const QByteArray &url, const QByteArray &bytes, QString *error = nullptr);
    // The bytes of the images kept now.
    qint64 usedBytes();

private:
    void evict(const QByteArray &keep, qint64 added);

    QByteArray m_path;
    qint64 m_maxBytes;
    Descriptor m_folder;
    std::mutex m_mutex; // one eviction at a time; guards m_used
    qint64 m_used = -1; // the images' bytes as last counted; -1 before the first count
};
