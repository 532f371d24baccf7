#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads an import file by its suffix: CSV/TXT as they are, workbooks (.xlsx/.xlsm/.xls) as the
// text rows of their first sheet, in the CSV form the import parser reads.
class HostFileReader
{
public:
    static std::optional<QByteArray> read(const QString& path, QString* error);
};
