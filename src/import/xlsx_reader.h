#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Reads the first worksheet of an Office Open XML workbook (.xlsx/.xlsm) as rows of cell texts,
// the way a spreadsheet shows them: shared and inline strings, numbers in their shortest exact
// form, dates as ISO text ("yyyy-MM-dd", with " HH:mm:ss" when there is a time of day), booleans
// as TRUE/FALSE, formulas by their cached value. Empty rows are left out.
class XlsxReader
{
public:
    // Largest unpacked size read from any part of the package (guards against zip bombs).
    static constexpr qint64 kMaxPartSize = 64LL * 1024 * 1024;

    static std::optional<QList<QStringList>> readFirstSheet(const QString& path, QString* error);
};
