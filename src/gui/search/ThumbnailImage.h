#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

// Turns an image's bytes from a web page into a thumbnail. Safe on any thread
// (it makes a QImage, never a pixmap). The bytes are not trusted: the header
// is read first, and an image larger than MaxPixels or whose decoding would
// allocate more than the reader's limit is refused without being decoded.
class ThumbnailImage
{
public:
    static constexpr qint64 MaxPixels = 4096 * 4096;
    // The thumbnail fits this size, its aspect ratio kept.
    static QSize size() { return QSize(80, 60); }

    // Lowers the process's image allocation limit to what a thumbnail may
    // take. The limit is shared by every reader: call it on the GUI thread
    // before any thread decodes.
    static void limitAllocations();
    // A null image, with the reason, when the bytes are no usable image.
    static QImage decode(const QByteArray &bytes, QString *why = nullptr);
};
