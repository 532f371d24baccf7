#include "import/xls_reader.h"

#include "import/sheet_rows.h"
#include "import/sheet_rows_codec.h"
#include "import/xls_reader_contract.h"
#include "logger.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace {

// The helper's error output only goes to the log; more of it is cut off.
constexpr qint64 kMaxErrorOutput = 16 * 1024;

QString& helperDirectoryOverride()
{
    static QString directory;
    return directory;
}

std::optional<QList<QStringList>> refuse(const QString& path, const QString& reason, const QString& text,
                                         QString* error)
{
    SPDLOG_WARN("无法读取 Excel 工作簿 {}: {}", path, reason);
    if (error) {
        *error = text;
    }
    return std::nullopt;
}

void stop(QProcess& process)
{
    process.kill();
    process.waitForFinished(-1);
}

} // namespace

void XlsReader::setHelperDirectory(const QString& directory)
{
    helperDirectoryOverride() = directory;
}

QString XlsReader::helperDirectory()
{
    const QString& directory = helperDirectoryOverride();
    return directory.isEmpty() ? QCoreApplication::applicationDirPath() : directory;
}

std::optional<QList<QStringList>> XlsReader::readFirstSheet(const QString& path, QString* error)
{
    return readFirstSheet(path, HelperOptions(), error);
}

std::optional<QList<QStringList>> XlsReader::readFirstSheet(const QString& path, const HelperOptions& options,
                                                            QString* error)
{
    const QString unreadable = SheetRows::unreadableError();
    const QString program =
        options.program.isEmpty()
            ? QDir(helperDirectory()).filePath(QString::fromLatin1(xlsreader::kProgramName))
            : options.program;
    const qint64 outputLimit =
        options.outputLimit < 0 ? SheetRowsCodec::kMaxEncodedSize : options.outputLimit;

    QProcess process;
    process.setProgram(program);
    // An absolute path never reads as an option.
    process.setArguments({QFileInfo(path).absoluteFilePath()});
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(options.timeLimitMs)) {
        return refuse(path, QStringLiteral("读取组件无法启动 %1: %2").arg(program, process.errorString()),
                      unreadable, error);
    }

    const QDeadlineTimer deadline(options.timeLimitMs);
    QByteArray output;
    QByteArray errorOutput;
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired()) {
            stop(process);
            return refuse(path, QStringLiteral("读取组件超时"), unreadable, error);
        }
        // Waiting returns early when either pipe has data or the helper ends.
        process.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 100)));
        output += process.readAllStandardOutput();
        errorOutput += process.readAllStandardError();
        if (output.size() > outputLimit || errorOutput.size() > kMaxErrorOutput) {
            stop(process);
            return refuse(path, QStringLiteral("读取组件输出过多"), unreadable, error);
        }
    }
    output += process.readAllStandardOutput();
    errorOutput += process.readAllStandardError();
    if (!errorOutput.isEmpty()) {
        SPDLOG_INFO("Excel 读取组件: {}", QString::fromUtf8(errorOutput.left(kMaxErrorOutput)).trimmed());
    }
    if (output.size() > outputLimit) {
        return refuse(path, QStringLiteral("读取组件输出过多"), unreadable, error);
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        return refuse(path, QStringLiteral("读取组件异常结束: %1").arg(process.errorString()), unreadable,
                      error);
    }

    switch (process.exitCode()) {
    case 0:
        break;
    case xlsreader::kExitSheetTooLarge:
        return refuse(path, QStringLiteral("工作表超过行、列上限"), SheetRows::tooLargeError(), error);
    case xlsreader::kExitContentTooLarge:
        return refuse(path, QStringLiteral("工作表超过内容上限"), SheetRows::contentTooLargeError(), error);
    default:
        return refuse(path, QStringLiteral("读取组件退出码 %1").arg(process.exitCode()), unreadable, error);
    }
    std::optional<QList<QStringList>> rows = SheetRowsCodec::decode(output);
    if (!rows) {
        return refuse(path, QStringLiteral("读取组件输出无法解析"), unreadable, error);
    }
    return rows;
}
