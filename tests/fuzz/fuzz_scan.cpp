// The marker cut and the result scan over any page and markers.
// Input, split at line feeds: a control line (its first byte picks the start
// of the single cuts and where a stop flag ends the scan, its further bytes
// the positions a remembering cut is asked from), twelve marker lines (top,
// id, title, user, image and time, begin then end), then the page.
#include "FuzzSupport.h"
#include "core/extract/MarkerCut.h"
#include "core/extract/ResultScan.h"
#include "core/net/HttpClient.h"

#include <string_view>

namespace {

std::string_view stdView(QByteArrayView view)
{
    return std::string_view(view.data(), size_t(view.size()));
}

// findBetween against std::string_view's search, its view-aliasing variant
// included.
void checkCut(QByteArrayView page, QByteArrayView begin, QByteArrayView end, qsizetype from)
{
    QByteArray out = "stale";
    const qsizetype pos = findBetween(out, page, begin, end, from);

    const std::string_view text = stdView(page);
    const size_t start = size_t(qMax<qsizetype>(from, 0));
    qsizetype expected = -1;
    const size_t beginAt = start <= text.size() ? text.find(stdView(begin), start) : text.npos;
    if (beginAt != text.npos) {
        const size_t cutAt = beginAt + size_t(begin.size());
        const size_t endAt = end.isEmpty() ? text.npos : text.find(stdView(end), cutAt);
        if (endAt != text.npos && endAt > cutAt)
            expected = qsizetype(endAt);
    }
    FUZZ_CHECK(pos == expected);
    if (pos < 0) {
        FUZZ_CHECK(out.isEmpty());
    } else {
        FUZZ_CHECK(!out.isEmpty());
        const qsizetype cutAt = qsizetype(beginAt) + begin.size();
        FUZZ_CHECK(cutAt + out.size() == pos);
        FUZZ_CHECK(page.sliced(cutAt, out.size()) == out);
    }

    // The output may be the text itself.
    QByteArray aliased = page.toByteArray();
    const qsizetype aliasedPos = findBetween(aliased, aliased, begin, end, from);
    FUZZ_CHECK(aliasedPos == pos && aliased == out);
}

// A MarkerCut asked from any positions, in any order, answers as findBetween.
void checkRememberingCut(QByteArrayView page, QByteArrayView begin, QByteArrayView end,
                         QByteArrayView positions)
{
    MarkerCut cut(page, begin, end);
    for (const char byte : positions) {
        const qsizetype from =
            qsizetype(static_cast<unsigned char>(byte)) * 257 % (page.size() + 3) - 1;
        QByteArray expected;
        const qsizetype expectedPos = findBetween(expected, page, begin, end, from);
        QByteArray out = "stale";
        FUZZ_CHECK(cut.cut(out, from) == expectedPos);
        FUZZ_CHECK(out == expected);
    }
}

bool isCutOfPage(QByteArrayView page, const QByteArray &field)
{
    return field.isEmpty() || stdView(page).find(stdView(field)) != std::string_view::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArrayView> parts = Fuzz::split(Fuzz::bytesOf(data, size), '\n', 14);
    if (parts.size() < 14)
        return 0;
    const int control = parts[0].isEmpty() ? 0 : static_cast<unsigned char>(parts[0][0]);
    // The client's buffer bounds every page the scan sees.
    const QByteArrayView page =
        parts[13].first(qMin<qsizetype>(parts[13].size(), HttpClient::Capacity));

    MarkerSet markers;
    QByteArray *const pairs[6] = {markers.top,  markers.id,    markers.title,
                                  markers.user, markers.image, markers.time};
    for (int i = 0; i < 6; ++i) {
        pairs[i][0] = parts[1 + 2 * i].toByteArray();
        pairs[i][1] = parts[2 + 2 * i].toByteArray();
    }

    // Starts before the page, inside it and past its end.
    const qsizetype from = qsizetype(control * 131) % (page.size() + 3) - 1;
    for (QByteArray *pair : pairs)
        checkCut(page, pair[0], pair[1], from);
    const QByteArrayView positions = parts[0].first(qMin<qsizetype>(parts[0].size(), 16));
    checkRememberingCut(page, pairs[0][0], pairs[0][1], positions);
    checkRememberingCut(page, pairs[2][0], pairs[2][1], positions);

    const QList<ScanRecord> records = scanResults(page, markers);
    // Each record starts after the one before it.
    FUZZ_CHECK(records.size() <= page.size());
    for (qsizetype i = 0; i < qMin<qsizetype>(records.size(), 16); ++i) {
        const ScanRecord &record = records[i];
        FUZZ_CHECK(isCutOfPage(page, record.id) && isCutOfPage(page, record.image) &&
                   isCutOfPage(page, record.time));
        FUZZ_CHECK(!record.title.contains('\r') && !record.user.contains('\r'));
    }

    // A stop flag raised by the consumer ends the walk before the next record.
    const int stopAfter = control % 4;
    if (stopAfter > 0) {
        std::atomic<int> stop = 0;
        qsizetype seen = 0;
        scanResults(page, markers, &stop, [&](ScanRecord &&) {
            if (++seen == stopAfter)
                stop = 1;
        });
        FUZZ_CHECK(seen == qMin<qsizetype>(records.size(), stopAfter));
    }
    return 0;
}
