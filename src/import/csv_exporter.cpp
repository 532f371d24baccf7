#include "import/csv_exporter.h"

#include "import/export_labels.h"
#include "logger.h"
#include "platform/atomic_file_writer.h"
#include "platform/process_hardening.h"

QString CsvExporter::quoteField(const QString& field)
{
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    // Tab too: the importer splits on it, so an unquoted Tab would not survive a round trip. Leading
    // or trailing white space too: the importer trims unquoted fields, and a password may have it.
    if (quoted.contains(QLatin1Char(',')) || quoted.contains(QChar(0xFF0C)) ||
        quoted.contains(QLatin1Char('"')) || quoted.contains(QLatin1Char('\r')) ||
        quoted.contains(QLatin1Char('\n')) || quoted.contains(QLatin1Char('\t')) ||
        (!quoted.isEmpty() && (quoted.front().isSpace() || quoted.back().isSpace()))) {
        return QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    return quoted;
}

bool CsvExporter::write(const QString& path, const QList<Remote>& remotes,
                        const QHash<QString, QString>& groupNames, bool withPasswords, QString* error)
{
    QString text = QStringLiteral("名称,IP,端口,用户名,密码,备注,协议,权限,分组\r\n");
    for (const Remote& remote : remotes) {
        const QStringList fields = {
            remote.name,
            remote.host,
            QString::number(remote.port),
            remote.username,
            withPasswords ? remote.password : QString(),
            remote.remark,
            ExportLabels::protocolOf(remote),
            ExportLabels::scopeOf(remote),
            groupNames.value(remote.group_id),
        };
        for (qsizetype i = 0; i < fields.size(); ++i) {
            if (i > 0) {
                text += QLatin1Char(',');
            }
            text += quoteField(fields.at(i));
        }
        text += QLatin1String("\r\n");
    }
    const QByteArray content = QByteArray("\xEF\xBB\xBF") + text.toUtf8();

    // The file appears only once it is complete: a failed export leaves an earlier file as it was.
    // One with passwords is private to the user; one without gets the user's usual file mode.
    QString reason;
    const mode_t mode = withPasswords ? AtomicFileWriter::kPrivateMode : ProcessHardening::publicFileMode();
    AtomicFileWriter::Failure failure = AtomicFileWriter::Failure::None;
    if (!AtomicFileWriter::write(path, content, mode, AtomicFileWriter::Existing::Replace, &reason,
                                 &failure)) {
        SPDLOG_ERROR("导出文件写入失败: {}", reason);
        if (error) {
            *error = failure == AtomicFileWriter::Failure::Create ? QStringLiteral("无法写入导出文件")
                                                                  : QStringLiteral("导出文件写入不完整");
        }
        return false;
    }
    SPDLOG_INFO("已导出 {} 台主机到 {}（{}）", remotes.size(), path, withPasswords ? "含密码" : "不含密码");
    return true;
}
