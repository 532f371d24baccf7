#pragma once

#include "import/sheet_rows.h"

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
    // Shared strings kept: ten distinct texts for each of 100,000 hosts, and as much text as
    // SheetRows keeps for a whole sheet. Items of a few bytes each cost far more as strings than
    // as XML, so the part size alone would let a small file take hundreds of megabytes.
    static constexpr qsizetype kMaxSharedStrings = 1'000'000;
    static constexpr qsizetype kMaxSharedStringChars = SheetRows::kMaxTextChars; // 64 MiB as UTF-16
    // Cell formats (Excel itself allows 64,000).
    static constexpr qsizetype kMaxCellFormats = 65536;

    static std::optional<QList<QStringList>> readFirstSheet(const QString& path, QString* error);
};
