#pragma once

#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <cmath>

// The text rows of a worksheet as the workbook readers collect them: rows without any filled cell
// are dropped, empty cells before a filled one keep its column. The limits keep a hostile or
// runaway sheet from exhausting memory while letting real inventories (tens of thousands of
// hosts) through.
class SheetRows
{
public:
    static constexpr int kMaxRows = 100000;
    static constexpr int kMaxColumns = 256;
    static constexpr qsizetype kMaxCells = 4'000'000;            // cells kept, empty ones included
    static constexpr qsizetype kMaxTextChars = 32 * 1024 * 1024; // all cell texts together

    static QString unreadableError()
    {
        return QStringLiteral("无法读取 Excel 文件。请将文件另存为 CSV/TXT 后导入。");
    }
    static QString tooLargeError()
    {
        return QStringLiteral("Excel 工作表过大（最多 %1 行、%2 列），请拆分后导入。")
            .arg(kMaxRows)
            .arg(kMaxColumns);
    }
    // Within the row and column limits, but more cells or text than any host list holds.
    static QString contentTooLargeError() { return QStringLiteral("Excel 文件内容过大，请拆分后导入。"); }

    // Puts `text` into column `column` (from 0) of the current row; false when a limit is passed.
    bool addCell(int column, const QString& text)
    {
        if (text.isEmpty()) {
            return true;
        }
        if (column < 0 || column >= kMaxColumns) {
            return refuse(tooLargeError());
        }
        m_chars += text.size();
        if (m_chars > kMaxTextChars) {
            return refuse(contentTooLargeError());
        }
        if (column < m_row.size()) {
            m_row[column] = text;
            return true;
        }
        m_cells += column + 1 - m_row.size();
        if (m_cells > kMaxCells) {
            return refuse(contentTooLargeError());
        }
        while (m_row.size() < column) {
            m_row.append(QString());
        }
        m_row.append(text);
        return true;
    }

    // Ends the current row; false when the sheet has too many rows.
    bool finishRow()
    {
        if (m_row.isEmpty()) {
            return true;
        }
        if (m_rows.size() >= kMaxRows) {
            return refuse(tooLargeError());
        }
        m_rows.append(m_row);
        m_row.clear();
        return true;
    }

    QList<QStringList> take() { return std::move(m_rows); }

    // The message for the limit that addCell() or finishRow() last refused.
    const QString& limitError() const { return m_limitError; }

    // Spreadsheet numbers as text: whole numbers without a fraction (3389, 13800138000), others in
    // the shortest form that reads back to the same value (0.1).
    static QString numberText(double value)
    {
        if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
            return QString::number(static_cast<qint64>(value));
        }
        return QString::number(value, 'g', QLocale::FloatingPointShortest);
    }

private:
    bool refuse(const QString& error)
    {
        m_limitError = error;
        return false;
    }

    QList<QStringList> m_rows;
    QStringList m_row;
    qsizetype m_cells = 0;
    qsizetype m_chars = 0;
    QString m_limitError;
};
