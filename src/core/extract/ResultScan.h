#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <atomic>
#include <functional>

// One hit cut out of a result page; a field whose markers were not found is empty.
struct ScanRecord
{
    QByteArray title; // cleaned with cleanHtmlText
    QByteArray time;
    QByteArray user; // cleaned as the title
    QByteArray id;
    QByteArray image;
};

// The six marker pairs of one search mode: [0] begin, [1] end.
struct MarkerSet
{
    QByteArray top[2];
    QByteArray id[2];
    QByteArray title[2];
    QByteArray user[2];
    QByteArray image[2];
    QByteArray time[2];
};

// Walks a result page block by block and returns the records in page order.
// The stop flag (may be null) is checked before each record.
QList<ScanRecord> scanResults(QByteArrayView page, const MarkerSet &markers,
                              const std::atomic<int> *stop = nullptr);

// The same walk, handing each record to `sink` as soon as it is complete. The
// stop flag is read before each record, so the sink may end the walk by setting it.
void scanResults(QByteArrayView page, const MarkerSet &markers, const std::atomic<int> *stop,
                 const std::function<void(ScanRecord &&)> &sink);
