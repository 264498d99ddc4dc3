#pragma once

#include "core/job/ResultRow.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QTreeWidget;
class QTreeWidgetItem;

// The bridge between ResultRow and the two list views, on the GUI thread.
// Each item keeps its row's bytes as they came (item data), so a text that is
// not valid in the local encoding is written back unchanged; the shown text
// is only for the eye.
namespace RowItems {

// Sets up a list view for rows: the seven columns, no sorting, focus across
// the whole row, the starting column widths.
void setupColumns(QTreeWidget *list);

// The text shown for bytes from a page, an engine or the list: decoded from
// the local encoding, with every control character (below 0x20, and 0x7F)
// shown as "\xNN".
QString shownText(const QByteArray &bytes);

// Puts a new item for the row at the head of the list and returns it.
QTreeWidgetItem *insertAtHead(QTreeWidget *list, const ResultRow &row);

ResultRow rowOf(const QTreeWidgetItem *item);

// The rows of the list, top to bottom.
QList<ResultRow> rows(const QTreeWidget *list);

// Sets the row's column "V".
void setState(QTreeWidgetItem *item, const QByteArray &state);

// Why the row's download failed: its tooltip over every column, shown as
// plain text whatever it holds. An empty reason clears it.
void setReason(QTreeWidgetItem *item, const QString &reason);
QString reasonOf(const QTreeWidgetItem *item);

} // namespace RowItems
