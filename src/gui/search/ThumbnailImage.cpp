#include "gui/search/ThumbnailImage.h"

#include <QBuffer>
#include <QImageReader>

namespace {

// Megabytes one decoded image may take.
constexpr int AllocationLimitMb = 64;

QImage refuse(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return {};
}

} // namespace

void ThumbnailImage::limitAllocations()
{
    if (QImageReader::allocationLimit() == 0 || QImageReader::allocationLimit() > AllocationLimitMb)
        QImageReader::setAllocationLimit(AllocationLimitMb);
}

QImage ThumbnailImage::decode(const QByteArray &bytes, QString *why)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QSize full = reader.size();
    if (!full.isValid() || full.isEmpty())
        return refuse(why, QStringLiteral("not an image: ") + reader.errorString());
    if (qint64(full.width()) * full.height() > MaxPixels)
        return refuse(
            why,
            QStringLiteral("%1 x %2 pixels is too large").arg(full.width()).arg(full.height()));
    const QSize target = full.scaled(size(), Qt::KeepAspectRatio);
    if (reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(target.expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull())
        return refuse(why, QStringLiteral("cannot decode: ") + reader.errorString());
    if (image.size() != target)
        image = image.scaled(target.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);
    return image;
}
