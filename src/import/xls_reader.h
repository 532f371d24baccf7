#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Reads the first worksheet of a legacy Excel workbook (.xls, BIFF) through FreeXL as rows of cell
// texts: numbers in their shortest exact form, dates as ISO text. Empty rows are left out.
class XlsReader
{
public:
    static std::optional<QList<QStringList>> readFirstSheet(const QString& path, QString* error);
};
