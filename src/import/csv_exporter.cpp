#include "import/csv_exporter.h"

#include "logger.h"

#include <QSaveFile>

namespace {

QString protocolText(const Remote& remote)
{
    return remote.isSsh() ? QStringLiteral("SSH/Linux") : QStringLiteral("RDP/Windows");
}

QString scopeText(const Remote& remote)
{
    return remote.access_scope == QLatin1String("team") ? QStringLiteral("主账号及子账号")
                                                        : QStringLiteral("仅主账号");
}

} // namespace

QString CsvExporter::quoteField(const QString& field)
{
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    // Tab too: the importer splits on it, so an unquoted Tab would not survive a round trip.
    if (quoted.contains(QLatin1Char(',')) || quoted.contains(QChar(0xFF0C)) ||
        quoted.contains(QLatin1Char('"')) || quoted.contains(QLatin1Char('\r')) ||
        quoted.contains(QLatin1Char('\n')) || quoted.contains(QLatin1Char('\t'))) {
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
            protocolText(remote),
            scopeText(remote),
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
    // Unbuffered, because QSaveFile::commit() does not notice a failing flush of its own buffer
    // (a full disk would pass as success); a direct write reports the short count.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        SPDLOG_ERROR("无法写入导出文件 {}: {}", path, file.errorString());
        if (error) {
            *error = QStringLiteral("无法写入导出文件");
        }
        return false;
    }
    if (file.write(content) != content.size() || !file.commit()) {
        SPDLOG_ERROR("导出文件写入不完整 {}: {}", path, file.errorString());
        file.cancelWriting();
        if (error) {
            *error = QStringLiteral("导出文件写入不完整");
        }
        return false;
    }
    SPDLOG_INFO("已导出 {} 台主机到 {}（{}）", remotes.size(), path, withPasswords ? "含密码" : "不含密码");
    return true;
}
