#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <atomic>

class Engine;

// One hit cut out of a result page; a field whose markers were not found is empty.
struct ScanRecord
{
    QByteArray title; // cleaned with cleanHtmlText
    QByteArray time;
    QByteArray user;
    QByteArray id;
    QByteArray image;
};

// Walks a result page block by block with the marker set of search mode 0, 1
// or 2 and returns the records in page order. The stop flag (may be null) is
// checked before each record.
QList<ScanRecord> scanResults(QByteArrayView page, const Engine &engine, int mode,
                              const std::atomic<int> *stop = nullptr);
