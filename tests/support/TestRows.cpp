#include "TestRows.h"

ResultRow TestRows::makeRow(const QByteArray &state, const QByteArray &id, const QByteArray &type)
{
    ResultRow row;
    row[ResultRow::State] = state;
    row[ResultRow::Title] = "Title " + id;
    row[ResultRow::Time] = "1:00";
    row[ResultRow::User] = "someone";
    row[ResultRow::Id] = id;
    row[ResultRow::Type] = type;
    row[ResultRow::Image] = "http://img.example/" + id + ".jpg";
    return row;
}

QByteArray TestRows::listLine(const ResultRow &row)
{
    QByteArray line;
    for (const QByteArray &text : row.columns)
        line += text + "<\t>";
    return line + "\r\n";
}

char *toString(const DownloadWorker::RowMark &mark)
{
    const QByteArray text = QByteArray::number(mark.index) + ' ' + mark.mark + " \"" + mark.reason +
                            '"' + (mark.url.isEmpty() ? QByteArray() : " <" + mark.url + '>');
    return qstrdup(text.constData());
}
