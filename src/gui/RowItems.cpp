#include "gui/RowItems.h"

#include <QHeaderView>
#include <QTreeWidget>

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

QTreeWidgetItem *RowItems::insertAtHead(QTreeWidget *list, const ResultRow &row)
{
    QStringList texts;
    texts.reserve(ResultRow::ColumnCount);
    for (const QByteArray &text : row.columns)
        texts.append(QString::fromLocal8Bit(text));
    auto *item = new QTreeWidgetItem(texts);
    list->insertTopLevelItem(0, item);
    return item;
}

ResultRow RowItems::rowOf(const QTreeWidgetItem *item)
{
    ResultRow row;
    for (int column = 0; column < ResultRow::ColumnCount; ++column)
        row[column] = item->text(column).toLocal8Bit();
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

void RowItems::setReason(QTreeWidgetItem *item, const QString &reason)
{
    for (int column = 0; column < ResultRow::ColumnCount; ++column)
        item->setToolTip(column, reason);
}

QString RowItems::reasonOf(const QTreeWidgetItem *item)
{
    return item->toolTip(ResultRow::State);
}
