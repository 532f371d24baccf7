#pragma once

#include "storage/remote.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Hosts read from import text, and the lines that could not be read.
struct HostParseResult
{
    QList<Remote> remotes;
    // One per host of `remotes`: the group its row names, empty when it names none.
    QStringList groupNames;
    QStringList errors;
};

// Turns CSV/TXT host lists (English or Chinese headers, "," "，" or Tab separated) into hosts.
class HostImportParser
{
public:
    // UTF-8 when valid, else the local 8-bit code page, else GB18030; a leading BOM is dropped.
    static QString decode(const QByteArray& bytes);

    // Splits text into rows of fields; an unclosed quote adds an error line.
    static QList<QStringList> tokenize(const QString& text, QStringList* errors);

    // Parses the decoded bytes into hosts of group `groupId`.
    static HostParseResult parse(const QByteArray& bytes, const QString& groupId);
};
