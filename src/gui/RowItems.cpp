#include "gui/RowItems.h"

#include <QHeaderView>
#include <QTextDocument>
#include <QTreeWidget>

namespace {

// Column c's original bytes.
constexpr int BytesRole = Qt::UserRole;
// The failure reason as given, on column 0; the tooltips may be escaped.
constexpr int ReasonRole = Qt::UserRole + 1;

} // namespace

void RowItems::setupColumns(QTreeWidget *list)
{
    list->setSortingEnabled(false);
    list->setRootIsDecorated(false);
    list->setAllColumnsShowFocus(true);
    list->setHeaderLabels({QStringLiteral("V"), QStringLiteral("Title"), QStringLiteral("Time"),
                           QStringLiteral("User"), QStringLiteral("ID"), QStringLiteral("Type"),
                           QStringLiteral("Image")});
    list->header()->setSectionsClickable(false);
    list->header()->setStretchLastSection(false);
    list->setColumnWidth(ResultRow::Title, 400);
    list->setColumnWidth(ResultRow::Time, 100);
    list->setColumnWidth(ResultRow::User, 100);
    list->setColumnWidth(ResultRow::Id, 100);
    for (int column : {int(ResultRow::State), int(ResultRow::Type), int(ResultRow::Image)})
        list->resizeColumnToContents(column);
}

QString RowItems::shownText(const QByteArray &bytes)
{
    const QString decoded = QString::fromLocal8Bit(bytes);
    QString shown;
    shown.reserve(decoded.size());
    for (const QChar c : decoded) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QTreeWidgetItem *RowItems::insertAtHead(QTreeWidget *list, const ResultRow &row)
{
    auto *item = new QTreeWidgetItem;
    for (int column = 0; column < ResultRow::ColumnCount; ++column) {
        item->setText(column, shownText(row[column]));
        item->setData(column, BytesRole, row[column]);
    }
    list->insertTopLevelItem(0, item);
    return item;
}

ResultRow RowItems::rowOf(const QTreeWidgetItem *item)
{
    ResultRow row;
    for (int column = 0; column < ResultRow::ColumnCount; ++column) {
        const QVariant bytes = item->data(column, BytesRole);
        row[column] = bytes.isValid() ? bytes.toByteArray() : item->text(column).toLocal8Bit();
    }
    return row;
}

QList<ResultRow> RowItems::rows(const QTreeWidget *list)
{
    QList<ResultRow> result;
    result.reserve(list->topLevelItemCount());
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        result.append(rowOf(list->topLevelItem(i)));
    return result;
}

void RowItems::setState(QTreeWidgetItem *item, const QByteArray &state)
{
    item->setText(ResultRow::State, shownText(state));
    item->setData(ResultRow::State, BytesRole, state);
}

void RowItems::setReason(QTreeWidgetItem *item, const QString &reason)
{
    // A tooltip that looks like markup would be rendered as such: a reason
    // quoting a page ("<img src=...>") is escaped into a plain paragraph.
    QString tip = reason;
    if (Qt::mightBeRichText(reason))
        tip = QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(reason.toHtmlEscaped());
    item->setData(ResultRow::State, ReasonRole, reason);
    // The row's columns and any the list adds of its own (as Progress).
    const int columns = qMax(int(ResultRow::ColumnCount),
                             item->treeWidget() ? item->treeWidget()->columnCount() : 0);
    for (int column = 0; column < columns; ++column)
        item->setToolTip(column, tip);
}

QString RowItems::reasonOf(const QTreeWidgetItem *item)
{
    return item->data(ResultRow::State, ReasonRole).toString();
}
