#pragma once

#include "import/sheet_rows.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <optional>

// Sheet rows as bytes, the way the .xls reader helper hands them to the program: the tag "NXR1",
// the row count, then for each row its cell count and for each cell the length of its UTF-8 text
// and the text itself. Counts and lengths are 32-bit little-endian numbers, so cell texts may hold
// any character (separators, line breaks, NUL). Decoding checks every count against the data left
// and the SheetRows limits, and refuses trailing bytes: the bytes come from a process that read a
// hostile file and are trusted no further than any other input.
class SheetRowsCodec
{
public:
    // Largest encoding of rows within the SheetRows limits (a UTF-16 unit takes at most 3 bytes).
    static constexpr qint64 kMaxEncodedSize =
        8 + 4LL * (SheetRows::kMaxRows + SheetRows::kMaxCells) + 3LL * SheetRows::kMaxTextChars;

    static QByteArray encode(const QList<QStringList>& rows);
    static std::optional<QList<QStringList>> decode(const QByteArray& data);
};
