#include "import/host_file_reader.h"

#include "import/csv_exporter.h"
#include "import/sheet_rows.h"
#include "import/xls_reader.h"
#include "import/xlsx_reader.h"
#include "logger.h"

#include <QFile>
#include <QFileInfo>

namespace {

// Larger files are no host list; refusing them up front keeps the import from eating memory.
constexpr qint64 kMaxFileSize = 64LL * 1024 * 1024;

std::optional<QByteArray> refuse(const QString& text, QString* error)
{
    if (error) {
        *error = text;
    }
    return std::nullopt;
}

// Sheet rows in the CSV form the import parser reads, quoted like the export.
QByteArray csvOf(const QList<QStringList>& rows)
{
    QString text;
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (i > 0) {
                text += QLatin1Char(',');
            }
            text += CsvExporter::quoteField(row.at(i));
        }
        text += QLatin1Char('\n');
    }
    return text.toUtf8();
}

} // namespace

std::optional<QByteArray> HostFileReader::read(const QString& path, QString* error)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool workbook =
        suffix == QLatin1String("xls") || suffix == QLatin1String("xlsx") || suffix == QLatin1String("xlsm");
    if (!workbook && suffix != QLatin1String("csv") && suffix != QLatin1String("txt")) {
        return refuse(QStringLiteral("仅支持 CSV、TXT、XLS、XLSX 文件"), error);
    }

    QFile file(path);
    if (!QFileInfo(path).isFile()) {
        SPDLOG_WARN("导入文件不存在或不是普通文件: {}", path);
        return refuse(QStringLiteral("无法读取所选文件"), error);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        SPDLOG_WARN("无法读取导入文件 {}: {}", path, file.errorString());
        return refuse(QStringLiteral("无法读取所选文件"), error);
    }
    if (file.size() > kMaxFileSize) {
        SPDLOG_WARN("导入文件过大 {}: {} 字节", path, file.size());
        return refuse(QStringLiteral("文件过大（超过 64 MB），请拆分后导入。"), error);
    }

    if (!workbook) {
        const QByteArray content = file.readAll();
        if (content.size() != file.size() || content.size() > kMaxFileSize) {
            SPDLOG_WARN("导入文件读取不完整 {}: {}", path, file.errorString());
            return refuse(QStringLiteral("无法读取所选文件"), error);
        }
        return content;
    }

    // The content decides between the two workbook formats: a workbook saved with the other
    // suffix still reads.
    const QByteArray magic = file.read(8);
    file.close();
    std::optional<QList<QStringList>> rows;
    if (magic.startsWith("PK\x03\x04")) {
        rows = XlsxReader::readFirstSheet(path, error);
    } else if (magic.startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) {
        rows = XlsReader::readFirstSheet(path, error);
    } else {
        SPDLOG_WARN("导入文件不是 Excel 工作簿: {}", path);
        return refuse(SheetRows::unreadableError(), error);
    }
    if (!rows) {
        return std::nullopt;
    }
    return csvOf(*rows);
}
