#include "core/extract/ResultScan.h"

#include "core/extract/MarkerCut.h"
#include "core/extract/TextTools.h"

namespace {

bool stopSet(const std::atomic<int> *stop)
{
    return stop && stop->load() != 0;
}

} // namespace

void scanResults(QByteArrayView page, const MarkerSet &markers, const std::atomic<int> *stop,
                 const std::function<void(ScanRecord &&)> &sink)
{
    // Fields are searched to the end of the page, not only within this block;
    // the cuts remember where their markers stand, so a page whose markers
    // are far apart or missing is not searched to its end once per record.
    MarkerCut top(page, markers.top[0], markers.top[1]);
    MarkerCut title(page, markers.title[0], markers.title[1]);
    MarkerCut user(page, markers.user[0], markers.user[1]);
    MarkerCut image(page, markers.image[0], markers.image[1]);
    MarkerCut time(page, markers.time[0], markers.time[1]);
    MarkerCut id(page, markers.id[0], markers.id[1]);
    QByteArray scratch;
    qsizetype pos = top.cut(scratch, 0);
    // Each step moves on: the next top end lies beyond a top begin found at or after pos.
    while (pos >= 0 && !stopSet(stop)) {
        ScanRecord record;
        title.cut(record.title, pos);
        user.cut(record.user, pos);
        image.cut(record.image, pos);
        time.cut(record.time, pos);
        id.cut(record.id, pos);
        const qsizetype next = top.cut(scratch, pos);
        // Titles and user names are shown and stored as people read them.
        cleanHtmlText(record.title);
        cleanHtmlText(record.user);
        sink(std::move(record));
        pos = next;
    }
}

QList<ScanRecord> scanResults(QByteArrayView page, const MarkerSet &markers,
                              const std::atomic<int> *stop)
{
    QList<ScanRecord> records;
    scanResults(page, markers, stop,
                [&](ScanRecord &&record) { records.append(std::move(record)); });
    return records;
}
