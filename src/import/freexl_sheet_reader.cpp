#include "import/freexl_sheet_reader.h"

#include "import/sheet_rows.h"
#include "logger.h"

#include <QFile>
#include <QScopeGuard>

#include <freexl.h>

namespace {

std::optional<QList<QStringList>> refuse(const QString& path, const char* reason, int code,
                                         const QString& text, QString* error)
{
    SPDLOG_WARN("无法读取 Excel 工作簿 {}: {} ({})", path, reason, code);
    if (error) {
        *error = text;
    }
    return std::nullopt;
}

// The shown text of one cell; FreeXL already renders dates and times as ISO text.
QString cellText(const FreeXL_CellValue& value)
{
    switch (value.type) {
    case FREEXL_CELL_INT:
        return QString::number(value.value.int_value);
    case FREEXL_CELL_DOUBLE:
        return SheetRows::numberText(value.value.double_value);
    case FREEXL_CELL_TEXT:
    case FREEXL_CELL_SST_TEXT:
    case FREEXL_CELL_DATE:
    case FREEXL_CELL_DATETIME:
    case FREEXL_CELL_TIME:
        return value.value.text_value ? QString::fromUtf8(value.value.text_value) : QString();
    default:
        return QString();
    }
}

} // namespace

std::optional<QList<QStringList>> FreexlSheetReader::readFirstSheet(const QString& path, QString* error)
{
    const QString unreadable = SheetRows::unreadableError();
#if defined(Q_OS_WIN)
    // The Windows build of FreeXL takes UTF-8 names (the ANSI code page cannot name every file).
    const QByteArray nativePath = path.toUtf8();
#else
    const QByteArray nativePath = QFile::encodeName(path);
#endif

    const void* handle = nullptr;
    // FreeXL wants its handle closed even when opening failed.
    const auto closeHandle = qScopeGuard([&handle] { freexl_close(handle); });
    int code = freexl_open(nativePath.constData(), &handle);
    if (code != FREEXL_OK) {
        return refuse(path, "不是可读的 BIFF 工作簿", code, unreadable, error);
    }

    unsigned int info = 0;
    code = freexl_get_info(handle, FREEXL_BIFF_PASSWORD, &info);
    if (code != FREEXL_OK || info == FREEXL_BIFF_OBFUSCATED) {
        return refuse(path, "工作簿受密码保护", code, unreadable, error);
    }
    code = freexl_get_info(handle, FREEXL_BIFF_SHEET_COUNT, &info);
    if (code != FREEXL_OK || info == 0) {
        return refuse(path, "没有工作表", code, unreadable, error);
    }
    code = freexl_select_active_worksheet(handle, 0);
    if (code != FREEXL_OK) {
        return refuse(path, "第一个工作表无法选择", code, unreadable, error);
    }
    unsigned int rowCount = 0;
    unsigned short columnCount = 0;
    code = freexl_worksheet_dimensions(handle, &rowCount, &columnCount);
    if (code != FREEXL_OK) {
        return refuse(path, "工作表尺寸无法读取", code, unreadable, error);
    }

    SheetRows rows;
    for (unsigned int row = 0; row < rowCount; ++row) {
        for (unsigned short column = 0; column < columnCount; ++column) {
            FreeXL_CellValue value;
            code = freexl_get_cell_value(handle, row, column, &value);
            if (code != FREEXL_OK) {
                return refuse(path, "单元格无法读取", code, unreadable, error);
            }
            if (!rows.addCell(column, cellText(value))) {
                return refuse(path, "工作表超过行、列或内容上限", code, rows.limitError(), error);
            }
        }
        if (!rows.finishRow()) {
            return refuse(path, "工作表超过行、列或内容上限", code, rows.limitError(), error);
        }
    }
    return rows.take();
}
