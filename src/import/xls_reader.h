#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Reads the first worksheet of a legacy Excel workbook (.xls, BIFF) as rows of cell texts: numbers
// in their shortest exact form, dates as ISO text. Empty rows are left out.
//
// FreeXL, which reads the format, can be driven past its buffers by a crafted file, so the reading
// runs in the helper nimbara-xls-reader (FreexlSheetReader under resource limits). A helper that
// crashes, is killed, runs out of time, writes too much or writes what does not decode only makes
// the file unreadable; the program goes on.
class XlsReader
{
public:
    struct HelperOptions
    {
        QString program; // empty: nimbara-xls-reader in helperDirectory()
        int timeLimitMs = 30000;
        qint64 outputLimit = -1; // bytes of standard output; -1: the largest true encoding
    };

    static std::optional<QList<QStringList>> readFirstSheet(const QString& path, QString* error);
    static std::optional<QList<QStringList>> readFirstSheet(const QString& path, const HelperOptions& options,
                                                            QString* error);

    // Where the helper is looked for: beside the running program unless set (tests run elsewhere).
    static void setHelperDirectory(const QString& directory);
    static QString helperDirectory();
};
