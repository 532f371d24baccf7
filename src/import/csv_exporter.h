#pragma once

#include "storage/remote.h"

#include <QHash>
#include <QList>
#include <QString>

// Writes hosts as a UTF-8 CSV (with BOM and CR LF line ends) that the importer reads back.
class CsvExporter
{
public:
    static bool write(const QString& path, const QList<Remote>& remotes,
                      const QHash<QString, QString>& groupNames, bool withPasswords, QString* error);

    // Doubles quotes and wraps the field when it holds a separator, a quote or a line break.
    static QString quoteField(const QString& field);
};
