#pragma once

#include <QByteArray>
#include <array>

// One row of the result list and of the download list: seven texts in the
// local 8-bit encoding, headed "V", "Title", "Time", "User", "ID", "Type",
// "Image". Column "V" holds "H" for a fresh hit, "o" when downloaded and "x"
// when a download failed.
struct ResultRow
{
    enum Column { State = 0, Title, Time, User, Id, Type, Image, ColumnCount };

    std::array<QByteArray, ColumnCount> columns;

    QByteArray &operator[](int column) { return columns[size_t(column)]; }
    const QByteArray &operator[](int column) const { return columns[size_t(column)]; }
    bool operator==(const ResultRow &) const = default;
};
