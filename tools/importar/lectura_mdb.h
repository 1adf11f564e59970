#pragma once
// Reading the tables of an Access file through mdbtools' mdb-export.

#include <QHash>
#include <QString>
#include <QVector>
#include <optional>

// One row: column name in lower case -> value; a NULL column has no value.
using FilaMdb = QHash<QString, std::optional<QString>>;

// The rows of one table, dates as "yyyy-MM-dd HH:mm:ss". On failure returns
// nothing and error says why.
std::optional<QVector<FilaMdb>> leerTablaMdb(const QString &archivo, const QString &tabla, QString &error);

// mdb-export's CSV: comma-separated, text between double quotes (a quote
// doubled inside), line breaks allowed inside quotes, NULL an empty unquoted
// field (an empty text is ""). The first row names the columns.
std::optional<QVector<FilaMdb>> leerCsvMdb(const QString &texto, QString &error);
