// The download list file over any bytes: loaded, saved and loaded again.
#include "FuzzSupport.h"
#include "core/download/DownloadListFile.h"

namespace {

// What a save keeps of the rows: rows marked downloaded are dropped, and
// line ends within a text are written as blanks.
QList<ResultRow> keptBySave(const QList<ResultRow> &rows)
{
    QList<ResultRow> kept;
    for (ResultRow row : rows) {
        if (row[ResultRow::State].startsWith('o'))
            continue;
        for (QByteArray &text : row.columns)
            text.replace('\r', ' ').replace('\n', ' ');
        kept.append(row);
    }
    return kept;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input = Fuzz::bytesOf(data, size);
    const QByteArray workDir = QFile::encodeName(Fuzz::scratchDir());
    Fuzz::writeFile(QFile::decodeName(DownloadListFile::path(workDir)), input);

    QList<ResultRow> first;
    FUZZ_CHECK(DownloadListFile::load(workDir, &first));
    // Every row needs seven separators, each at least three bytes.
    FUZZ_CHECK(first.size() * 21 <= input.size());
    for (const ResultRow &row : first) {
        for (const QByteArray &text : row.columns)
            FUZZ_CHECK(!text.contains("<\t>") && !text.contains('\n'));
    }

    FUZZ_CHECK(DownloadListFile::save(workDir, first));
    QList<ResultRow> second;
    FUZZ_CHECK(DownloadListFile::load(workDir, &second));
    FUZZ_CHECK(second == keptBySave(first));

    // What a save wrote reads back unchanged.
    FUZZ_CHECK(DownloadListFile::save(workDir, second));
    QList<ResultRow> third;
    FUZZ_CHECK(DownloadListFile::load(workDir, &third));
    FUZZ_CHECK(third == second);
    return 0;
}
