#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Reads the first worksheet of a legacy Excel workbook (.xls, BIFF) through FreeXL as rows of cell
// texts: numbers in their shortest exact form, dates as ISO text. Empty rows are left out.
// FreeXL is not safe against hostile files, so only the nimbara-xls-reader helper (and the fuzz
// target) run this; the program reads .xls through XlsReader, which starts that helper.
class FreexlSheetReader
{
public:
    static std::optional<QList<QStringList>> readFirstSheet(const QString& path, QString* error);
};
